#include "host/uninstall.h"

#include <memory>

#include "host/paths.h"
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
  return platform::Files::Get().Attributes(path) != platform::kInvalidAttributes;
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
  std::u16string folder = platform::Files::Get().TempFolder();
  if (folder.empty()) folder = platform::PathLookups::Get().WindowsFolder();
  return WithTrailingBackslash(folder);
}

int32_t CXSelfUninstall::SnapshotCountOf(const std::u16string& path) {
  CXClientSettings settings;
  if (settings.Load(path) == 0) return 0;
  return settings.snapshot_count();
}

void CXSelfUninstall::DeleteInstalledProgramsEntry() {
  std::unique_ptr<platform::RegistryKey> key;
  if (platform::Registries::Get().OpenKey(platform::RegistryRoot::kLocalMachine, kInstalledProgramsKey,
                                          platform::kRegOptionNone, platform::kRegRead | platform::kRegWrite,
                                          &key) != 0) {
    return;
  }
  key->DeleteSubKey(kInstalledProgramsEntry);
}

void CXSelfUninstall::Run(const std::u16string& folder, bool quiet) {
  if (folder.empty()) {
    FirstStage(quiet);
  } else {
    SecondStage(WithTrailingBackslash(folder), quiet);
  }
}

void CXSelfUninstall::FirstStage(bool quiet) {
  if (!quiet && !platform::Dialogs::Get().AskYesNo(kCaption, kQuestion)) return;

  control_.Uninstall(/*stop_first=*/true);
  // Without its own path the program cannot tell its files from those of the
  // current folder: it deletes none.
  const std::u16string folder = ProgramFolder();
  if (folder.empty()) return;
  // The count goes with the settings file, which is deleted next; a process
  // that was never the service has not loaded it.
  const int32_t count = SnapshotCountOf(SettingsPath());

  // From here on nothing is logged: a line would make a new log.
  platform::FileSystem& files = platform::Files::Get();
  const std::u16string settings = SettingsPath();
  const std::u16string log = LogPath();
  for (const std::u16string& path : {settings, settings + u".tmp", log, log + u".old", CrashReportPath(),
                                     CrashCopyPath(), UpgradeCopyPath(), SymbolFilePath()}) {
    files.RemoveFile(path);
  }
  DeleteInstalledProgramsEntry();
  // The number after the count is that of a recording cut off by the end of
  // its process; a finished or stopped one leaves no such file.
  for (int32_t number = 1; number <= count + 1; ++number) files.RemoveFile(SnapshotPath(number));
  files.RemoveFolder(WithoutTrailingBackslash(DataFolder()));

  const std::u16string temporary = TemporaryFolder();
  if (temporary.empty()) return;
  const std::u16string copy = temporary + kUninstallerName;
  if (!files.CopyFileTo(ExecutablePath(), copy, /*fail_if_exists=*/false)) return;
  RunProgram(copy, SecondStageArguments(folder, quiet), RunProgramMode::kReplace);
}

void CXSelfUninstall::SecondStage(const std::u16string& folder, bool quiet) {
  platform::FileSystem& files = platform::Files::Get();
  // The first stage's process may not have let go of its executable yet.
  const std::u16string executable = folder + ProgramFileName();
  for (int attempt = 0; attempt < timing_.delete_attempts; ++attempt) {
    if (attempt > 0) platform::SleepMs(timing_.delete_retry_ms);
    if (files.RemoveFile(executable) || !Exists(executable)) break;
  }
  files.RemoveFolder(WithoutTrailingBackslash(folder));
  files.DeleteAtReboot(ExecutablePath());
  if (quiet) return;
  if (Exists(executable)) {
    platform::Dialogs::Get().Inform(kCaption, std::string(kRemoved) + " Some of its files could not be deleted.");
  } else {
    platform::Dialogs::Get().Inform(kCaption, kRemoved);
  }
}

void SelfUninstall(const std::u16string& folder, bool quiet) {
  CXServiceControl control;
  CXSelfUninstall(control).Run(folder, quiet);
}

}  // namespace orvalinth
