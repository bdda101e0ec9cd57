#pragma once
// How many files (sockets included) this process may hold open. A process
// that holds a link per agent, thousands of them, needs more than the usual
// soft limit of 1,024 on Linux; the hard limit is the ceiling an
// unprivileged process may raise it to. Windows has no such per-process
// limit on sockets: there the functions report that all is well.

#include <cstdint>

namespace orvalinth::platform {

// The soft limit now; 0 when it cannot be read (or there is none).
uint64_t OpenFileLimit();
// Raises the soft limit to at least `wanted`, at most to the hard limit;
// true when the limit is then `wanted` or more. *now (when given) is the
// limit afterwards.
bool RaiseOpenFileLimit(uint64_t wanted, uint64_t* now = nullptr);

}  // namespace orvalinth::platform
