#pragma once
// CXReportFilter: what a comparison or a report leaves out after the scan.
//
// The file mode (as the comparison of two runs knows it): 0 every file, 1
// and 3 only executables (names ending in .bat .cmd .com .cpl .dll .drv .exe
// .ini .msi .ocx .scr .sys .vxd), 2 every file but those. It applies to the
// files of file-system sections.
//
// Rules, read from a text file of one rule a line ("#" begins a comment):
//   exclude PATTERN     leave out what the pattern matches, and everything below it
//   include PATTERN     take it back in (a later rule wins over an earlier one)
//   category NAME       leave out an applications category ("Opened Handles"),
//                       also where its items appear under the processes of
//                       "Running Processes" (their handles, ports, modules)
//   agent-link          leave out the agent's own connection to the console
//                       (agent_link.h)
//   mode N              the file mode, unless the command line gives one
// A pattern is matched against the whole path of a folder or file
// ("C:\Windows\Temp\setup.log"), a registry key or value
// ("HKEY_LOCAL_MACHINE\SYSTEM\Select\Current": the value's name after its
// key) or an applications entry ("Services\Spooler"); "*" stands for any
// run of characters ("\" included), "?" for one; letters A-Z match either
// case, as the system compares names.

#include <cstdint>
#include <string>
#include <vector>

namespace orvalinth::report {

struct SXFilterRule {
  bool include = false;
  std::u16string pattern;  // A-Z folded
  int line = 0;
};

class CXReportFilter {
 public:
  // Adds the rules of `text` (UTF-8, an optional byte-order mark); 0 with
  // *error naming the line of the first rule it cannot read.
  int Parse(const std::string& text, std::string* error);
  // The same from a file (UTF-8 path).
  int Load(const std::string& path, std::string* error);

  void set_mode(int mode) { mode_ = mode; }
  int mode() const { return mode_; }
  bool mode_given() const { return mode_given_; }
  const std::vector<SXFilterRule>& rules() const { return rules_; }
  const std::vector<std::u16string>& categories() const { return categories_; }
  bool drops_agent_link() const { return drops_agent_link_; }
  bool empty() const { return mode_ == 0 && rules_.empty() && categories_.empty() && !drops_agent_link_; }

  // Whether a file name passes the file mode.
  bool AcceptsFileName(const std::u16string& name) const;
  // Whether the applications category is left out.
  bool DropsCategory(const std::u16string& name) const;
  // The index + 1 of the last rule whose pattern matches `path`, `inherited`
  // when none after it does (0: no rule).
  int LastRule(const std::u16string& path, int inherited) const;
  // Whether the outcome of LastRule excludes.
  bool Excludes(int last_rule) const { return last_rule > 0 && !rules_[last_rule - 1].include; }
  // Whether some include rule comes after rule `last_rule` (then what lies
  // below an excluded folder may still be taken back in).
  bool IncludeAfter(int last_rule) const;

 private:
  int mode_ = 0;
  bool mode_given_ = false;
  bool drops_agent_link_ = false;
  std::vector<SXFilterRule> rules_;
  std::vector<std::u16string> categories_;
};

// "*" and "?" matching with A-Z folded on the text; the pattern is folded already.
bool WildcardMatch(std::u16string_view folded_pattern, std::u16string_view text);

}  // namespace orvalinth::report
