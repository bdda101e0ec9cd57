#pragma once
// What the console accepts from an agent: for every command the name of its
// reply and the reply's keys in order, and the shapes of the messages an agent
// sends on its own ("hello", "info", "ping", "scan-done", "down-block").
//
// Each Check function returns the empty text for a message of the right shape,
// else what is wrong with it (the console reports that as a protocol
// violation). Integer values must be decimal integers as "%d" writes them
// (optional minus, no leading zeros, within 32 bits); a list value is empty or
// starts with FF; only "down-block" may carry a payload, of at most 131,072
// bytes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/message.h"

namespace orvalinth::tools {

enum class ValueKind { kString, kInt, kList };

struct SXKeySpec {
  std::string_view key;
  ValueKind kind;
};

inline constexpr int32_t kBlockSize = 131072;

// The name of the reply to `command`, or empty for a command without reply
// ("set-uid", "down-ack", "uninstall", "upgd-cli" when it succeeds). Unknown
// commands are answered with "null".
std::string_view ReplyName(std::string_view command);

// True for the commands of the command table.
bool IsKnownCommand(std::string_view command);

// The message is a reply to `command` with the name and keys the command
// table gives.
std::string CheckReply(std::string_view command, const CXMessage& reply);

// The agent's greeting: "hello" with "ver" beginning with "QELMv1.0" and an
// integer "app".
std::string CheckHello(const CXMessage& hello);
// "info" with name, app-ver, app-bit, os-bit, scanning, id, saved-uids,
// scan-targets, then optionally upgraded, app-ver, upgrade-ok, then
// optionally crash.
std::string CheckInfo(const CXMessage& info);
// "ping" with no keys and no payload.
std::string CheckPing(const CXMessage& ping);
// "scan-done" with ok 1 and id-snapshot, or ok 0 and msg.
std::string CheckScanDone(const CXMessage& done);
// "down-block" with a payload of at most 131,072 bytes and no keys, or the
// end marker: "done" 1 and no payload.
std::string CheckDownBlock(const CXMessage& block);

// The message's keys are exactly `expected`, in order, with values of the
// given kinds, and it has no payload (not even an empty one).
std::string CheckKeys(const CXMessage& message, const std::vector<SXKeySpec>& expected);

// The value is a decimal integer as "%d" writes it.
bool IsDecimalInt(std::string_view value);
// The message carries the payload marker (FE FE), even with an empty payload.
bool HasPayloadMarker(const CXMessage& message);

// One element of a folder or registry key listing.
struct SXListEntry {
  int kind = 0;  // 0 cannot be opened further, 1 has subfolders or subkeys, 2 a link
  std::u16string name;
  std::u16string target;  // kind 2 only: where the link points (may be empty)
};
// The separator between a link's name and its target: blank, U+25BA, blank.
inline constexpr char16_t kLinkSeparator[] = u" \u25BA ";

// Parses a listing value (the "path" of a "get-dir" reply): every element is
// a kind digit and a name, kind 2 followed by the link separator and the
// target. Empty text, or what is wrong.
std::string ParseListing(const CXMessage& reply, std::vector<SXListEntry>* entries);

// One drive of a "get-disk" reply.
struct SXDrive {
  char letter = 0;  // a to z
  bool fixed = false;
};
// Parses the drive list: pairs of a lower-case letter and the digit 0 or 1,
// letters ascending. Empty text, or what is wrong.
std::string ParseDrives(std::string_view disk, std::vector<SXDrive>* drives);

}  // namespace orvalinth::tools
