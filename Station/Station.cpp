#include "Station.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Board.h"
#include "CardAccess.h"
#include "EXCMDFunc.h"
#include "Folders.h"
#include "Options.h"
#include "Report.h"
#include "Serials.h"
#include "ToolOutput.h"

namespace {

constexpr int kRefused = 2;
constexpr size_t kMaxSerialFileBytes = 1 << 20;
// The folder of image sets the tool looks for in its working folder.
const char kImageSetFolder[] = "REGBIN";
const char kConsoleFile[] = "console.txt";
constexpr size_t kMaxLineBytes = 1 << 16;

// Commands after which the card must still carry the serial it had.
const char* const kSerialKeepingCommands[] = {"keepsn", "keepsn_1", "update",     "update_1",
                                              "swap",   "swap_1",   "readflashid"};

volatile sig_atomic_t gStopRequested = 0;

void OnStopSignal(int) { gStopRequested = 1; }

double MonotonicNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

timespec WallNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// Device order: "sdb" before "sdc" before "sdaa".
bool NodeBefore(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The serial the card must answer after a passed run, or "" when the
// command may change it without a new one given.
std::string ExpectedSerial(const CardRecord& card) {
  if (card.command[0] == "initial") return card.command.size() > 1 ? TrimBlanks(card.command[1]) : "";
  for (const char* word : kSerialKeepingCommands) {
    if (card.command[0] == word) return card.before.serial;
  }
  return "";
}

bool ReadSmallFile(const std::string& path, std::string* text, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > static_cast<off_t>(kMaxSerialFileBytes)) {
    *error = path + (fd < 0 ? std::string(": ") + strerror(errno) : ": no plain file up to 1 MiB");
    if (fd >= 0) close(fd);
    return false;
  }
  text->assign(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < text->size()) {
    ssize_t n = read(fd, &(*text)[done], text->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  text->resize(done);
  return true;
}

// Starts the tool in working folder `dirFd` with its output on a pipe, in a
// process group of its own so that an interrupt meant for the station never
// stops a card halfway. -1 when it cannot be started.
pid_t StartTool(const std::vector<std::string>& argv, int dirFd, int devNull, int* output) {
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here: other threads may hold locks.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Should the station die, the tool's writes fail instead of killing it
    // in the middle of a flow.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
    if (dup2(devNull, 0) < 0 || dup2(pipeFds[1], 1) < 0 || dup2(pipeFds[1], 2) < 0 ||
        fchdir(dirFd) != 0)
      _exit(127);
    // Another thread may have a card open right now: the tool gets none of it.
    close_range(3, ~0u, 0);
    execv(args[0], args.data());
    static const char kMessage[] = "qelstation: cannot start the tool\n";
    ssize_t ignored = write(1, kMessage, sizeof kMessage - 1);
    (void)ignored;
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    return -1;
  }
  *output = pipeFds[0];
  return pid;
}

class Station {
 public:
  Station(std::vector<CardRecord> cards, const std::string& reportPath, int reportFd,
          const std::string& tracePath, const std::string& toolPath, int devNull,
          bool haveImageSet)
      : cards_(std::move(cards)),
        started_(cards_.size(), 0.0),
        reportPath_(reportPath),
        reportFd_(reportFd),
        tracePath_(tracePath),
        toolPath_(toolPath),
        devNull_(devNull),
        haveImageSet_(haveImageSet) {}

  // Runs every card with at most `jobs` at a time while `board` shows them;
  // returns the cards as they ended.
  std::vector<CardRecord> Run(size_t jobs, Board* board);

 private:
  void Worker();
  void RunCard(size_t index);
  // Ends card `index` with `failure` ("" for a pass).
  void Finish(size_t index, const std::string& failure);
  std::vector<BoardLine> Lines(bool* allDone);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<CardRecord> cards_;  // guarded by mutex_
  std::vector<double> started_;    // monotonic start of each card
  size_t next_ = 0;                // next card a worker takes
  const std::string reportPath_;
  const int reportFd_;
  const std::string tracePath_, toolPath_;
  const int devNull_;
  const bool haveImageSet_;
};

std::vector<CardRecord> Station::Run(size_t jobs, Board* board) {
  std::vector<std::thread> workers;
  for (size_t i = 0; i < jobs; ++i) workers.emplace_back(&Station::Worker, this);
  for (;;) {
    bool allDone = false;
    std::vector<BoardLine> lines = Lines(&allDone);
    board->Show(lines, gStopRequested && !allDone
                           ? "stopping: cards not started stay untouched, started ones finish"
                           : "");
    if (allDone) break;
    // The wait also paces the elapsed times on a terminal.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(500));
  }
  for (std::thread& worker : workers) worker.join();
  return cards_;
}

std::vector<BoardLine> Station::Lines(bool* allDone) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<BoardLine> lines;
  *allDone = true;
  double now = MonotonicNow();
  for (size_t i = 0; i < cards_.size(); ++i) {
    const CardRecord& card = cards_[i];
    BoardLine line;
    line.device = NodeName(card.device);
    line.serial = card.newSerial.empty() ? card.before.serial : card.newSerial;
    line.steps = card.steps;
    line.failure = card.failure;
    line.state = card.state;
    line.seconds = card.state == kCardRunning ? now - started_[i] : card.seconds;
    if (card.state == kCardWaiting || card.state == kCardRunning) *allDone = false;
    lines.push_back(line);
  }
  return lines;
}

void Station::Worker() {
  for (;;) {
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (next_ < cards_.size() && cards_[next_].state != kCardWaiting) ++next_;
      if (next_ == cards_.size()) return;
      index = next_++;
      if (gStopRequested) {
        cards_[index].state = kCardFailed;
        cards_[index].failure = "not run: the station was stopped";
        changed_.notify_all();
        continue;
      }
      cards_[index].state = kCardRunning;
      cards_[index].start = WallNow();
      started_[index] = MonotonicNow();
    }
    changed_.notify_all();
    RunCard(index);
  }
}

