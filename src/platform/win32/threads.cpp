// Detached work on Windows: threads that, once their work is done, wait a while for more work
// instead of ending at once.
//
// A thread must not end just before the host process exits. Under Wine the exit kills every
// thread it still counts as alive with a signal, and a thread that has just ended its Windows
// side is still finishing on the Unix side: the signal lands in the C library's thread teardown,
// Wine's handler finds no thread block there and faults, and the whole process dies of SIGSEGV
// instead of exiting with its code. Threads used to end right when a host stops the library
// (Stop returns as soon as its workers' bodies are done, a pass's download worker ends when the
// pass ends), and a host may exit right after Release: one exit in about two hundred crashed so.
// A thread that waits for work is killed by the exit cleanly, so finished threads wait here,
// and only a thread idle for kIdleMs ends, at a time no host call decides.
//
// Each thread holds a reference on the module that holds this code (the library, or a program
// that links the backend statically) for as long as it exists, and drops it with
// FreeLibraryAndExitThread: the host may unload the library while a thread still runs or waits.
//
// The shared state below is plain data, initialised statically and never destroyed: no static
// destructor of the module ever runs while a thread might still use it, at the process's exit
// or at an unload.
#include "platform/win32/win32_platform.h"

#include <new>
#include <utility>

namespace mobileinfo {
namespace {

// How long a thread with nothing to do waits for more work before it ends.
constexpr ULONGLONG kIdleMs = 30000;

struct DetachedWork {
  std::function<void()> work;
  HMODULE module = nullptr;  // the new thread's module reference, for the first work only
  DetachedWork* next = nullptr;
};

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_work_queued = CONDITION_VARIABLE_INIT;
// Guarded by g_lock. Every queued work has an idle thread that will take it: g_idle >= g_queued.
DetachedWork* g_first = nullptr;  // the queue, oldest first
DetachedWork* g_last = nullptr;
size_t g_queued = 0;
size_t g_idle = 0;  // threads waiting in NextWork

// The next queued work for a thread whose work is done, or null when none came within kIdleMs.
DetachedWork* NextWork() {
  AcquireSRWLockExclusive(&g_lock);
  ++g_idle;
  const ULONGLONG deadline = GetTickCount64() + kIdleMs;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (g_first != nullptr || now >= deadline) break;
    SleepConditionVariableSRW(&g_work_queued, &g_lock, static_cast<DWORD>(deadline - now), 0);
  }
  DetachedWork* item = g_first;
  if (item != nullptr) {
    g_first = item->next;
    if (g_first == nullptr) g_last = nullptr;
    --g_queued;
  }
  --g_idle;
  ReleaseSRWLockExclusive(&g_lock);
  return item;
}

DWORD WINAPI DetachedThread(LPVOID parameter) {
  auto* item = static_cast<DetachedWork*>(parameter);
  const HMODULE module = item->module;
  while (item != nullptr) {
    try {
      item->work();
    } catch (...) {
      // Nobody waits for this work; an escaping exception would end the host's process.
    }
    // The work and what it holds go now, not when the thread ends.
    delete item;
    item = NextWork();
  }
  // Drops this thread's reference on the module and ends the thread without returning into
  // code that the release may just have unloaded.
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

// Hands item to an idle thread; false when every idle thread already has a work waiting for it.
bool Enqueue(DetachedWork* item) {
  AcquireSRWLockExclusive(&g_lock);
  const bool taken = g_idle > g_queued;
  if (taken) {
    if (g_last != nullptr) {
      g_last->next = item;
    } else {
      g_first = item;
    }
    g_last = item;
    ++g_queued;
  }
  ReleaseSRWLockExclusive(&g_lock);
  if (taken) WakeConditionVariable(&g_work_queued);
  return taken;
}

}  // namespace

bool Win32Platform::RunDetached(std::function<void()> work) {
  DetachedWork* item = nullptr;
  try {
    item = new DetachedWork{std::move(work)};
  } catch (...) {
    return false;
  }
  if (Enqueue(item)) return true;
  // No idle thread: a new one, with its own reference on the module.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&DetachedThread), &item->module)) {
    delete item;
    return false;
  }
  const HMODULE module = item->module;
  HANDLE thread = CreateThread(nullptr, 0, &DetachedThread, item, 0, nullptr);
  if (thread == nullptr) {
    delete item;
    FreeLibrary(module);
    return false;
  }
  CloseHandle(thread);
  return true;
}

void Win32Platform::DispatchSentMessages() {
  // PeekMessageW delivers every message sent to this thread before it looks at the queue;
  // PM_QS_SENDMESSAGE with PM_NOREMOVE leaves posted and input messages where they are.
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace mobileinfo
