#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

void read_until_closed(int first_fd, std::string& first, int second_fd, std::string& second,
                       pid_t child, int deadline_ms) {
  pollfd fds[2] = {{first_fd, POLLIN, 0}, {second_fd, POLLIN, 0}};
  std::string* sinks[2] = {&first, &second};
  int open_count = 2;
  char chunk[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (open_count > 0) {
    int timeout_ms = -1;
    if (deadline_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        kill(child, SIGKILL);
        deadline_ms = -1;
      } else {
        timeout_ms = static_cast<int>(left.count());
      }
    }
    if (poll(fds, 2, timeout_ms) <= 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      const ssize_t got = read(fds[k].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[k]->append(chunk, static_cast<size_t>(got));
      } else {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open_count;
      }
    }
  }
}

program_result run_program(const std::string& program, const std::vector<std::string>& arguments,
                           const environment_list& environment, const run_options& options) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");

  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::vector<std::string> assignments;
  // Inherited variables that `environment` sets again are left out: the
  // first of two entries with one name would win.
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string inherited(*entry);
    const std::string name = inherited.substr(0, inherited.find('='));
    bool replaced = false;
    for (const auto& setting : environment) replaced = replaced || setting.first == name;
    if (!replaced) assignments.push_back(inherited);
  }
  for (const auto& [name, value] : environment) assignments.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& assignment : assignments) envp.push_back(assignment.data());
  envp.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    dup2(out_pipe[1], 1);
    dup2(options.errors_into_output ? out_pipe[1] : err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  program_result result{"", "", -1, 0};
  read_until_closed(out_pipe[0], result.out, err_pipe[0], result.err, child,
                    options.kill_after_ms);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

program_result run_quavelor(const std::vector<std::string>& arguments,
                            const environment_list& environment, const run_options& options) {
  return run_program(QUAVELOR_BINARY, arguments, environment, options);
}

environment_list with_shim(environment_list environment, const environment_list& steering) {
#ifdef QUAVELOR_SANITIZED
  // A sanitized program insists that its sanitizer runtime is the first
  // library loaded, which a preloaded one breaks; the child inherits this
  // process's ASAN_OPTIONS ahead of any added here, so the check is switched
  // off in them, keeping the options already set.
  const char* current = std::getenv("ASAN_OPTIONS");
  std::string options = current != nullptr ? current : "";
  if (options.find("verify_asan_link_order") == std::string::npos) {
    if (!options.empty()) options += ":";
    options += "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
#endif
  environment.emplace_back("LD_PRELOAD", QUAVELOR_ALSA_SHIM);
  environment.insert(environment.end(), steering.begin(), steering.end());
  return environment;
}

std::string make_temporary_folder() {
  const std::string base = std::string(QUAVELOR_BUILD_DIR) + "/test-tmp";
  mkdir(base.c_str(), 0755);
  std::string pattern = base + "/run-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

environment_list test_device_environment(const std::string& folder) {
  return {
      {"ALSA_CONFIG_PATH",
       std::string("/usr/share/alsa/alsa.conf:") + QUAVELOR_TESTS_DIR + "/alsa/test_devices.conf"},
      {"QUAVELOR_TEST_DIR", folder},
  };
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
