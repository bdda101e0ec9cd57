#include "storage/text_file.h"

#include "platform/files.h"

namespace orvalinth {

CXFileTextU::CXFileTextU() { file_.SetParent(this, true); }

int CXFileTextU::Open(const std::u16string& path) {
  file_.Close();
  lines_.clear();
  next_ = 0;
  unicode_ = false;
  if (!file_.OpenFile(path, platform::kOpenRead)) return 0;

  const uint32_t size = file_.GetSize();
  unsigned char bom[2] = {0, 0};
  uint32_t start = 0;
  if (size >= 2 && file_.ReadBytes(bom, 2) == 2 && bom[0] == 0xFF && bom[1] == 0xFE) {
    unicode_ = true;
    start = 2;
  } else {
    file_.Seek(0);
  }

  std::string bytes(size - start, '\0');
  uint32_t got = 0;
  while (got < bytes.size()) {
    const int32_t n = file_.ReadBytes(&bytes[got], static_cast<int32_t>(bytes.size() - got));
    if (n <= 0) break;
    got += static_cast<uint32_t>(n);
  }
  bytes.resize(got);

  std::u16string text;
  if (unicode_) {
    text.resize(bytes.size() / 2);
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                      (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
  } else {
    text.resize(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) text[i] = static_cast<unsigned char>(bytes[i]);
  }

  size_t begin = 0;
  for (;;) {
    const size_t lf = text.find(u'\n', begin);
    if (lf == std::u16string::npos) {
      lines_.push_back(text.substr(begin));
      break;
    }
    lines_.push_back(text.substr(begin, lf - begin));
    begin = lf + 1;
  }
  return 1;
}

int CXFileTextU::ReadLine(std::u16string* out) {
  if (next_ >= lines_.size()) return 0;
  *out = lines_[next_++];
  while (!out->empty() && out->back() == u'\r') out->pop_back();
  return 1;
}

}  // namespace orvalinth
