/* A host written in C without the project's header: it loads the library by name, finds
 * CreatePelmoInfo and calls every slot through a hand-written table of function pointers with
 * `this` first, the shape an MSVC host's compiler produces for these member calls. A wrong slot
 * order, a wrong argument count or an extra vtable slot shows up here as a wrong result or a
 * crash. Prints "N passed, N failed". */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <wchar.h>
#include <windows.h>
#define HOSTCALL __thiscall
#define FACTORYCALL __stdcall
#else
#include <dlfcn.h>
#include <unistd.h>
#define HOSTCALL
#define FACTORYCALL
#endif

#if defined(_WIN64) || !defined(_WIN32)
#undef HOSTCALL
#define HOSTCALL /* x86-64: member calls pass this as the first argument */
#endif

typedef struct Service Service;
typedef struct {
  void(HOSTCALL* Release)(Service*);
  int32_t(HOSTCALL* Init)(Service*, void* sink, int32_t fresh_start);
  int32_t(HOSTCALL* Start)(Service*);
  int32_t(HOSTCALL* Stop)(Service*);
  void(HOSTCALL* OnDeviceChange)(Service*, uint32_t type, int32_t data);
  int32_t*(HOSTCALL* Reserved5)(Service*, int32_t* slot, int32_t ignored);
  void(HOSTCALL* FreeBuffer)(Service*, void* buffer);
  int32_t(HOSTCALL* Reserved7)(Service*, int32_t);
  int32_t(HOSTCALL* Reserved8)(Service*, int32_t);
  int32_t(HOSTCALL* Reserved9)(Service*, int32_t, int32_t, int32_t);
  int32_t(HOSTCALL* RefreshDriverInfo)(Service*, void* record);
  void(HOSTCALL* ExcludeFromCache)(Service*, uint16_t* serial_text);
  int32_t(HOSTCALL* QueryPhoneStatus)(Service*, void* record);
  void*(HOSTCALL* DeletingDestructor)(Service*, uint32_t flags);
  void(HOSTCALL* ClearAndDestroy)(Service*);
} ServiceTable;
struct Service {
  const ServiceTable* table;
};
typedef Service*(FACTORYCALL* Factory)(int32_t, int32_t);

/* The host's sink: slot 0 is OnEvent(this, code, record). */
typedef struct Sink Sink;
typedef struct {
  int32_t(HOSTCALL* OnEvent)(Sink*, int32_t code, void* record);
} SinkTable;
struct Sink {
  const SinkTable* table;
};
static int32_t HOSTCALL OnEvent(Sink* self, int32_t code, void* record) {
  (void)self;
  (void)code;
  (void)record;
  return 0;
}
static const SinkTable kSinkTable = {OnEvent};

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

#if defined(_WIN32)
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

int main(int argc, char** argv) {
  Factory create;
  Service* service;
  Sink sink = {&kSinkTable};
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
  CheckVersionResource(module);
#else
  void* module;
  /* No USB bus for this host: the scans see an empty tree. */
  setenv("MOBILEINFO_SYSFS_ROOT", "/nonexistent-mobileinfo-abi-root", 1);
  module = dlopen(library, RTLD_NOW);
  if (!module) {
    fprintf(stderr, "cannot load %s: %s\n", library, dlerror());
    return 1;
  }
  *(void**)(&create) = dlsym(module, "CreatePelmoInfo");
#endif
  CHECK(create != NULL);
  if (!create) return 1;

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
  CHECK(service->table->Init(service, &sink, 1) == 1);
  service->table->ExcludeFromCache(service, MakeWideString("R58M12345ABC"));
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
  CHECK(service->table->Init(service, &sink, 1) == 1);
  CHECK(service->table->Stop(service) == 1);
  service->table->ClearAndDestroy(service);

  service = create(0, 0);
  CHECK(service->table->DeletingDestructor(service, 1) == (void*)service);

  printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
