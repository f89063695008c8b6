/* A host written in C without the project's header: it loads the library by name, finds
 * CreatePelmoInfo, MobileInfoListPhones and MobileInfoNewString and calls every slot through a hand-written table of function pointers with
 * `this` first, the shape an MSVC host's compiler produces for these member calls. On 32-bit
 * Windows those are __thiscall (this in ECX, callee pops its arguments), the factory is
 * __stdcall and the sink's OnEvent, called by the library's two worker threads, is __thiscall
 * too. A wrong slot order, a wrong argument count, a wrong calling convention or an extra vtable
 * slot shows up here as a wrong result or a crash. Prints "N passed, N failed". */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#if defined(_WIN32)
#include <wchar.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "host_slots.h"
#if defined(_WIN32)
#include "wine_bus.h"
#endif

/* What the sink saw: each call's code, the serial of its record and the calling thread. The
 * two worker threads may call at once, so each call takes its slot atomically. */
#define kMaxEvents 32
typedef struct {
  int32_t code;
  char serial[32];
  unsigned long thread;
} SeenEvent;
static SeenEvent seen[kMaxEvents];
static int seen_taken, seen_done;
static Sink* seen_self_mismatch;

static unsigned long ThisThread(void) {
#if defined(_WIN32)
  return (unsigned long)GetCurrentThreadId();
#else
  return (unsigned long)pthread_self();
#endif
}

static int32_t HOSTCALL OnEvent(Sink* self, int32_t code, void* record) {
  extern Sink host_sink;
  int slot = __atomic_fetch_add(&seen_taken, 1, __ATOMIC_SEQ_CST);
  if (self != &host_sink) seen_self_mismatch = self;
  if (slot < kMaxEvents) {
    SeenEvent* event = &seen[slot];
    int i;
    event->code = code;
    event->thread = ThisThread();
    if (record) { /* the serial: UTF-16 at offset 64 of the phone record */
      const unsigned char* text = (const unsigned char*)record + 64;
      for (i = 0; i < 31 && (text[2 * i] || text[2 * i + 1]); ++i) event->serial[i] = (char)text[2 * i];
      event->serial[i] = 0;
    }
  }
  __atomic_fetch_add(&seen_done, 1, __ATOMIC_SEQ_CST);
  return 0;
}
static const SinkTable kSinkTable = {OnEvent};
Sink host_sink = {&kSinkTable};

/* The plain C exports beside the factory, with the factory's calling convention. A one-pointer
 * MobileInfoWideString comes back as that pointer on every target. */
typedef int32_t(FACTORYCALL* ListPhonesFn)(Service*, void* records, int32_t capacity);
typedef uint16_t*(FACTORYCALL* NewStringFn)(const uint16_t* text, int32_t units);
static ListPhonesFn list_phones;
static NewStringFn new_string;

