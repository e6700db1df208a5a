#include "E2E.h"

#include "CardTruth.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace e2e {

std::string ToolPath() { return QELTOOL_BIN; }
std::string VCardPath() { return QELVCARD_BIN; }

std::string MakeTempDir(const std::string& tag) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qel-" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return "";
  return buf.data();
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
       FTW_DEPTH | FTW_PHYS);
}

pid_t Spawn(const std::string& cwd, const std::vector<std::string>& argv, int stdinFd,
            bool ownGroup, int* outFd) {
  // Close-on-exec, so that the child keeps only what dup2 gives it.
  int out[2];
  if (argv.empty() || pipe2(out, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (ownGroup) setpgid(0, 0);
    dup2(stdinFd, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return -1;
  }
  *outFd = out[0];
  return pid;
}

RunResult Run(const std::string& cwd, const std::vector<std::string>& argv,
              const std::string& stdinText) {
  RunResult result;
  int in[2];
  if (argv.empty() || pipe2(in, O_CLOEXEC) != 0) return result;
  int out = -1;
  pid_t pid = Spawn(cwd, argv, in[0], false, &out);
  if (pid < 0) {
    close(in[0]);
    close(in[1]);
    return result;
  }
  close(in[0]);
  signal(SIGPIPE, SIG_IGN);
  if (!stdinText.empty()) {
    ssize_t ignored = write(in[1], stdinText.data(), stdinText.size());
    (void)ignored;
  }
  close(in[1]);
  char chunk[65536];
  ssize_t n;
  while ((n = read(out, chunk, sizeof(chunk))) > 0) result.out.append(chunk, n);
  close(out);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult CreateCard(const std::string& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VCardPath(), "create", dir};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(".", argv);
}

RunResult RunTool(const std::string& cwd,
                  const std::vector<std::pair<std::string, std::string>>& cards,
                  const std::vector<std::string>& toolArgs, const std::string& stdinText) {
  std::vector<std::string> argv = {VCardPath(), "run"};
  for (const auto& card : cards) {
    argv.push_back("--card");
    argv.push_back(card.first + "=" + card.second);
  }
  argv.push_back("--");
  // The memcheck lane runs every tool process under valgrind: the words of
  // QEL_TOOL_WRAPPER go before the tool.
  if (const char* wrapper = getenv("QEL_TOOL_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) argv.push_back(word);
  }
  argv.push_back(ToolPath());
  argv.insert(argv.end(), toolArgs.begin(), toolArgs.end());
  return Run(cwd, argv, stdinText);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

std::string CheckCard(const std::string& cardDir, const std::string& beforeDir, const std::string& imagePath,
                      const std::vector<std::string>& command) {
  if (command.empty()) return cardtruth::CheckUntouched(cardDir, beforeDir);
  std::string image = ReadFile(imagePath);
  cardtruth::Card before;
  cardtruth::Truth truth;
  std::string why = cardtruth::LoadCard(beforeDir, &before);
  if (why.empty()) why = cardtruth::ComputeTruth(before, cardtruth::Bytes(image.begin(), image.end()), command, &truth);
  if (!why.empty()) return "no truth: " + why;
  return cardtruth::CheckPassed(cardDir, beforeDir, truth);
}

}  // namespace e2e
