#include "host_links.h"

#include <atomic>
#include <stdexcept>

#include "base/strings.h"
#include "platform/files.h"
#include "platform/process.h"
#include "test_support.h"

namespace orvalinth::test {
namespace {
std::atomic<int> link_folder_counter{0};
}  // namespace

HostTmpFolder::HostTmpFolder() {
  const std::string name =
      Format("orvalinth-links-%u-%d", platform::CurrentProcessId(), link_folder_counter.fetch_add(1));
  host_path_ = "/tmp/" + name + "/";
  path_ = u"Z:\\tmp\\" + Widen(name) + u"\\";
  if (!platform::FileSystem::Real().CreateFolder(path_.substr(0, path_.size() - 1))) {
    throw std::runtime_error("cannot create " + host_path_);
  }
}

// Removed by the host's own rm: Wine cannot delete a link to a folder.
HostTmpFolder::~HostTmpFolder() {
  platform::Process::Real().Start(u"Z:\\bin\\rm", u"rm -rf " + platform::QuoteArgument(W(host_path_)),
                                    platform::RunMode::kWait);
}

bool HostTmpFolder::Link(const std::string& target, const std::string& name) {
  const std::u16string command = u"ln -s " + platform::QuoteArgument(W(target)) + u" " +
                                 platform::QuoteArgument(W(host_path_ + name));
  if (!platform::Process::Real().Start(u"Z:\\bin\\ln", command, platform::RunMode::kWait)) return false;
  // Wine does not wait for a host program it started: look until the link is there.
  for (int waited = 0; waited < 5000; waited += 5) {
    if (platform::FileSystem::Real().Attributes(path_ + W(name)) != platform::kInvalidAttributes) return true;
    platform::SleepMs(5);
  }
  return false;
}

}  // namespace orvalinth::test