static int passed, failed;
#define CHECK(cond)                                                   \
  do {                                                                \
    if (cond) {                                                       \
      ++passed;                                                       \
    } else {                                                          \
      ++failed;                                                       \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                 \
  } while (0)

/* A wide string block as the host's string class lays it out: {refs, length, capacity} then
 * the characters. The library takes over the reference and frees the block with free(). */
static uint16_t* MakeWideString(const char* ascii) {
  size_t n = strlen(ascii);
  int32_t* block = (int32_t*)malloc(12 + 2 * (n + 1));
  uint16_t* text = (uint16_t*)(block + 3);
  size_t i;
  block[0] = 1;
  block[1] = (int32_t)n;
  block[2] = (int32_t)n;
  for (i = 0; i <= n; ++i) text[i] = (uint16_t)ascii[i];
  return text;
}

/* The same block made by the library's own runtime, checked against the layout hosts are told
 * to build. */
static uint16_t* NewWideString(const char* ascii) {
  uint16_t text[64];
  int32_t n = (int32_t)strlen(ascii), i;
  uint16_t* made;
  for (i = 0; i <= n; ++i) text[i] = (uint16_t)ascii[i];
  made = new_string(text, n);
  CHECK(made != NULL);
  if (!made) return NULL;
  CHECK(((int32_t*)made)[-3] == 1 && ((int32_t*)made)[-2] == n && ((int32_t*)made)[-1] == n);
  CHECK(memcmp(made, text, 2 * (size_t)(n + 1)) == 0);
  return made;
}

#if defined(_WIN32)
/* A string the host keeps in a heap the library's C runtime does not own: a private heap
 * (HeapCreate), or the process heap. Wine refuses a free() into the wrong heap with
 * ERROR_INVALID_PARAMETER where Windows corrupts both heaps. The private block is counted down
 * and left to the host; the process heap's is freed with HeapFree. */
static void ExcludeFromHeap(Service* service, HANDLE heap, const char* ascii) {
  size_t n = strlen(ascii), i;
  int32_t* block = (int32_t*)HeapAlloc(heap, 0, 12 + 2 * (n + 1));
  uint16_t* text = (uint16_t*)(block + 3);
  block[0] = 1;
  block[1] = block[2] = (int32_t)n;
  for (i = 0; i <= n; ++i) text[i] = (uint16_t)ascii[i];
  SetLastError(0);
  service->table->ExcludeFromCache(service, text);
  CHECK(GetLastError() != ERROR_INVALID_PARAMETER);
  if (heap != GetProcessHeap()) {
    CHECK(block[0] == 0);
    CHECK(HeapValidate(heap, 0, block));
    CHECK(HeapFree(heap, 0, block));
  }
}

/* The version resource a host's installer or the file's Properties page reads. */
static void CheckVersionResource(HMODULE module) {
  wchar_t path[MAX_PATH];
  DWORD ignored = 0, size;
  void* info;
  wchar_t* text;
  VS_FIXEDFILEINFO* fixed;
  UINT length = 0;
  GetModuleFileNameW(module, path, MAX_PATH);
  size = GetFileVersionInfoSizeW(path, &ignored);
  CHECK(size > 0);
  if (!size) return;
  info = malloc(size);
  CHECK(GetFileVersionInfoW(path, 0, size, info));
  CHECK(VerQueryValueW(info, L"\\", (void**)&fixed, &length) && length >= sizeof *fixed);
  if (length >= sizeof *fixed) {
    CHECK(fixed->dwFileVersionMS == (DWORD)MAKELONG(MOBILEINFO_VERSION_MINOR, MOBILEINFO_VERSION_MAJOR));
    CHECK(fixed->dwFileVersionLS == (DWORD)MAKELONG(0, MOBILEINFO_VERSION_PATCH));
    CHECK(fixed->dwProductVersionMS == fixed->dwFileVersionMS);
  }
#define CHECK_VERSION_TEXT(name, expected)                                                  \
  CHECK(VerQueryValueW(info, L"\\StringFileInfo\\040904B0\\" name, (void**)&text, &length) && \
        wcscmp(text, expected) == 0)
  CHECK_VERSION_TEXT(L"FileVersion", MOBILEINFO_VERSION);
  CHECK_VERSION_TEXT(L"ProductVersion", MOBILEINFO_VERSION);
  CHECK_VERSION_TEXT(L"ProductName", L"mobileinfo");
  CHECK_VERSION_TEXT(L"OriginalFilename", L"mobileinfo.dll");
  CHECK(VerQueryValueW(info, L"\\StringFileInfo\\040904B0\\FileDescription", (void**)&text,
                       &length) && length > 1);
  free(info);
}
#endif

static void SleepMs(int ms) {
#if defined(_WIN32)
  Sleep(ms);
#else
  usleep(ms * 1000);
#endif
}

/* A phone on the bus that the library already knows from its phone cache, so that it is
 * published without asking the web service: plugged in, the scan thread reports it (code 3) and
 * the notification thread announces it after the grace period (code 1); unplugged, the scan
 * thread reports its removal (code 2). */
#define kPhoneSerial "ABIHOST0001"
#define kPhoneKey "VID_22b8&PID_2e7c"

static void PutText(unsigned char* field, const char* ascii) {
  size_t i;
  for (i = 0; ascii[i]; ++i) field[2 * i] = (unsigned char)ascii[i];
}

/* The host directory: MobileInfo1.dat and MobileInfo2.dat live beside the executable. */
static void HostFile(char* path, size_t size, const char* name) {
  char exe[1024] = {0};
  char* slash;
#if defined(_WIN32)
  GetModuleFileNameA(NULL, exe, sizeof exe - 1);
  slash = strrchr(exe, '\\');
#else
  if (readlink("/proc/self/exe", exe, sizeof exe - 1) < 0) exe[0] = 0;
  slash = strrchr(exe, '/');
#endif
  if (slash) *slash = 0;
  snprintf(path, size, "%s/%s", exe, name);
}

static int WriteKnownPhoneCache(void) {
  static unsigned char record[15296];
  uint32_t header = 15296;
  uint32_t now = (uint32_t)time(NULL);
  char path[1100];
  FILE* file;
  memset(record, 0, sizeof record);
  PutText(record + 0, kPhoneKey);
  PutText(record + 64, kPhoneSerial);
  PutText(record + 1088, "ABI Phone");
  memcpy(record + 13584, &now, 4); /* little-endian on every target of this test */
  HostFile(path, sizeof path, "MobileInfo1.dat");
  file = fopen(path, "wb");
  if (!file) return 0;
  fwrite(&header, 4, 1, file);
  fwrite(record, sizeof record, 1, file);
  return fclose(file) == 0;
}

/* Whether MobileInfo1.dat holds the serial as UTF-16 anywhere. */
static int CacheFileHolds(const char* ascii) {
  static unsigned char bytes[4 * 15296];
  unsigned char wide[64];
  size_t n = strlen(ascii), got, i;
  char path[1100];
  FILE* file;
  HostFile(path, sizeof path, "MobileInfo1.dat");
  file = fopen(path, "rb");
  if (!file) return 0;
  got = fread(bytes, 1, sizeof bytes, file);
  fclose(file);
  memset(wide, 0, sizeof wide);
  PutText(wide, ascii);
  for (i = 0; i + 2 * n <= got; ++i) {
    if (memcmp(bytes + i, wide, 2 * n) == 0) return 1;
  }
  return 0;
}

static void RemoveDataFiles(void) {
  char path[1100];
  HostFile(path, sizeof path, "MobileInfo1.dat");
  remove(path);
  HostFile(path, sizeof path, "MobileInfo2.dat");
  remove(path);
}

#if defined(_WIN32)
static const wchar_t kPhoneNode[] =
    L"System\\CurrentControlSet\\Enum\\USB\\VID_22B8&PID_2E7C\\" L"" kPhoneSerial;
static int PlugPhone(void) { return AddPlainUsbNode(kPhoneNode); }
static void UnplugPhone(void) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPhoneNode);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPhoneNode);
}
#else
/* A fake sysfs tree with the phone as a plain (one-interface) USB device. */
static char sysfs_root[PATH_MAX];
static char phone_directory[PATH_MAX + 64];

