/* A host that exits right after Release: it loads the library, lets it identify phones, stops
 * it, releases it and leaves the process at once, while the library may still have threads of
 * its own under way (an identification download that Stop abandoned, an unidentified-device
 * report, a WinINet close that drains a long reply). Every such exit must end cleanly.
 *
 *   exit_host plug               puts the host's two phones on Wine's fake bus (registry)
 *   exit_host unplug             takes them off again
 *   exit_host once S D H PORT    switches the driver-information test service on
 *                                127.0.0.1:PORT to scenario S's replies, then runs one session:
 *                                D ms between Start and Stop, and out by H (0 return from main,
 *                                1 exit(0), 2 ExitProcess(0))
 *
 * Under Wine a process that dies of a Unix signal after ExitProcess has begun still reports exit
 * code 0 to a Windows parent; only a Unix parent sees the signal, so exit_loop.sh runs the
 * sessions from the shell and checks their exit statuses.
 *
 * Scenarios: 0 identify (normal replies), 1 slow (the getDriver reply comes after Stop has given
 * up on it), 2 huge (refused replies whose closes drain a long body), 3 report (no usable
 * temporary folder, so the unknown Android device is reported; slow reply). The library is
 * mobileinfo.dll beside the executable. C only, no project header: the slots are called through
 * a hand-written table, as the ABI host does. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <setupapi.h>
#include <wininet.h>

#include "host_slots.h"
#include "wine_bus.h"

static volatile LONG events_seen;
static int32_t HOSTCALL OnEvent(Sink* self, int32_t code, void* record) {
  (void)self;
  (void)code;
  (void)record;
  InterlockedIncrement(&events_seen);
  return 0;
}
static const SinkTable kSinkTable = {OnEvent};
static Sink host_sink = {&kSinkTable};

enum { kIdentify, kSlow, kHuge, kReport, kScenarios };
/* The test service's reply mode for each scenario. */
static const char* const kServiceModes[kScenarios] = {
    "normal", "slow&delay_ms=1500", "huge&length=2000000000", "slow&delay_ms=1500"};

/* --- the fake bus ------------------------------------------------------------------------- */

/* A known model without ADB (a plain device node), and an Android device of a model the
 * service does not know (a node with an active ADB interface). */
static const wchar_t kKnownId[] = L"USB\\VID_18D1&PID_4F3A\\EXITHOST0001";
static const wchar_t kUnknownId[] = L"USB\\VID_1234&PID_5678\\EXITHOST0002";
static const wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum\\";
static const wchar_t kAdbClassKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}";
static const GUID kUsbSetupClass = {0x36fc9e60, 0xc465, 0x11cf,
                                    {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
static const GUID kAdbInterfaceClass = {0xf72fe0d4, 0xcbcb, 0x407d,
                                        {0x88, 0x14, 0x9e, 0xd6, 0x73, 0xd0, 0xdd, 0x6b}};

/* Each interface key of the ADB class whose DeviceInstance is instance_id: deleted, or given
 * Control\Linked = 1 (SPINT_ACTIVE). Returns how many there were. */
static int ForEachAdbInterface(const wchar_t* instance_id, int remove) {
  HKEY class_key;
  DWORD index;
  int count = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAdbClassKey, 0, KEY_READ, &class_key) != ERROR_SUCCESS) {
    return 0;
  }
  for (index = 0;;) {
    wchar_t name[512], instance[512] = {0}, path[1200];
    DWORD name_length = 512, size = sizeof instance - sizeof(wchar_t);
    if (RegEnumKeyExW(class_key, index, name, &name_length, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS) {
      break;
    }
    if (RegGetValueW(class_key, name, L"DeviceInstance", RRF_RT_REG_SZ, NULL, instance, &size) !=
            ERROR_SUCCESS ||
        _wcsicmp(instance, instance_id) != 0) {
      ++index;
      continue;
    }
    ++count;
    if (remove) {
      swprintf(path, 1200, L"%ls\\%ls", kAdbClassKey, name);
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
      continue; /* the next key now has this index */
    } else {
      HKEY control;
      DWORD linked = 1;
      swprintf(path, 1200, L"%ls\\%ls\\#\\Control", kAdbClassKey, name);
      if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE, NULL, &control, NULL) ==
          ERROR_SUCCESS) {
        RegSetValueExW(control, L"Linked", 0, REG_DWORD, (const BYTE*)&linked, sizeof linked);
        RegCloseKey(control);
      }
    }
    ++index;
  }
  RegCloseKey(class_key);
  return count;
}

static void RemoveNode(const wchar_t* instance_id) {
  wchar_t path[600];
  ForEachAdbInterface(instance_id, 1);
  swprintf(path, 600, L"%ls%ls", kEnumKey, instance_id);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
}

