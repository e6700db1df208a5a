// The programming station: its serial rules and console reading in tables,
// then whole runs of the built station on four virtual cards, one of them
// faulty, judged by what the cards themselves hold afterwards.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CardAccess.h"
#include "E2E.h"
#include "Folders.h"
#include "Report.h"
#include "Serials.h"
#include "ToolOutput.h"

namespace {

using Lines = std::vector<std::string>;

TEST(StationSerials, RulesOfTheTool) {
  const struct {
    std::string serial;
    bool taken;
  } kCases[] = {
      {"QEL00000001", true},      {"A B", true},        {std::string(20, 'X'), true},
      {std::string(21, 'X'), false}, {"", false},       {"    ", false},
      {"AB\x7F", false},          {"AB\tC", false},     {"\xC3\xA9t\xC3\xA9", false},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.taken, SerialProblem(c.serial).empty()) << c.serial;
}

TEST(StationSerials, ListsAndPatterns) {
  const struct {
    const char* name;
    std::string list;                     // a --serials file, or
    const char* pattern;                  // a --serial-format with --first 9, 3 cards
    Lines serials;                        // what the cards get, or
    const char* error;                    // part of the refusal
  } kCases[] = {
      {"list", "A1\nB2\r\nC3", nullptr, {"A1", "B2", "C3"}, nullptr},
      {"duplicate", "A1\nB2\nA1\n", nullptr, {}, "line 3: serial \"A1\" repeats line 1"},
      {"empty line", "A1\n\nB2\n", nullptr, {}, "line 2: serial \"\" is empty"},
      {"too long", "A1\n123456789012345678901\n", nullptr, {}, "line 2"},
      {"zero padded", "", "QEL%08d", {"QEL00000009", "QEL00000010", "QEL00000011"}, nullptr},
      {"percent and width", "", "%3d%%", {"  9%", " 10%", " 11%"}, nullptr},
      {"runs past 20", "", "ABCDEFGHIJKLMNOPQRS%d", {}, "\"ABCDEFGHIJKLMNOPQRS10\" is longer"},
      {"two numbers", "", "A%dB%d", {}, "more than one %d"},
      {"no number", "", "QEL", {}, "has no %d"},
      {"other conversion", "", "QEL%s", {}, "wants %d"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Lines serials;
    std::string error;
    bool ok = c.pattern ? ExpandSerialPattern(c.pattern, 9, 3, &serials, &error)
                        : ParseSerialList(c.list, &serials, &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(c.serials, serials);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(std::string::npos, error.find(c.error)) << error;
    }
  }
}

TEST(StationConsole, StepsAndFailureLines) {
  EXPECT_EQ("Download ISP", StepHeading("Download ISP ..........................\n"));
  EXPECT_EQ("Card Information", StepHeading("Card Information..................Success"));
  EXPECT_EQ("", StepHeading("Update failed.."));
  EXPECT_EQ("", StepHeading("Open ISP file ./REGBIN/3300/SWISP.bin"));

  const struct {
    Lines console;
    std::string failure;
  } kCases[] = {
      // The reason above the command's line and the banner.
      {{"Reset CPU .......", "Done", "Run ISP Fail!", "Update failed..", "", "",
        "Linux Tool:V1.1.0 - Q1117A, Lib:143", "", "******", "Total Process finished,the result is failed",
        "ErrorCode: 0001", "******"},
       "Run ISP Fail!"},
      // No reason given: the step that had just ended well.
      {{"Force ROM Mode.........", "Done", "Initial card failed..", "", "*****"},
       "Initial card failed.. at step Force ROM Mode"},
      // Refused before any flow: the last line.
      {{"  Serial Number    : X", "This is not QEL disk!"}, "This is not QEL disk!"},
      {{}, ""},
  };
  for (const auto& c : kCases) {
    ConsoleTail tail;
    for (const std::string& line : c.console) tail.Add(line + "\n");
    EXPECT_EQ(c.failure, tail.FailureLine());
  }
}

TEST(StationFolders, NamesAndLinks) {
  for (const char* name : {"sdb-QEL00000001", "sdb", "sdc-A.B_C+D"}) EXPECT_TRUE(IsSafeName(name));
  for (const char* name : {"", ".", "..", ".hidden", "sdb-A/B", "sdb-A B", "sdb-A\\B", "sdb-\xC3\xA9"})
    EXPECT_FALSE(IsSafeName(name)) << name;

  std::string dir = e2e::MakeTempDir("station-links");
  ASSERT_EQ(0, symlink("/dev/sdc", (dir + "/by-id-c").c_str()));
  ASSERT_EQ(0, symlink("by-id-c", (dir + "/alias").c_str()));
  ASSERT_EQ(0, symlink("loop", (dir + "/loop").c_str()));
  ASSERT_EQ(0, symlink("/dev/disk/by-id/a-name-far-too-long-for-the-tool", (dir + "/long").c_str()));
  const struct {
    std::string given, node;  // "" node: refused
  } kCases[] = {
      {"/dev/sdb", "/dev/sdb"},        {"/dev/../dev/./sdd", "/dev/sdd"},
      {dir + "/by-id-c", "/dev/sdc"},  {dir + "/alias", "/dev/sdc"},
      {dir + "/loop", ""},             {dir + "/long", ""},
      {"", ""},
  };
  for (const auto& c : kCases) {
    std::string node, error;
    EXPECT_EQ(!c.node.empty(), ResolveNode(c.given, &node, &error)) << c.given << ": " << error;
    if (!c.node.empty()) {
      EXPECT_EQ(c.node, node);
    }
  }
  e2e::RemoveTree(dir);
}

TEST(StationReport, FieldsSurviveAnyCardAnswer) {
  EXPECT_EQ("plain", CsvField("plain"));
  EXPECT_EQ("\"a,b\"", CsvField("a,b"));
  EXPECT_EQ("\"say \"\"x\"\"\"", CsvField("say \"x\""));
  EXPECT_EQ("\" padded\"", CsvField(" padded"));
  EXPECT_EQ("\"q\\\"\\\\\\u0001\\u00ff\"", JsonString("q\"\\\x01\xff"));
}

// ---- Whole runs on four virtual cards.

const char* const kNodes[] = {"/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde"};
constexpr int kCards = 4;

// The card's own state, as "qelvcard show" tells it.
std::map<std::string, std::string> ShowCard(const std::string& dir) {
  e2e::RunResult r = e2e::Run(".", {e2e::VCardPath(), "show", dir});
  std::map<std::string, std::string> fields;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, line.find_last_not_of(' ', colon) + 1);
    fields[key] = line.substr(colon + 3);
  }
  return fields;
}