static int WriteAttribute(const char* name, const char* value) {
  char path[PATH_MAX + 128];
  FILE* file;
  snprintf(path, sizeof path, "%s/%s", phone_directory, name);
  file = fopen(path, "w");
  if (!file) return 0;
  fprintf(file, "%s\n", value);
  return fclose(file) == 0;
}
static int PlugPhone(void) {
  char path[PATH_MAX + 64];
  snprintf(path, sizeof path, "%s/bus", sysfs_root);
  mkdir(path, 0755);
  snprintf(path, sizeof path, "%s/bus/usb", sysfs_root);
  mkdir(path, 0755);
  snprintf(path, sizeof path, "%s/bus/usb/devices", sysfs_root);
  mkdir(path, 0755);
  snprintf(phone_directory, sizeof phone_directory, "%s/bus/usb/devices/1-2", sysfs_root);
  if (mkdir(phone_directory, 0755) != 0) return 0;
  return WriteAttribute("idVendor", "22b8") && WriteAttribute("idProduct", "2e7c") &&
         WriteAttribute("serial", kPhoneSerial) && WriteAttribute("product", "Phone") &&
         WriteAttribute("version", " 2.00") && WriteAttribute("bNumInterfaces", " 1") &&
         WriteAttribute("bDeviceClass", "02");
}
static void UnplugPhone(void) {
  static const char* const kNames[] = {"idVendor", "idProduct", "serial", "product",
                                       "version", "bNumInterfaces", "bDeviceClass"};
  char path[PATH_MAX + 128];
  size_t i;
  for (i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    snprintf(path, sizeof path, "%s/%s", phone_directory, kNames[i]);
    remove(path);
  }
  rmdir(phone_directory);
}
#endif

