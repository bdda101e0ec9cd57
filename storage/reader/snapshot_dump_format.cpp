#include "storage/reader/snapshot_dump_format.h"

#include "base/strings.h"
#include "platform/clock.h"
#include "platform/utf8.h"

namespace orvalinth {
namespace snapshot_dump {
namespace {

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Calls emit(code point, lone) for each character of the text: surrogate
// pairs joined, a lone surrogate passed with `lone` set.
template <class Emit>
void ForEachCharacter(std::u16string_view text, Emit&& emit) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
      emit(0x10000 + ((u - 0xD800u) << 10) + (text[i + 1] - 0xDC00u), false);
      ++i;
    } else {
      emit(u, IsHigh(u) || IsLow(u));
    }
  }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int* year, int* month, int* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

platform::LocalTime UtcOf(int64_t filetime) {
  int64_t seconds = filetime / 10000000;
  if (filetime % 10000000 < 0) --seconds;
  seconds -= 11644473600LL;
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  platform::LocalTime t;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

}  // namespace

const char* const kVersionStringNames[kVersionStringCount] = {"FileVersion", "FileDescription", "ProductName",
                                                               "ProductVersion", "CompanyName", "Comments"};
const char* const kSectionKindNames[3] = {"registry", "file-system", "applications"};

std::string Display(std::u16string_view text, bool quoted, size_t max_units) {
  const size_t total = text.size();
  const bool cut = total > max_units;
  if (cut) text = text.substr(0, max_units);
  std::string out;
  if (quoted) out += '"';
  ForEachCharacter(text, [&](uint32_t c, bool lone) {
    if (lone) {
      platform::AppendUtf8(0xFFFD, &out);
    } else if (c < 0x20 || c == 0x7F) {
      out += Format("\\x%02X", c);
    } else if (quoted && c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      platform::AppendUtf8(c, &out);
    }
  });
  if (quoted) out += '"';
  if (cut) out += "... (" + Thousands(total) + " units)";
  return out;
}

std::string Display8(std::string_view text, bool quoted, size_t max_units) {
  return Display(Widen(text), quoted, max_units);
}

std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  ForEachCharacter(text, [&](uint32_t c, bool lone) {
    if (lone || c < 0x20) {
      out += Format("\\u%04X", c);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      platform::AppendUtf8(c, &out);
    }
  });
  return out + "\"";
}

std::string JsonString8(std::string_view latin1) { return JsonString(Widen(latin1)); }

std::string AttributeText(uint32_t attributes) {
  static const struct {
    uint32_t bit;
    char letter;
  } kLetters[] = {{0x1, 'R'},   {0x2, 'H'},   {0x4, 'S'},    {0x10, 'D'},   {0x20, 'A'},   {0x80, 'N'},
                  {0x100, 'T'}, {0x200, 'P'}, {0x400, 'L'},  {0x800, 'C'},  {0x1000, 'O'}, {0x2000, 'I'},
                  {0x4000, 'E'}};
  std::string letters;
  for (const auto& l : kLetters) {
    if (attributes & l.bit) letters += l.letter;
  }
  if (letters.empty()) letters = "-";
  return letters + Format(" (0x%04X)", attributes);
}

std::string ValueTypeName(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  if (type < sizeof(kNames) / sizeof(kNames[0])) return kNames[type];
  return Format("type 0x%X", type);
}

std::string HexBytes(std::string_view bytes, size_t max_bytes) {
  std::string out;
  const size_t n = bytes.size() < max_bytes ? bytes.size() : max_bytes;
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) out += ' ';
    out += Format("%02X", static_cast<uint8_t>(bytes[i]));
  }
  if (n < bytes.size()) out += "... (" + Thousands(bytes.size()) + " bytes)";
  return out;
}

std::string ValueDataText(const SXReadValue& value, size_t max_bytes) {
  if (value.type == 7) {
    // The strings of a multi-string, split at its zero units.
    std::string out = "[";
    size_t start = 0;
    for (size_t i = 0; i <= value.text.size(); ++i) {
      if (i == value.text.size() || value.text[i] == 0) {
        if (start != 0) out += ", ";
        out += Display(std::u16string_view(value.text).substr(start, i - start), true);
        start = i + 1;
        if (out.size() > 4 * max_bytes + 200 && i < value.text.size()) {
          out += ", ...";
          break;
        }
      }
    }
    return out + "]";
  }
  if (IsRegistryTextType(value.type)) return Display(value.text, true);
  const std::string& d = value.data;
  const auto byte = [&d](size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(d[i])); };
  if ((value.type == 4 || value.type == 5) && d.size() == 4) {
    const uint64_t n = value.type == 4 ? byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24
                                       : byte(3) | byte(2) << 8 | byte(1) << 16 | byte(0) << 24;
    return Format("%llu (0x%08llX)", static_cast<unsigned long long>(n), static_cast<unsigned long long>(n));
  }
  if (value.type == 11 && d.size() == 8) {
    uint64_t n = 0;
    for (size_t i = 0; i < 8; ++i) n |= byte(i) << (8 * i);
    return Format("%llu (0x%016llX)", static_cast<unsigned long long>(n), static_cast<unsigned long long>(n));
  }
  if (d.empty()) return "(no data)";
  return HexBytes(d, max_bytes);
}

