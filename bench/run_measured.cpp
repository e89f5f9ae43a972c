// Runs one program and reports what it cost, for the benchmark script:
//
//   run_measured REPORT PROGRAM [ARGUMENTS...]
//
// The program inherits standard input, output and error. When it has ended,
// one line is written to the file REPORT:
//
//   exit=E signal=S user_s=U system_s=Y max_resident_kib=M wall_s=T
//
// CPU time and peak resident memory come from wait4 for this one child. The
// child is forked from this small process rather than from the script's
// interpreter because Linux carries the memory high-water mark of the process
// that forks across exec: a child of a large interpreter would report the
// interpreter's size. SIGTERM and SIGINT are passed on to the child, so the
// script can end a run that does not end by itself and still get its figures.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

volatile sig_atomic_t child_pid = 0;

void pass_on(int signal_number) {
  if (child_pid > 0) kill(child_pid, signal_number);
}

double seconds(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }

double now() {
  timespec time;
  clock_gettime(CLOCK_MONOTONIC, &time);
  return static_cast<double>(time.tv_sec) + time.tv_nsec / 1e9;
}

}  // namespace

int main(int argument_count, char** arguments) {
  if (argument_count < 3) {
    std::fprintf(stderr, "usage: run_measured REPORT PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  const char* report_path = arguments[1];

  struct sigaction action = {};
  action.sa_handler = pass_on;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  const double started = now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("run_measured: fork");
    return 1;
  }
  if (pid == 0) {
    execvp(arguments[2], arguments + 2);
    std::perror("run_measured: exec");
    _exit(127);
  }
  child_pid = pid;

  int status = 0;
  rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("run_measured: wait4");
      return 1;
    }
  }
  const double ended = now();

  std::FILE* report = std::fopen(report_path, "w");
  if (report == nullptr) {
    std::perror("run_measured: report");
    return 1;
  }
  std::fprintf(report, "exit=%d signal=%d user_s=%.6f system_s=%.6f max_resident_kib=%ld wall_s=%.6f\n",
               WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
               seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss, ended - started);
  std::fclose(report);
  return 0;
}
