/* The service interface and the sink as a C host without the project's header sees them: a
 * hand-written table of function pointers with `this` first, the shape an MSVC host's compiler
 * produces for these member calls. On 32-bit Windows they are __thiscall (this in ECX, callee
 * pops its arguments) and the factory is __stdcall; on x86-64 and elsewhere there is one
 * convention. The test hosts share it; each includes what else it needs first. */
#ifndef MOBILEINFO_TESTS_ABI_HOST_SLOTS_H
#define MOBILEINFO_TESTS_ABI_HOST_SLOTS_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define HOSTCALL __thiscall
#define FACTORYCALL __stdcall
#else
#define HOSTCALL /* x86-64: member calls pass this as the first argument */
#define FACTORYCALL
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

#endif /* MOBILEINFO_TESTS_ABI_HOST_SLOTS_H */
