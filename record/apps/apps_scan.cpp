#include "record/apps/apps_scan.h"

#include "platform/com_apartment.h"
#include "record/apps/processes_info.h"
#include "record/apps/programs_info.h"
#include "record/apps/services_info.h"
#include "record/apps/startup_info.h"
#include "record/file_info.h"
#include "record/scan_request.h"
#include "storage/node_table.h"
#include "storage/payload_spool.h"
#include "storage/snapshot_writer.h"

namespace orvalinth {

SXAppCategory::SXAppCategory() { payload.WriteU8(0x01); }

SXAppCategory::~SXAppCategory() = default;

bool SXAppsScanContext::StopRequested() const { return thread->state() == CXScanThread::kStateStopRequested; }

int SXAppsScanContext::LookUpFile(const std::u16string& path, SXFileRecord* file, SXExeVersion* version) const {
  return GetFileInfo(*writer, path, file, version);
}

bool CXAppsScan::Requested(const CXScanRequest& request) {
  if (request.full) return true;
  const std::vector<std::u16string>& include = request.include[kScanApps];
  return include.size() == 1 && request.exclude[kScanApps].empty() && !include[0].empty() && include[0][0] == u'*';
}

CXAppsScan::CXAppsScan(CXSnapshotWriter& writer) : writer_(writer) {}

CXAppsScan::~CXAppsScan() { StopJob(true); }

std::unique_ptr<CXAppsCollector> CXAppsScan::MakeCollector(int phase) {
  switch (phase) {
    case kPhaseStartup: return std::make_unique<CXStartupInfo>();
    case kPhaseServices: return std::make_unique<CXServicesInfo>();
    case kPhaseProcesses: return std::make_unique<CXProcessesInfo>();
    case kPhasePrograms: return std::make_unique<CXProgramsInfo>();
    default: return nullptr;
  }
}

void CXAppsScan::Run() {
  // Shortcuts are resolved through the shell's link object, which wants COM.
  platform::ScopedComApartment com;
  SXAppCategory categories[kAppCategoryCount];
  for (SXAppCategory& category : categories) {
    category.spool = std::make_unique<CXPayloadSpool>(writer_);
    category.spool->Attach(category.payload);
  }
  SXAppsScanContext context;
  context.thread = this;
  context.entries = &writer_.progress(kScanApps, 0);
  context.modules = &writer_.progress(kScanApps, 1);
  context.writer = &writer_;
  context.categories = categories;
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    if (context.StopRequested()) return;
    std::unique_ptr<CXAppsCollector> collector = MakeCollector(phase);
    if (collector != nullptr) collector->Run(context);
  }
  if (context.StopRequested()) return;
  HandOver(categories);
}

void CXAppsScan::HandOver(SXAppCategory* categories) {
  for (int i = 0; i < kAppCategoryCount; ++i) {
    SXAppCategory& category = categories[i];
    const std::u16string name = kAppCategoryNames[i];
    CXNodeTable root;
    SXNodeRecord* node = root.Append(name, 0);
    node->child_offset = category.child_offset;
    node->content_offset = category.items_offset;
    const int32_t root_offset = root.Flush(category.payload, false);
    writer_.AddSection(kSectionApps, name, root_offset, category.payload, category.spool.get());
    category.payload.Release();  // handed over: its memory goes now
  }
}

}  // namespace orvalinth