/* Waits up to timeout_ms for the sink to have seen `count` calls. */
static int WaitForEvents(int count, int timeout_ms) {
  int waited;
  for (waited = 0; waited < timeout_ms; waited += 50) {
    if (__atomic_load_n(&seen_done, __ATOMIC_SEQ_CST) >= count) return 1;
    SleepMs(50);
  }
  return __atomic_load_n(&seen_done, __ATOMIC_SEQ_CST) >= count;
}

/* Plug, announce, unplug: the sink is called on both worker threads, never on the host's. */
static void PhoneRoad(Factory create) {
  static unsigned char listed[2 * 15296];
  unsigned char expected_serial[2 * sizeof kPhoneSerial];
  Service* service;
  unsigned long host = ThisThread();
  RemoveDataFiles();
  CHECK(WriteKnownPhoneCache());
  CHECK(PlugPhone());
  service = create(0, 0);
  CHECK(service->table->Init(service, &host_sink, 1) == 1);
  CHECK(service->table->Start(service) == 1);
  CHECK(WaitForEvents(2, 15000)); /* code 3 at once, code 1 after the 3 s grace period */
  memset(listed, 0, sizeof listed);
  CHECK(list_phones(service, NULL, 0) == 1);
  CHECK(list_phones(service, listed, 2) == 1);
  memset(expected_serial, 0, sizeof expected_serial);
  PutText(expected_serial, kPhoneSerial);
  CHECK(memcmp(listed + 64, expected_serial, sizeof expected_serial) == 0);
  /* Excluded, the phone leaves the cache file at the latest with Stop's save. */
#if defined(_WIN32)
  {
    HANDLE heap = HeapCreate(0, 0, 0);
    ExcludeFromHeap(service, heap, kPhoneSerial);
    HeapDestroy(heap);
  }
#else
  service->table->ExcludeFromCache(service, NewWideString(kPhoneSerial));
#endif
  UnplugPhone();
  service->table->OnDeviceChange(service, 0x8004, 0);
  CHECK(WaitForEvents(3, 15000));
  CHECK(list_phones(service, listed, 2) == 0);
  CHECK(service->table->Stop(service) == 1);
  service->table->Release(service);
  CHECK(!CacheFileHolds(kPhoneSerial));
  RemoveDataFiles();

  CHECK(seen_done == 3);
  CHECK(seen_self_mismatch == NULL);
  CHECK(seen[0].code == 3 && seen[1].code == 1 && seen[2].code == 2);
  CHECK(strcmp(seen[1].serial, kPhoneSerial) == 0);
  CHECK(strcmp(seen[2].serial, kPhoneSerial) == 0);
  CHECK(seen[0].thread == seen[2].thread);  /* the scan thread */
  CHECK(seen[1].thread != seen[0].thread);  /* the notification thread */
  CHECK(seen[0].thread != host && seen[1].thread != host);
}

