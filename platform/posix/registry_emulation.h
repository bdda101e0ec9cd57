#pragma once
// The emulated registry of the POSIX backend, for tests.
//
// It starts with what a Linux machine can truly say about itself, under
// HKEY_LOCAL_MACHINE: "SOFTWARE\Microsoft\Windows NT\CurrentVersion" holds
// "ProductName" (PRETTY_NAME of /etc/os-release) and "CurrentVersion" (the
// kernel release); "HARDWARE\DESCRIPTION\System\CentralProcessor\0" holds
// "ProcessorNameString" (the first "model name" of /proc/cpuinfo). A value
// whose source cannot be read is left out.
//
// HKEY_CLASSES_ROOT shows HKEY_LOCAL_MACHINE\SOFTWARE\Classes and
// HKEY_CURRENT_USER shows HKEY_USERS\S-1-5-18 (LocalSystem, the service's
// account); those two keys always exist and cannot be deleted.

#include <cstddef>
#include <string>

#include "platform/registry.h"

namespace orvalinth::platform::posix {

// Empties the registry: the roots and the two keys behind HKEY_CLASSES_ROOT
// and HKEY_CURRENT_USER remain. Key objects opened before give 6 from now on.
void ResetRegistry();
// Empties it and puts back the values the machine provides (above).
void ResetRegistryToHost();
// Makes opening the key `path` refuse access (5), or allow it again; false
// when the key does not exist. Its parent still lists it.
bool SetRegistryKeyDenied(RegistryRoot root, const std::u16string& path, bool denied);
// Makes the key `path` open, but answer 6 to every query and enumeration (as
// some performance-data keys of Windows do), or be read again; false when
// the key does not exist.
bool SetRegistryKeyUnreadable(RegistryRoot root, const std::u16string& path, bool unreadable);
// The number of key objects in existence (each open or create makes one).
size_t OpenRegistryKeys();

}  // namespace orvalinth::platform::posix