// Rows of a CSV file (fields may be quoted, without line ends inside).
std::vector<Lines> ReadCsv(const std::string& path) {
  std::vector<Lines> rows;
  std::istringstream in(e2e::ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    Lines row(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
        row.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        row.emplace_back();
      } else {
        row.back() += c;
      }
    }
    rows.push_back(row);
  }
  return rows;
}

// Every byte of every file under `dir`.
std::string AllFiles(const std::string& dir) {
  std::string text;
  for (const std::string& name : e2e::ListDir(dir)) {
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    text += S_ISDIR(st.st_mode) ? AllFiles(path) : e2e::ReadFile(path);
  }
  return text;
}

struct StationRun {
  const char* name;
  Lines create;     // qelvcard create options of every card
  Lines fault;      // qelvcard set options of the faulty card
  int faulty;       // its index
  Lines station;    // the station's options before the devices
  bool linked;      // devices named through links, in reverse order; else --all
  Lines command;
  Lines serials;    // each card's serial after the run ("" keeps its own)
  const char* firmware;  // of the cards that pass
  const char* failure;   // part of the faulty card's failure line
};

const StationRun kRuns[] = {
    {"update", {"--fwrev", "Q1117A00"}, {"--never-ready"}, 2, {}, false, {"update"},
     {"", "", "", ""}, "Q1117A02", "Run ISP Fail!"},
    {"initial", {"--mode", "rom"}, {"--fail-cmd", "30"}, 1,
     {"--serial-format", "QEL%08d", "--first", "1"}, true, {"initial"},
     {"QEL00000001", "QEL00000002", "QEL00000003", "QEL00000004"}, "Q1117A02",
     "Initial card failed.."},
};

void PrintTo(const StationRun& run, std::ostream* out) { *out << run.name; }

class StationRunTest : public ::testing::TestWithParam<StationRun> {
 protected:
  void SetUp() override {
    root_ = e2e::MakeTempDir("station");
    work_ = root_ + "/work";
    ASSERT_EQ(0, mkdir(work_.c_str(), 0755));
  }
  void TearDown() override { e2e::RemoveTree(root_); }

  std::string Card(int i) { return root_ + "/card" + std::to_string(i); }