#if defined(_WIN32)
/* A desktop host as they are really written: the sink hands each event to the window thread
 * with SendMessage, and the window procedure stops and releases the service in WM_CLOSE. The
 * sink posts the close itself just before it sends, so that Stop runs on the window thread while
 * the sink waits for that very thread. */
#define WM_PHONE_EVENT (WM_APP + 1)
static HWND ui_window;
static Service* ui_service;
static volatile LONG ui_events, ui_close_posted;

static int32_t HOSTCALL UiOnEvent(Sink* self, int32_t code, void* record) {
  (void)self;
  (void)record;
  if (InterlockedExchange(&ui_close_posted, 1) == 0) {
    PostMessageW(ui_window, WM_CLOSE, 0, 0);
    Sleep(100); /* the window thread is in Stop by now */
  }
  SendMessageW(ui_window, WM_PHONE_EVENT, (WPARAM)code, 0);
  return 0;
}
static const SinkTable kUiSinkTable = {UiOnEvent};
static Sink ui_sink = {&kUiSinkTable};

static LRESULT CALLBACK UiWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PHONE_EVENT:
      InterlockedIncrement(&ui_events);
      return 0;
    case WM_CLOSE:
      CHECK(ui_service->table->Stop(ui_service) == 1);
      ui_service->table->Release(ui_service);
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

static DWORD WINAPI UiWatchdog(LPVOID done) {
  if (WaitForSingleObject((HANDLE)done, 10000) == WAIT_TIMEOUT) {
    fprintf(stderr, "UI host: Stop on the window thread hung while the sink sent to it\n");
    fflush(stderr);
    ExitProcess(2);
  }
  return 0;
}

static void UiHostRoad(Factory create) {
  WNDCLASSW window_class;
  MSG message;
  int round;
  memset(&window_class, 0, sizeof window_class);
  window_class.lpfnWndProc = UiWindowProc;
  window_class.hInstance = GetModuleHandleW(NULL);
  window_class.lpszClassName = L"MobileInfoUiHost";
  CHECK(RegisterClassW(&window_class) != 0);
  RemoveDataFiles();
  CHECK(WriteKnownPhoneCache());
  CHECK(PlugPhone());
  for (round = 0; round < 20; ++round) {
    HANDLE done = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE watchdog = CreateThread(NULL, 0, UiWatchdog, done, 0, NULL);
    ui_events = 0;
    ui_close_posted = 0;
    ui_window = CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                NULL, window_class.hInstance, NULL);
    CHECK(ui_window != NULL);
    ui_service = create(0, 0);
    /* A fresh start: the cached phone arrives at the first scan and its code 3 is sent. */
    CHECK(ui_service->table->Init(ui_service, &ui_sink, 1) == 1);
    CHECK(ui_service->table->Start(ui_service) == 1);
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    SetEvent(done);
    WaitForSingleObject(watchdog, INFINITE);
    CloseHandle(watchdog);
    CloseHandle(done);
    CHECK(ui_events == 1); /* the event sent while Stop waited was delivered, and no other */
  }
  UnplugPhone();
  RemoveDataFiles();
}
#endif

