#pragma once
// FaultyFiles: the real file system with the faults a test asks for, in place
// of the file-system facility for the object's lifetime. The faults can be
// changed while the test runs (a disk that fills up in the middle of a
// recording); they apply from the next operation on.
//
//   test::FaultyFiles files;
//   files.only_suffix = u".snp";                  // which files are faulty
//   files.fail_from_write = files.writes + 1;     // the disk is full from now on
//
// File faults touch only the files opened while the object is in place that
// match `only_suffix` and `only_modes`; the other faults touch every call.
// Each failure leaves the Windows error code as the thread's last error.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/errors.h"
#include "platform/facility.h"
#include "platform/files.h"

namespace orvalinth::test {

class FaultyFiles final : public platform::FileSystemWrapper {
 public:
  FaultyFiles();
  // Which files are faulty, set before the object takes the facility's place:
  // a thread already running may open files through it at once.
  FaultyFiles(std::u16string suffix, unsigned modes);
  ~FaultyFiles() override;

  // ---- which files are faulty ----
  // Files whose path ends with this (A-Z folded); empty: every file.
  std::u16string only_suffix;
  // Files opened with one of these mode bits (platform::kOpen*); 0: any mode.
  unsigned only_modes = 0;

  // ---- faults of the faulty files ----
  // Writes fail with a full disk from this write on, counted over every
  // faulty file from 1 (`writes` counts them); 0: none fails.
  std::atomic<int> fail_from_write{0};
  std::atomic<int> writes{0};
  // How many writes fail from fail_from_write on (a disk that has room again
  // afterwards); 0: every one.
  std::atomic<int> failing_writes{0};
  // Each faulty file takes this many bytes, then a write stores what still
  // fits and fails with a full disk; -1: no limit.
  int64_t disk_room = -1;
  // Writes after a seek fail with a full disk (a final header that cannot go).
  std::atomic<bool> fail_writes_after_seek{false};
  // Seeks fail with kErrorInvalidParameter.
  std::atomic<bool> fail_seeks{false};
  // Reads fail with `read_error` once a file has served this many bytes; -1: never.
  std::atomic<int64_t> fail_reads_after{-1};
  uint32_t read_error = platform::kErrorGenFailure;

  // ---- faults of the file system ----
  // Opens and searches below this folder (given without its last "\", A-Z
  // folded) fail with access denied, as a folder closed to the program's
  // account; empty: none.
  std::u16string locked_folder;
  // Renames fail with a sharing violation (a file held open by another program).
  std::atomic<bool> fail_renames{false};
  // As on Windows for a file opened without delete sharing: removing a
  // faulty file that is open fails with a sharing violation; `refused_removes`
  // counts those.
  std::atomic<bool> no_removal_while_open{false};
  std::atomic<int> refused_removes{0};
  // This many copies fail with a sharing violation (-1: every one); `copies`
  // counts the copies asked for.
  std::atomic<int> failing_copies{0};
  std::atomic<int> copies{0};

  std::unique_ptr<platform::File> Open(const std::u16string& path, unsigned mode) override;
  std::unique_ptr<platform::FindHandle> FindFirst(const std::u16string& pattern, platform::FindData* first) override;
  bool RenameFile(const std::u16string& from, const std::u16string& to) override;
  bool CopyFileTo(const std::u16string& from, const std::u16string& to, bool fail_if_exists) override;
  bool RemoveFile(const std::u16string& path) override;

 private:
  class FaultyFile;
  bool Locked(const std::u16string& path) const;

  std::mutex open_mutex_;
  std::multiset<std::u16string> open_;  // the faulty files open now

  platform::ScopedFacility<platform::FileSystem> use_;
};

}  // namespace orvalinth::test
