// Watching on Windows, as a real host does: a message-only window registered for USB device
// interface notifications; every WM_DEVICECHANGE it receives goes to OnDeviceChange unchanged
// (the library decides which codes mean a rescan).
//
// The window's class is kWatchWindowClass, so that tools and tests can find the window with
// FindWindowExW(HWND_MESSAGE, nullptr, kWatchWindowClass, nullptr) and send it device changes
// of their own. WM_CLOSE posted to it ends the watch cleanly.
#include <windows.h>
#include <dbt.h>

#include <atomic>
#include <chrono>
#include <string>

#include "watch_internal.h"

namespace mobileinfo {
namespace watch_internal {
namespace {

// GUID_DEVINTERFACE_USB_DEVICE: every USB device exposes it, phones and sticks alike.
constexpr GUID kUsbDeviceInterface = {0xa5dcbf10, 0x6530, 0x11d2,
                                      {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

// Looks at the stop flag and the time limit. With a waker Stop posts WM_CLOSE to the window
// instead, and the timer runs only for a time limit.
constexpr UINT_PTR kStopCheckTimer = 1;
constexpr UINT_PTR kPollTimer = 2;

struct WatchState {
  IPelmoInfo* service;
  std::atomic<bool>* stop;
  Waker* waker;
  bool has_deadline;
  std::chrono::steady_clock::time_point deadline;
  HDEVNOTIFY notification;
};

void Close(HWND window, WatchState* state) {
  if (state->waker) state->waker->Set(nullptr);
  if (state->notification) {
    UnregisterDeviceNotification(state->notification);
    state->notification = nullptr;
  }
  KillTimer(window, kStopCheckTimer);
  KillTimer(window, kPollTimer);
  DestroyWindow(window);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(window, message, wparam, lparam);
  }
  auto* state = reinterpret_cast<WatchState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!state) return DefWindowProcW(window, message, wparam, lparam);

  switch (message) {
    case WM_DEVICECHANGE:
      state->service->OnDeviceChange(static_cast<uint32_t>(wparam), static_cast<int32_t>(lparam));
      return TRUE;  // also grants DBT_QUERYREMOVE: a monitor holds no device open
    case WM_TIMER:
      if (wparam == kPollTimer) {
        state->service->OnDeviceChange(kDevNodesChanged, 0);
      } else if (wparam == kStopCheckTimer) {
        if (*state->stop ||
            (state->has_deadline && std::chrono::steady_clock::now() >= state->deadline)) {
          Close(window, state);
        }
      }
      return 0;
    case WM_CLOSE:
      Close(window, state);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

std::string Failure(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

// The window's destruction posts a quit; when it is not the loop's own ending, it is taken back
// so that it cannot end a later loop on this thread (the host's, with WatchDevices).
void DiscardQuit() {
  MSG message;
  PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

bool RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = kWatchWindowClass;
  // Kept for the life of the process: a second watch in the same process reuses it.
  return RegisterClassExW(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

int Watch(IPelmoInfo* service, const WatchOptions& options, const WatchControl& control,
          std::string& error) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!RegisterWindowClass(instance)) {
    error = Failure("cannot register the notification window class");
    return 1;
  }

  WatchState state = {service, &control.stop, control.waker, options.seconds > 0, {}, nullptr};
  if (state.has_deadline) {
    state.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
  }

  HWND window = CreateWindowExW(0, kWatchWindowClass, L"mobileinfo device watch", 0, 0, 0, 0, 0,
                                HWND_MESSAGE, nullptr, instance, &state);
  if (!window) {
    error = Failure("cannot create the notification window");
    return 1;
  }

  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterface;
  state.notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (!state.notification) {
    error = Failure("cannot register for USB device notifications");
    DestroyWindow(window);
    DiscardQuit();
    return 1;
  }

  if (state.waker) {
    state.waker->Set([window] { PostMessageW(window, WM_CLOSE, 0, 0); });
  }
  // A time limit is looked at when it is due (SetTimer's longest period is about 24 days; the
  // timer then looks again).
  UINT check_ms = static_cast<UINT>(kStopCheckMs);
  if (state.waker && state.has_deadline) {
    check_ms = options.seconds > static_cast<long>(USER_TIMER_MAXIMUM / 1000)
                   ? USER_TIMER_MAXIMUM
                   : static_cast<UINT>(options.seconds * 1000);
  }
  if ((!state.waker || state.has_deadline) &&
      !SetTimer(window, kStopCheckTimer, check_ms, nullptr)) {
    error = Failure("cannot start the stop timer");
    Close(window, &state);
    DiscardQuit();
    return 1;
  }
  if (options.poll_ms > 0) {
    // SetTimer clamps to its own limits; clamping here keeps the conversion to UINT sound.
    long period = options.poll_ms;
    if (period < static_cast<long>(USER_TIMER_MINIMUM)) period = USER_TIMER_MINIMUM;
    if (static_cast<unsigned long>(period) > USER_TIMER_MAXIMUM) period = USER_TIMER_MAXIMUM;
    SetTimer(window, kPollTimer, static_cast<UINT>(period), nullptr);
  }

  control.listening(std::string());
  // A stop requested before the wake function was set: the flag is set before Wake is called.
  if (control.stop) Close(window, &state);
  MSG message;
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  if (got < 0) {
    error = Failure("the message loop failed");
  }
  // A WM_QUIT from elsewhere ends the loop with the window still there.
  if (IsWindow(window)) {
    Close(window, &state);
    DiscardQuit();
  }
  return got < 0 ? 1 : 0;
}

}  // namespace watch_internal
}  // namespace mobileinfo
