#pragma once
// Text helpers of the console: UTF-8 as people and JSON readers expect it
// (surrogate pairs combined, 4-byte sequences), JSON string quoting, safe
// display of text that came from an agent, and hex dumps of frames.
//
// The agent's own UTF-8 (EncodeUtf8/DecodeUtf8) writes every UTF-16 unit on
// its own, so a character outside the basic plane travels as two 3-byte
// sequences; the console converts user text to UTF-16 first and lets
// EncodeUtf8 produce that form, and converts received UTF-16 back to real
// UTF-8 here.

#include <cstddef>
#include <string>
#include <string_view>

namespace orvalinth::tools {

// UTF-8 to UTF-16 with 4-byte sequences as surrogate pairs. A byte that does
// not start a well-formed sequence gives the unit of its own value.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8 with surrogate pairs combined; a lone surrogate becomes
// U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// Bytes that came as 8-bit text: well-formed UTF-8 stays, every other byte is
// taken as the character of its own value (Latin-1), so the result is always
// valid UTF-8.
std::string BytesToUtf8(std::string_view bytes);

// A JSON string literal (with the quotes) of 8-bit text (BytesToUtf8) or of
// UTF-16 text (lone surrogates as \uXXXX escapes). Control characters, the
// quote and the backslash are escaped.
std::string JsonQuote(std::string_view bytes);
std::string JsonQuote(std::u16string_view text);

// Text from an agent made safe to print on a terminal: BytesToUtf8, then every
// control character (and DEL) written as \xNN, so no escape sequence reaches
// the terminal. With `keep_newlines`, LF stays and CR before LF is dropped.
std::string DisplayText(std::string_view bytes, bool keep_newlines = false);
std::string DisplayText(std::u16string_view text);

// Hex of bytes, two digits per byte separated by blanks, cut after `limit`
// bytes with " ... (N more bytes)".
std::string HexDump(std::string_view bytes, size_t limit = 256);

// The number of characters the UTF-8 text takes on a terminal (code points;
// good enough for alignment of names).
size_t DisplayWidth(std::string_view utf8);

// `text` padded with blanks to `width` display characters.
std::string PadRight(const std::string& text, size_t width);

}  // namespace orvalinth::tools
