#pragma once
// What the files of the fleet API share (web_api.cpp, web_api_reads.cpp,
// web_api_actions.cpp, web_api_reports.cpp): reading and checking a
// request's parameters, the JSON of the catalog's rows, and the answers of
// the catalog's and the agents' failures.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/web_api.h"

namespace orvalinth::server::web_api {

// A request's parameters read and checked one by one: the first bad one is
// kept, and the handler answers it (400 "bad-request", naming the parameter).
class CXParams {
 public:
  explicit CXParams(const SXWebRequest& request) : request_(request) {}

  // A whole number from the query (absent: `fallback`) in [low, high].
  int64_t Number(const char* key, int64_t fallback, int64_t low, int64_t high);
  // A route parameter that is an id in [1, high].
  int64_t Id(const char* name, int64_t high = INT64_MAX);
  // A query text of at most `max` bytes without control characters (absent: "").
  std::string Text(const char* key, size_t max);
  // A query value that is one of `choices` (absent: `fallback`).
  std::string Choice(const char* key, const std::vector<std::string>& choices, const std::string& fallback);
  // The body as a JSON object ("" is {}).
  Json Body();

  // Marks the parameter bad (the first one marked is answered).
  void Bad(const std::string& name, const std::string& message);
  bool ok() const { return error_.empty(); }
  SXWebResponse Error() const;

 private:
  const SXWebRequest& request_;
  std::string error_;
};

// A text field of a JSON body: a string of at most `max` bytes without
// control characters; absent is `fallback`. Marks `params` bad otherwise.
std::string BodyText(CXParams& params, const Json& body, const char* field, size_t max,
                     const std::string& fallback = std::string());

// Answers of failures.
SXWebResponse CatalogError(const SXCatalogStatus& status);
SXWebResponse ActionError(const SXActionResult& result);
SXWebResponse Unavailable();
SXWebResponse NotFound(const std::string& message);

// The JSON of the catalog's rows, with the API's field names.
Json MachineJson(const SXMachineRow& row);
Json ScanJson(const SXScanRow& row);
Json ComparisonJson(const SXComparisonRow& row);
Json SnapshotJson(const SXSnapshotRow& row, const Json& comparison);
Json ChangeJson(const SXChangeRow& row);
Json ProfileJson(const SXTargetProfile& profile);
Json ScheduleJson(const SXScheduleRow& row);
Json RolloutJson(const SXRolloutRow& row);

// The comparison of a snapshot with its categories, or null when it has none
// (a first snapshot, one not yet compared); false with *error on a catalog failure.
bool ComparisonOf(CXCatalog& catalog, int64_t snapshot_id, Json* comparison, SXWebResponse* error);
// The machine's name, or "" when it is gone; looked up once per uid.
class CXMachineNames {
 public:
  explicit CXMachineNames(CXCatalog& catalog) : catalog_(catalog) {}
  const std::string& Name(int32_t uid);

 private:
  CXCatalog& catalog_;
  std::vector<std::pair<int32_t, std::string>> names_;
};

// The schedule that applies to the machine: its own, else its group's, else "*"'s; null for none.
std::optional<SXScheduleRow> ScheduleOf(const std::vector<SXScheduleRow>& schedules, const SXMachineRow& machine);

// "drives", "folder", "registry" and back; false for another word.
bool ParseKind(const std::string& text, ChangeKind* kind);
bool ParseCategory(const std::string& text, ChangeCategory* category);

// `handler` with what it throws (a JSON conversion, memory) answered as a 500
// of that request alone, when it has not replied yet.
WebHandler Guarded(WebHandler handler);

// The route lists of each file.
void AddReadRoutes(const SXApiContext& context, std::vector<SXWebRoute>* routes);
void AddActionRoutes(const SXApiContext& context, std::vector<SXWebRoute>* routes);
void AddReportRoutes(const SXApiContext& context, std::vector<SXWebRoute>* routes);

// The name a download of the machine's snapshot gets: "<name>-snapshot<NNN>.snp",
// the name's characters outside [A-Za-z0-9._-] as "_".
std::string SnapshotFileName(const std::string& machine_name, int32_t number);

}  // namespace orvalinth::server::web_api
