#include "storage/mem_reader.h"

namespace orvalinth {

std::u16string CXMemReader::ReadUnits(int32_t n, bool wide) {
  std::u16string out;
  if (n <= 0) return out;
  out.resize(static_cast<size_t>(n));
  const uint8_t* p = Take(wide ? 2 * n : n);
  if (wide) {
    for (int32_t i = 0; i < n; ++i) out[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  } else {
    for (int32_t i = 0; i < n; ++i) out[i] = p[i];
  }
  return out;
}

}  // namespace orvalinth
