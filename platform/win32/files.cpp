// Files and folders through the Windows API.

#include "platform/files.h"

#include "platform/errors.h"
#include "platform/win32/win.h"

namespace orvalinth::platform {
namespace {

using win32::FileTimeValue;
using win32::Handle;
using win32::U;
using win32::CallPath;
using win32::W;

class WinFile final : public File {
 public:
  explicit WinFile(HANDLE h) : handle_(h) {}

  bool Read(void* buffer, uint32_t n, uint32_t* got) override {
    DWORD read = 0;
    const BOOL ok = ReadFile(handle_.get(), buffer, n, &read, /*lpOverlapped=*/nullptr);
    *got = ok ? read : 0;
    return ok != FALSE;
  }

  bool Write(const void* buffer, uint32_t n, uint32_t* written) override {
    DWORD done = 0;
    const BOOL ok = WriteFile(handle_.get(), buffer, n, &done, /*lpOverlapped=*/nullptr);
    *written = done;
    return ok != FALSE && done == n;
  }

  bool Seek(int64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return SetFilePointerEx(handle_.get(), to, /*lpNewFilePointer=*/nullptr, FILE_BEGIN) != FALSE;
  }

  bool SeekToEnd(int64_t* position) override {
    LARGE_INTEGER zero{};
    LARGE_INTEGER at{};
    if (!SetFilePointerEx(handle_.get(), zero, &at, FILE_END)) return false;
    *position = at.QuadPart;
    return true;
  }

  bool Size(uint64_t* size) override {
    LARGE_INTEGER s{};
    if (!GetFileSizeEx(handle_.get(), &s)) return false;
    *size = static_cast<uint64_t>(s.QuadPart);
    return true;
  }

  bool Flush() override { return FlushFileBuffers(handle_.get()) != FALSE; }

 private:
  Handle handle_;
};

void Fill(const WIN32_FIND_DATAW& data, FindData* entry) {
  // Assigned in place: the caller's entry keeps its room from name to name.
  entry->name.assign(reinterpret_cast<const char16_t*>(data.cFileName));
  entry->attributes = data.dwFileAttributes;
  entry->last_write = FileTimeValue(data.ftLastWriteTime);
  entry->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

class WinFind final : public FindHandle {
 public:
  explicit WinFind(HANDLE h) : h_(h) {}
  ~WinFind() override { FindClose(h_); }
  bool Next(FindData* entry) override {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(h_, &data)) return false;
    Fill(data, entry);
    return true;
  }

 private:
  HANDLE h_;
};

class WinFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::u16string& path, unsigned mode) override {
    DWORD access = 0;
    DWORD disposition = 0;
    if (mode & kOpenCreate) {
      access = GENERIC_READ | GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
    } else if (mode & kOpenRead) {
      access = GENERIC_READ | ((mode & kOpenWrite) ? GENERIC_WRITE : 0);
      disposition = OPEN_EXISTING;
    } else if (mode & kOpenWrite) {
      // Without the right to write data anywhere, the system appends each write.
      access = (mode & kOpenAppend) ? (FILE_GENERIC_WRITE & ~FILE_WRITE_DATA) | FILE_READ_ATTRIBUTES : GENERIC_WRITE;
      disposition = OPEN_ALWAYS;
    } else {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const DWORD flags = (mode & kOpenSequential) ? FILE_FLAG_SEQUENTIAL_SCAN : FILE_ATTRIBUTE_NORMAL;
    std::u16string call;
    if (!CallPath(path, &call)) return nullptr;
    HANDLE h = CreateFileW(W(call), access, FILE_SHARE_READ | FILE_SHARE_WRITE, /*lpSecurityAttributes=*/nullptr,
                           disposition, flags, /*hTemplateFile=*/nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WinFile>(h);
  }

  std::unique_ptr<FindHandle> FindFirst(const std::u16string& pattern, FindData* first) override {
    WIN32_FIND_DATAW data;
    std::u16string call;
    if (!CallPath(pattern, &call)) return nullptr;
    HANDLE h = FindFirstFileExW(W(call), FindExInfoBasic, &data, FindExSearchNameMatch,
                                /*lpSearchFilter=*/nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    Fill(data, first);
    return std::make_unique<WinFind>(h);
  }

  bool RemoveFile(const std::u16string& path) override {
    std::u16string call;
    return CallPath(path, &call) && DeleteFileW(W(call)) != FALSE;
  }
  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    std::u16string source, target;
    return CallPath(from, &source) && CallPath(to, &target) &&
           MoveFileExW(W(source), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != FALSE;
  }
  // NTFS writes its folder entries through its own journal, and Windows has
  // no documented call that flushes a folder (SQLite syncs no folder on
  // Windows either): the folder only has to exist.
  bool SyncFolder(const std::u16string& path) override {
    std::u16string call;
    if (!CallPath(path, &call)) return false;
    const DWORD attributes = GetFileAttributesW(W(call));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ::SetLastError(ERROR_DIRECTORY);
      return false;
    }
    return true;
  }
  bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool fail_if_exists) override {
    std::u16string source, target;
    return CallPath(from, &source) && CallPath(to, &target) &&
           CopyFileW(W(source), W(target), fail_if_exists ? TRUE : FALSE) != FALSE;
  }
  bool CreateFolder(const std::u16string& path) override {
    std::u16string call;
    return CallPath(path, &call) && CreateDirectoryW(W(call), /*lpSecurityAttributes=*/nullptr) != FALSE;
  }
  bool RemoveFolder(const std::u16string& path) override {
    std::u16string call;
    return CallPath(path, &call) && RemoveDirectoryW(W(call)) != FALSE;
  }
  uint32_t Attributes(const std::u16string& path) override {
    std::u16string call;
    return CallPath(path, &call) ? GetFileAttributesW(W(call)) : kInvalidAttributes;
  }
  bool DeleteAtReboot(const std::u16string& path) override {
    std::u16string call;
    return CallPath(path, &call) &&
           MoveFileExW(W(call), /*lpNewFileName=*/nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
  }
  std::u16string TempFolder() override {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) return std::u16string();
    std::u16string out = U(buffer, n);
    if (out.back() != u'\\') out += u'\\';
    return out;
  }
};

}  // namespace

template <>
FileSystem& Facility<FileSystem>::Real() {
  static WinFileSystem instance;
  return instance;
}

}  // namespace orvalinth::platform
