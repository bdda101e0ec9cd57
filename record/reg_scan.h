#pragma once
// CXRegScan: the registry job of a recording. It records the keys below the
// registry targets of the scan request, one section per root key (named by
// the root in upper case, "HKEY_LOCAL_MACHINE"): for every key its name, the
// error of an open that failed, its subkeys, and its values with type and
// data (a value run sorted by name). A key that is a registry link (its
// "SymbolicLinkValue" names a path below "\registry\") is recorded as a link
// and never entered; keys deeper than 1,023 levels below their root are
// recorded with their values but without subkeys; excluded keys are left out
// but still counted as enumerated. A key that opens but whose reading fails
// is recorded with what was read and no error (a failed query: no values; a
// failed enumeration: no further subkeys), and the failure is logged.
//
// Counting (kind 0): the first progress counter gets the keys entered (root
// keys and every subkey enumerated) once per key, the second the values once
// per key.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "record/section_walk.h"
#include "storage/reg_values.h"

namespace orvalinth {

class CXScanRequest;
class CXSerializedAccessInt;

class CXRegScan final : public CXSectionWalk {
 public:
  // Subkey names are taken up to this many units; longer ones are cut.
  static constexpr size_t kNameUnits = 1024;
  // A value name longer than kLongestValueName units is cut to kCutValueName.
  static constexpr int32_t kLongestValueName = 32767;
  static constexpr int32_t kCutValueName = 1024;

  // The roots a registry job of `request` scans: the five root keys (each
  // followed by "\") for a job over everything, else the registry include
  // list without the entries that name no key (no "\"). Empty: no job.
  static std::vector<std::u16string> JobRoots(const CXScanRequest& request);

  // `root` with its root name in upper case and each key below it spelled as
  // the registry stores it ("hkey_local_machine\software\" becomes
  // "HKEY_LOCAL_MACHINE\SOFTWARE\"); from the first key that cannot be found
  // on, the rest stays as written.
  static std::u16string StoredKeyPath(const std::u16string& root);

  explicit CXRegScan(CXSnapshotWriter& writer);
  ~CXRegScan() override;

  // Starts the job over `roots` for `request` (whose registry exclusion set
  // must be made already); see CXScanThread::StartJob.
  int Start(const CXScanRequest& request, std::vector<std::u16string> roots);

 protected:
  void Run() override;
  std::u16string SectionName(const std::u16string& root_part) override;
  void ScanRoot(SXNodeRecord* root) override;
  void ScanTarget(SXNodeRecord* node, int32_t depth) override;

 private:
  // Records the values and subkeys of the open `key` (the path buffer) into
  // `node` of `depth`.
  void ScanKey(platform::RegistryKey& key, SXNodeRecord* node, int32_t depth);
  // Opens the subkey named like `node` of `depth` below `parent` as a link
  // key: a link is recorded as such, any other key scanned.
  void OpenAndScan(platform::RegistryKey& parent, SXNodeRecord* node, int32_t depth);
  // Writes the key's values as a run; its offset, 0 when it has none.
  // *broke_off gets the error of a read that failed other than at the end
  // of the values (the key deleted meanwhile).
  int32_t ValueRun(platform::RegistryKey& key, uint32_t* broke_off);

  const CXScanRequest* request_ = nullptr;
  std::vector<std::u16string> roots_;
  CXSerializedAccessInt& key_counter_;
  CXSerializedAccessInt& value_counter_;
  CXRegValueList values_;
  // Reused for every key and value.
  std::u16string key_name_;
  std::u16string value_name_;
  std::string value_data_;
};

}  // namespace orvalinth
