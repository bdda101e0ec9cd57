// The real program's actions for the command-line options.

#include "host/program.h"

namespace orvalinth {
namespace {

// The service control, the service runtime, the upgrade and the uninstall
// each fill their action as they arrive; until then an option does nothing
// beyond being recognised.
class RealActions final : public ProgramActions {
 public:
  void RunService() override {}
  void Register() override {}
  void Unregister() override {}
  void Start() override {}
  void Stop() override {}
  void Restart() override {}
  void Uninstall(const std::u16string&, bool) override {}
  void Upgrade() override {}
};

}  // namespace

ProgramActions& RealProgramActions() {
  static RealActions actions;
  return actions;
}

}  // namespace orvalinth
