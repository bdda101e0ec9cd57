#include "storage/file.h"

#include "base/strings.h"
#include "platform/errors.h"

namespace orvalinth {

int CXFile::OpenFile(const std::u16string& path, unsigned mode) {
  file_ = platform::FileSystem::Get().Open(path, mode);
  return file_ != nullptr ? 1 : 0;
}

int CXFile::OpenFile(const std::string& path, unsigned mode) { return OpenFile(Widen(path), mode); }

void CXFile::Close() { file_.reset(); }

int CXFile::IsOpen() const { return file_ != nullptr ? 1 : 0; }

int32_t CXFile::ReadBytes(void* buffer, int32_t n) {
  uint32_t got = 0;
  if (file_ == nullptr || n <= 0) return 0;
  if (!file_->Read(buffer, static_cast<uint32_t>(n), &got)) return 0;
  return static_cast<int32_t>(got);
}

int CXFile::WriteAll(const void* buffer, int32_t n) {
  if (n == 0) return 1;
  if (file_ == nullptr) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return 0;
  }
  uint32_t written = 0;
  return file_->Write(buffer, static_cast<uint32_t>(n), &written) && written == static_cast<uint32_t>(n) ? 1 : 0;
}

int32_t CXFile::WriteSome(const void* buffer, int32_t n) {
  if (file_ == nullptr || n <= 0) return 0;
  uint32_t written = 0;
  if (!file_->Write(buffer, static_cast<uint32_t>(n), &written)) return 0;
  return static_cast<int32_t>(written);
}

int CXFile::Seek(int32_t offset) {
  if (file_ == nullptr) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return 0;
  }
  return file_->Seek(offset) ? 1 : 0;
}

uint32_t CXFile::GetSize() {
  uint64_t size = 0;
  if (file_ == nullptr || !file_->Size(&size)) return 0;
  return static_cast<uint32_t>(size);
}

int CXFile::FlushBuffers() { return file_ != nullptr && file_->Flush() ? 1 : 0; }

int CXFileErr::Fail(const std::string& what, uint32_t code) {
  std::u16string text = u"Cannot " + Widen(what) + u" file\n[" + path_ + u"] [error:" +
                        Widen(std::to_string(code)) + u"]";
  return SetError("", text);
}

int CXFileErr::OpenFile(const std::u16string& path, unsigned mode) {
  path_ = path;
  if (CXFile::OpenFile(path, mode)) return 1;
  const uint32_t code = platform::LastError();
  const char* verb = (mode == 2 || mode == 4 || mode == 6) ? "create" : (mode == 3 ? "update" : "open");
  return Fail(verb, code);
}

int CXFileErr::OpenFile(const std::string& path, unsigned mode) { return OpenFile(Widen(path), mode); }

int32_t CXFileErr::ReadBytes(void* buffer, int32_t n) {
  if (n == 0) return 0;
  uint32_t got = 0;
  if (file() == nullptr || n < 0 || !file()->Read(buffer, static_cast<uint32_t>(n), &got)) {
    const uint32_t code = file() == nullptr ? platform::kErrorInvalidHandle : platform::LastError();
    Fail(Format("read(%d)", n), code);
    return -1;
  }
  return static_cast<int32_t>(got);
}

int CXFileErr::WriteAll(const void* buffer, int32_t n) {
  if (CXFile::WriteAll(buffer, n)) return 1;
  return Fail(Format("write(%d)", n), platform::LastError());
}

int CXFileErr::Seek(int32_t offset) {
  if (CXFile::Seek(offset)) return 1;
  return Fail("seek(" + std::to_string(offset) + ")", platform::LastError());
}

}  // namespace orvalinth
