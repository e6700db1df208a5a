// Runs a command and reports what it cost, from wait4 of the child (the
// children it waited for included):
//
//   bench_rusage OUT -- COMMAND [ARGS...]
//
// writes one line to OUT:
//   "user_s=U sys_s=S wall_s=W maxrss_kib=M status=X"
// CPU time is what the benchmark compares: unlike wall time it hardly
// depends on what else the machine is doing. The command's own output is
// left alone; its exit status is passed through.
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || strcmp(argv[2], "--") != 0) {
    fprintf(stderr, "usage: %s OUT -- COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  double start = Now();
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[3], argv + 3);
    perror(argv[3]);
    _exit(127);
  }
  int status = 0;
  rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) {
    perror("wait4");
    return 2;
  }
  double wall = Now() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // Opened only now, so that the command finds the descriptors it would
  // find without this program (the tool's trace shows their numbers).
  FILE* out = fopen(argv[1], "w");
  if (out == nullptr) {
    perror(argv[1]);
    return 2;
  }
  fprintf(out, "user_s=%.6f sys_s=%.6f wall_s=%.6f maxrss_kib=%ld status=%d\n",
          Seconds(usage.ru_utime), Seconds(usage.ru_stime), wall, usage.ru_maxrss, code);
  fclose(out);
  return code;
}
