#pragma once
// CXFile: a thin wrapper of one open file of the platform's file system.
// CXFileErr: the same wrapper turning every failure into one line of its
// error chain:
//   "Cannot " <verb or operation> " file\n[" <path> "] [error:" <code> "]"
// with the verb "create" (modes 2, 4, 6), "update" (mode 3) or "open" (any
// other mode), or the operation "read(n)", "write(n)" or "seek(offset)", and
// the operating system's last error code at the moment of failure.

#include <cstdint>
#include <memory>
#include <string>

#include "base/error.h"
#include "platform/files.h"

namespace orvalinth {

class CXFile {
 public:
  CXFile() = default;
  virtual ~CXFile() = default;
  CXFile(const CXFile&) = delete;
  CXFile& operator=(const CXFile&) = delete;

  // Opens by the mode bits (platform::kOpen*); 1 on success, 0 on failure.
  // An open file is closed first.
  virtual int OpenFile(const std::u16string& path, unsigned mode);
  virtual int OpenFile(const std::string& path, unsigned mode);
  virtual void Close();
  virtual int IsOpen() const;
  // Reads up to n bytes; the count read, 0 when the read fails.
  virtual int32_t ReadBytes(void* buffer, int32_t n);
  // 1 when n is 0 or every byte was written, else 0.
  virtual int WriteAll(const void* buffer, int32_t n);
  // The count written, 0 when the write fails.
  virtual int32_t WriteSome(const void* buffer, int32_t n);
  // Sets the position from the file's start; 1 on success.
  virtual int Seek(int32_t offset);
  // The file size (low 32 bits); 0 when unknown.
  virtual uint32_t GetSize();
  virtual int FlushBuffers();

 protected:
  platform::File* file() const { return file_.get(); }

 private:
  std::unique_ptr<platform::File> file_;
};

class CXFileErr : public CXFile, public CXError {
 public:
  CXFileErr() = default;

  int OpenFile(const std::u16string& path, unsigned mode) override;
  int OpenFile(const std::string& path, unsigned mode) override;
  // n = 0 returns 0 at once; a failed read records "read(n)" and returns -1.
  int32_t ReadBytes(void* buffer, int32_t n) override;
  int WriteAll(const void* buffer, int32_t n) override;
  int Seek(int32_t offset) override;

  const std::u16string& path() const { return path_; }

 private:
  int Fail(const std::string& what, uint32_t code);

  std::u16string path_;
};

}  // namespace orvalinth
