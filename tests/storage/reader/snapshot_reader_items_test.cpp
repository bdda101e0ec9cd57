// Application items inside payloads.

#include <gtest/gtest.h>

#include "storage/reader/snapshot_reader_records.h"
#include "test_support.h"
#include "tests/storage/snapshot_bytes.h"
#include "tests/storage/reader/payload_decode.h"
#include "tests/storage/snapshot_samples.h"

namespace orvalinth {
namespace {

using snapshot_read::CXPayloadCursor;
using snapshot_read::ReadContext;
using test::Hex;
using test::ToHex;

// Reads one item run from `bytes`; the fault message or "".
std::string ReadRun(const std::string& bytes, std::vector<SXReadItem>* run, ReadContext* context = nullptr) {
  ReadContext local;
  local.version_count = 1;
  return test::DecodePayload(bytes, 40, context != nullptr ? *context : local,
                             [run](CXPayloadCursor& cursor) { *run = snapshot_read::ReadItemRun(cursor); });
}

TEST(SnapshotItems, EveryKindReadsBack) {
  std::vector<SXReadItem> items;
  const SXReadSection section = test::SampleApplicationsSection();
  items = section.root.items;
  for (const SXReadNode& node : section.root.children) {
    items.insert(items.end(), node.items.begin(), node.items.end());
    for (const SXReadNode& child : node.children) items.insert(items.end(), child.items.begin(), child.items.end());
  }
  std::string bytes;
  for (size_t i = 0; i < items.size(); ++i) bytes += test::ItemRecordBytes(items[i], i + 1 == items.size());
  std::vector<SXReadItem> run;
  ReadContext context;
  context.version_count = 1;
  EXPECT_EQ(ReadRun(bytes, &run, &context), "");
  ASSERT_EQ(run.size(), items.size());
  for (size_t i = 0; i < run.size(); ++i) EXPECT_EQ(run[i], items[i]) << "item " << i << " kind " << int(items[i].kind);
  EXPECT_EQ(context.remark_count, 0u) << (context.remarks.empty() ? "" : context.remarks[0]);
}

TEST(SnapshotItems, GoldenBytes) {
  // Kind 1 with a wide name: flag 0x01, the name two bytes per unit, the others
  // one; the file record follows (no name).
  SXReadItem entry = test::SampleItem(1, u"\u0100", u"p");
  entry.source = 10;
  entry.file = SXReadFile();
  EXPECT_EQ(ToHex(test::ItemRecordBytes(entry, true)),
            "81 01 0A 00 01 00 00 01 01 00 70 00 00 00 00 "
            "00 00 00 00 00 00 00 00 00 00 00");
  // Kind 7: protocol 1 (TCP over IPv4) carries both addresses; code 4 stores four bytes.
  SXReadItem port = test::SampleItem(7, u"", u"");
  port.protocol = 1;
  port.port_state = 2;
  port.local = {4, 0x1BD, std::string("\x7F\x00\x00\x01", 4)};
  port.remote = {1, 80, ""};
  EXPECT_EQ(ToHex(test::ItemRecordBytes(port, false)), "00 07 01 02 04 BD 01 7F 00 00 01 01 50 00");
  // Kind 6 with a missing object file: no file record.
  SXReadItem handle = test::SampleItem(6, u"", u"");
  handle.handle_type = 1;
  handle.object_file_missing = true;
  handle.object_name = u"x";
  EXPECT_EQ(ToHex(test::ItemRecordBytes(handle, true)), "80 06 01 01 01 00 78 00");
  std::vector<SXReadItem> run;
  EXPECT_EQ(ReadRun(test::ItemRecordBytes(port, false) + test::ItemRecordBytes(handle, true), &run), "");
  EXPECT_EQ(run, (std::vector<SXReadItem>{port, handle}));
}

TEST(SnapshotItems, Faults) {
  const test::FaultCase cases[] = {
      {"A0 01", "item at payload offset 0 of the section block at file offset 40 has the reserved flags 0x60"},
      {"80 07 02 00 11 00 00", "has an address of 17 bytes (at most 16)"},
      {"80 06 01 02 00 00", "has the object-file state 2"},
      {"80 01 00 00 00 00 00 00 00 00 00 00", "item run at payload offset 0 of the section block at file offset 40 "
                                              "runs past the payload's end (12 bytes)"},  // file record missing
      {"00 09 00 00 00 00 02 00 00 00 00", "runs past the payload's end"},  // no end mark
  };
  for (const test::FaultCase& c : cases) {
    std::vector<SXReadItem> run;
    const std::string message = ReadRun(Hex(c.hex), &run);
    EXPECT_NE(message.find(c.message), std::string::npos) << c.hex << ": " << message;
  }
}

TEST(SnapshotItems, OddFormsAreRemarked) {
  const std::string empty_file = Hex("00 00 00 00 00 00 00 00 00 00 00");
  const std::string cases[] = {
      Hex("90 00 00 00 00 00 00 00 00 00 00 00"),                 // kind 0 (unknown), read as an entry
      Hex("81 01 00 00 01 00 41 00 00 00 00 00 00 00") + empty_file,  // a wide name that fits narrow
      Hex("80 07 02 00 05 00 00 01 02 03 04 05"),                 // an address of five bytes
      // Kinds that store their texts wide: the flags still follow the texts.
      Hex("81 06 00 01 00 00"),                                   // a wide name flag with no name
      Hex("80 04 00 00 01 00 00 01 00 00 00 00 00 00 00 00 00 00"),  // a name above 255 without its flag
      Hex("80 01 00 00 00 00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 00 00 00"),  // an end mark on its file
  };
  for (const std::string& bytes : cases) {
    std::vector<SXReadItem> run;
    ReadContext context;
    const std::string message = ReadRun(bytes, &run, &context);
    EXPECT_EQ(message, "") << ToHex(bytes);
    EXPECT_EQ(context.remark_count, 1u) << ToHex(bytes);
  }
}

TEST(SnapshotItems, ACategoryRunOutOfItemOrderIsRemarked) {
  SXReadSection services;
  services.kind = kReadApplications;
  services.name = u"Services";
  services.root = test::SampleNode(u"Services");
  for (const char16_t* name : {u"b", u"a"}) {
    services.root.items.push_back(test::SampleItem(3, name, u""));
    services.root.items.back().file_missing = true;
  }
  SXReadSection programs = services;  // found programs keep no order of their own here
  programs.name = u"Programs";
  ReadContext context;
  snapshot_read::CheckApplicationSections({services, programs}, context);
  ASSERT_EQ(context.remark_count, 1u);
  EXPECT_NE(context.remarks[0].find("\"Services\" is not in item order at item 1"), std::string::npos)
      << context.remarks[0];
}

}  // namespace
}  // namespace orvalinth
