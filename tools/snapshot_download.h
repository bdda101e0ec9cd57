#pragma once
// CXSnapshotDownload: fetches one snapshot from the agent into a folder.
//
// It sends "down-snap" with the number and reads the reply's size. A size of
// 0 with a message means the agent cannot send it (no blocks follow); a size
// of 0 without one is an empty snapshot. The "down-block" stream is written to
// "snapshot%03d.snp.part" in the folder and renamed to "snapshot%03d.snp"
// (replacing an older copy) only when the end marker has come and the byte
// count equals the announced size; otherwise the partial file is deleted and
// nothing of an older copy is lost. A file that cannot be written does not
// stop the reading: the stream is read to its end marker, so the link stays
// in step for the next command.

#include <cstdint>
#include <string>

#include "tools/console_link.h"
#include "tools/progress_bar.h"

namespace orvalinth::tools {

struct SXDownloadResult {
  int32_t number = 0;
  int32_t size = 0;       // announced by the agent
  int64_t received = 0;   // payload bytes that came
  int32_t blocks = 0;     // "down-block" messages with a payload
  std::u16string path;    // the final file
  std::string agent_msg;  // the reply's msg when the agent cannot send it
};

class CXSnapshotDownload {
 public:
  // `progress` may be null.
  CXSnapshotDownload(CXConsoleLink& link, CXProgressBar* progress) : link_(link), progress_(progress) {}

  // Downloads snapshot `number` into `folder` (a Windows path on Windows; on
  // other systems a host path, with or without a final separator). True when
  // the final file is there; else error() says why, and link_failed() tells
  // whether the link itself failed (then link.failure() has the details).
  bool Run(int32_t number, const std::u16string& folder);

  const SXDownloadResult& result() const { return result_; }
  const std::string& error() const { return error_; }
  bool link_failed() const { return link_failed_; }

  // "snapshot%03d.snp" (and ".part") in the folder.
  static std::u16string FinalPath(const std::u16string& folder, int32_t number);
  static std::u16string PartPath(const std::u16string& folder, int32_t number);

 private:
  // Reads the block stream up to the end marker into the part file.
  bool ReceiveBlocks(const std::u16string& part);
  bool LinkFailed();

  CXConsoleLink& link_;
  CXProgressBar* progress_;
  SXDownloadResult result_;
  std::string error_;
  bool link_failed_ = false;
};

}  // namespace orvalinth::tools