std::string FileTimeText(int64_t filetime, bool local) {
  platform::LocalTime t;
  const bool in_local = local && platform::FileTimeToLocalTime(filetime, &t);
  if (!in_local) t = UtcOf(filetime);
  return Format("%04d-%02d-%02d %02d:%02d:%02d%s", t.year, t.month, t.day, t.hour, t.minute, t.second,
                in_local ? "" : " UTC");
}

std::string FileTimeIso(int64_t filetime) {
  const platform::LocalTime t = UtcOf(filetime);
  return Format("%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::string FileVersionText(uint32_t high, uint32_t low) {
  return Format("%u.%u.%u.%u", high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
}

std::string Thousands(uint64_t n) {
  std::string digits = std::to_string(n);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
  return digits;
}

const char* ItemKindName(uint8_t kind) {
  switch (kind) {
    case 1: return "executable";
    case 2: return "driver";
    case 3: return "service";
    case 4: return "installed program";
    case 5: return "registered program";
    case 6: case 8: return "open handle";
    case 7: case 9: return "open port";
    default: return "unknown item";
  }
}

const char* ProtocolName(uint32_t protocol) {
  switch (protocol) {
    case 1: return "TCP";
    case 2: return "UDP";
    case 3: return "TCPv6";
    case 4: return "UDPv6";
    default: return "protocol?";
  }
}

const char* TcpStateName(uint8_t state) {
  // The names the agent's own table gives the state numbers.
  static const char* const kNames[] = {"",           "CLOSED",   "LISTENING", "SYN_SENT",   "SEN_RECEIVED",
                                       "ESTABLISHED", "FIN_WAIT", "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",
                                       "LAST_ACK",   "TIME_WAIT", "DELETE_TCB"};
  return state < sizeof(kNames) / sizeof(kNames[0]) ? kNames[state] : "state?";
}

const char* LinkTypeName(uint8_t type) {
  switch (type) {
    case 1: return "registry link";
    case 2: return "symbolic link";
    case 3: return "junction";
    default: return "link";
  }
}

std::string AddressText(const SXReadAddress& a, uint32_t protocol) {
  const bool v6 = protocol == 3 || protocol == 4 || a.length_code == 16;
  std::string host;
  if (a.length_code == 0) {
    host = v6 ? "[::]" : "0.0.0.0";
  } else if (a.length_code == 1) {
    host = v6 ? "[::1]" : "0.0.0.1";
  } else if (a.length_code == 4 && a.bytes.size() == 4) {
    host = Format("%u.%u.%u.%u", static_cast<uint8_t>(a.bytes[0]), static_cast<uint8_t>(a.bytes[1]),
                  static_cast<uint8_t>(a.bytes[2]), static_cast<uint8_t>(a.bytes[3]));
  } else if (a.length_code == 16 && a.bytes.size() == 16) {
    // Compressed: the longest run of two or more zero groups (the first of
    // equal runs) becomes "::".
    unsigned groups[8];
    for (size_t i = 0; i < 8; ++i) {
      groups[i] = (static_cast<uint8_t>(a.bytes[2 * i]) << 8) | static_cast<uint8_t>(a.bytes[2 * i + 1]);
    }
    size_t best = 8, best_length = 1;
    for (size_t i = 0; i < 8;) {
      size_t j = i;
      while (j < 8 && groups[j] == 0) ++j;
      if (j - i > best_length) {
        best = i;
        best_length = j - i;
      }
      i = j == i ? i + 1 : j;
    }
    host = "[";
    for (size_t i = 0; i < 8; ++i) {
      if (i == best) {
        host += "::";
        i += best_length - 1;
        continue;
      }
      if (i != 0 && i != best + best_length) host += ':';
      host += Format("%x", groups[i]);
    }
    host += "]";
  } else {
    host = "<" + HexBytes(a.bytes, 16) + ">";
  }
  return host + ":" + std::to_string(a.port);
}

}  // namespace snapshot_dump
}  // namespace orvalinth
