#include "record/version_hooks.h"

#include <mutex>

#include "record/version_info.h"

namespace orvalinth {
namespace {

std::mutex& HooksLock() {
  static std::mutex lock;
  return lock;
}

// The program reads version resources; tests may put their own reading in.
SXVersionInfoHooks& Hooks() {
  static SXVersionInfoHooks hooks{&HasVersionInfoExtension, &ReadVersionInfo};
  return hooks;
}

}  // namespace

void SetVersionInfoHooks(SXVersionInfoHooks hooks) {
  std::lock_guard<std::mutex> guard(HooksLock());
  Hooks() = std::move(hooks);
}

SXVersionInfoHooks VersionInfoHooks() {
  std::lock_guard<std::mutex> guard(HooksLock());
  return Hooks();
}

}  // namespace orvalinth
