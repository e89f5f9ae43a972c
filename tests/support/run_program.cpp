#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

void read_until_closed(int first_fd, std::string& first, int second_fd, std::string& second) {
  pollfd fds[2] = {{first_fd, POLLIN, 0}, {second_fd, POLLIN, 0}};
  std::string* sinks[2] = {&first, &second};
  int open_count = 2;
  char chunk[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) continue;
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
                           const environment_list& environment) {
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
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  program_result result{"", "", -1, 0};
  read_until_closed(out_pipe[0], result.out, err_pipe[0], result.err);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

program_result run_quavelor(const std::vector<std::string>& arguments,
                            const environment_list& environment) {
  return run_program(QUAVELOR_BINARY, arguments, environment);
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
