#pragma once
// What the tests of the scan jobs and the record controller share: a
// snapshot writer in a private folder that one job records into and that is
// read back, a readable dump of a recorded tree, a file system with an
// endless made-up tree below one folder, and a full disk for snapshot files.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "record/scan_request.h"
#include "record/scan_thread.h"
#include "storage/snapshot_builder.h"
#include "storage/snapshot_writer.h"
#include "test_support.h"

namespace orvalinth::test {

// One recording by hand: Begin, start one or more jobs on writer(), Await,
// Finish, then look at what was stored.
class JobRecording {
 public:
  JobRecording();
  ~JobRecording();

  CXSnapshotWriter& writer() { return writer_; }
  CXScanRequest& request() { return request_; }
  // Creates the snapshot file with request().
  bool Begin();
  // Waits until no job runs any more (false after `timeout_ms`).
  bool Await(int64_t timeout_ms = 60000);
  // Finishes the file and reads it back.
  bool Finish();

  const SnapshotImage& image() const { return image_; }
  // The names in the section table of `kind` as stored.
  std::vector<std::u16string> SectionNames(int32_t kind) const;
  // The tree of section `index` of `kind` read back; the block offsets in
  // the order the sections were stored.
  NodeSpec Section(int32_t kind, size_t index) const;
  std::vector<uint32_t> BlockOffsets(int32_t kind) const;
  // The stored bytes (header and body) of the block of section `index` of `kind`.
  std::string SectionBlock(int32_t kind, size_t index) const;
  // Every section of `kind` in the table's order: its name (UTF-8), "|", its
  // decoded payload ("?" when it does not decode).
  std::vector<std::string> SectionPayloads(int32_t kind) const;
  const std::u16string& path() const { return path_; }

 private:
  TempFolder folder_;
  std::u16string path_;
  CXSnapshotWriter writer_;
  CXScanRequest request_;
  std::string bytes_;
  SnapshotImage image_;
};

// One line per node, indented by depth: the name, then " error=N",
// " link=T>target", " children=N" and the files ("name:size", "name:size#v"
// with a version index) or values ("name:type") in stored order.
std::string DumpTree(const NodeSpec& node, bool with_contents = true);

// The node reached from `node` through the child names `path` (A-Z folded);
// null when there is none.
const NodeSpec* FindNode(const NodeSpec& node, const std::vector<std::u16string>& path);

// A file system in which the folder `root` (a path without its final "\")
// holds a made-up tree: every folder below it has `folders` subfolders
// "d0", "d1", ... and `files` files "f0.txt", ... of 10 bytes, at any depth.
// Everything else goes to the real file system. Counts its folder searches.
class MadeUpTreeFileSystem : public platform::FileSystemWrapper {
 public:
  MadeUpTreeFileSystem(std::u16string root, int folders, int files);
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override;
  int searches() const { return searches_.load(); }

 private:
  std::u16string root_;
  int folders_;
  int files_;
  std::atomic<int> searches_{0};
};

// A job that takes no notice of stops: it sleeps in short steps until it is
// released (or ended forcibly).
class StubbornJob : public CXScanThread {
 public:
  ~StubbornJob() override;
  void Release() { released_ = true; }
  bool started() const { return started_; }

 protected:
  void Run() override;

 private:
  std::atomic<bool> released_{false};
  std::atomic<bool> started_{false};
};

}  // namespace orvalinth::test
