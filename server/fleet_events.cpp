#include "server/fleet_events.h"

namespace orvalinth::server {

void CXFleetEvents::Publish(const std::string& type, const std::string& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  SXFleetEvent event;
  event.id = next_event_++;
  event.type = type;
  event.data = data;
  kept_.push_back(event);
  if (kept_.size() > kKept) kept_.pop_front();
  // Under the lock, so that a listener sees events in order and none after
  // its Unsubscribe returned; listeners only post.
  for (auto& entry : listeners_) entry.second(event);
}

uint64_t CXFleetEvents::Subscribe(Listener listener, uint64_t since) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (since > 0) {
    for (const SXFleetEvent& event : kept_) {
      if (event.id > since) listener(event);
    }
  }
  const uint64_t id = next_listener_++;
  listeners_.emplace(id, std::move(listener));
  return id;
}

void CXFleetEvents::Unsubscribe(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(id);
}

uint64_t CXFleetEvents::last_id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_event_ - 1;
}

size_t CXFleetEvents::listeners() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_.size();
}

}  // namespace orvalinth::server