void Station::Finish(size_t index, const std::string& failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CardRecord& card = cards_[index];
    card.state = failure.empty() ? kCardPassed : kCardFailed;
    card.failure = failure;
    card.end = WallNow();
    card.seconds = MonotonicNow() - started_[index];
  }
  changed_.notify_all();
}

void Station::RunCard(size_t index) {
  // Fields only this worker writes from now on; read without the lock.
  const CardRecord& card = cards_[index];
  const std::string folderName = CardFolderName(NodeName(card.device), card.before.serial);
  if (!IsSafeName(folderName)) {
    Finish(index, "folder name \"" + folderName +
                      "\" is unsafe (letters, digits and ._-+ only); the card was left alone");
    return;
  }
  std::string error;
  int dirFd = MakeFolderIn(reportFd_, folderName, &error);
  if (dirFd < 0) {
    Finish(index, error);
    return;
  }
  const std::string folder = reportPath_ + "/" + folderName;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_[index].folder = folder;
  }
  if (haveImageSet_ && !CopyFolder(AT_FDCWD, dirFd, kImageSetFolder, &error)) {
    close(dirFd);
    Finish(index, "image set: " + error);
    return;
  }
  int console = openat(dirFd, kConsoleFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0644);
  std::vector<std::string> argv = {toolPath_, card.device};
  argv.insert(argv.end(), card.command.begin(), card.command.end());
  int output = -1;
  pid_t pid = console < 0 ? -1 : StartTool(argv, dirFd, devNull_, &output);
  if (pid < 0) {
    if (console >= 0) close(console);
    close(dirFd);
    Finish(index, std::string("cannot start the tool: ") + strerror(errno));
    return;
  }

  // Follow the tool's console line by line: its step headings drive the
  // board, its last lines name a failure.
  ConsoleTail tail;
  std::string pending;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(output, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      // The card goes on whether or not its console copy could be kept.
      ssize_t kept = write(console, chunk, static_cast<size_t>(n));
      (void)kept;
      pending.append(chunk, static_cast<size_t>(n));
    }
    // The last line may lack its end; an endless one is taken in pieces.
    if ((n <= 0 || pending.size() > kMaxLineBytes) && !pending.empty() && pending.back() != '\n')
      pending += '\n';
    size_t lineEnd;
    std::vector<std::string> steps;
    while ((lineEnd = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, lineEnd);
      pending.erase(0, lineEnd + 1);
      tail.Add(line);
      std::string heading = StepHeading(line);
      if (!heading.empty()) steps.push_back(heading);
    }
    if (!steps.empty()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string>& known = cards_[index].steps;
        known.insert(known.end(), steps.begin(), steps.end());
      }
      changed_.notify_all();
    }
    if (n <= 0) break;
  }
  close(output);
  close(console);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  CardAnswer after = ReadCard(card.device, tracePath_);
  std::vector<std::string> logs = {folder + "/Display.log"};
  for (const std::string& trace : TraceFileNames(dirFd)) logs.push_back(folder + "/" + trace);
  logs.push_back(folder + "/" + kConsoleFile);
  close(dirFd);

  std::string failure;
  const std::string expected = ExpectedSerial(card);
  if (WIFSIGNALED(status)) {
    failure = "the tool was ended by signal " + std::to_string(WTERMSIG(status));
  } else if (exitStatus != 0) {
    failure = tail.FailureLine();
    if (failure.empty()) failure = "the tool exited with status " + std::to_string(exitStatus);
  } else if (!after.problem.empty()) {
    failure = "after the run: " + after.problem;
  } else if (!expected.empty() && after.identity.serial != expected) {
    failure = "the card answers serial \"" + after.identity.serial + "\" after the run, not \"" +
              expected + "\"";
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CardRecord& record = cards_[index];
    record.exitStatus = exitStatus;
    record.haveAfter = after.problem.empty();
    record.after = after.identity;
    record.logs = logs;
  }
  Finish(index, failure);
}