static int AddPlainNode(const wchar_t* instance_id) {
  wchar_t path[600];
  swprintf(path, 600, L"%ls%ls", kEnumKey, instance_id);
  return AddPlainUsbNode(path);
}

static int AddAdbNode(const wchar_t* instance_id) {
  SP_DEVINFO_DATA device;
  SP_DEVICE_INTERFACE_DATA iface;
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kUsbSetupClass, NULL);
  int ok;
  if (set == INVALID_HANDLE_VALUE) return 0;
  memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  memset(&iface, 0, sizeof iface);
  iface.cbSize = sizeof iface;
  ok = SetupDiCreateDeviceInfoW(set, instance_id, &kUsbSetupClass, NULL, NULL, 0, &device) &&
       SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL) &&
       SetupDiCreateDeviceInterfaceW(set, &device, &kAdbInterfaceClass, NULL, 0, &iface);
  SetupDiDestroyDeviceInfoList(set);
  return ok && ForEachAdbInterface(instance_id, 0) > 0;
}

static int Plug(void) {
  RemoveNode(kKnownId);
  RemoveNode(kUnknownId);
  return AddPlainNode(kKnownId) && AddAdbNode(kUnknownId);
}

static void Unplug(void) {
  RemoveNode(kKnownId);
  RemoveNode(kUnknownId);
}

static int SetServiceMode(int port, const char* mode);

/* --- one session ------------------------------------------------------------------------- */

static void ExeDirectoryFile(wchar_t* path, const wchar_t* name) {
  wchar_t* slash;
  GetModuleFileNameW(NULL, path, MAX_PATH);
  slash = wcsrchr(path, L'\\');
  if (slash) slash[1] = 0;
  wcscat(path, name);
}

static int Session(int scenario, int delay_ms, int how) {
  wchar_t path[2 * MAX_PATH];
  HMODULE module;
  Factory create;
  Service* service;
  /* Every session starts without data files, so that the known phone is asked about again. */
  ExeDirectoryFile(path, L"MobileInfo1.dat");
  DeleteFileW(path);
  ExeDirectoryFile(path, L"MobileInfo2.dat");
  DeleteFileW(path);
  if (scenario == kReport) {
    /* No usable temporary folder: the getDriver request is never made, so the Android device
     * of the pass is reported instead. */
    wchar_t long_dir[400];
    int i;
    wcscpy(long_dir, L"C:\\");
    for (i = 0; i < 300; ++i) wcscat(long_dir, L"t");
    SetEnvironmentVariableW(L"TMP", long_dir);
    SetEnvironmentVariableW(L"TEMP", long_dir);
  }
  ExeDirectoryFile(path, L"mobileinfo.dll");
  module = LoadLibraryW(path);
  if (!module) return 3;
  create = (Factory)(void*)GetProcAddress(module, "CreatePelmoInfo");
  if (!create) return 4;
  service = create(0, 0);
  if (!service) return 5;
  if (service->table->Init(service, &host_sink, 1) != 1) return 6;
  if (service->table->Start(service) != 1) return 7;
  Sleep((DWORD)delay_ms);
  service->table->Stop(service);
  service->table->Release(service);
  /* Out at once: whatever the library still runs meets the process's exit. */
  if (how == 1) exit(0);
  if (how == 2) ExitProcess(0);
  return 0;
}

static int SetServiceMode(int port, const char* mode) {
  char url[256];
  char reply[256];
  DWORD got = 0;
  int ok = 0;
  HINTERNET root = InternetOpenA("exit_host", INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0);
  HINTERNET request;
  if (!root) return 0;
  snprintf(url, sizeof url, "http://127.0.0.1:%d/_mode?set=%s", port, mode);
  request = InternetOpenUrlA(root, url, NULL, 0,
                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (request) {
    ok = InternetReadFile(request, reply, sizeof reply - 1, &got) && got > 5 &&
         strncmp(reply, "mode=", 5) == 0;
    InternetCloseHandle(request);
  }
  InternetCloseHandle(root);
  return ok;
}

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "plug") == 0) return Plug() ? 0 : 2;
  if (argc >= 2 && strcmp(argv[1], "unplug") == 0) {
    Unplug();
    return 0;
  }
  if (argc >= 6 && strcmp(argv[1], "once") == 0) {
    const int scenario = atoi(argv[2]) % kScenarios;
    if (!SetServiceMode(atoi(argv[5]), kServiceModes[scenario])) {
      fprintf(stderr, "exit_host: no test service on 127.0.0.1:%s\n", argv[5]);
      return 2;
    }
    return Session(scenario, atoi(argv[3]), atoi(argv[4]));
  }
  fprintf(stderr, "usage: exit_host plug | unplug | once SCENARIO DELAY_MS HOW PORT\n");
  return 2;
}
