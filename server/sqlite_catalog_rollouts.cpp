// Upgrade rollouts and their machines (to be written).
#include "server/sqlite_catalog_impl.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace orvalinth::server {

SXCatalogStatus CXSqliteCatalog::AddRollout(const SXRolloutRow& row, const std::vector<SXRolloutMachineRow>& machines, int64_t* id) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "AddRollout: not built yet");
}

SXCatalogStatus CXSqliteCatalog::GetRollout(int64_t id, SXRolloutRow* row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "GetRollout: not built yet");
}

SXCatalogStatus CXSqliteCatalog::ListRollouts(std::vector<SXRolloutRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "ListRollouts: not built yet");
}

SXCatalogStatus CXSqliteCatalog::UpdateRollout(const SXRolloutRow& row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "UpdateRollout: not built yet");
}

SXCatalogStatus CXSqliteCatalog::ListRolloutMachines(int64_t rollout_id, std::vector<SXRolloutMachineRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "ListRolloutMachines: not built yet");
}

SXCatalogStatus CXSqliteCatalog::UpdateRolloutMachine(const SXRolloutMachineRow& row) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "UpdateRolloutMachine: not built yet");
}

}  // namespace orvalinth::server
