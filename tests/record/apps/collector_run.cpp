#include "record/apps/collector_run.h"

#include <gtest/gtest.h>

#include "platform/com_apartment.h"
#include "storage/node_table.h"
#include "storage/reader/snapshot_reader_payloads.h"
#include "storage/reader/snapshot_reader_cursor.h"
#include "storage/reader/snapshot_reader_records.h"

namespace orvalinth::test {

class CollectorRun::Job final : public CXScanThread {
 public:
  Job(CollectorRun& run, CXAppsCollector& collector) : run_(run), collector_(collector) {}
  ~Job() override { StopJob(true); }

 protected:
  void Run() override {
    platform::ScopedComApartment com;
    SXAppsScanContext context;
    context.thread = this;
    context.entries = &run_.writer().progress(kScanApps, 0);
    context.modules = &run_.writer().progress(kScanApps, 1);
    context.writer = &run_.writer();
    context.categories = run_.categories_;
    collector_.Run(context);
  }

 private:
  CollectorRun& run_;
  CXAppsCollector& collector_;
};

CollectorRun::CollectorRun() = default;
CollectorRun::~CollectorRun() { job_.reset(); }

bool CollectorRun::Run(CXAppsCollector& collector) {
  if (!recording_.Begin()) return false;
  job_ = std::make_unique<Job>(*this, collector);
  if (job_->StartJob(recording_.writer(), kScanApps) != 1) return false;
  return recording_.Await();
}

void CollectorRun::RequestStop() { job_->StopJob(false); }

std::vector<SXReadItem> CollectorRun::Items(int which) {
  const SXAppCategory& c = categories_[which];
  if (c.items_offset == 0) return {};
  const std::vector<uint8_t> payload(c.payload.data(), c.payload.data() + c.payload.position());
  snapshot_read::ReadContext context;
  context.version_count = recording_.writer().version_table().count();
  snapshot_read::CXPayloadCursor cursor(payload, 0, "category", context);
  cursor.Seek(static_cast<uint32_t>(c.items_offset));
  try {
    return snapshot_read::ReadItemRun(cursor);
  } catch (const snapshot_read::FaultSignal& signal) {
    ADD_FAILURE() << signal.fault.message;
  }
  return {};
}

SXReadNode CollectorRun::Tree(int which) {
  const SXAppCategory& c = categories_[which];
  CXMemWriter payload;
  payload.WriteBytes(c.payload.data(), c.payload.position());
  CXNodeTable root;
  SXNodeRecord* node = root.Append(kAppCategoryNames[which], 0);
  node->child_offset = c.child_offset;
  node->content_offset = c.items_offset;
  const int32_t root_offset = root.Flush(payload, false);
  const std::vector<uint8_t> bytes(payload.data(), payload.data() + payload.position());
  snapshot_read::ReadContext context;
  context.version_count = recording_.writer().version_table().count();
  snapshot_read::CXPayloadCursor cursor(bytes, 0, "category", context);
  try {
    return snapshot_read::ReadSectionTree(cursor, kReadApplications, static_cast<uint32_t>(root_offset));
  } catch (const snapshot_read::FaultSignal& signal) {
    ADD_FAILURE() << signal.fault.message;
  }
  return {};
}

}  // namespace orvalinth::test
