#include "record/version_hooks.h"

#include <mutex>

namespace orvalinth {
namespace {

std::mutex& HooksLock() {
  static std::mutex lock;
  return lock;
}

SXVersionInfoHooks& Hooks() {
  static SXVersionInfoHooks hooks;
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
