#pragma once
// The command line of OrvalinthSrv.exe. Without arguments the process is the
// service process; with an option it performs one administrative action and
// exits. The exit code is 0 in every case; outcomes go to the log.
//
//   -register  -unregister  -start  -stop  -restart  -uninstall [folder]  -upgrade
//   -configure Key:value...  -remove-data  -mark-upgrade   (run by the Windows Installer package)
//   -quiet     (a modifier anywhere after the option; never an action)

#include <string>
#include <vector>

namespace orvalinth {

// What the options do; the program's own actions come from RealProgramActions,
// tests give their own.
class ProgramActions {
 public:
  virtual ~ProgramActions() = default;
  // No argument: hand the process to the service dispatcher.
  virtual void RunService() = 0;
  virtual void Register() = 0;    // -register: install the service
  virtual void Unregister() = 0;  // -unregister: remove it, stopping it first when it runs
  virtual void Start() = 0;       // -start
  virtual void Stop() = 0;        // -stop
  virtual void Restart() = 0;     // -restart: wait 5 s, stop, start
  virtual void Uninstall(const std::u16string& folder, bool quiet) = 0;  // -uninstall
  virtual void Upgrade() = 0;     // -upgrade: the second stage of a self-upgrade
  // -configure Key:value...: the installation's settings (host/configure.h);
  // `settings` are the arguments after the option.
  virtual void Configure(const std::vector<std::string>& settings) = 0;
  // -remove-data: the settings, logs and snapshots go (the package's removal).
  virtual void RemoveData() = 0;
  // -mark-upgrade: a newer package is replacing the installed one.
  virtual void MarkUpgrade() = 0;
};

// The actions of the real program.
ProgramActions& RealProgramActions();

// Runs the command line `arguments` (the 8-bit argument vector, argument 0
// being the program's own name); returns the exit code, always 0.
int ProgramMain(const std::vector<std::string>& arguments, ProgramActions& actions);

}  // namespace orvalinth
