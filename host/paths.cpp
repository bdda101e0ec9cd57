#include "host/paths.h"

#include "platform/process.h"
#include "storage/strings.h"

namespace orvalinth {

std::u16string ExecutablePath() { return platform::Processes::Get().ExecutablePath(); }

std::u16string ProgramFolder() {
  const std::u16string exe = ExecutablePath();
  const size_t slash = exe.rfind(u'\\');
  if (slash == std::u16string::npos) return std::u16string();
  return exe.substr(0, slash + 1);
}

std::u16string DataFolder() { return ProgramFolder() + u"data\\"; }

std::u16string SettingsPath() {
  const std::u16string exe = ExecutablePath();
  if (exe.empty()) return u"OrvalinthSrv.ini";
  const size_t slash = exe.rfind(u'\\');
  const size_t dot = exe.rfind(u'.');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return exe + u".ini";
  return exe.substr(0, dot + 1) + u"ini";
}

std::u16string FixedSettingsPath() { return ProgramFolder() + u"OrvalinthSrv.ini"; }

std::u16string SnapshotPath(int number) { return DataFolder() + Widen(Format("snapshot%03d.snp", number)); }

std::u16string LogPath() { return ProgramFolder() + u"OrvalinthSrv.log"; }
std::u16string CrashReportPath() { return ProgramFolder() + u"error-log.txt"; }
std::u16string CrashCopyPath() { return ProgramFolder() + u"error-log.tmp"; }
std::u16string UpgradeCopyPath() { return ProgramFolder() + u"upgrade_tmp.exe"; }
std::u16string SymbolFilePath() { return ProgramFolder() + u"OrvalinthSrv.pdb"; }
std::u16string ProgramFileName() { return std::u16string(u"OrvalinthSrv") + platform::kProgramFileSuffix; }
std::u16string TargetExecutablePath() { return ProgramFolder() + ProgramFileName(); }

}  // namespace orvalinth
