#pragma once
// Names as disks have them, drawn from a benchmark's seeded generator: the
// file and folder names of the generated trees and payloads. The draws are
// part of each benchmark's input: a tree made once and kept on disk, and the
// figures measured on it, stay the same only while their order does.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace orvalinth::bench {

inline uint32_t Pick(std::mt19937& gen, size_t n) { return static_cast<uint32_t>(gen() % n); }

inline constexpr const char* kFileStems[] = {"setup", "readme", "kernel", "shell", "msvcr", "config", "update",
                                             "icon", "strings", "license", "install", "helper", "service",
                                             "manifest", "data", "resource", "font", "driver", "report", "index",
                                             "thumb", "cache", "api-ms-win-core-file-l1-2-0",
                                             "Microsoft.Windows.Common-Controls", "System.Runtime.Serialization",
                                             "wow64cpu", "ntoskrnl", "user32"};
inline constexpr size_t kAllFileStems = sizeof kFileStems / sizeof kFileStems[0];

// A word of the first `stems` stems, often with a number, sometimes a long
// one, and a common extension.
inline std::string DiskFileName(std::mt19937& gen, size_t stems = kAllFileStems) {
  static const char* const kExts[] = {".dll", ".exe", ".sys", ".txt", ".xml", ".mui", ".dat", ".png", ".ini",
                                      ".log", ".cat", ".manifest", ".js", ".json", ".ttf", ".inf", ".cab", ".pf"};
  std::string name = kFileStems[Pick(gen, stems)];
  if (Pick(gen, 2) == 0) name += std::to_string(Pick(gen, 1000));
  if (Pick(gen, 7) == 0) name += "-" + std::to_string(Pick(gen, 0x7FFFFFFF));
  return name + kExts[Pick(gen, sizeof kExts / sizeof kExts[0])];
}

// A word of the folders of program, system and user kinds.
inline std::string FolderWord(std::mt19937& gen) {
  static const char* const kWords[] = {"Windows", "System32", "Program Files", "Common Files", "Microsoft",
                                       "Users", "AppData", "Local", "Roaming", "Temp", "drivers", "en-US",
                                       "Fonts", "WinSxS", "assembly", "Packages", "Cache", "Logs", "Data",
                                       "Resources", "bin", "lib", "Plugins", "Config", "Updates", "Help"};
  return kWords[Pick(gen, sizeof kWords / sizeof kWords[0])];
}

// `name`, one time in five made the folder of a side-by-side assembly.
inline std::string MaybeAssembly(std::mt19937& gen, std::string name) {
  if (Pick(gen, 5) == 0) {
    name = "amd64_microsoft-windows-" + name + "_31bf3856ad364e35_10.0." + std::to_string(Pick(gen, 30000));
  }
  return name;
}

}  // namespace orvalinth::bench
