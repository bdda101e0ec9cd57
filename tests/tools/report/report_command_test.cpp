// "orvalinth diff" and "orvalinth report" as a user runs them: golden text,
// JSON and CSV of a small pair, the HTML page in a headless browser that
// may not reach the network, the PDF read back by poppler, usage errors and
// corrupt input. Host only: the test starts the tool (and the browser and
// poppler's programs) through the shell.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/strings.h"
#include "platform/posix/drive_table.h"
#include "test_support.h"
#include "tests/storage/snapshot_file_builder.h"
#include "tests/tools/report/report_pair.h"
#include "tools/console_runner.h"

namespace orvalinth {
namespace {

using test::TempFolder;

using ToolRun = test::ConsoleRun;

std::string Golden(const std::string& name) {
  std::ifstream in(std::string(ORVALINTH_REPORT_GOLDEN) + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

class ReportCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = File(u"before.snp", test::PairSnapshot(false));
    after_ = File(u"after.snp", test::PairSnapshot(true));
  }
  // Runs a shell command line in the test's folder and collects its streams.
  ToolRun Shell(const std::string& line) { return test::RunShell(line, folder_); }
  ToolRun Run(const std::string& arguments) { return Shell("'" + std::string(ORVALINTH_TOOL_EXE) + "' " + arguments); }
  std::string File(const std::u16string& name, SXReadSnapshot snapshot) {
    test::WriteFileBytes(folder_ / name, test::BuildSnapshotFile(snapshot));
    return Utf8(name);
  }
  static std::string Utf8(const std::u16string& s) { return EncodeUtf8(s); }
  std::string Host(const std::u16string& name) { return platform::posix::ToHostPath(folder_ / name); }
  std::string Read(const std::u16string& name) { return test::ReadFileBytes(folder_ / name); }

  TempFolder folder_;
  std::string before_, after_;
};

TEST_F(ReportCommand, GoldenTextJsonAndCsvOfASmallPair) {
  ToolRun r = Run("diff --utc before.snp after.snp");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, Golden("pair.txt"));
  r = Run("diff --json before.snp after.snp");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, Golden("pair.json"));
  r = Run("diff --utc --csv changes.csv before.snp after.snp");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read(u"changes.csv"), Golden("pair.csv"));
  EXPECT_NE(r.out.find("CSV:  changes.csv"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("C:\\Data\\"), std::string::npos) << "only the summary goes to the output: " << r.out;
}

TEST_F(ReportCommand, ReportOfOneSnapshot) {
  ToolRun r = Run("report --utc after.snp");
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* expected : {"snapshot report", "computer:             PC-ADMIN7",
                               "C:\\  5 folders, 12 files, 5,552 bytes", "  NewName\\  2 folders, 2 files, 3,000 bytes",
                               "    grow.log  200 bytes  2023-11-14 22:13:20 UTC", "service Spooler",
                               "[Installed Programs]  1 node, 1 item"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  }
  r = Run("report --mode 1 --csv files.csv after.snp");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string csv = Read(u"files.csv");
  EXPECT_EQ(Count(csv, "present,file,"), 1u) << csv;
  EXPECT_NE(csv.find("present,file,C:\\,C:\\Data\\tool.exe,,2100,,2023-11-14T23:13:20Z,,\r\n"), std::string::npos) << csv;
  EXPECT_EQ(csv.find("NewName"), std::string::npos) << "a folder without executables under --mode 1: " << csv;
}