  // Four cards with their own serials and a user sector 0 of their own.
  void MakeCards(const StationRun& run) {
    for (int i = 0; i < kCards; ++i) {
      Lines args = run.create;
      args.insert(args.end(), {"--serial", "CARD" + std::to_string(i), "--capacity", "65536"});
      ASSERT_EQ(0, e2e::CreateCard(Card(i), args).status);
      std::fstream sectors(Card(i) + "/sectors.img", std::ios::in | std::ios::out | std::ios::binary);
      sectors << "sector 0 of card " << i;
      sectors.close();
      sector0_.push_back(Sector0(i));
    }
    Lines fault = {e2e::VCardPath(), "set", Card(run.faulty)};
    fault.insert(fault.end(), run.fault.begin(), run.fault.end());
    ASSERT_EQ(0, e2e::Run(".", fault).status);
    e2e::RunResult r = e2e::Run(".", {e2e::VCardPath(), "imageset", Card(0), work_, "--fw-version",
                                      "Q1117A02", "--allow", "Q1117A00:Q1117A02"});
    ASSERT_EQ(0, r.status) << r.out;
    for (int i = 0; i < kCards; ++i) journals_.push_back(Journal(i));
  }

  std::string Sector0(int i) {
    std::ifstream in(Card(i) + "/sectors.img", std::ios::binary);
    std::string sector(512, '\0');
    in.read(&sector[0], 512);
    return sector;
  }

  std::string Journal(int i) { return e2e::ReadFile(Card(i) + "/journal.log"); }

  // qelvcard run --card ... -- qelstation ARGS, in the working folder.
  e2e::RunResult Station(const Lines& args) {
    Lines argv = {e2e::VCardPath(), "run"};
    for (int i = 0; i < kCards; ++i) argv.insert(argv.end(), {"--card", std::string(kNodes[i]) + "=" + Card(i)});
    argv.insert(argv.end(), {"--", QELSTATION_BIN});
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::Run(work_, argv);
  }

  std::string root_, work_;
  Lines sector0_, journals_;
};

