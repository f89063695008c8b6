// The backend header first: the SDK headers below need <windows.h> before them.
#include "platform/win32/win32_platform.h"

#include <shlwapi.h>

namespace mobileinfo {
namespace {

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  std::optional<uint32_t> Read(void* buffer, uint32_t size) override {
    DWORD got = 0;
    if (!ReadFile(handle_, buffer, size, &got, nullptr)) return std::nullopt;
    return got;
  }

  bool Write(const void* data, uint32_t size) override {
    DWORD written = 0;
    return WriteFile(handle_, data, size, &written, nullptr) && written == size;
  }

  int64_t Seek(uint32_t offset) override {
    // Passing the high part makes the whole unsigned 32-bit offset a forward distance; without
    // it offsets from 2 GiB on would be taken as negative.
    LONG high = 0;
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(handle_, static_cast<LONG>(offset), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
    return (static_cast<int64_t>(high) << 32) | low;
  }

  bool Flush() override { return FlushFileBuffers(handle_) != FALSE; }

  uint32_t Size() override { return GetFileSize(handle_, nullptr); }

 private:
  HANDLE handle_;
};

FileError FileErrorOf(DWORD number) {
  switch (number) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: return FileError::kNotFound;
    case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: return FileError::kInUse;
    case ERROR_ACCESS_DENIED: case ERROR_WRITE_PROTECT: return FileError::kAccessDenied;
    case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return FileError::kDiskFull;
    default: return FileError::kOther;
  }
}

}  // namespace

std::wstring FilePathText(const std::u16string& path) {
  const std::wstring text(reinterpret_cast<const wchar_t*>(path.c_str()), path.size());
  if (text.size() < MAX_PATH || text.compare(0, 4, L"\\\\?\\") == 0) return text;
  if (text.size() >= 3 && text[1] == L':' && text[2] == L'\\') return L"\\\\?\\" + text;
  if (text.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + text.substr(2);
  return text;
}

bool Win32Platform::FileExists(const std::u16string& path) {
  // PathFileExistsW takes no path of MAX_PATH units or more; for those the attributes answer.
  if (path.size() < MAX_PATH) return PathFileExistsW(WideText(path)) != FALSE;
  return GetFileAttributesW(FilePathText(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::unique_ptr<File> Win32Platform::OpenFile(const std::u16string& path, FileMode mode,
                                              FileError* error) {
  const bool read = mode == FileMode::kReadExisting;
  const DWORD access = read ? GENERIC_READ : GENERIC_WRITE;
  const DWORD disposition = read ? OPEN_EXISTING : CREATE_ALWAYS;
  // No sharing: a second open of the same file, here or in another process, fails while this
  // one is open.
  HANDLE handle = CreateFileW(FilePathText(path).c_str(), access, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (error) *error = FileErrorOf(GetLastError());
    return nullptr;
  }
  return std::make_unique<Win32File>(handle);
}

bool Win32Platform::DeleteFile(const std::u16string& path) {
  return DeleteFileW(FilePathText(path).c_str()) != FALSE;
}

bool Win32Platform::ReplaceFile(const std::u16string& from, const std::u16string& to,
                                FileError* error) {
  constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  const std::wstring source = FilePathText(from);
  const std::wstring target = FilePathText(to);
  if (MoveFileExW(source.c_str(), target.c_str(), kFlags)) return true;
  DWORD why = GetLastError();
  // MoveFileExW does not replace a read-only file: the attribute goes first, and comes back when
  // the replace still fails.
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    if (MoveFileExW(source.c_str(), target.c_str(), kFlags)) return true;
    why = GetLastError();
    SetFileAttributesW(target.c_str(), attributes);
  }
  if (error) *error = FileErrorOf(why);
  return false;
}

bool Win32Platform::CreateDirectory(const std::u16string& path) {
  return CreateDirectoryW(FilePathText(path).c_str(), nullptr) != FALSE;
}

std::u16string Win32Platform::TempDirectory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD length = GetTempPathW(MAX_PATH, buffer);
  if (length == 0 || length > MAX_PATH) return std::u16string();  // fails or would not fit
  return TextFromBuffer(buffer, MAX_PATH);
}

std::vector<std::u16string> Win32Platform::ListFiles(const std::u16string& directory,
                                                    const std::u16string& prefix) {
  std::vector<std::u16string> names;
  const std::u16string pattern = directory + prefix + u"*";
  WIN32_FIND_DATAW found = {};
  HANDLE search = FindFirstFileW(WideText(pattern), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  try {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        names.push_back(TextFromBuffer(found.cFileName, MAX_PATH));
      }
    } while (FindNextFileW(search, &found));
  } catch (...) {
    // Out of memory: the names had so far.
  }
  FindClose(search);
  return names;
}

}  // namespace mobileinfo
