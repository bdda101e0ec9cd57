#pragma once
// The message trace: a diagnosis aid that appends one record per message sent
// or received to a text file. Off unless switched on; once on it stays on for
// the life of the process. One process-wide lock serialises the records.
//
// Record: "\n<hh:mm:ss > <text>" (the time part is empty when the local time is
// unknown), where the text is "(<socket>) send <dump>", "(<socket>) recv
// <dump>" (CXMessage::Dump) or "recv err sz=<L>".
//
// The switch: a file named "OrvalinthSrv.trace" in the program folder when the
// application starts turns the trace on, into that same file.

#include <string>

#include "link/message.h"
#include "platform/sockets.h"

namespace orvalinth {

// The file whose presence switches the trace on, in the program folder.
inline constexpr char16_t kMessageTraceFileName[] = u"OrvalinthSrv.trace";

// Switches the trace on, into `path`, for the rest of the process.
void EnableMessageTrace(const std::u16string& path);
// True once the trace is on.
bool MessageTraceOn();
// When "OrvalinthSrv.trace" exists in the program folder, switches the trace
// on into it and logs that it did; true when the trace is on afterwards.
// Called once by the application start.
bool EnableMessageTraceIfRequested();

// Appends one record (the file is opened, written and closed; when it cannot
// be opened the record is dropped). Does nothing while the trace is off.
void TraceRecord(const std::string& text);
// "(<socket>) send " and the name and pairs of a sent message (never a payload line).
void TraceSent(platform::SocketHandle socket, const CXMessage& message);
// "(<socket>) recv " and the dump of a received message.
void TraceReceived(platform::SocketHandle socket, const CXMessage& message);

}  // namespace orvalinth
