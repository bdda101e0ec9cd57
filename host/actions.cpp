// The real program's actions for the command-line options.

#include "host/configure.h"
#include "host/program.h"
#include "host/service_control.h"
#include "host/service_runtime.h"
#include "host/uninstall.h"
#include "host/upgrade.h"

namespace orvalinth {
namespace {

class RealActions final : public ProgramActions {
 public:
  void RunService() override { RunServiceDispatcher(); }
  void Register() override { control_.Install(CXServiceControl::kDescription); }
  void Unregister() override { control_.Uninstall(/*stop_first=*/true); }
  void Start() override { control_.Start(); }
  void Stop() override { control_.Stop(); }
  void Restart() override { control_.Restart(); }
  void Uninstall(const std::u16string& folder, bool quiet) override { SelfUninstall(folder, quiet); }
  void Upgrade() override { FinishUpgrade(); }
  void Configure(const std::vector<std::string>& settings) override { orvalinth::Configure(settings); }
  void RemoveData() override { RemoveProgramData(); }
  void MarkUpgrade() override { MarkPackageUpgrade(); }

 private:
  CXServiceControl control_;
};

}  // namespace

ProgramActions& RealProgramActions() {
  static RealActions actions;
  return actions;
}

}  // namespace orvalinth
