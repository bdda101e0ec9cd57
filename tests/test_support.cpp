#include "test_support.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "base/strings.h"
#include "platform/errors.h"

namespace orvalinth::test {

bool running_under_wine() { return platform::RunningUnderWine(); }

namespace {
std::atomic<int> folder_counter{0};
}  // namespace

TempFolder::TempFolder() {
  platform::FileSystem& fs = platform::FileSystem::Real();
  const std::u16string base = fs.TempFolder();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::u16string candidate =
        base + Widen(Format("orvalinth-test-%u-%d", platform::CurrentProcessId(), folder_counter.fetch_add(1)));
    if (fs.CreateFolder(candidate)) {
      path_ = candidate + u"\\";
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder() { RemoveTree(path_); }

void RemoveTree(const std::u16string& folder) {
  platform::FileSystem& fs = platform::FileSystem::Real();
  std::u16string base = folder;
  if (!base.empty() && base.back() != u'\\') base += u'\\';
  platform::FindData entry;
  std::vector<platform::FindData> entries;
  if (auto search = fs.FindFirst(base + u"*", &entry)) {
    do {
      entries.push_back(entry);
    } while (search->Next(&entry));
  }
  for (const platform::FindData& e : entries) {
    if (e.name == u"." || e.name == u"..") continue;
    const std::u16string path = base + e.name;
    const bool folder_entry = (e.attributes & platform::kAttrDirectory) != 0;
    const bool link = (e.attributes & platform::kAttrReparsePoint) != 0;
    if (folder_entry && !link) {
      RemoveTree(path);
    } else if (folder_entry) {
      if (!fs.RemoveFolder(path)) fs.RemoveFile(path);
    } else {
      fs.RemoveFile(path);
    }
  }
  fs.RemoveFolder(base.substr(0, base.size() - 1));
}

void WriteFileBytes(const std::u16string& path, const std::string& bytes) {
  auto file = platform::FileSystem::Real().Open(path, platform::kOpenCreate);
  if (file == nullptr) throw std::runtime_error("cannot create " + N(path));
  uint32_t written = 0;
  if (!bytes.empty() && !file->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written)) {
    throw std::runtime_error("cannot write " + N(path));
  }
}

std::string ReadFileBytes(const std::u16string& path) {
  auto file = platform::FileSystem::Real().Open(path, platform::kOpenRead);
  if (file == nullptr) return std::string();
  std::string out;
  char buffer[65536];
  uint32_t got = 0;
  while (file->Read(buffer, sizeof buffer, &got) && got > 0) out.append(buffer, got);
  return out;
}

bool FileExists(const std::u16string& path) {
  return platform::FileSystem::Real().Attributes(path) != platform::kInvalidAttributes;
}

std::u16string W(const std::string& text) { return DecodeUtf8(text); }
std::string N(const std::u16string& text) { return EncodeUtf8(text); }

std::string Hex(const std::string& hex) {
  std::string out;
  int high = -1;
  for (char c : hex) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>(high * 16 + v);
      high = -1;
    }
  }
  return out;
}

std::string ToHex(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ' ';
    out += Format("%02X", static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

std::u16string ServiceExecutable() {
  std::string path = ORVALINTH_SERVICE_EXE;
  if (!path.empty() && path[0] == '/') {
    // A host path: drive Z: is the root of the host, under Wine as on POSIX.
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    path = "Z:" + path;
  }
  return W(path);
}

}  // namespace orvalinth::test
