// The pages built into the program: the files of server/web/, turned into
// byte arrays by the build (server/web_assets.cmake writes web_assets_data.cpp).

#include <cstddef>

#include "server/web_types.h"

namespace orvalinth::server {

extern const SXWebAsset kWebAssets[];
extern const size_t kWebAssetCount;

const SXWebAsset* FindWebAsset(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (size_t i = 0; i < kWebAssetCount; ++i) {
    if (kWebAssets[i].path == path) return &kWebAssets[i];
  }
  return nullptr;
}

}  // namespace orvalinth::server
