#include "settings/scan_targets.h"

namespace orvalinth {
namespace {

void Describe(const std::vector<std::u16string>& list, const char* word, std::string* text) {
  if (list.empty()) return;
  if (!text->empty()) *text += ", ";
  if (list.size() == 1 && list[0] == u"*") {
    *text += "all ";
    *text += word;
  } else {
    *text += word;
    *text += " part.";
  }
}

}  // namespace

std::string ScanTargetsText(const SXScanTargets& targets) {
  if (targets.full_scan != 0) return targets.add_version_info != 0 ? "full+ver" : "full";
  std::string text;
  Describe(targets.files, "files", &text);
  // Version information belongs to the files, so its mark follows them; with
  // no files chosen (and nothing else before) there is nothing to mark.
  if (!text.empty() && targets.add_version_info != 0) text += "+ver";
  Describe(targets.registry, "regs", &text);
  Describe(targets.applications, "apps", &text);
  return text;
}

}  // namespace orvalinth
