#pragma once
// Small text helpers shared by every subsystem. Wide text is UTF-16 in
// std::u16string; 8-bit text is std::string.

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace orvalinth {

// Narrowed to 8 bits: every unit becomes its low byte, a zero byte becoming "?".
std::string Narrow(std::u16string_view text);

// Widened byte by byte: every byte becomes the unit of the same value (Latin-1).
std::u16string Widen(std::string_view text);

// Case folding of paths and names: only A to Z become a to z.
constexpr char16_t FoldAZ(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }
constexpr char FoldAZ(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::u16string FoldedAZ(std::u16string_view text);
std::string FoldedAZ(std::string_view text);

// Equality and prefix tests with A-Z folded.
bool EqualsFolded(std::u16string_view a, std::u16string_view b);
bool EqualsFolded(std::string_view a, std::string_view b);
bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix);
bool StartsWithFolded(std::string_view text, std::string_view prefix);
bool EndsWithFolded(std::u16string_view text, std::u16string_view suffix);

// The name order: unit by unit over the shorter length with A-Z folded,
// compared as unsigned 16-bit values; when equal there, the shorter first.
// Negative, zero or positive.
int CompareNames(std::u16string_view a, std::u16string_view b);

// UTF-8 of 16-bit units, unit by unit: one byte below 0x80, two below 0x800,
// else three; surrogates are encoded one by one, never paired.
std::string EncodeUtf8(std::u16string_view text);
// The reverse, byte by byte: a byte that cannot start a sequence (0x80 to 0xBF,
// 0xF0 to 0xFF) gives the unit of its own value; continuation bytes are not
// checked, and those missing at the end count as 0.
std::u16string DecodeUtf8(const char* bytes, size_t length);
inline std::u16string DecodeUtf8(std::string_view bytes) { return DecodeUtf8(bytes.data(), bytes.size()); }
// The zero-terminated variant.
std::u16string DecodeUtf8(const char* zero_terminated);

// printf into a std::string.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// vprintf into a std::string.
std::string VFormat(const char* format, va_list args);

}  // namespace orvalinth
