// The one seam between the core and the machine. A backend answers questions ("which devices are
// present", "fetch this URL", "read this key of this INI file") and reports what the machine says;
// it never applies one of the system's rules. Every text crossing the seam is UTF-16; no OS type
// crosses it. Exactly one backend is linked in (platform/win32 or platform/linux), each defining
// Platform::Default(); tests pass a FakePlatform to the service object instead.
//
// Unless an operation says otherwise it may be called from any thread, concurrently.
#ifndef MOBILEINFO_PLATFORM_PLATFORM_H
#define MOBILEINFO_PLATFORM_PLATFORM_H

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/debug_log.h"

namespace mobileinfo {

// Win32 error numbers the core reasons about; backends translate their own errors to these.
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorOutOfMemory = 14;
constexpr uint32_t kErrorGenFailure = 31;

struct OsVersion {
  uint32_t platform_id = 0;  // 2 = NT family
  uint32_t major = 0;
  uint32_t minor = 0;
};

// One entry of the present-device list.
struct PresentDevice {
  // The device instance id, or nothing when it could not be read (the scan is then abandoned).
  std::optional<std::u16string> instance_id;
  // The device description, or nothing when it cannot be read.
  std::optional<std::u16string> description;
};

// One entry of an interface class list, as the platform lists it.
struct InterfaceEntry {
  // The device path, or nothing when it could not be fetched; path_error then holds the error.
  std::optional<std::u16string> path;
  uint32_t path_error = 0;
  bool active = false;  // SPINT_ACTIVE: the interface's device is plugged in and started
};

// An open list of the interfaces of one class. Used by one thread at a time.
class InterfaceList {
 public:
  virtual ~InterfaceList() = default;
  // Fills the entry for the next member. False at the end of the list or on failure; error() then
  // tells which (kErrorNoMoreItems at the normal end).
  virtual bool Next(InterfaceEntry& entry) = 0;
  virtual uint32_t error() const = 0;
};

// An open file. Used by one thread at a time; closed by destruction.
class File {
 public:
  virtual ~File() = default;
  // Bytes read (0 at the end of the file), or nothing on failure.
  virtual std::optional<uint32_t> Read(void* buffer, uint32_t size) = 0;
  // True when all bytes were written.
  virtual bool Write(const void* data, uint32_t size) = 0;
  // Moves to offset from the beginning; returns the new position, or -1 on failure.
  virtual int64_t Seek(uint32_t offset) = 0;
  // Writes what the system still holds of this file's content through to the disk
  // (FlushFileBuffers). True when it is there.
  virtual bool Flush() = 0;
  // The low 32 bits of the file's size.
  virtual uint32_t Size() = 0;
};

// Why a file could not be opened, as the diagnostics tell it. Backends translate their own errors
// (ERROR_SHARING_VIOLATION, EACCES, ...) to these.
enum class FileError {
  kNone,
  kNotFound,      // no such file or folder
  kInUse,         // another program holds the file open
  kAccessDenied,  // no permission
  kDiskFull,
  kOther,
};
// "not there", "held by another program", "access denied", "disk full", "failed".
const char16_t* FileErrorText(FileError error);

enum class FileMode {
  kReadExisting,  // GENERIC_READ, OPEN_EXISTING
  kCreateAlways,  // GENERIC_WRITE, CREATE_ALWAYS (truncates an existing file)
};

// An HTTP GET in flight: direct connection, no proxy, nothing written to an HTTP cache. Redirects
// are followed, at most 10, only to http or https and never from https to http; a redirect that
// may not be followed gives no 2xx reply (no request, or the redirect's own status). Cancel() may be called from another thread at any time; every
// later call then fails quickly. Destruction does not wait for what is left of the body.
class HttpRequest {
 public:
  virtual ~HttpRequest() = default;
  // The final reply's HTTP status code (200, 404, ...); 0 when the reply had no status line.
  virtual uint32_t StatusCode() = 0;
  // The Content-Length header's text as the server sent it, or nothing when the reply has none
  // (or the text does not fit 31 units, as a 64-byte query buffer would refuse it).
  virtual std::optional<std::u16string> ContentLength() = 0;
  // One read of up to size body bytes; returns the bytes delivered. Blocks until size bytes
  // arrived, the body ended, the connection failed or the request was cancelled.
  virtual uint32_t Read(void* buffer, uint32_t size) = 0;
  // True once a Read has stopped because the body ended as the server ended it (every byte
  // delivered); false before that, and when reading stopped at a failure of the connection, the
  // limit or a cancel. A reply without Content-Length is whole only by this.
  virtual bool BodyEnded() = 0;
  virtual void Cancel() = 0;
};

class Platform : public DebugLineOutput {
 public:
  virtual ~Platform() = default;

