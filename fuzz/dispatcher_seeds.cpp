// Writes seed inputs for dispatcher_fuzz into the folder given as the
// argument: one session per command with the keys it reads, and a session
// that scans, downloads, acknowledges and stops (see dispatcher_fuzz.cpp for
// the input's form).

#include <cstdio>
#include <string>
#include <vector>

namespace {

enum Command { kGetDisk, kGetDir, kGetReg, kSetUid, kGetScan, kSetScan, kScan, kStopScan, kDownSnap, kDownAck,
               kUpgrade, kUninstall, kPing, kInfo, kNamed };
enum Key { kPath, kId, kIdSnapshot, kFile, kRegs, kApps, kFull, kAddVerInf, kShowRemDsk, kSnapName, kDefault,
           kMsg };

std::string Text(const std::string& text) {
  if (text.size() < 255) return std::string(1, static_cast<char>(text.size())) + text;
  return std::string("\xFF") + static_cast<char>(text.size() & 0xFF) + static_cast<char>(text.size() >> 8) + text;
}

struct Pair {
  int key;
  std::string value;
};

// One command: selector, keys, payload.
std::string Command(int selector, const std::vector<Pair>& keys, const std::string& payload = std::string()) {
  std::string out(1, static_cast<char>(selector));
  out += static_cast<char>(keys.size());
  for (const Pair& pair : keys) out += static_cast<char>(pair.key) + Text(pair.value);
  return out + Text(payload);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string list = "\xFF" "C:\\\xFF\xFF" "D:\\data\\\xFF";
  const std::vector<std::string> sessions = {
      Command(kGetDisk, {}),
      Command(kGetDir, {{kPath, "Z:\\"}}) + Command(kGetDir, {{kPath, "Z:\\tmp\\..\\usr\\"}}),
      Command(kGetReg, {{kPath, "HKEY_LOCAL_MACHINE\\SOFTWARE\\"}}) + Command(kGetReg, {{kPath, ""}}),
      Command(kSetUid, {{kId, "42"}}) + Command(kGetScan, {}),
      Command(kSetScan, {{kFile, list}, {kRegs, "\xFFHKEY_CURRENT_USER\\\xFF"}, {kApps, "\xFF*\xFF"}, {kFull, "1"},
                         {kAddVerInf, "1"}, {kShowRemDsk, "0"}, {kSnapName, "name"}}) +
          Command(kGetScan, {}),
      Command(kSetScan, {{kFile, "\xFFServerAddr:evil\xFF"}}),
      Command(kScan, {{kDefault, "1"}, {kSnapName, "x"}}) + Command(kDownSnap, {{kIdSnapshot, "4"}}) +
          Command(kDownAck, {{kIdSnapshot, "4"}}),
      Command(kScan | 0x20, {{kFile, list}}) + Command(kDownAck, {{kIdSnapshot, "4"}}) +
          Command(kStopScan, {{kMsg, "stopped"}}) + Command(kScan | 0x10, {}) + Command(kScan | 0x40, {}),
      Command(kDownSnap, {{kIdSnapshot, "1"}}) + Command(kDownSnap, {{kIdSnapshot, "2"}}) +
          Command(kDownSnap, {{kIdSnapshot, "3"}}) + Command(kStopScan, {}) + Command(kDownAck, {{kIdSnapshot, "1"}}),
      Command(kUpgrade, {}, std::string(600, 'M')) + Command(kUninstall, {}),
      Command(kPing, {}) + Command(kInfo, {}) + std::string(1, kNamed) + Text("get-dir\xFEx") + Command(0, {}),
  };
  int n = 0;
  for (const std::string& session : sessions) {
    const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(n++);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fwrite(session.data(), 1, session.size(), f);
    std::fclose(f);
  }
  return 0;
}
