#pragma once
// "orvalinth diff OLD.snp NEW.snp" and "orvalinth report SNAP.snp".

#include <string>
#include <vector>

namespace orvalinth::report {

int RunDiffCommand(const std::vector<std::string>& arguments);
int RunReportCommand(const std::vector<std::string>& arguments);

}  // namespace orvalinth::report
