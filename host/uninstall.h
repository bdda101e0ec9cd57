#pragma once
// Self-uninstall: the program removes itself completely, in two processes.
//
// The first stage ("-uninstall", with "-quiet" from the console's "uninstall")
// asks first unless quiet, removes the service (stopping it), deletes the
// settings, logs, crash files, upgrade copy, the installed-programs entry and
// the snapshots, removes the data folder when it is empty, copies the
// executable to the temporary folder as "orvalinthsrv_uninst.exe" and hands
// its process over to that copy with
//     -uninstall "<program folder>\" [-quiet]
// (the folder's trailing backslash doubled, so that it does not escape the
// closing quote). The second stage, in the copy, deletes the executable and
// the program folder when that is empty, and when the Windows Installer
// package installed the program (its product code in the registry value
// HKEY_LOCAL_MACHINE\Software\Orvalinth "ProductCode", which the package
// writes) removes the package's registration with
//     msiexec /x {product code} /qn SELFREMOVED=1
// waiting for it: everything the package would remove is gone by then, and
// SELFREMOVED keeps the package from running this program's "-remove-data"
// (packaging/OrvalinthSrv.wxs). Then it schedules the copy's own deletion for
// the next restart and, unless quiet, says that the program was removed.
//
// Every deletion ignores its failure, so an uninstall always runs to its end;
// what cannot be deleted stays, and so does its folder (a file put into the
// data folder by hand keeps the data and program folders). Nothing is logged
// after the log has been deleted, so that no new log appears.

#include <cstdint>
#include <string>

#include "host/service_control.h"

namespace orvalinth {

class CXSelfUninstall {
 public:
  static constexpr const char* kCaption = "Orvalinth Service";
  static constexpr const char* kQuestion =
      "Are you sure you want to completely remove Orvalinth Service from your computer?";
  static constexpr const char* kRemoved = "Orvalinth Service was removed.";
  // The uninstaller copy's name in the temporary folder.
  static constexpr const char16_t* kUninstallerName = u"orvalinthsrv_uninst.exe";
  // The installed-programs entry: this subkey of that key of HKEY_LOCAL_MACHINE.
  static constexpr const char16_t* kInstalledProgramsKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
  static constexpr const char16_t* kInstalledProgramsEntry = u"Orvalinth Service";
  // Where the package records its product code (HKEY_LOCAL_MACHINE), and the
  // property that tells its removal the program removed itself already.
  static constexpr const char16_t* kPackageKey = u"Software\\Orvalinth";
  static constexpr const char16_t* kPackageValue = u"ProductCode";
  static constexpr const char16_t* kPackageSelfRemoved = u"SELFREMOVED";

  // The second stage's wait for the first stage's process to let go of the
  // executable; tests shorten it.
  struct Timing {
    int delete_attempts = 40;
    uint32_t delete_retry_ms = 250;  // 10 s at most
  };

  explicit CXSelfUninstall(CXServiceControl& control) : CXSelfUninstall(control, Timing()) {}
  CXSelfUninstall(CXServiceControl& control, Timing timing) : control_(control), timing_(timing) {}
  CXSelfUninstall(const CXSelfUninstall&) = delete;
  CXSelfUninstall& operator=(const CXSelfUninstall&) = delete;

  // The "-uninstall" option: the first stage when `folder` is empty, else the
  // second stage for that folder.
  void Run(const std::u16string& folder, bool quiet);

  // The first stage. Returns only when the question was not answered Yes or
  // the uninstaller copy could not be made or started (or a substituted
  // process facility reported the start).
  void FirstStage(bool quiet);
  // The second stage for the program folder `folder`.
  void SecondStage(const std::u16string& folder, bool quiet);

  // The second stage's argument text for `folder` (which ends with "\").
  static std::u16string SecondStageArguments(const std::u16string& folder, bool quiet);
  // The system's temporary folder, else the Windows folder, ending with "\";
  // empty when neither is known.
  static std::u16string TemporaryFolder();
  // The snapshot count of the settings file `path`; 0 when it cannot be read.
  static int32_t SnapshotCountOf(const std::u16string& path);
  // Deletes what the program made beside itself: the settings, logs, crash
  // files, upgrade copy and the snapshots up to `count` + 1, and the data
  // folder when it is empty. Logs nothing.
  static void RemoveData(int32_t count);

  // The package's product code from the registry; empty when there is none
  // or the value is no product code.
  static std::u16string PackageProductCode();
  // Whether `text` is a product code in braces, {8-4-4-4-12 hex digits}.
  static bool IsProductCode(const std::u16string& text);
  // msiexec's arguments that remove the package `code` quietly.
  static std::u16string PackageRemovalArguments(const std::u16string& code);

 private:
  // Deletes the installed-programs entry; skipped when its key cannot be opened.
  static void DeleteInstalledProgramsEntry();
  // Removes the package's registration when the package installed the
  // program, waiting for msiexec.
  static void RemovePackageRegistration();

  CXServiceControl& control_;
  const Timing timing_;
};

// The "-remove-data" option, which the package's removal runs: RemoveData
// with the settings file's snapshot count.
void RemoveProgramData();

// The "-uninstall" option with the service control of the real program.
void SelfUninstall(const std::u16string& folder, bool quiet);

}  // namespace orvalinth