TEST_P(StationRunTest, EachCardEndsWithItsOwnIdentityAndTheReportSaysSo) {
  const StationRun& run = GetParam();
  MakeCards(run);
  Lines args = run.station;
  args.insert(args.end(), {"--report", "R"});
  if (run.linked) {
    for (int i = kCards - 1; i >= 0; --i) {
      std::string link = root_ + "/by-id-" + std::to_string(i);
      ASSERT_EQ(0, symlink(kNodes[i], link.c_str()));
      args.push_back(link);
    }
  } else {
    args.push_back("--all");
  }
  args.push_back("--");
  args.insert(args.end(), run.command.begin(), run.command.end());
  e2e::RunResult r = Station(args);
  ASSERT_EQ(1, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("3 of 4 cards passed")) << r.out;

  std::vector<Lines> rows = ReadCsv(work_ + "/R/report.csv");
  ASSERT_EQ(1u + kCards, rows.size()) << r.out;
  const Lines& head = rows[0];
  auto column = [&](const Lines& row, const char* name) {
    for (size_t i = 0; i < head.size() && i < row.size(); ++i)
      if (head[i] == name) return row[i];
    return std::string("(no column ") + name + ")";
  };
  std::string json = e2e::ReadFile(work_ + "/R/report.json");
  EXPECT_NE(std::string::npos, json.find("\"cards\": 4, \"passed\": 3, \"failed\": 1")) << json;

  for (int i = 0; i < kCards; ++i) {
    SCOPED_TRACE(kNodes[i]);
    const Lines& row = rows[1 + i];
    std::map<std::string, std::string> card = ShowCard(Card(i));
    const bool passes = i != run.faulty;
    const std::string own = "CARD" + std::to_string(i);
    const std::string serial = passes && !run.serials[i].empty() ? run.serials[i] : own;
    // The card itself: its identity, both ISP copies, its user data.
    EXPECT_EQ(serial, card["serial"]);
    if (passes) {
      EXPECT_EQ(run.firmware, card["firmware"]);
      EXPECT_EQ(std::string(run.firmware) + " / " + run.firmware, card["ISP copies"]);
      EXPECT_EQ(sector0_[i], Sector0(i));
    }
    // The report: in device order, what the card answers.
    EXPECT_EQ(kNodes[i], column(row, "device"));
    EXPECT_EQ(own, column(row, "serial_before"));
    EXPECT_EQ(card["serial"], column(row, "serial_after"));
    EXPECT_EQ(card["model"], column(row, "model_after"));
    EXPECT_EQ(card["firmware"], column(row, "firmware_after"));
    EXPECT_EQ(passes ? "PASS" : "FAIL", column(row, "result"));
    EXPECT_EQ(passes ? "0" : "1", column(row, "exit_status"));
    if (!passes) {
      EXPECT_NE(std::string::npos, column(row, "failure").find(run.failure)) << column(row, "failure");
    }
    EXPECT_NE(std::string::npos, json.find("\"serial_after\": \"" + card["serial"] + "\""));
    // The operator's last line of the card tells the same.
    size_t last = r.out.rfind("\n" + std::string(kNodes[i] + strlen("/dev/")) + " ");
    ASSERT_NE(std::string::npos, last) << r.out;
    std::string line = r.out.substr(last + 1, r.out.find('\n', last + 1) - last - 1);
    EXPECT_NE(std::string::npos, line.find(passes ? "PASS" : std::string("FAIL  ") + run.failure)) << line;

    // Its folder holds its own run and nothing of another card's. (Every run
    // of the tool sends one INQUIRY to each node it scans, so other nodes'
    // names do appear in its trace; their serials must not.)
    const std::string name = std::string(kNodes[i] + strlen("/dev/")) + "-" + own;
    const std::string folder = work_ + "/R/" + name;
    EXPECT_EQ("R/" + name, column(row, "folder"));
    std::string files = AllFiles(folder);
    EXPECT_NE(std::string::npos, e2e::ReadFile(folder + "/Display.log").find("Serial Number")) << folder;
    for (int other = 0; other < kCards; ++other) {
      if (other == i) continue;
      EXPECT_EQ(std::string::npos, files.find("CARD" + std::to_string(other))) << other;
      if (!run.serials[other].empty()) {
        EXPECT_EQ(std::string::npos, files.find(run.serials[other])) << run.serials[other];
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Station, StationRunTest, ::testing::ValuesIn(kRuns),
                         [](const auto& info) { return std::string(info.param.name); });

// Command lines refused before any card is touched: no card sees a command
// and no report folder is made.
struct Refusal {
  const char* name;
  std::string serialsFile;  // written as serials.txt when not ""
  Lines args;
  const char* message;
};

const Refusal kRefusals[] = {
    {"duplicate serial", "S1\nS2\nS1\nS4\n",
     {"--serials", "serials.txt", "/dev/sdb", "/dev/sdc", "--", "initial"}, "repeats line 1"},
    {"too few serials", "S1\n", {"--serials", "serials.txt", "/dev/sdb", "/dev/sdc", "--", "initial"},
     "1 serials for 2 cards"},
    {"serial too long", "", {"--serial-format", "SERIAL%015d", "--first", "1", "/dev/sdb", "--", "initial"},
     "longer than 20"},
    {"blank serial", "", {"/dev/sdb", "--", "initial", "   "}, "all blanks"},
    {"one serial for two cards", "", {"/dev/sdb", "/dev/sdc", "--", "initial", "S1"}, "one serial for 2"},
    {"serials without initial", "S1\n", {"--serials", "serials.txt", "/dev/sdb", "--", "update"},
     "\"initial\" alone"},
    {"same card twice", "", {"/dev/sdb", "/dev/../dev/sdb", "--", "update"}, "are the same card"},
    {"devices and --all", "", {"--all", "/dev/sdb", "--", "update"}, "exclude each other"},
    {"no command", "", {"/dev/sdb", "--"}, "no COMMAND"},
};

TEST_F(StationRunTest, RefusedCommandLinesTouchNoCard) {
  MakeCards(kRuns[0]);
  for (const Refusal& refusal : kRefusals) {
    SCOPED_TRACE(refusal.name);
    if (!refusal.serialsFile.empty()) e2e::WriteFile(work_ + "/serials.txt", refusal.serialsFile);
    Lines args = {"--report", "R"};
    args.insert(args.end(), refusal.args.begin(), refusal.args.end());
    e2e::RunResult r = Station(args);
    EXPECT_EQ(2, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(refusal.message)) << r.out;
    EXPECT_FALSE(e2e::FileExists(work_ + "/R"));
    for (int i = 0; i < kCards; ++i) EXPECT_EQ(journals_[i], Journal(i)) << kNodes[i];
  }
  // A report folder is never shared with an earlier run.
  ASSERT_EQ(0, mkdir((work_ + "/R").c_str(), 0755));
  e2e::RunResult r = Station({"--report", "R", "/dev/sdb", "--", "update"});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.out.find("exists already")) << r.out;
  EXPECT_EQ(journals_[0], Journal(0));

  r = e2e::Run(work_, {QELSTATION_BIN, "--help"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.out.find("usage: qelstation [--jobs N]")) << r.out;
}

}  // namespace
