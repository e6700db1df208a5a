// End-to-end test support: temporary working directories, running the built
// binaries without a shell, and small file helpers. The tool is reached only
// through the virtual card's preload library ("qelvcard run").
#ifndef QEL_TESTS_SUPPORT_E2E_H_
#define QEL_TESTS_SUPPORT_E2E_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output and standard error, interleaved
};

// Paths of the built binaries (set by CMake).
std::string ToolPath();
std::string VCardPath();

// A fresh empty directory under the system's temporary directory.
std::string MakeTempDir(const std::string& tag);
// Removes path and everything under it (symbolic links are not followed).
void RemoveTree(const std::string& path);

// Starts argv[0] with the given arguments in cwd (in a process group of its
// own with `ownGroup`), standard input read from stdinFd, standard output
// and error on the pipe whose read end lands in *outFd. The child's pid, or
// -1 when it cannot be started.
pid_t Spawn(const std::string& cwd, const std::vector<std::string>& argv, int stdinFd,
            bool ownGroup, int* outFd);

// Runs argv[0] with the given arguments in cwd; stdinText is piped in and
// then closed (an empty text gives an immediately closed standard input).
RunResult Run(const std::string& cwd, const std::vector<std::string>& argv,
              const std::string& stdinText = "");

// qelvcard create DIR ARGS...; returns its result.
RunResult CreateCard(const std::string& dir, const std::vector<std::string>& args = {});

// qelvcard run --card NODE=DIR ... -- [$QEL_TOOL_WRAPPER] qeltool ARGS...,
// run in cwd.
RunResult RunTool(const std::string& cwd,
                  const std::vector<std::pair<std::string, std::string>>& cards,
                  const std::vector<std::string>& toolArgs, const std::string& stdinText = "");

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
std::vector<std::string> ListDir(const std::string& dir);

// Judges card folder cardDir after a run of the tool with the words `command`
// (those after the device node) on a copy of card folder beforeDir, with the
// ISP image at imagePath: "" when the card is what the run was meant to
// leave (identity, firmware revision, both ISP copies, every user sector),
// else the first field that is not, with both values. An empty command
// judges a run that failed before touching the card: everything as before.
std::string CheckCard(const std::string& cardDir, const std::string& beforeDir, const std::string& imagePath,
                      const std::vector<std::string>& command);

}  // namespace e2e

#endif  // QEL_TESTS_SUPPORT_E2E_H_
