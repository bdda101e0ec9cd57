#pragma once
// CXNodeBus: messages between the fleet servers that share one catalog, so
// that a request made on one node's web console reaches the node holding the
// machine's link. Each node listens on a channel of its own (by its id);
// any node sends to any channel. A message is a text (JSON by the fleet
// server's rules); delivery is at most once, and only to a node listening
// then: the sender times out what gets no answer.
//
// PostgreSQL's LISTEN and NOTIFY carry them (server/pg_node_bus.cpp): a
// connection of its own listens, its socket waited on by the bus's own
// event loop; a message longer than a notification may carry goes through a
// row of node_messages that the notification names. The listening
// connection is made again after PostgreSQL went away.

#include <cstdint>
#include <functional>
#include <string>

namespace orvalinth::server {

class CXNodeBus {
 public:
  using Receive = std::function<void(const std::string& message)>;
  virtual ~CXNodeBus() = default;

  // Listens on node `node_id`'s channel; `receive` is called on the bus's
  // thread for each message. False with *error when the first connection fails.
  virtual bool Start(int64_t node_id, Receive receive, std::string* error) = 0;
  // Sends `message` to node `node_id` (any thread). False with *error.
  virtual bool Send(int64_t node_id, const std::string& message, std::string* error) = 0;
  // Stops listening; no `receive` after it returns.
  virtual void Stop() = 0;
  // Whether the listening connection is up now.
  virtual bool listening() const = 0;
};

}  // namespace orvalinth::server
