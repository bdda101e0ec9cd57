#pragma once
// CXRolloutManager: a new agent rolled out to a group in waves, on the fleet
// server's loop. The package is kept at <data>/packages/<sha256>.exe and
// its agent version read from its version resource (record/package_version.h);
// one that has none, or is not newer than every machine it is meant for, is
// refused. The machines (the group's, or all) are taken in uid order: the
// first wave is the canary share (at least one machine), every later one at
// most wave_size machines.
//
// A machine of the wave under way gets "upgd-cli" with the package once it is
// online and idle (an offline one when it comes). It is upgraded when it
// greets again with the package's version. The rollout fails, and nothing
// more is sent, when a machine refuses the package, comes back with another
// version, reports a failed upgrade or a crash, or is not back within the
// wave time-out (counted from when it was sent the package, or from the
// wave's start for one that never came online). The next wave starts only
// when every machine of the last one is upgraded; after the last the rollout
// is done. Every step is written to the catalog first, so that a server that
// starts again goes on where it was (Load).
//
// One rollout runs at a time: a second is refused while one runs.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/catalog.h"
#include "server/fleet_actions.h"
#include "server/server_log.h"

namespace orvalinth::server {

// What the rollouts need of the fleet server; every call on the loop.
class CXRolloutHost {
 public:
  virtual ~CXRolloutHost() = default;
  // The machine has a link, is registered and idle (no scan, download or
  // command awaited); *app_version its agent's version.
  virtual bool MachineReady(int32_t uid, int32_t* app_version) = 0;
  // Sends "upgd-cli" with the package; `refused` gets the agent's words
  // when it answers that it cannot upgrade (never when the link ends).
  virtual void SendPackage(int32_t uid, std::shared_ptr<const std::string> package,
                           std::function<void(const std::string& refusal)> refused) = 0;
  // A catalog write, run on the blocking pool in the order of the calls.
  virtual void RolloutWrite(std::function<void()> work) = 0;
  // Work on the blocking pool, in no order.
  virtual void RolloutBlocking(std::function<void()> work) = 0;
  virtual void RolloutLoop(std::function<void()> work) = 0;
  // A "rollout" event.
  virtual void RolloutEvent(const Json& data) = 0;
  virtual void RolloutLog(LogLevel level, const std::string& text) = 0;
};

// The numbers of one rollout's waves: wave 1 is ceil(canary_percent% of
// `machines`), at least 1, then waves of wave_size. wave_of[i] for machine i.
std::vector<int32_t> RolloutWaves(size_t machines, int32_t canary_percent, int32_t wave_size);

class CXRolloutManager {
 public:
  // `data_folder`: a host path (the store's).
  CXRolloutManager(CXCatalog& catalog, CXRolloutHost& host, std::string data_folder);

  // At the server's start, before the loop runs: the rollouts still running.
  bool Load(std::string* error);

  // On the loop.
  void Start(const SXRolloutRequest& request, CXFleetActions::Done done);
  void Stop(int64_t id, const std::string& by, CXFleetActions::Done done);
  // A machine greeted (registered): its version, and what its info says of
  // an upgrade and a crash.
  void Greeted(int32_t uid, const std::string& name, int32_t app_version, bool upgraded, bool upgrade_ok,
               bool crashed);
  // Sends to the machines that became idle and fails the rollout of a machine that is late; `now` in seconds.
  void Tick(int64_t now);

  bool running() const { return run_ != nullptr; }

 private:
  struct Run {
    SXRolloutRow row;
    std::vector<SXRolloutMachineRow> machines;  // by wave, then uid
    std::map<int32_t, std::string> names;
    std::shared_ptr<const std::string> package;
  };

  // Sends to the current wave's machines that are ready.
  void Pump(int64_t now);
  // The next wave when every machine of this one is upgraded, or done after the last.
  void MaybeAdvance(int64_t now);
  void Finish(RolloutState state, const std::string& reason, int64_t now);
  void Fail(SXRolloutMachineRow& machine, const std::string& reason, int64_t now);
  void SaveRollout();
  void SaveMachine(const SXRolloutMachineRow& machine);
  void Event();
  std::string Who(int32_t uid) const;
  SXRolloutMachineRow* Find(int32_t uid);

  CXCatalog& catalog_;
  CXRolloutHost& host_;
  const std::string data_;
  std::unique_ptr<Run> run_;
  bool starting_ = false;  // a Start is being checked and stored
};

}  // namespace orvalinth::server
