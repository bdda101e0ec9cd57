#pragma once
// What the seed programs share: the writing of one seed input, its bytes as
// they stand, into the folder given as the program's argument.

#include <fstream>
#include <string>

namespace orvalinth::fuzz {

// Writes `bytes` as the file `name` of `folder`.
inline void WriteSeed(const std::string& folder, const char* name, const std::string& bytes) {
  std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
}

}  // namespace orvalinth::fuzz
