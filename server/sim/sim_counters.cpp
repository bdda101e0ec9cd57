#include "server/sim/sim_counters.h"

namespace orvalinth::sim {
namespace {

constexpr const char* kNames[kCounterCount] = {
    "connects",
    "connect_failures",
    "links",
    "reconnects",
    "greeted",
    "greeting_failures",
    "drops",
    "protocol_errors",
    "commands",
    "unknown_commands",
    "ids_assigned",
    "pings_sent",
    "scans_started",
    "scans_done",
    "scans_stopped",
    "downloads_started",
    "downloads_refused",
    "snapshots_served",
    "snapshots_acknowledged",
    "blocks_served",
    "bytes_served",
    "hostile_acts",
    "uninstalls",
    "upgrades",
    "connected_now",
    "online_now",
    "scanning_now",
    "streaming_now",
    "snapshots_held",
};

}  // namespace

const char* CounterName(SimCounter counter) { return counter < kCounterCount ? kNames[counter] : "?"; }

bool IsGauge(SimCounter counter) { return counter >= kConnectedNow && counter < kCounterCount; }

SXSimCounters& SXSimCounters::operator+=(const SXSimCounters& other) {
  for (size_t i = 0; i < kCounterCount; ++i) value[i] += other.value[i];
  return *this;
}

SXSimCounters CXSimCounterBlock::Copy() const {
  SXSimCounters copy;
  for (size_t i = 0; i < kCounterCount; ++i) copy.value[i] = value_[i].load(std::memory_order_relaxed);
  return copy;
}

std::string CountersText(const SXSimCounters& counters) {
  std::string text;
  for (size_t i = 0; i < kCounterCount; ++i) {
    if (!text.empty()) text += ' ';
    text += kNames[i];
    text += '=';
    text += std::to_string(counters.value[i]);
  }
  return text;
}

std::string CountersJsonMembers(const SXSimCounters& counters) {
  std::string text;
  for (size_t i = 0; i < kCounterCount; ++i) {
    if (!text.empty()) text += ',';
    text += '"';
    text += kNames[i];
    text += "\":";
    text += std::to_string(counters.value[i]);
  }
  return text;
}

}  // namespace orvalinth::sim
