#include "fakes/largest_allocation.h"

#include <atomic>

#ifndef _WIN32
// AddressSanitizer's hooks on every allocation, when the program has them.
extern "C" __attribute__((weak)) int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));
#endif

namespace orvalinth::test {
namespace {

std::atomic<bool> watching{false};
std::atomic<size_t> largest{0};

bool InstallHooks() {
#ifdef _WIN32
  return false;
#else
  return __sanitizer_install_malloc_and_free_hooks != nullptr &&
         __sanitizer_install_malloc_and_free_hooks(
             [](const volatile void*, size_t size) {
               size_t seen = largest.load(std::memory_order_relaxed);
               while (watching.load(std::memory_order_relaxed) && size > seen &&
                      !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
               }
             },
             [](const volatile void*) {}) != 0;
#endif
}

}  // namespace

bool LargestAllocation::Watch() {
  static const bool hooked = InstallHooks();
  largest.store(0);
  watching.store(hooked);
  return hooked;
}

size_t LargestAllocation::Stop() {
  watching.store(false);
  return largest.load();
}

}  // namespace orvalinth::test
