// The console's queries over the fleet and the inventory (to be written).
#include "server/sqlite_catalog_impl.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace orvalinth::server {

SXCatalogStatus CXSqliteCatalog::QueryMachines(const SXMachineQuery& query, std::vector<SXMachineRow>* rows, int64_t* total) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "QueryMachines: not built yet");
}

SXCatalogStatus CXSqliteCatalog::Summary(int64_t silent_before, SXFleetSummary* summary) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "Summary: not built yet");
}

SXCatalogStatus CXSqliteCatalog::RecentComparisons(int limit, std::vector<SXComparisonRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "RecentComparisons: not built yet");
}

SXCatalogStatus CXSqliteCatalog::FleetChanges(const ChangeKind* kind, const ChangeCategory* category, const std::string& pattern, int64_t since, int64_t until, int limit, std::vector<SXChangeRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "FleetChanges: not built yet");
}

SXCatalogStatus CXSqliteCatalog::ComparisonChanges(int64_t comparison_id, int offset, int limit, std::vector<SXChangeRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "ComparisonChanges: not built yet");
}

SXCatalogStatus CXSqliteCatalog::ReplaceInventory(int32_t uid, int64_t snapshot_id, const std::vector<SXInventoryRow>& rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "ReplaceInventory: not built yet");
}

SXCatalogStatus CXSqliteCatalog::SearchInventory(const std::string& category, const std::string& pattern, int limit, std::vector<SXInventoryRow>* rows) {
  return SXCatalogStatus::Failed(CatalogCode::kError, "SearchInventory: not built yet");
}

}  // namespace orvalinth::server
