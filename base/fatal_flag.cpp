#include "base/fatal_flag.h"

#include <atomic>

namespace orvalinth {
namespace {

// Lock-free, so that raising it from a faulting thread can never wait.
std::atomic<int> g_fatal_flag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the crash handler must not wait for the flag");

}  // namespace

void SetFatalFlag(int value) { g_fatal_flag.store(value != 0 ? 1 : 0, std::memory_order_release); }

int FatalFlag() { return g_fatal_flag.load(std::memory_order_acquire); }

}  // namespace orvalinth
