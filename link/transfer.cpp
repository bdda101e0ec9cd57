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
  const std::u16string path = SnapshotPath(n);
  uint64_t size = 0;
  const bool opened = download_.OpenFile(path, platform::kOpenRead | platform::kOpenSequential) != 0;
  // The size travels as a signed 32-bit number: a larger file would be
  // announced with a wrong size, so it is not offered at all.
  if (!opened || !download_.FullSize(&size) || size > INT32_MAX) {
    // A stream in progress ends here too: the console has moved on to another
    // number, and must not receive blocks it would take for this one's.
    AbandonDownload(0);
    *error = WireValue(Format("cannot open %s", Narrow(path).c_str()));
    if (opened) *error += " (larger than 2 GiB)";
    return 0;
  }
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
  while (got < kBlockSize) {
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
  download_.Close();
  is_uploading_.store(0);
  if (n != 0) settings_.RemoveSnapshot(n);
}

}  // namespace orvalinth