  // The backend linked into the library. Lives for the life of the process.
  static Platform& Default();

  // --- environment --------------------------------------------------------------------------
  // The directory of the host process's executable, without a trailing separator (except a
  // drive's root on Windows, "C:\\", as PathRemoveFileSpecW leaves it).
  virtual std::u16string HostDirectory() = 0;
  // The character that separates path components ('\\' on Windows, '/' elsewhere).
  virtual char16_t PathSeparator() = 0;
  virtual std::optional<OsVersion> GetOsVersion() = 0;
  // The native processor architecture (PROCESSOR_ARCHITECTURE_* numbering: 0 x86, 6 IA64,
  // 9 AMD64, 12 ARM64), or nothing when the system cannot tell it.
  virtual std::optional<uint16_t> NativeProcessorArchitecture() = 0;
  virtual uint32_t TickCount() = 0;      // milliseconds, wraps at 2^32
  virtual int32_t Now() = 0;             // seconds since 1970
  virtual uint32_t ProcessId() = 0;
  // False when the system has no process of that id. A process that exists but may not be
  // examined counts as existing, so that a caller never takes a live process for an ended one.
  virtual bool ProcessExists(uint32_t process_id) = 0;
  // True when size bytes at address can be read without a fault.
  virtual bool IsReadable(const void* address, uint32_t size) = 0;
  // Writes message to the debugger output and breaks into the debugger.
  virtual void DebugTrap(const char16_t* message) = 0;
  // Frees a block a host handed over when it came from a heap this library may free it into,
  // with that heap's own function; false, the block untouched, for any other. Windows tells the
  // library's C runtime heap and the process heap by HeapValidate (a host built with another
  // runtime, or a private heap, has blocks of neither). The default: the process has one C heap,
  // that of malloc, as on Linux.
  virtual bool FreeHostBlock(void* block);

  // --- settings -------------------------------------------------------------------------------
  // GetPrivateProfileStringW with a null default: section and key match ignoring case; a missing
  // file, section or key or an empty value gives "" and 0; a longer value is cut to capacity - 1.
  // Returns the units copied.
  virtual uint32_t ReadProfileString(const std::u16string& file, const std::u16string& section,
                                     const std::u16string& key, uint32_t capacity,
                                     std::u16string& value) = 0;

  // One key of a batch for ReadProfileStrings: key and capacity in, value and count out.
  struct ProfileRead {
    std::u16string key;
    uint32_t capacity = 0;
    std::u16string value;
    uint32_t count = 0;
  };
  // Reads several keys of one section, each exactly as ReadProfileString would. A backend whose
  // ReadProfileString reads and decodes the file on every call (both backends do) reads it once
  // here. The default asks ReadProfileString key by key.
  virtual void ReadProfileStrings(const std::u16string& file, const std::u16string& section,
                                  std::vector<ProfileRead>& reads) {
    for (ProfileRead& read : reads) {
      read.count = ReadProfileString(file, section, read.key, read.capacity, read.value);
    }
  }

  // --- files ----------------------------------------------------------------------------------
  virtual bool FileExists(const std::u16string& path) = 0;
  // Null when the file cannot be opened; *error (when given) then tells why. Files are opened
  // without sharing.
  virtual std::unique_ptr<File> OpenFile(const std::u16string& path, FileMode mode,
                                         FileError* error = nullptr) = 0;
  virtual bool DeleteFile(const std::u16string& path) = 0;
  // Puts the file at from in the place of the file at to in one step, whether or not to exists
  // (MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH): a reader of to sees
  // its old content or the new, never neither, and once this returns true the change is on the
  // disk. A read-only file at to is replaced too. False when the system refused (from or to is
  // open, no permission, another volume); to is then unchanged and from is still there.
  // *error (when given) tells why it refused.
  virtual bool ReplaceFile(const std::u16string& from, const std::u16string& to,
                           FileError* error = nullptr) = 0;
  virtual bool CreateDirectory(const std::u16string& path) = 0;
  // The directory name in which the system keeps this user's program state, made (with any
  // missing parents, closed to others) when it is not there: on Linux $XDG_STATE_HOME/name,
  // ~/.local/state/name by default. Empty where the system has no such place for the library's
  // data, whose files then stay beside the host (the default, Windows), or when it cannot be made.
  virtual std::u16string UserStateDirectory(const std::u16string&) { return std::u16string(); }
  // Whether this process may create and replace files in the directory at path. Asked only on a
  // system with a UserStateDirectory, to choose between the two; the default says yes.
  virtual bool CanWriteDirectory(const std::u16string&) { return true; }
  // The user's temporary folder, with a trailing separator: a folder no other local user can
  // create, replace or read files in (Windows: GetTempPathW's folder of the user's profile).
  // Empty when there is none.
  virtual std::u16string TempDirectory() = 0;
  // The names, without the folder, of the files in directory (given with its trailing
  // separator) whose names begin with prefix. Windows matches ignoring letter case and may match
  // a file by its short 8.3 name too, so callers check each name they get. Empty when there is
  // none or the folder cannot be read.
  virtual std::vector<std::u16string> ListFiles(const std::u16string& directory,
                                                const std::u16string& prefix) = 0;

