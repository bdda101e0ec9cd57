// Snapshot transfer: the console asks for a snapshot by number, the client
// answers with its size and streams it in blocks of 131,072 bytes between the
// connection thread's polls, then sends the end marker. The file is deleted
// only when the console acknowledges it ("down-ack").

#include <cstdint>

#include "base/paths.h"
#include "base/strings.h"
#include "link/client.h"
#include "link/wire_text.h"
#include "platform/files.h"

namespace orvalinth {

bool CXDownloadFile::FullSize(uint64_t* size) const {
  return file() != nullptr && file()->Size(size);
}

uint32_t CXClient::OpenDownload(int32_t n, std::string* error) {
  error->clear();
  current_snapshot_.store(n);
  // The file of a stream in progress is closed first, as any open file is.
  CloseDownloadFile();
  const std::u16string path = SnapshotPath(n);
  uint64_t size = 0;
  const bool opened = download_.OpenFile(path, platform::kOpenRead | platform::kOpenSequential) != 0;
  // The size travels as a signed 32-bit number: a larger file would be
  // announced with a wrong size, so it is not offered at all.
  if (!opened || !download_.FullSize(&size) || size > INT32_MAX) {
    // IsUploading stays as it was: a stream in progress, its file closed,
    // ends at its next pass like a file that cannot be read any further,
    // with an empty block and its end marker, so that the console is never
    // left waiting for it.
    download_.Close();
    *error = WireValue(Format("cannot open %s", Narrow(path).c_str()));
    if (opened) *error += " (larger than 2 GiB)";
    return 0;
  }
  download_number_ = n;
  is_uploading_.store(1);
  return static_cast<uint32_t>(size);
}

int CXClient::SendNextBlock() {
  // A scan thread waiting to send "scan-done" goes first; the block follows
  // in the next pass.
  if (waiting_senders_.load() != 0) {
    std::this_thread::yield();
    return 1;
  }
  std::lock_guard<std::mutex> lock(link_lock_);
  outgoing_.Init("down-block");
  uint8_t* room = outgoing_.ReservePayload(kBlockSize);
  // Read straight into the frame; a read that fails ends the file like its end.
  int32_t got = 0;
  while (download_.IsOpen() != 0 && got < kBlockSize) {
    const int32_t part = download_.ReadBytes(room + got, kBlockSize - got);
    if (part <= 0) break;
    got += part;
  }
  outgoing_.SetPayloadSize(got);
  if (!SendMessage(outgoing_)) {
    AbandonDownload(0);
    return 0;
  }
  if (got == kBlockSize) return 1;
  AbandonDownload(0);
  outgoing_.Init("down-block").AddInt("done", 1);
  return SendMessage(outgoing_) ? 1 : 0;
}

void CXClient::AbandonDownload(int32_t n) {
  CloseDownloadFile();
  is_uploading_.store(0);
  if (n != 0) settings_.RemoveSnapshot(n);
}

void CXClient::CloseDownloadFile() {
  download_.Close();
  download_number_ = 0;
  if (delete_when_closed_ != 0) {
    platform::FileSystem::Get().RemoveFile(SnapshotPath(delete_when_closed_));
    delete_when_closed_ = 0;
  }
}

void CXClient::AcknowledgeDownload(int32_t n) {
  // The number leaves the catalog and the file goes at once where the
  // system lets a file that is open be deleted; elsewhere a stream of it
  // goes on to its end marker and the file goes when the stream ends.
  if (settings_.RemoveSnapshot(n) == 0 && download_number_ == n && download_.IsOpen() != 0) delete_when_closed_ = n;
}

}  // namespace orvalinth