TEST_F(ReportCommand, UsageErrorsAndBadInput) {
  struct Case {
    std::string arguments;
    int code;
    std::string message;
  } const cases[] = {
      {"diff before.snp", 2, "give two snapshot files"},
      {"diff --mode 7 before.snp after.snp", 2, "--mode takes 0, 1, 2 or 3"},
      {"diff --csv", 2, "--csv needs a file name"},
      {"diff --frobnicate before.snp after.snp", 2, "unknown option '--frobnicate'"},
      {"diff --filter missing.filter before.snp after.snp", 2, "cannot open the filter file missing.filter"},
      {"diff --filter bad.filter before.snp after.snp", 2, "bad.filter: line 1: cannot read \"remove *\""},
      {"diff before.snp nothing.snp", 1, "orvalinth diff: nothing.snp: cannot open the file"},
      {"diff before.snp cut.snp", 1, "orvalinth diff: cut.snp: "},
      {"report before.snp after.snp", 2, "give one snapshot file"},
      {"diff --csv no-such-folder/x.csv before.snp after.snp", 1, "cannot create no-such-folder/x.csv"},
  };
  test::WriteFileBytes(folder_ / u"bad.filter", "remove *\n");
  const std::string full = Read(u"after.snp");
  test::WriteFileBytes(folder_ / u"cut.snp", full.substr(0, full.size() / 2));
  for (const Case& c : cases) {
    const ToolRun r = Run(c.arguments);
    EXPECT_EQ(r.code, c.code) << c.arguments << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.arguments << "\n" << r.err;
  }
  EXPECT_FALSE(test::FileExists(folder_ / u"no-such-folder"));
  const ToolRun help = Run("diff --help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("usage: orvalinth diff [options] OLD.snp NEW.snp"), std::string::npos);
}

// A proxy that takes every request for the network the browser makes, and
// tells the hosts asked for.
class TrapProxy {
 public:
  TrapProxy() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 64);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~TrapProxy() { close(fd_); }
  int port() const { return port_; }
  // The hosts of the requests waiting ("CONNECT host:443", "GET http://host/...").
  std::vector<std::string> Hosts() {
    std::vector<std::string> hosts;
    for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) {
      fcntl(c, F_SETFL, 0);
      timeval wait{2, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      char buffer[512] = {};
      const ssize_t got = recv(c, buffer, sizeof buffer - 1, 0);
      close(c);
      std::string line(buffer, got > 0 ? static_cast<size_t>(got) : 0);
      line = line.substr(0, line.find("\r\n"));
      size_t at = line.find(' ');
      std::string target = at == std::string::npos ? "" : line.substr(at + 1);
      target = target.substr(0, target.find(' '));
      if (target.rfind("http://", 0) == 0) target = target.substr(7);
      hosts.push_back(target.substr(0, target.find_first_of(":/")));
    }
    return hosts;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The browser's own services (time, updates, accounts), which it calls
// whatever page it shows.
bool BrowsersOwn(const std::string& host) {
  for (const char* own : {"google.com", "googleapis.com", "gstatic.com", "googleusercontent.com", "gvt1.com"}) {
    const std::string suffix = std::string(".") + own;
    if (host == own || (host.size() > suffix.size() && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0)) {
      return true;
    }
  }
  return false;
}

TEST_F(ReportCommand, HtmlPageInAHeadlessBrowserFetchesNothing) {
  ToolRun r = Run("diff --html changes.html before.snp after.snp");
  ASSERT_EQ(r.code, 0) << r.err;
  // --timeout: a page still waiting for the network after 10 s is taken as it is.
  const std::string browser_flags = "--headless=new --no-sandbox --disable-gpu --no-first-run --timeout=10000 "
                                    "--disable-background-networking --disable-component-update --disable-sync "
                                    "--user-data-dir=browser --proxy-bypass-list='<-loopback>' --window-size=1200,900 ";
  const auto browse = [&](const std::string& what, std::vector<std::string>* hosts) {
    TrapProxy proxy;
    ToolRun run = Shell("timeout 120 chromium " + browser_flags + "--proxy-server=http://127.0.0.1:" +
                        std::to_string(proxy.port()) + " " + what);
    *hosts = proxy.Hosts();
    return run;
  };
  std::vector<std::string> hosts;
  r = browse("--screenshot=page.png file://" + Host(u"changes.html"), &hosts);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string png = Read(u"page.png");
  ASSERT_GT(png.size(), 1000u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  std::vector<std::string> more;
  r = browse("--dump-dom file://" + Host(u"changes.html"), &more);
  ASSERT_EQ(r.code, 0) << r.err;
  hosts.insert(hosts.end(), more.begin(), more.end());
  for (const std::string& host : hosts) EXPECT_TRUE(BrowsersOwn(host)) << "the page asked for " << host;
  // The summary as the page shows it: files 3 added, 1 removed, 4 changed.
  EXPECT_NE(r.out.find("<td>files</td><td class=\"n\">3</td><td class=\"n\">1</td><td class=\"n\">4</td>"),
            std::string::npos)
      << r.out.substr(0, 3000);
  EXPECT_NE(r.out.find("<td>total</td><td class=\"n\">6</td><td class=\"n\">2</td><td class=\"n\">8</td>"),
            std::string::npos);

  // The trap does see what a page asks for.
  test::WriteFileBytes(folder_ / u"probe.html", "<!DOCTYPE html><img src=\"http://report-probe.example/x.png\">");
  r = browse("--dump-dom file://" + Host(u"probe.html"), &hosts);
  EXPECT_NE(std::find(hosts.begin(), hosts.end(), "report-probe.example"), hosts.end());
}

TEST_F(ReportCommand, PdfReadBackByPoppler) {
  // Enough changes for several pages of the table.
  SXReadSnapshot many = test::PairSnapshot(true);
  SXReadNode& data = many.sections[kReadFiles][0].root.children[0];
  for (int i = 0; i < 250; ++i) data.files.push_back(test::PairFile(test::W(Format("batch%03d.dat", i)), 10 + i, test::kAfter));
  File(u"many.snp", many);
  ToolRun r = Run("diff --utc --pdf changes.pdf before.snp many.snp");
  ASSERT_EQ(r.code, 0) << r.err;
  r = Shell("pdfinfo changes.pdf | sed -n 's/^Pages: *//p'");
  ASSERT_EQ(r.code, 0) << r.err;
  const int pages = std::atoi(r.out.c_str());
  r = Shell("pdftotext -layout changes.pdf -");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string text = r.out;
  EXPECT_NE(text.find("Changes on PC-ADMIN7"), std::string::npos);
  EXPECT_NE(text.find("Summary of changes"), std::string::npos);
  EXPECT_NE(text.find("\u8cc7\u6599.txt"), std::string::npos) << "a CJK file name";
  EXPECT_EQ(Count(text, "batch"), 250u);
  // Every row of the table once, pages full but the last, the heading on each.
  const size_t table_rows = 250 + 16;
  size_t seen = 0, fullest = 0;
  std::vector<size_t> per_page;
  for (int page = 2; page <= pages; ++page) {
    r = Shell(Format("pdftotext -f %d -l %d -layout changes.pdf -", page, page));
    size_t rows = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      for (const char* change : {"added ", "removed ", "changed "}) rows += line.rfind(change, 0) == 0 ? 1 : 0;
    }
    std::string squeezed;  // the columns' gaps as one blank
    for (char ch : r.out) {
      if (ch != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += ch;
    }
    EXPECT_EQ(Count(squeezed, "change kind path what"), 1u) << "page " << page;
    EXPECT_NE(r.out.find(Format("page %d of %d", page, pages)), std::string::npos) << r.out;
    per_page.push_back(rows);
    seen += rows;
    fullest = std::max(fullest, rows);
  }
  EXPECT_EQ(seen, table_rows);
  ASSERT_GT(fullest, 20u);
  for (size_t i = 0; i + 1 < per_page.size(); ++i) EXPECT_GE(per_page[i] + 4, fullest) << "page " << i + 2 << " is not full";
  // The page count follows from the table's length (a row of the first
  // page may take two lines, hence at most one page more).
  const size_t needed = (table_rows + fullest - 1) / fullest;
  EXPECT_GE(per_page.size(), needed);
  EXPECT_LE(per_page.size(), needed + 1);
  EXPECT_NE(text.find(Format("page 1 of %d", pages)), std::string::npos);
  r = Shell("pdftoppm -f 1 -l 1 -r 50 -png changes.pdf page");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_GT(Read(u"page-01.png").size() + Read(u"page-1.png").size() + Read(u"page-001.png").size(), 1000u);
}

// The words of each page of `pdftotext -bbox` with their top and bottom.
struct PdfWord {
  double top = 0, bottom = 0;
  std::string text;
};
std::vector<std::vector<PdfWord>> PdfPages(const std::string& bbox) {
  std::vector<std::vector<PdfWord>> pages;
  std::istringstream lines(bbox);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("<page ") != std::string::npos) pages.emplace_back();
    PdfWord w;
    double left = 0, right = 0;
    const size_t at = line.find("<word ");
    if (at == std::string::npos || pages.empty() ||
        std::sscanf(line.c_str() + at, "<word xMin=\"%lf\" yMin=\"%lf\" xMax=\"%lf\" yMax=\"%lf\"", &left, &w.top, &right,
                    &w.bottom) != 4) {
      continue;
    }
    const size_t from = line.find('>', at) + 1;
    w.text = line.substr(from, line.find("</word>") - from);
    pages.back().push_back(w);
  }
  return pages;
}

TEST_F(ReportCommand, PdfTablesStayWholeAndAboveTheFooter) {
  // Each added category lengthens the summary by a row, so that the
  // snapshots' table ends ever lower on the title page, then past it; a
  // name longer than a page can show is cut. The sweep ends once the table
  // has moved to the second page.
  int last_page = 0;
  for (int extra = 0; extra <= 60 && last_page < 2; ++extra) {
    SXReadSnapshot before = test::PairSnapshot(false), after = test::PairSnapshot(true);
    after.sections[kReadFiles][0].root.children[0].files.push_back(
        test::PairFile(std::u16string(4000, u'n'), 1, test::kAfter));
    for (int i = 0; i < extra; ++i) {
      const std::u16string name = test::W(Format("Extra %d", i));
      before.sections[kReadApplications].push_back(test::PairApps(name, {}));
      after.sections[kReadApplications].push_back(test::PairApps(name, {test::PairItem(1, u"Added", u"C:\\a.exe", 2)}));
    }
    File(u"b.snp", before);
    File(u"a.snp", after);
    ToolRun r = Run("diff --pdf near.pdf b.snp a.snp");
    ASSERT_EQ(r.code, 0) << r.err;
    r = Shell("pdftotext -bbox near.pdf -");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::vector<PdfWord>> pages = PdfPages(r.out);
    ASSERT_GE(pages.size(), 2u);
    int snapshots_page = 0;
    for (size_t p = 0; p < pages.size(); ++p) {
      const std::vector<PdfWord>& words = pages[p];
      std::string text;
      for (const PdfWord& w : words) text += w.text + " ";
      const std::string where = Format("%d categories more, page %zu: ", extra, p + 1) + text;
      // "page N of M" below everything else.
      const std::vector<std::string> footer = {"page", std::to_string(p + 1), "of", std::to_string(pages.size())};
      size_t f = 0;
      while (f + 4 <= words.size() &&
             !(words[f].text == footer[0] && words[f + 1].text == footer[1] && words[f + 2].text == footer[2] &&
               words[f + 3].text == footer[3])) {
        ++f;
      }
      ASSERT_LE(f + 4, words.size()) << where;
      for (size_t i = 0; i < words.size(); ++i) {
        if (i < f || i >= f + 4) {
          EXPECT_LT(words[i].bottom, words[f].top) << where;
        }
      }
      // The snapshots' table whole on one page, under its title and heading.
      if (text.find("applications targets") != std::string::npos) {
        EXPECT_EQ(snapshots_page, 0) << where;
        snapshots_page = static_cast<int>(p + 1);
        for (const char* other : {"Snapshots ", " old new ", "computer ", "operating system ", "registry targets "}) {
          EXPECT_NE(text.find(other), std::string::npos) << other << "\n" << where;
        }
      }
      if (snapshots_page != 0 && static_cast<int>(p + 1) > snapshots_page) {
        EXPECT_EQ(Count(text, "change kind path what"), 1u) << where;
      }
    }
    ASSERT_NE(snapshots_page, 0) << extra;
    EXPECT_LE(snapshots_page, 2) << extra;
    if (extra == 0) {
      EXPECT_EQ(snapshots_page, 1);
    }
    last_page = snapshots_page;
  }
  EXPECT_EQ(last_page, 2) << "the sweep never pushed the table past the title page";
}

}  // namespace
}  // namespace orvalinth

#endif  // _WIN32
