#include "tools/report/filter.h"

#include "base/strings.h"
#include "platform/files.h"
#include "storage/data_file.h"

namespace orvalinth::report {

namespace {

bool UnitMatches(char16_t pattern_unit, char16_t text_unit) {
  return pattern_unit == u'?' || pattern_unit == FoldAZ(text_unit);
}

}  // namespace

bool WildcardMatch(std::u16string_view p, std::u16string_view t) {
  // The pattern's literal head (before its first "*") and tail (after its
  // last) have fixed lengths: they are checked at the text's two ends first,
  // which settles at once the most of a filter's rules that do not match a
  // path (each path meets every rule: "*\Temp" fails on its last unit).
  size_t head = 0;
  for (; head < p.size() && p[head] != u'*'; ++head) {
    if (head >= t.size() || !UnitMatches(p[head], t[head])) return false;
  }
  if (head == p.size()) return t.size() == p.size();
  size_t tail = 0;
  while (p[p.size() - 1 - tail] != u'*') ++tail;
  if (t.size() < head + tail) return false;
  for (size_t i = 1; i <= tail; ++i) {
    if (!UnitMatches(p[p.size() - i], t[t.size() - i])) return false;
  }
  // What lies between: "*" or "*...*".
  p = p.substr(head, p.size() - head - tail);
  t = t.substr(head, t.size() - head - tail);
  // Greedy with one back-track point: linear for the usual patterns, never
  // worse than their product.
  size_t pi = 0, ti = 0, star = std::u16string_view::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && (p[pi] == u'?' || p[pi] == FoldAZ(t[ti]))) {
      ++pi;
      ++ti;
    } else if (pi < p.size() && p[pi] == u'*') {
      star = pi++;
      mark = ti;
    } else if (star != std::u16string_view::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == u'*') ++pi;
  return pi == p.size();
}

namespace {

std::string Trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

}  // namespace

int CXReportFilter::Parse(const std::string& input, std::string* error) {
  std::string text = input;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  size_t start = 0;
  int line_number = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    ++line_number;
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find_first_of(" \t");
    const std::string word = FoldedAZ(line.substr(0, space));
    const std::string rest = space == std::string::npos ? "" : Trimmed(line.substr(space + 1));
    if ((word == "exclude" || word == "include") && !rest.empty()) {
      rules_.push_back(SXFilterRule{word == "include", FoldedAZ(DecodeUtf8(rest)), line_number});
    } else if (word == "category" && !rest.empty()) {
      categories_.push_back(DecodeUtf8(rest));
    } else if (word == "agent-link" && rest.empty()) {
      drops_agent_link_ = true;
    } else if (word == "mode" && rest.size() == 1 && rest[0] >= '0' && rest[0] <= '3') {
      if (!mode_given_) mode_ = rest[0] - '0';
    } else {
      *error = Format("line %d: cannot read \"%s\" (a rule is \"exclude PATTERN\", \"include PATTERN\", "
                      "\"category NAME\", \"agent-link\" or \"mode 0|1|2|3\")",
                      line_number, line.c_str());
      return 0;
    }
  }
  return 1;
}

int CXReportFilter::Load(const std::string& path, std::string* error) {
  std::u16string wide = DecodeUtf8(path);
  for (char16_t& c : wide) {
    if (c == u'/') c = u'\\';
  }
  std::unique_ptr<platform::File> file = platform::FileSystem::Get().Open(wide, platform::kOpenRead | platform::kOpenSequential);
  if (!file) {
    *error = Format("cannot open the filter file %s", path.c_str());
    return 0;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    uint32_t got = 0;
    if (!file->Read(buffer, sizeof buffer, &got)) {
      *error = Format("cannot read the filter file %s", path.c_str());
      return 0;
    }
    if (got == 0) break;
    text.append(buffer, got);
    if (text.size() > (16u << 20)) {
      *error = Format("the filter file %s is larger than 16 MiB", path.c_str());
      return 0;
    }
  }
  if (!Parse(text, error)) {
    *error = path + ": " + *error;
    return 0;
  }
  return 1;
}

bool CXReportFilter::AcceptsFileName(const std::u16string& name) const {
  switch (mode_) {
    case 1:
    case 3: return HasExecutableExtension(name);
    case 2: return name.size() >= 5 && !HasExecutableExtension(name);
    default: return true;
  }
}

bool CXReportFilter::DropsCategory(const std::u16string& name) const {
  for (const std::u16string& c : categories_) {
    if (EqualsFolded(c, name)) return true;
  }
  return false;
}

int CXReportFilter::LastRule(const std::u16string& path, int inherited) const {
  for (int i = static_cast<int>(rules_.size()); i > inherited; --i) {
    if (WildcardMatch(rules_[i - 1].pattern, path)) return i;
  }
  return inherited;
}

bool CXReportFilter::IncludeAfter(int last_rule) const {
  for (size_t i = static_cast<size_t>(last_rule); i < rules_.size(); ++i) {
    if (rules_[i].include) return true;
  }
  return false;
}

}  // namespace orvalinth::report
