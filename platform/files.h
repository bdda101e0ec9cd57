#pragma once
// Files and folders. Paths are UTF-16 Windows paths ("C:\dir\file.txt") on
// both backends. The POSIX backend maps them onto host paths through its drive
// table (see platform/volumes.h).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/facility.h"

namespace orvalinth::platform {

// Open mode bits.
enum : unsigned {
  kOpenRead = 0x01,
  kOpenWrite = 0x02,
  kOpenCreate = 0x04,      // create anew for reading and writing (an existing file is emptied)
  kOpenSequential = 0x08,  // sequential-scan hint
  // With kOpenWrite alone: every write lands at the file's end as it is at
  // that moment, even when another process wrote meanwhile (a log shared by
  // the upgrader and the service it starts).
  kOpenAppend = 0x10,
};

// File attribute bits as Windows reports them.
enum : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
  kAttrReparsePoint = 0x400,
  kInvalidAttributes = 0xFFFFFFFF,
};

// One open file. Every failing operation returns false and leaves the error
// code as the thread's last error.
class File {
 public:
  virtual ~File() = default;
  // Reads up to n bytes at the current position; *got is 0 at the end of the file.
  virtual bool Read(void* buffer, uint32_t n, uint32_t* got) = 0;
  // Writes n bytes at the current position; *written may be below n only on failure.
  virtual bool Write(const void* buffer, uint32_t n, uint32_t* written) = 0;
  // Sets the position, counted from the start of the file.
  virtual bool Seek(int64_t offset) = 0;
  // Moves to the end of the file and returns that position.
  virtual bool SeekToEnd(int64_t* position) = 0;
  virtual bool Size(uint64_t* size) = 0;
  virtual bool Flush() = 0;
};

// One entry of a folder search.
struct FindData {
  std::u16string name;
  uint32_t attributes = 0;
  int64_t last_write = 0;  // FILETIME: 100 ns units since 1601-01-01 UTC
  uint64_t size = 0;
};

// An open folder search; the search closes when the object goes.
class FindHandle {
 public:
  virtual ~FindHandle() = default;
  // The next entry; false with kErrorNoMoreFiles at the end.
  virtual bool Next(FindData* entry) = 0;
};

// The file system.
class FileSystem : public Facility<FileSystem> {
 public:
  virtual ~FileSystem() = default;

  // Opens by the mode bits above: kOpenCreate creates always (read and write),
  // kOpenRead opens an existing file (plus write with kOpenWrite), kOpenWrite
  // alone opens always (created when missing, contents kept). No bits: fails
  // with kErrorInvalidParameter. Other readers and writers may share the file.
  virtual std::unique_ptr<File> Open(const std::u16string& path, unsigned mode) = 0;

  // Starts a search for `pattern` (a folder path followed by a name that may
  // hold the wildcards * and ?, compared without regard to A-Z case); fills
  // the first entry. Null when nothing matches or the folder cannot be read.
  virtual std::unique_ptr<FindHandle> FindFirst(const std::u16string& pattern, FindData* first) = 0;

  virtual bool RemoveFile(const std::u16string& path) = 0;
  // Renames, replacing an existing target.
  virtual bool RenameFile(const std::u16string& from, const std::u16string& to) = 0;
  // Makes the entries of a folder durable: a file created, renamed into or
  // removed from it is still so after a power loss once this returns true
  // (File::Flush makes a file's bytes durable, this its name). POSIX: fsync
  // of the folder. Windows: NTFS journals its folder entries itself and
  // offers no call that flushes a folder, so this only checks that the
  // folder exists.
  virtual bool SyncFolder(const std::u16string& path) = 0;
  virtual bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool fail_if_exists) = 0;
  virtual bool CreateFolder(const std::u16string& path) = 0;
  // Removes an empty folder.
  virtual bool RemoveFolder(const std::u16string& path) = 0;
  // Attributes of a file or folder, kInvalidAttributes when it does not exist.
  virtual uint32_t Attributes(const std::u16string& path) = 0;
  // Schedules the deletion of a file for the next restart of the machine.
  virtual bool DeleteAtReboot(const std::u16string& path) = 0;
  // The system's folder for temporary files, ending with a backslash; empty on failure.
  virtual std::u16string TempFolder() = 0;
};

template <>
FileSystem& Facility<FileSystem>::Real();

// Forwards every call to another file system; tests derive from it to inject
// faults into chosen operations.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  std::unique_ptr<File> Open(const std::u16string& path, unsigned mode) override { return target_.Open(path, mode); }
  std::unique_ptr<FindHandle> FindFirst(const std::u16string& pattern, FindData* first) override {
    return target_.FindFirst(pattern, first);
  }
  bool RemoveFile(const std::u16string& path) override { return target_.RemoveFile(path); }
  bool RenameFile(const std::u16string& from, const std::u16string& to) override { return target_.RenameFile(from, to); }
  bool SyncFolder(const std::u16string& path) override { return target_.SyncFolder(path); }
  bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool fail_if_exists) override {
    return target_.CopyFileTo(from, to, fail_if_exists);
  }
  bool CreateFolder(const std::u16string& path) override { return target_.CreateFolder(path); }
  bool RemoveFolder(const std::u16string& path) override { return target_.RemoveFolder(path); }
  uint32_t Attributes(const std::u16string& path) override { return target_.Attributes(path); }
  bool DeleteAtReboot(const std::u16string& path) override { return target_.DeleteAtReboot(path); }
  std::u16string TempFolder() override { return target_.TempFolder(); }

 protected:
  FileSystem& target() { return target_; }

 private:
  FileSystem& target_;
};

}  // namespace orvalinth::platform
