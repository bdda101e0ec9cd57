#include "host/uninstall.h"

#include <memory>

#include "base/paths.h"
#include "host/run_program.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/path_lookup.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "settings/client_settings.h"

namespace orvalinth {
namespace {

std::u16string WithTrailingBackslash(std::u16string folder) {
  if (!folder.empty() && folder.back() != u'\\') folder += u'\\';
  return folder;
}

std::u16string WithoutTrailingBackslash(std::u16string folder) {
  while (folder.size() > 1 && folder.back() == u'\\') folder.pop_back();
  return folder;
}

bool Exists(const std::u16string& path) {
  return platform::FileSystem::Get().Attributes(path) != platform::kInvalidAttributes;
}

}  // namespace

std::u16string CXSelfUninstall::SecondStageArguments(const std::u16string& folder, bool quiet) {
  // The folder ends with "\": one more makes "\\" before the closing quote,
  // which the command-line rules read as one backslash and the end of the
  // quoted part.
  std::u16string text = u"-uninstall \"" + folder + u"\\\"";
  if (quiet) text += u" -quiet";
  return text;
}

std::u16string CXSelfUninstall::TemporaryFolder() {
  std::u16string folder = platform::FileSystem::Get().TempFolder();
  if (folder.empty()) folder = platform::PathLookup::Get().WindowsFolder();
  return WithTrailingBackslash(folder);
}

int32_t CXSelfUninstall::SnapshotCountOf(const std::u16string& path) {
  CXClientSettings settings;
  if (settings.Load(path) == 0) return 0;
  return settings.snapshot_count();
}

void CXSelfUninstall::DeleteInstalledProgramsEntry() {
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().OpenKey(platform::RegistryRoot::kLocalMachine, kInstalledProgramsKey,
                                          platform::kRegOptionNone, platform::kRegRead | platform::kRegWrite,
                                          &key) != 0) {
    return;
  }
  key->DeleteSubKey(kInstalledProgramsEntry);
}

void CXSelfUninstall::RemoveData(int32_t count) {
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string settings = SettingsPath();
  const std::u16string log = LogPath();
  for (const std::u16string& path :
       {settings, settings + u".tmp", log, log + u".old", CrashReportPath(), CrashCopyPath(), UpgradeCopyPath()}) {
    files.RemoveFile(path);
  }
  // The number after the count is that of a recording cut off by the end of
  // its process; a finished or stopped one leaves no such file.
  for (int32_t number = 1; number <= count + 1; ++number) files.RemoveFile(SnapshotPath(number));
  files.RemoveFolder(WithoutTrailingBackslash(DataFolder()));
}

std::u16string CXSelfUninstall::PackageProductCode() {
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registry::Get().OpenKey(platform::RegistryRoot::kLocalMachine, kPackageKey, platform::kRegOptionNone,
                                          platform::kRegRead, &key) != 0) {
    return u"";
  }
  uint32_t type = 0;
  std::string data;
  if (key->QueryValue(kPackageValue, &type, &data) != 0 || type != platform::kRegSz) return u"";
  const std::u16string code = platform::RegDataText(data);
  return IsProductCode(code) ? code : u"";
}

bool CXSelfUninstall::IsProductCode(const std::u16string& text) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: nothing else reaches msiexec's
  // command line.
  if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const char16_t c = text[i];
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    const bool hex = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
    if (dash ? c != u'-' : !hex) return false;
  }
  return true;
}

std::u16string CXSelfUninstall::PackageRemovalArguments(const std::u16string& code) {
  return u"/x " + code + u" /qn " + kPackageSelfRemoved + u"=1";
}

void CXSelfUninstall::RemovePackageRegistration() {
  const std::u16string code = PackageProductCode();
  if (code.empty()) return;
  std::u16string windows = platform::PathLookup::Get().WindowsFolder();
  if (windows.empty()) return;
  RunProgram(WithTrailingBackslash(windows) + u"System32\\msiexec.exe", PackageRemovalArguments(code),
             RunProgramMode::kWait);
}

void CXSelfUninstall::Run(const std::u16string& folder, bool quiet) {
  if (folder.empty()) {
    FirstStage(quiet);
  } else {
    SecondStage(WithTrailingBackslash(folder), quiet);
  }
}

void CXSelfUninstall::FirstStage(bool quiet) {
  if (!quiet && !platform::Dialog::Get().AskYesNo(kCaption, kQuestion)) return;

  control_.Uninstall(/*stop_first=*/true);
  // Without its own path the program cannot tell its files from those of the
  // current folder: it deletes none.
  const std::u16string folder = ProgramFolder();
  if (folder.empty()) return;
  // The count goes with the settings file, which is deleted next; a process
  // that was never the service has not loaded it.
  const int32_t count = SnapshotCountOf(SettingsPath());
  platform::FileSystem& files = platform::FileSystem::Get();

  // From here on nothing is logged: a line would make a new log.
  RemoveData(count);
  files.RemoveFile(SymbolFilePath());
  DeleteInstalledProgramsEntry();

  const std::u16string temporary = TemporaryFolder();
  if (temporary.empty()) return;
  const std::u16string copy = temporary + kUninstallerName;
  if (!files.CopyFileTo(ExecutablePath(), copy, /*fail_if_exists=*/false)) return;
  RunProgram(copy, SecondStageArguments(folder, quiet), RunProgramMode::kReplace);
}

void CXSelfUninstall::SecondStage(const std::u16string& folder, bool quiet) {
  platform::FileSystem& files = platform::FileSystem::Get();
  // The first stage's process may not have let go of its executable yet.
  const std::u16string executable = folder + ProgramFileName();
  for (int attempt = 0; attempt < timing_.delete_attempts; ++attempt) {
    if (attempt > 0) platform::SleepMs(timing_.delete_retry_ms);
    if (files.RemoveFile(executable) || !Exists(executable)) break;
  }
  files.RemoveFolder(WithoutTrailingBackslash(folder));
  // Installed by the package: its Windows Installer registration goes last,
  // when the program's files and service are gone already, so that the
  // package's own removal finds nothing left to stop or delete.
  RemovePackageRegistration();
  files.DeleteAtReboot(ExecutablePath());
  if (quiet) return;
  if (Exists(executable)) {
    platform::Dialog::Get().Inform(kCaption, std::string(kRemoved) + " Some of its files could not be deleted.");
  } else {
    platform::Dialog::Get().Inform(kCaption, kRemoved);
  }
}

void RemoveProgramData() { CXSelfUninstall::RemoveData(CXSelfUninstall::SnapshotCountOf(SettingsPath())); }

void SelfUninstall(const std::u16string& folder, bool quiet) {
  CXServiceControl control;
  CXSelfUninstall(control).Run(folder, quiet);
}

}  // namespace orvalinth
