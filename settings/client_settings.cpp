#include "settings/client_settings.h"

#include <memory>

#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "settings/saved_snapshots.h"
#include "storage/text_file.h"

namespace orvalinth {
namespace {

// The keys in the order a line is tried against them.
enum Key {
  kServerAddr, kServerPort, kComputerId, kScanAll, kSnapshotCnt, kSnapshotName, kSavedSnapshots, kShowRemDsk,
  kAddExeVerInfo, kOldVer, kServerTls, kServerPin, kUpgradeSigner, kKeyCount
};
constexpr const char* kKeys[kKeyCount] = {"ServerAddr:", "ServerPort:", "ComputerID:", "ScanAll:",
                                          "SnapshotCnt:", "SnapshotName:", "SavedSnapshots:", "ShowRemDsk:",
                                          "AddExeVerInfo:", "OldVer:", "ServerTLS:", "ServerPin:",
                                          "UpgradeSigner:"};
constexpr const char* kSections[3] = {"Registry:", "Files:", "Applications:"};

int KeyOf(const std::string& line) {
  for (int k = 0; k < kKeyCount; ++k) {
    if (StartsWithFolded(line, kKeys[k])) return k;
  }
  return -1;
}

int SectionOf(const std::string& line) {
  for (int s = 0; s < 3; ++s) {
    if (EqualsFolded(line, kSections[s])) return s;
  }
  return -1;
}

enum class Written { kNotCreated, kFailed, kDone };

Written WriteWhole(const std::u16string& path, const std::string& text) {
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(path, platform::kOpenCreate);
  if (file == nullptr) return Written::kNotCreated;
  uint32_t written = 0;
  const bool done = file->Write(text.data(), static_cast<uint32_t>(text.size()), &written) &&
                    written == text.size() && file->Flush();
  return done ? Written::kDone : Written::kFailed;
}

}  // namespace

CXClientSettings::CXClientSettings() = default;

int CXClientSettings::Load(const std::u16string& path) {
  Guard guard = Hold();
  // Read into a copy: a file that cannot be read leaves the settings in force
  // untouched, so that a failed reload cannot turn a running service's
  // console address and computer id into the defaults.
  Fields next = fields_;
  if (!platform::SystemInfo::Get().ComputerName(&next.computer_name) || next.computer_name.empty()) {
    next.computer_name = kUnknownComputerName;
  }
  next.server_address = kDefaultServerAddress;
  next.server_port = kDefaultServerPort;
  next.computer_id = 0;
  next.snapshot_count = 0;
  next.server_tls.reset();
  next.server_pin.reset();
  next.upgrade_signer.reset();
  next.settings_path = path;
  next.targets = SXScanTargets();

  CXFileTextU reader;
  if (!reader.Open(path)) {
    LogMessage(reader.ChainText(true), true);
    return 0;
  }
  std::vector<std::u16string>* lists[3] = {&next.targets.registry, &next.targets.files,
                                           &next.targets.applications};
  std::vector<std::u16string>* section = nullptr;
  std::u16string wide;
  bool first = true;
  while (reader.ReadLine(&wide)) {
    // A line is taken whole, however long. Cutting it at a fixed line buffer
    // (1,023 bytes) would turn a long target path into a shorter one, another
    // folder or key, and the next scan would record the wrong thing.
    std::string line = Narrow(wide);
    // Editors that save UTF-8 may put its byte-order mark first; left there
    // it would hide the first key.
    if (first && !reader.is_unicode() && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    if (line.empty()) continue;
    // Before the first section a line beginning with "-" is a comment. In a
    // section it is an exclusion ("-C:\Windows\Temp\") that the console
    // stored: skipping it there would silently widen the next scan after a
    // restart. It never sets a key.
    const bool exclusion = line[0] == '-';
    if (exclusion && section == nullptr) continue;
    const int key = exclusion ? -1 : KeyOf(line);
    if (key >= 0) {
      std::string value = line.substr(std::char_traits<char>::length(kKeys[key]));
      // A value is one line, as the setters keep it. In a UTF-16 file a unit
      // such as U+010A narrows to a line break, which the next save would
      // write out as a line of its own: a console address holding
      // "\nServerPort:..." would then move the agent to another port at the
      // next start.
      for (char& c : value) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      switch (key) {
        case kServerAddr: next.server_address = value; break;
        case kServerPort: next.server_port = DecimalValue(value); break;
        case kComputerId: next.computer_id = DecimalValue(value); break;
        case kScanAll: next.targets.full_scan = DecimalValue(value); break;
        case kSnapshotCnt: next.snapshot_count = DecimalValue(value); break;
        case kSnapshotName: next.snapshot_name = value; break;
        case kSavedSnapshots: next.saved_snapshots = value; break;
        case kShowRemDsk: next.targets.show_removable_disks = DecimalValue(value); break;
        case kAddExeVerInfo: next.targets.add_version_info = DecimalValue(value); break;
        case kOldVer: next.old_version = DecimalValue(value); break;
        case kServerTls: next.server_tls = value; break;
        case kServerPin: next.server_pin = value; break;
        case kUpgradeSigner: next.upgrade_signer = value; break;
        default: break;
      }
    } else if (!exclusion) {
      const int header = SectionOf(line);
      if (header >= 0) {
        section = lists[header];
        continue;
      }
    }
    if (section == nullptr) continue;
    if (reader.is_unicode()) {
      // A UTF-16 file already holds the entry's units: narrowing them and then
      // reading the bytes as UTF-8 would turn every character above 127 into
      // another one (a different path). Zero units become "?" as in the keys.
      std::u16string entry = wide;
      for (char16_t& unit : entry) {
        if (unit == 0) unit = u'?';
      }
      section->push_back(std::move(entry));
    } else {
      section->push_back(DecodeUtf8(line));
    }
  }
  next.saved_snapshots = KeepReadableSnapshots(next.saved_snapshots);
  fields_ = std::move(next);
  return 1;
}

std::string CXClientSettings::FileText() const {
  const std::string nl(platform::kNewline);
  const Fields& f = fields_;
  std::string text;
  text += "ServerAddr:" + f.server_address + nl;
  text += Format("ServerPort:%d", f.server_port) + nl;
  text += Format("ComputerID:%d", f.computer_id) + nl;
  text += Format("SnapshotCnt:%d", f.snapshot_count) + nl;
  text += "SnapshotName:" + f.snapshot_name + nl;
  text += "SavedSnapshots:" + f.saved_snapshots + nl;
  text += Format("ScanAll:%d", f.targets.full_scan) + nl;
  text += Format("ShowRemDsk:%d", f.targets.show_removable_disks) + nl;
  text += Format("AddExeVerInfo:%d", f.targets.add_version_info) + nl;
  if (f.old_version != kNoOldVersion) text += Format("OldVer:%d", f.old_version) + nl;
  // The link's security keys only when set, with their text as read: a file
  // without them saves as it always did.
  if (f.server_tls) text += "ServerTLS:" + *f.server_tls + nl;
  if (f.server_pin) text += "ServerPin:" + *f.server_pin + nl;
  if (f.upgrade_signer) text += "UpgradeSigner:" + *f.upgrade_signer + nl;
  const std::vector<std::u16string>* lists[3] = {&f.targets.registry, &f.targets.files, &f.targets.applications};
  for (int s = 0; s < 3; ++s) {
    text += kSections[s] + nl;
    for (const std::u16string& entry : *lists[s]) {
      std::string bytes = EncodeUtf8(entry);
      // An entry never spills into a line of its own (see IsStorableTarget).
      for (char& c : bytes) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      text += bytes + nl;
    }
    text += nl;
  }
  return text;
}

int CXClientSettings::Save() {
  Guard guard = Hold();
  const std::u16string& path = fields_.settings_path;
  if (path.empty()) return 0;
  const std::string text = FileText();
  platform::FileSystem& files = platform::FileSystem::Get();
  // The new contents go to a file beside the settings and replace them by a
  // rename, so that a full disk or a power cut during the write leaves the
  // old settings whole rather than a truncated file the service cannot use.
  const std::u16string fresh = path + u".tmp";
  switch (WriteWhole(fresh, text)) {
    case Written::kDone:
      if (files.RenameFile(fresh, path)) return 1;
      files.RemoveFile(fresh);
      break;
    case Written::kFailed:
      // Out of space, most likely: writing in place would only truncate the
      // old file.
      files.RemoveFile(fresh);
      return 0;
    case Written::kNotCreated:
      break;
  }
  // The folder takes no new file, or the settings file cannot be replaced by
  // a rename (another program holds it open): write it in place.
  return WriteWhole(path, text) == Written::kDone ? 1 : 0;
}

void CXClientSettings::LoadPrevious() {
  Guard guard = Hold();
  if (!Load(FixedSettingsPath())) {
    LogError("cannot load previous settings");
    return;
  }
  platform::FileSystem& files = platform::FileSystem::Get();
  for (const std::string& entry : SplitSavedSnapshots(fields_.saved_snapshots, true)) {
    files.RemoveFile(SnapshotPath(DecimalValue(entry)));
  }
  fields_.saved_snapshots.clear();
  Save();
}

std::string CXClientSettings::ScanTargetsText() {
  Guard guard = Hold();
  return orvalinth::ScanTargetsText(fields_.targets);
}

bool CXClientSettings::IsStorableTarget(const std::u16string& entry) {
  if (entry.empty()) return false;
  for (char16_t unit : entry) {
    if (unit == 0 || unit == u'\r' || unit == u'\n') return false;
  }
  const std::string line = EncodeUtf8(entry);
  // An exclusion ("-...") is read back as an entry whatever follows its "-".
  if (line[0] == '-') return DecodeUtf8(line) == entry;
  return KeyOf(line) < 0 && SectionOf(line) < 0 && DecodeUtf8(line) == entry;
}

}  // namespace orvalinth
