#pragma once
// CXFileTextU: reads a small text file whole and hands it out as lines. A file
// that starts with FF FE is UTF-16LE; any other file is taken byte by byte
// (each byte the unit of the same value). Lines end at every line feed; the
// part after the last one, even when empty, is the last line.

#include <string>
#include <vector>

#include "base/error.h"
#include "storage/file.h"

namespace orvalinth {

class CXFileTextU : public CXError {
 public:
  CXFileTextU();

  // Reads the file (mode 1); 0 when it cannot be opened (the line is in the chain).
  int Open(const std::u16string& path);
  // The next line without its trailing carriage returns; 0 when all were handed out.
  int ReadLine(std::u16string* out);

  bool is_unicode() const { return unicode_; }

 private:
  CXFileErr file_;
  bool unicode_ = false;
  std::vector<std::u16string> lines_;
  size_t next_ = 0;
};

}  // namespace orvalinth
