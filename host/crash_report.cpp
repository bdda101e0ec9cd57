#include "host/crash_report.h"

#include <memory>

#include "base/paths.h"
#include "base/strings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "record/apps/system_info.h"

namespace orvalinth {
namespace {

constexpr double kGiB = 1073741824.0;

// Each byte becomes the unit of the same value (not UTF-8 decoding: the
// report shows the bytes as they were).
void AppendWidened(std::u16string* out, const std::string& text) {
  for (char c : text) out->push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
}

std::string Utf16LeBytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

bool WriteAll(platform::File& file, const std::string& bytes) {
  uint32_t written = 0;
  return file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written) && written == bytes.size();
}

}  // namespace

CXCrashReport::CXCrashReport(std::u16string path, std::u16string header)
    : path_(std::move(path)), header_(std::move(header)) {}

void CXCrashReport::Write(const std::string& text) {
  std::u16string wide;
  AppendWidened(&wide, text);
  platform::FileSystem& files = platform::FileSystem::Get();
  std::unique_ptr<platform::File> file;
  if (first_write_) {
    file = files.Open(path_, platform::kOpenCreate);
    if (file == nullptr) return;
    first_write_ = false;
    std::u16string start = header_;
    platform::LocalTime now;
    if (platform::GetLocalTime(&now)) {
      AppendWidened(&start, Format("%d-%02d-%02d %02d:%02d:%02d\r\n", now.year, now.month, now.day, now.hour,
                                   now.minute, now.second));
    }
    WriteAll(*file, "\xFF\xFE" + Utf16LeBytes(start));
  } else {
    file = files.Open(path_, platform::kOpenRead | platform::kOpenWrite);
    int64_t end = 0;
    if (file == nullptr || !file->SeekToEnd(&end)) return;
  }
  WriteAll(*file, Utf16LeBytes(wide));
}

std::u16string CXCrashReport::BuildHeader(const std::string& title, const std::u16string& executable,
                                          const std::string& os_name, const std::string& processor,
                                          const std::string& memory) {
  std::u16string header;
  AppendWidened(&header, title + "\r\n");
  if (!executable.empty()) header += executable + u"\r\n";
  AppendWidened(&header, os_name + " Exe64\r\n");
  AppendWidened(&header, processor + " " + memory + "\r\n");
  return header;
}

std::u16string CXCrashReport::MachineHeader(const std::string& title) {
  std::string os_name;
  std::string os_details;
  GetOsDescription(&os_name, &os_details);
  return BuildHeader(title, ExecutablePath(), os_name, GetProcessorName(), MemorySituation());
}

std::string MemorySituationOf(uint64_t available, uint64_t total) {
  return Format("%.02lf/%.02lf", static_cast<double>(available) / kGiB, static_cast<double>(total) / kGiB);
}

std::string MemorySituation() {
  uint64_t available = 0;
  uint64_t total = 0;
  if (!platform::SystemInfo::Get().Memory(&available, &total)) return std::string();
  return MemorySituationOf(available, total);
}

std::string PointerText(uint64_t address) { return Format("%016llX", static_cast<unsigned long long>(address)); }

std::string FaultLine(uint64_t address, uint32_t code, const std::string& memory) {
  return Format("%s %s - %X %s\r\n", "exception at", PointerText(address).c_str(), static_cast<unsigned>(code),
                memory.c_str());
}

std::string FrameLine(const platform::StackFrame& frame) {
  std::string name = frame.full_name;
  if (name.empty()) name = frame.name;
  if (name.empty()) name = frame.raw_name;
  if (name.empty()) name = "-";
  const std::string address = PointerText(frame.address);
  if (!frame.file.empty()) {
    return Format("%s %s (%d): %s\r\n", address.c_str(), frame.file.c_str(), frame.line, name.c_str());
  }
  const std::string module = frame.module.empty() ? std::string("-") : frame.module;
  return Format("%s (%s): %s: %s\r\n", address.c_str(), module.c_str(), "-", name.c_str());
}

std::string WalkerErrorLine(const char* call, uint32_t code, uint64_t address) {
  return Format("ERROR: %s, GetLastError: %d (Address: %s)\r\n", call, static_cast<int>(code),
                PointerText(address).c_str());
}

}  // namespace orvalinth