// The terminal's size, or 0 x 0 when standard output is none.
struct winsize TerminalSize() {
  struct winsize size = {};
  if (isatty(STDOUT_FILENO) != 1 || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) size = {};
  return size;
}

std::string DefaultReportName() {
  time_t now = time(nullptr);
  struct tm local;
  char name[64] = "station-report";
  if (localtime_r(&now, &local) != nullptr) strftime(name, sizeof name, "station-%Y%m%d-%H%M%S", &local);
  return name;
}

// Why `cards` cards cannot all get a serial of their own ("" when they can).
std::string SerialCountProblem(const StationOptions& options, size_t serials, size_t cards) {
  const bool initialWithSerial = options.command[0] == "initial" && options.command.size() > 1;
  if (!options.serialsFile.empty() && serials < cards)
    return std::to_string(serials) + " serials for " + std::to_string(cards) + " cards";
  if (initialWithSerial && cards > 1)
    return "one serial for " + std::to_string(cards) +
           " cards; give each its own with --serials or --serial-format";
  return "";
}

// Checks every new serial that can be checked without a card: the one given
// to "initial", a --serials list (read into *serials), a --serial-format.
bool CheckSerials(const StationOptions& options, std::vector<std::string>* serials,
                  std::string* error) {
  if (options.command[0] == "initial" && options.command.size() > 1) {
    std::string problem = SerialProblem(options.command[1]);
    if (!problem.empty()) {
      *error = "serial \"" + options.command[1] + "\" " + problem;
      return false;
    }
  }
  if (!options.serialsFile.empty()) {
    std::string text;
    if (!ReadSmallFile(options.serialsFile, &text, error) ||
        !ParseSerialList(text, serials, error)) {
      *error = options.serialsFile + ": " + *error;
      return false;
    }
  }
  std::vector<std::string> first;
  return !options.haveFirst ||
         ExpandSerialPattern(options.serialPattern, options.firstSerial, 1, &first, error);
}

// The nodes to read, in device order: every scanned node for --all, else
// the DEVICE names resolved, each card named once.
bool ChooseNodes(const StationOptions& options, std::vector<std::string>* nodes,
                 std::string* error) {
  *nodes = options.all ? ScannedNodes() : std::vector<std::string>();
  for (const std::string& given : options.devices) {
    std::string node;
    if (!ResolveNode(given, &node, error)) return false;
    for (size_t i = 0; i < nodes->size(); ++i) {
      if ((*nodes)[i] == node) {
        *error = options.devices[i] + " and " + given + " are the same card " + node;
        return false;
      }
    }
    nodes->push_back(node);
  }
  std::sort(nodes->begin(), nodes->end(), NodeBefore);
  return true;
}

// A record for each card to run: under --all the controller disks alone
// (every other disk is left alone), else every node, those that did not
// answer already failed.
std::vector<CardRecord> RecordsOf(const std::vector<std::string>& nodes,
                                  const std::vector<CardAnswer>& answers,
                                  const StationOptions& options) {
  std::vector<CardRecord> cards;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (options.all && !answers[i].controller) continue;
    CardRecord card;
    card.device = nodes[i];
    card.haveBefore = answers[i].problem.empty();
    card.before = answers[i].identity;
    card.command = options.command;
    if (!card.haveBefore) {
      card.state = kCardFailed;
      card.failure = answers[i].problem;
    }
    cards.push_back(card);
  }
  return cards;
}

int Refuse(const std::string& why) {
  fprintf(stderr, "qelstation: %s\n", why.c_str());
  return kRefused;
}

// Reads every node at once; the answers come back in the nodes' order.
std::vector<CardAnswer> ReadCards(const std::vector<std::string>& nodes,
                                  const std::string& tracePath) {
  std::vector<CardAnswer> answers(nodes.size());
  std::vector<std::thread> readers;
  for (size_t i = 0; i < nodes.size(); ++i) {
    readers.emplace_back([&, i] { answers[i] = ReadCard(nodes[i], tracePath); });
  }
  for (std::thread& reader : readers) reader.join();
  return answers;
}

}  // namespace

