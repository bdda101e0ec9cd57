#pragma once
// The path rules shared by the whole program. Every path derives from the
// running executable's full path; the program folder is that path up to and
// including its last backslash.

#include <string>

namespace orvalinth {

// Full path of the running executable; empty when it cannot be obtained.
std::u16string ExecutablePath();
// The executable path up to and including its last backslash; empty when unknown.
std::u16string ProgramFolder();
// Program folder + "data\" (never created by the program).
std::u16string DataFolder();
// The executable path with the text after its last "." replaced by "ini"
// ("ini" appended after a "." when the file name has none); "OrvalinthSrv.ini"
// when the executable path is unknown.
std::u16string SettingsPath();
// Program folder + "OrvalinthSrv.ini", the fixed name the upgrade steps use.
std::u16string FixedSettingsPath();
// Data folder + "snapshot%03d.snp".
std::u16string SnapshotPath(int number);
// Program folder + "OrvalinthSrv.log".
std::u16string LogPath();
// Program folder + "error-log.txt" and + "error-log.tmp".
std::u16string CrashReportPath();
std::u16string CrashCopyPath();
// Program folder + "upgrade_tmp.exe".
std::u16string UpgradeCopyPath();
// Program folder + "OrvalinthSrv.pdb": the symbol file installed beside the
// Windows executable, from which the crash report names its frames.
std::u16string SymbolFilePath();
// The program's own file name: "OrvalinthSrv.exe" on Windows, "OrvalinthSrv"
// on POSIX.
std::u16string ProgramFileName();
// Program folder + ProgramFileName(), the fixed name that an upgrade replaces
// and the second stage of an uninstall deletes.
std::u16string TargetExecutablePath();

}  // namespace orvalinth
