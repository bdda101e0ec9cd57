#include "host/program.h"

#include "base/log.h"
#include "base/strings.h"
#include "platform/process.h"

namespace orvalinth {

int ProgramMain(const std::vector<std::string>& arguments, ProgramActions& actions) {
  if (arguments.size() <= 1) {
    // The service control manager started us; the result is of no interest.
    actions.RunService();
    return 0;
  }

  // "-quiet" is matched exactly, anywhere after the option.
  bool quiet = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "-quiet") quiet = true;
  }

  std::vector<std::u16string> wide;
  if (!platform::Process::Get().CommandLineArguments(&wide) || wide.size() < arguments.size()) return 0;

  const std::string& option = arguments[1];
  if (EqualsFolded(option, "-register")) {
    actions.Register();
  } else if (EqualsFolded(option, "-unregister")) {
    actions.Unregister();
  } else if (EqualsFolded(option, "-start")) {
    actions.Start();
  } else if (EqualsFolded(option, "-stop")) {
    actions.Stop();
  } else if (EqualsFolded(option, "-restart")) {
    actions.Restart();
  } else if (EqualsFolded(option, "-uninstall")) {
    std::u16string folder;
    if (arguments.size() >= 3 && !wide[2].empty() && wide[2][0] != u'-') folder = wide[2];
    actions.Uninstall(folder, quiet);
  } else if (EqualsFolded(option, "-upgrade")) {
    actions.Upgrade();
  } else if (EqualsFolded(option, "-configure")) {
    actions.Configure(std::vector<std::string>(arguments.begin() + 2, arguments.end()));
  } else if (EqualsFolded(option, "-remove-data")) {
    actions.RemoveData();
  } else if (EqualsFolded(option, "-mark-upgrade")) {
    actions.MarkUpgrade();
  } else {
    LogError("invalid param %s", option.c_str());
  }
  return 0;
}

}  // namespace orvalinth