  // --- USB --------------------------------------------------------------------------------------
  // Lists every present device of every class. False when the list cannot be opened. Devices are
  // reported in the platform's order; an entry without instance id tells that reading it failed.
  // Called with the enumeration lock held.
  virtual bool ListPresentDevices(std::vector<PresentDevice>& devices) = 0;
  // Opens the list of the interfaces of one class, including those of unplugged devices. Null
  // when the list cannot be opened.
  virtual std::unique_ptr<InterfaceList> OpenInterfaceList(const std::u16string& class_guid) = 0;
  // Opens the interface at path and sends the get-serial-number request 0x00224040 with a
  // 1024-byte output buffer, which it zeroes first. False when the open or the request fails, and
  // when the driver has not answered within limit_ms: the request is then abandoned (cancelled)
  // and the call returns soon after the limit, whatever the driver does.
  // While an interface list is open, a backend that learnt the answer in making it may give that
  // answer (the Linux backend reads the serial with the bus that tells which interfaces are
  // active), so that one scan reads the machine once.
  virtual bool RequestAdbSerial(const std::u16string& path, std::array<uint8_t, 1024>& reply,
                                uint32_t limit_ms) = 0;

  // --- network ----------------------------------------------------------------------------------
  // Starts an HTTP GET of url. Null when no request handle was had (bad URL, no connection, no
  // answer). The whole request is bounded by limit_ms from this call on: opening fails, and a
  // read returns what it has, once the limit has passed (give or take one network wait of at
  // most limit_ms on Windows, whose time-outs are per operation).
  virtual std::unique_ptr<HttpRequest> OpenUrl(const std::u16string& url, uint32_t limit_ms) = 0;

  // --- threads ----------------------------------------------------------------------------------
  // Runs work on a thread of its own that nobody waits for. The thread keeps the library loaded
  // until it ends. False when no thread could be started (work is then destroyed unrun).
  virtual bool RunDetached(std::function<void()> work) = 0;
  // Delivers the messages that other threads have sent (SendMessageW) to the calling thread's
  // windows, and returns without taking anything from its queue. A thread that waits for a host's
  // sink calls it while it waits, as COM's waits do in a single-threaded apartment: the sink may
  // be sending to the very thread that waits. Nothing to do where there are no windows.
  virtual void DispatchSentMessages() {}

  // --- diagnostics ------------------------------------------------------------------------------
  // The value of the process's environment variable name, or nothing when it is not set.
  virtual std::optional<std::u16string> EnvironmentVariable(const std::u16string& name) = 0;
  // Writes one diagnostic line (given without a line end): to the system's debug output
  // (Windows: OutputDebugStringW; elsewhere: standard error) when path is empty, else appended
  // with a line end, as UTF-8, to the file at path, created when missing. Failures are ignored.
  void WriteDebugLine(const std::u16string& line, const std::u16string& path) override = 0;

  // The diagnostics switch of the services that use this platform (see support/debug_log.h).
  DebugLog& debug_log() { return debug_log_; }

  // A number this object has not handed out before (until it wraps after 2^32 calls). Every
  // service object of a process uses the backend's one object, so the process id and this
  // number name something that no other user of the library on the machine names meanwhile.
  uint32_t NextUniqueNumber() { return unique_numbers_.fetch_add(1) + 1; }

 private:
  DebugLog debug_log_;
  std::atomic<uint32_t> unique_numbers_{0};
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_PLATFORM_PLATFORM_H
