#include "tools/snapshot_download.h"

#include <memory>

#include "base/strings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "tools/console_text.h"
#include "tools/reply_rules.h"

namespace orvalinth::tools {
namespace {

std::string Shown(const std::u16string& path) { return DisplayText(path); }

}  // namespace

std::u16string CXSnapshotDownload::FinalPath(const std::u16string& folder, int32_t number) {
  std::u16string path = folder.empty() ? u"." : folder;
  // A folder written the Windows way gets a backslash, any other a slash
  // (which Windows takes as well).
  const bool windows_form = path.find(u'\\') != std::u16string::npos || path.find(u':') != std::u16string::npos;
  if (path.back() != u'\\' && path.back() != u'/') path += windows_form ? u'\\' : u'/';
  return path + Widen(Format("snapshot%03d.snp", static_cast<int>(number)));
}

std::u16string CXSnapshotDownload::PartPath(const std::u16string& folder, int32_t number) {
  return FinalPath(folder, number) + u".part";
}

bool CXSnapshotDownload::LinkFailed() {
  link_failed_ = true;
  error_ = link_.failure_text();
  return false;
}

bool CXSnapshotDownload::Run(int32_t number, const std::u16string& folder) {
  result_ = SXDownloadResult();
  result_.number = number;
  result_.path = FinalPath(folder, number);
  error_.clear();
  link_failed_ = false;

  CXMessage request;
  request.Init("down-snap").AddInt("id-snapshot", number);
  CXMessage reply;
  if (!link_.Request("down-snap", request, &reply)) return LinkFailed();
  result_.size = reply.GetInt("size");
  result_.agent_msg = reply.GetString("msg");
  if (result_.size == 0 && !result_.agent_msg.empty()) {
    error_ = Format("the agent cannot send snapshot %d: ", static_cast<int>(number)) + DisplayText(result_.agent_msg);
    return false;
  }

  const std::u16string part = PartPath(folder, number);
  platform::FileSystem& files = platform::FileSystem::Get();
  const bool complete = ReceiveBlocks(part);
  if (!complete) {
    files.RemoveFile(part);
    return false;
  }
  if (!files.RenameFile(part, result_.path)) {
    error_ = Format("cannot rename %s to %s (error %u)", Shown(part).c_str(), Shown(result_.path).c_str(),
                    static_cast<unsigned>(platform::LastError()));
    files.RemoveFile(part);
    return false;
  }
  return true;
}

bool CXSnapshotDownload::ReceiveBlocks(const std::u16string& part) {
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(part, platform::kOpenCreate);
  // After a local failure the stream is still read to its end, unwritten.
  std::string local_error;
  if (!file) {
    local_error = Format("cannot create %s (error %u)", Shown(part).c_str(), static_cast<unsigned>(platform::LastError()));
  }
  if (progress_ != nullptr) progress_->Start(result_.size);
  bool short_block_seen = false;
  for (;;) {
    CXMessage block;
    const NextResult got = link_.NextMessage(CXConsoleLink::DeadlineAfter(link_.reply_timeout_ms()), &block);
    if (got != NextResult::kMessage) {
      if (progress_ != nullptr) progress_->Finish();
      if (got == NextResult::kTimeout) {
        link_.Close();
        link_.Fail(LinkFailure::kTimeout,
                   "no \"down-block\" within " + std::to_string(link_.reply_timeout_ms()) + " ms; the link is closed");
      }
      LinkFailed();
      error_ = Format("download of snapshot %d broken off after ", static_cast<int>(result_.number)) +
               std::to_string(result_.received) + Format(" of %d bytes: ", static_cast<int>(result_.size)) + error_;
      return false;
    }
    std::string wrong;
    if (!block.IsNamed("down-block")) {
      wrong = "unexpected \"" + DisplayText(block.Name()) + "\" during the download";
    } else {
      wrong = CheckDownBlock(block);
    }
    const bool end_marker = wrong.empty() && !block.keys().empty();
    if (wrong.empty() && !end_marker && short_block_seen) wrong = "\"down-block\" after the last (short) block";
    if (!wrong.empty()) {
      if (progress_ != nullptr) progress_->Finish();
      link_.Violation(wrong, block);
      return LinkFailed();
    }
    if (end_marker) break;

    const int32_t n = block.PayloadSize();
    ++result_.blocks;
    if (n < kBlockSize) short_block_seen = true;
    // Bytes beyond the announced size are counted, not written.
    if (local_error.empty() && result_.received + n <= result_.size) {
      uint32_t written = 0;
      if (!file->Write(block.Payload(), static_cast<uint32_t>(n), &written) || written != static_cast<uint32_t>(n)) {
        local_error = Format("cannot write %s (error %u)", Shown(part).c_str(), static_cast<unsigned>(platform::LastError()));
      }
    }
    result_.received += n;
    if (progress_ != nullptr) progress_->Update(result_.received);
  }
  if (progress_ != nullptr) progress_->Finish();
  if (local_error.empty() && file && !file->Flush()) {
    local_error = Format("cannot write %s (error %u)", Shown(part).c_str(), static_cast<unsigned>(platform::LastError()));
  }
  file.reset();
  if (!local_error.empty()) {
    error_ = local_error;
    return false;
  }
  if (result_.received != result_.size) {
    error_ = Format("snapshot %d: received ", static_cast<int>(result_.number)) + std::to_string(result_.received) +
             Format(" bytes, the agent announced %d; nothing kept", static_cast<int>(result_.size));
    return false;
  }
  return true;
}

}  // namespace orvalinth::tools