int StationMain(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  StationOptions options;
  std::string error;
  if (!ParseStationOptions(argc, argv, &options, &error)) {
    fprintf(stderr, "qelstation: %s\n%.*s", error.c_str(),
            static_cast<int>(strstr(kStationUsage, "\n\n") - kStationUsage + 1), kStationUsage);
    return kRefused;
  }
  if (options.help) {
    fputs(kStationUsage, stdout);
    return 0;
  }

  const std::string toolPath = getBundlePath() + "/qeltool";
  if (access(toolPath.c_str(), X_OK) != 0) return Refuse("no tool to run: " + toolPath);

  std::vector<std::string> serials, nodes;
  if (!CheckSerials(options, &serials, &error) || !ChooseNodes(options, &nodes, &error))
    return Refuse(error);
  if (!options.all) {
    std::string problem = SerialCountProblem(options, serials.size(), nodes.size());
    if (!problem.empty()) return Refuse(problem);
  }

  struct stat imageSet;
  const bool haveImageSet = lstat(kImageSetFolder, &imageSet) == 0;
  if (haveImageSet && !S_ISDIR(imageSet.st_mode))
    return Refuse(std::string("./") + kImageSetFolder + " is no folder");

  std::string reportPath = options.report.empty() ? DefaultReportName() : options.report;
  while (reportPath.size() > 1 && reportPath.back() == '/') reportPath.pop_back();
  int reportFd = MakeReportFolder(reportPath, &error);
  if (reportFd < 0) return Refuse(error);
  // The Library takes trace names of at most 127 characters; a name through
  // the report folder's descriptor always fits, however long its path.
  const std::string tracePath = "/proc/self/fd/" + std::to_string(reportFd) + "/station-trace.log";

  const timespec stationStart = WallNow();
  const double stationStarted = MonotonicNow();
  std::vector<CardAnswer> answers = ReadCards(nodes, tracePath);
  std::vector<CardRecord> cards = RecordsOf(nodes, answers, options);
  if (cards.empty()) {
    close(reportFd);
    fprintf(stderr, "qelstation: no QC3300 disk among /dev/sda../dev/sdj\n");
    return 1;
  }

  // New serials go to the cards that answered, in device order.
  size_t runnable = 0;
  for (const CardRecord& card : cards) runnable += card.state == kCardWaiting;
  std::string problem = SerialCountProblem(options, serials.size(), runnable);
  if (!problem.empty() ||
      (options.haveFirst && !ExpandSerialPattern(options.serialPattern, options.firstSerial,
                                                 runnable, &serials, &problem))) {
    close(reportFd);
    return Refuse(problem);
  }
  if (!serials.empty()) {
    size_t next = 0;
    for (CardRecord& card : cards) {
      if (card.state != kCardWaiting) continue;
      card.newSerial = serials[next++];
      card.command.push_back(card.newSerial);
    }
  }

  int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull < 0) return Refuse(std::string("/dev/null: ") + strerror(errno));
  struct sigaction stop = {};
  stop.sa_handler = OnStopSignal;
  stop.sa_flags = SA_RESTART;
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &stop, nullptr);

  // A board taller than the terminal cannot be redrawn in place.
  const struct winsize size = TerminalSize();
  const bool terminal = size.ws_col > 0 && cards.size() + 2 <= size.ws_row;
  Board board(stdout, terminal, size.ws_col);
  size_t jobs = options.jobs == 0 ? cards.size() : std::min(options.jobs, cards.size());
  Station station(cards, reportPath, reportFd, tracePath, toolPath, devNull, haveImageSet);
  cards = station.Run(jobs, &board);
  close(devNull);

  StationTotals totals;
  totals.cards = cards.size();
  for (const CardRecord& card : cards) (card.state == kCardPassed ? totals.passed : totals.failed)++;
  totals.start = stationStart;
  totals.end = WallNow();
  totals.seconds = MonotonicNow() - stationStarted;
  bool written = WriteNewFile(reportFd, "report.json", ReportJson(cards, totals), &error) &&
                 WriteNewFile(reportFd, "report.csv", ReportCsv(cards), &error);
  close(reportFd);
  printf("%zu of %zu cards passed in %.1f s; report in %s/\n", totals.passed, totals.cards,
         totals.seconds, reportPath.c_str());
  if (!written) {
    fprintf(stderr, "qelstation: report: %s\n", error.c_str());
    return 1;
  }
  return totals.failed == 0 ? 0 : 1;
}
