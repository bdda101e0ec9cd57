#include "record/apps/collector_run.h"

#include <gtest/gtest.h>

#include "platform/com_apartment.h"
#include "storage/node_table.h"
#include "storage/reader/snapshot_reader_cursor.h"
#include "storage/reader/snapshot_reader_payloads.h"
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

std::string CollectorRun::Payload(int which) const {
  const CXMemWriter& payload = categories_[which].payload;
  return std::string(reinterpret_cast<const char*>(payload.data()), static_cast<size_t>(payload.position()));
}

SXReadNode CollectorRun::Tree(int which) {
  const SXAppCategory& c = categories_[which];
  CXMemWriter payload;
  const std::string bytes = Payload(which);
  payload.WriteBytes(bytes.data(), static_cast<int32_t>(bytes.size()));
  CXNodeTable root;
  SXNodeRecord* node = root.Append(std::u16string_view(kAppCategoryNames[which]), 0);
  node->child_offset = c.child_offset;
  node->content_offset = c.items_offset;
  const int32_t at = root.Flush(payload, false);
  const std::vector<uint8_t> whole(payload.data(), payload.data() + payload.position());
  snapshot_read::ReadContext context;
  context.version_count = recording_.writer().version_table().count();
  snapshot_read::CXPayloadCursor cursor(whole, 0, "category", context);
  try {
    SXReadNode tree = snapshot_read::ReadSectionTree(cursor, kReadApplications, static_cast<uint32_t>(at));
    EXPECT_EQ(context.remark_count, 0u) << (context.remarks.empty() ? "" : context.remarks[0]);
    return tree;
  } catch (const snapshot_read::FaultSignal& signal) {
    ADD_FAILURE() << signal.fault.message;
  }
  return SXReadNode();
}

}  // namespace orvalinth::test
