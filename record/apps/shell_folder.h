#pragma once
// The path of a shell folder as the collectors search it: where the folder
// lies now, else where it lies by default, with a final "\"; empty when the
// system names neither (platform/known_folders.h).

#include <string>

namespace orvalinth {

std::u16string ShellFolderPath(int csidl);

}  // namespace orvalinth
