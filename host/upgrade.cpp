#include "host/upgrade.h"

#include <memory>

#include "base/app_version.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/strings.h"
#include "host/run_program.h"
#include "host/signed_upgrade.h"
#include "link/link_security.h"
#include "platform/files.h"
#include "platform/process.h"

namespace orvalinth {
namespace {

// Writes go in pieces of this size (one platform write takes 32-bit counts).
constexpr uint32_t kWriteChunk = 1u << 20;

int Refuse(const std::string& text, std::string* error_text) {
  *error_text = text;
  LogError("%s", text.c_str());
  return 0;
}

}  // namespace

bool CXUpgrade::SignatureAllows(const uint8_t* bytes, int32_t length, std::string* why) {
  bool required = false;
  std::vector<SXPin> pins;
  std::string error;
  if (!ReadUpgradeSigners(settings_, &required, &pins, &error)) {
    // A key that names no signer allows none: it never means "unsigned".
    *why = error + ", so no upgrade is allowed";
    return false;
  }
  return !required || VerifyUpgradeSignature(bytes, static_cast<size_t>(length), pins, why);
}

bool CXUpgrade::WriteUpgradeCopy(const uint8_t* bytes, int32_t length) {
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string copy = UpgradeCopyPath();
  std::unique_ptr<platform::File> file = files.Open(copy, platform::kOpenCreate);
  if (file == nullptr) return false;
  bool ok = true;
  uint32_t done = 0;
  const uint32_t total = static_cast<uint32_t>(length);
  while (ok && done < total) {
    const uint32_t n = total - done < kWriteChunk ? total - done : kWriteChunk;
    uint32_t written = 0;
    ok = file->Write(bytes + done, n, &written) && written == n;
    done += written;
  }
  ok = ok && file->Flush();
  file.reset();
  // A part of an executable must not stay: the next service would take it
  // for a finished upgrade.
  if (!ok) files.RemoveFile(copy);
  return ok;
}

int CXUpgrade::Begin(const uint8_t* bytes, int32_t length, std::string* error_text) {
  LogInfo("Start upgrading...");
  if (bytes == nullptr || length <= 0) return Refuse("upgrade failed - empty executable", error_text);
  std::string why;
  if (!SignatureAllows(bytes, length, &why)) return Refuse("upgrade refused - " + why, error_text);

  // The copy first: until it is complete nothing else changes, so a failed
  // write keeps the snapshots that the console has not fetched yet.
  const std::u16string copy = UpgradeCopyPath();
  if (!WriteUpgradeCopy(bytes, length)) return Refuse(Format("cannot create file %s", Narrow(copy).c_str()), error_text);

  // Nothing else changes before the copy has started: the service manager
  // will not register a service again while its process runs once it is
  // marked for deletion, and snapshots once discarded are lost, so a copy
  // that cannot be started must find the service and its snapshots as they
  // were. The copy is held back until the hand-over is done.
  const bool started = RunProgramInPlace(copy, u"-upgrade", [this] {
    {
      CXClientSettings::Guard guard = settings_.Hold();
      settings_.LoadPrevious();
      // After the reload, which takes "OldVer:" of an earlier upgrade from
      // the file: the number recorded must be that of the program upgrading now.
      settings_.set_old_version(APP_VERSION);
      if (settings_.Save() == 0) LogError("cannot save settings");
    }
    LogInfo("Uninstall previous version...");
    control_.Uninstall(/*stop_first=*/false);
  });
  if (started) return 1;

  // Without the copy the next service must not report an upgrade.
  platform::FileSystem::Get().RemoveFile(copy);
  return Refuse(Format("cannot start %s", Narrow(copy).c_str()), error_text);
}

bool CXUpgrade::ReplaceTarget() {
  platform::FileSystem& files = platform::FileSystem::Get();
  const std::u16string copy = UpgradeCopyPath();
  const std::u16string target = TargetExecutablePath();
  for (int attempt = 0; attempt < timing_.replace_attempts; ++attempt) {
    if (attempt > 0) platform::SleepMs(timing_.replace_retry_ms);
    if (files.CopyFileTo(copy, target, /*fail_if_exists=*/false)) return true;
  }
  return false;
}

void CXUpgrade::Finish() {
  LogInfo("Finalizing upgrade...");
  if (platform::FileSystem::Get().Attributes(UpgradeCopyPath()) == platform::kInvalidAttributes) {
    // Nothing to install ("-upgrade" given by hand): the service, its
    // settings and snapshots stay as they are.
    LogError("upgrade failed - cannot replace exe");
    return;
  }
  settings_.LoadPrevious();

  const std::u16string target = TargetExecutablePath();
  if (!ReplaceTarget()) {
    LogError("upgrade failed - cannot replace exe");
    // The first stage has removed the service: the previous executable, still
    // in place, brings it back rather than leaving the machine without it.
    RunProgram(target, u"-register", RunProgramMode::kWait);
    control_.Start();
    return;
  }

  RunProgram(target, u"-register", RunProgramMode::kWait);
  if (control_.Start() != 0) LogInfo("Upgrade to v%s is complete.", AppVersionText(APP_VERSION));
}

int BeginUpgrade(CXClientSettings& settings, const uint8_t* bytes, int32_t length, std::string* error_text) {
  CXServiceControl control;
  return CXUpgrade(settings, control).Begin(bytes, length, error_text);
}

int BeginUpgrade(const uint8_t* bytes, int32_t length, std::string* error_text) {
  return BeginUpgrade(ProcessSettings(), bytes, length, error_text);
}

void FinishUpgrade() {
  CXServiceControl control;
  CXUpgrade(ProcessSettings(), control).Finish();
}

}  // namespace orvalinth
