// The pages built into the program (to be written: none yet).
#include "server/web_types.h"

namespace orvalinth::server {

const SXWebAsset* FindWebAsset(std::string_view) { return nullptr; }

}  // namespace orvalinth::server