int main(int argc, char** argv) {
  Factory create;
  Service* service;
  Sink quiet_sink = {&kSinkTable};
  int32_t slot = 12345;
  static unsigned char record[15296];
  const char* library = argc > 1 ? argv[1] : "mobileinfo.dll";
#if defined(_WIN32)
  wchar_t wide[260];
  HMODULE module;
  MultiByteToWideChar(CP_UTF8, 0, library, -1, wide, 260);
  module = LoadLibraryW(wide);
  if (!module) {
    fprintf(stderr, "cannot load %s\n", library);
    return 1;
  }
  create = (Factory)(void*)GetProcAddress(module, "CreatePelmoInfo");
  list_phones = (ListPhonesFn)(void*)GetProcAddress(module, "MobileInfoListPhones");
  new_string = (NewStringFn)(void*)GetProcAddress(module, "MobileInfoNewString");
  CheckVersionResource(module);
#else
  void* module;
  /* The host's own bus: an empty tree until PhoneRoad plugs a phone in. */
  snprintf(sysfs_root, sizeof sysfs_root, "/tmp/mobileinfo-abi-XXXXXX");
  if (!mkdtemp(sysfs_root)) {
    fprintf(stderr, "cannot make a sysfs tree\n");
    return 1;
  }
  setenv("MOBILEINFO_SYSFS_ROOT", sysfs_root, 1);
  module = dlopen(library, RTLD_NOW);
  if (!module) {
    fprintf(stderr, "cannot load %s: %s\n", library, dlerror());
    return 1;
  }
  *(void**)(&create) = dlsym(module, "CreatePelmoInfo");
  *(void**)(&list_phones) = dlsym(module, "MobileInfoListPhones");
  *(void**)(&new_string) = dlsym(module, "MobileInfoNewString");
#endif
  CHECK(create != NULL && list_phones != NULL && new_string != NULL);
  if (!create || !list_phones || !new_string) return 1;

  service = create(7, 9);
  CHECK(service != NULL);
  CHECK(service->table->Stop(service) == 1); /* before Init */
  CHECK(service->table->Reserved5(service, &slot, 77) == &slot);
  CHECK(slot == 0);
  CHECK(service->table->Reserved7(service, 5) == 1);
  CHECK(service->table->Reserved8(service, 5) == 0);
  CHECK(service->table->Reserved9(service, 1, 2, 3) == 0);
  service->table->FreeBuffer(service, NULL);
  service->table->FreeBuffer(service, malloc(64));
  CHECK(service->table->QueryPhoneStatus(service, NULL) == 0);
  CHECK(service->table->RefreshDriverInfo(service, NULL) == 0);
  CHECK(service->table->Init(service, NULL, 1) == 0);
  CHECK(service->table->Init(service, &quiet_sink, 1) == 1);
  service->table->ExcludeFromCache(service, MakeWideString("R58M12345ABC"));
  service->table->ExcludeFromCache(service, NewWideString("R58M12345ABD"));
  CHECK(new_string(NULL, 3) == NULL);
  CHECK(new_string((const uint16_t*)"", -1) == NULL);
#if defined(_WIN32)
  ExcludeFromHeap(service, GetProcessHeap(), "R58M12345ABE");
#endif
  CHECK(list_phones(service, record, 1) == 0);
  CHECK(list_phones(NULL, record, 1) == 0);
  CHECK(list_phones((Service*)&quiet_sink, record, 1) == 0); /* not a service: never read */
  CHECK(service->table->Start(service) == 1);
  service->table->OnDeviceChange(service, 0x8000, 0);
  service->table->OnDeviceChange(service, 0x8001, 0);
  SleepMs(300);
  memset(record, 0, sizeof record);
  record[13592] = 2; /* a stale status is overwritten */
  CHECK(service->table->QueryPhoneStatus(service, record) == 0);
  CHECK(record[13592] == 0);
  CHECK(service->table->Stop(service) == 1);
  CHECK(service->table->Stop(service) == 1);
  service->table->Release(service);

  service = create(0, 0);
  CHECK(service->table->Init(service, &quiet_sink, 1) == 1);
  CHECK(service->table->Stop(service) == 1);
  service->table->ClearAndDestroy(service);

  service = create(0, 0);
  CHECK(service->table->DeletingDestructor(service, 1) == (void*)service);

  PhoneRoad(create);
#if defined(_WIN32)
  UiHostRoad(create);
#endif
#if !defined(_WIN32)
  rmdir(phone_directory);
  {
    char path[PATH_MAX + 64];
    snprintf(path, sizeof path, "%s/bus/usb/devices", sysfs_root);
    rmdir(path);
    snprintf(path, sizeof path, "%s/bus/usb", sysfs_root);
    rmdir(path);
    snprintf(path, sizeof path, "%s/bus", sysfs_root);
    rmdir(path);
    rmdir(sysfs_root);
  }
#endif

  printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
