#pragma once
// Small readers of the Linux /proc file system, shared by the processes,
// handles and ports backends.

#include <cstdint>
#include <string>
#include <vector>

namespace orvalinth::platform::posix {

// The ids of the running processes (the numeric entries of /proc), ascending.
std::vector<uint32_t> ProcessIdsOfProc();
// The whole content of a (small, virtual) file; false when it cannot be read.
bool ReadProcFile(const std::string& path, std::string* content);
// The target of a symbolic link; false when it cannot be read.
bool ReadProcLink(const std::string& path, std::string* target);
// The open descriptors of `pid` (the entries of /proc/<pid>/fd), ascending;
// false when the folder cannot be listed.
bool DescriptorsOf(uint32_t pid, std::vector<int>* descriptors);

}  // namespace orvalinth::platform::posix
