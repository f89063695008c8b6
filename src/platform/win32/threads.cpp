#include "platform/win32/win32_platform.h"

namespace mobileinfo {
namespace {

struct DetachedWork {
  std::function<void()> work;
  HMODULE module;
};

DWORD WINAPI DetachedThread(LPVOID parameter) {
  auto* detached = static_cast<DetachedWork*>(parameter);
  HMODULE module = detached->module;
  try {
    detached->work();
  } catch (...) {
    // Nobody waits for this thread; an escaping exception would end the host's process.
  }
  delete detached;
  // Drops this thread's reference on the module and ends the thread without returning into
  // code that the release may just have unloaded.
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

bool Win32Platform::RunDetached(std::function<void()> work) {
  // A reference on the module that holds this code (the library, or a program that links the
  // backend statically): the host may unload the library while the thread still runs.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&DetachedThread), &module)) {
    return false;
  }
  DetachedWork* detached = nullptr;
  try {
    detached = new DetachedWork{std::move(work), module};
  } catch (...) {
    FreeLibrary(module);
    return false;
  }
  HANDLE thread = CreateThread(nullptr, 0, &DetachedThread, detached, 0, nullptr);
  if (thread == nullptr) {
    delete detached;
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
