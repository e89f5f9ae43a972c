// Runs the real quavelor binary (or another program) as a child process and
// collects what it wrote and how it ended, for byte-exact checks.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct program_result {
  std::string out;   // everything written to standard output
  std::string err;   // everything written to standard error
  int exit_code;     // exit status, or -1 when ended by a signal
  int signal;        // the signal that ended it, else 0
};

using environment_list = std::vector<std::pair<std::string, std::string>>;

struct run_options {
  bool errors_into_output = false;  // standard error shares standard output's pipe
  int kill_after_ms = -1;           // SIGKILL the program this long after it starts
};

// Runs `program` with `arguments` (not counting argv[0]) and the current
// environment plus `environment`. Standard input is /dev/null.
program_result run_program(const std::string& program, const std::vector<std::string>& arguments,
                           const environment_list& environment = {},
                           const run_options& options = {});

// Runs the built quavelor.
program_result run_quavelor(const std::vector<std::string>& arguments,
                            const environment_list& environment = {},
                            const run_options& options = {});

// `environment` plus what preloads the stand-in for parts of alsa-lib
// (tests/alsa_shim/), steered by its QUAVELOR_SHIM_* settings in `steering`.
environment_list with_shim(environment_list environment, const environment_list& steering);

// A fresh, empty folder under the build tree's temporary area.
std::string make_temporary_folder();

// The environment that makes the test devices of tests/alsa/test_devices.conf
// known to alsa-lib, with their files in `folder`.
environment_list test_device_environment(const std::string& folder);

// Reads two pipes until both are closed, appending what each gives to its
// string, and closes them. With a deadline, `child` is killed once that many
// milliseconds have passed.
void read_until_closed(int first_fd, std::string& first, int second_fd, std::string& second,
                       pid_t child = 0, int deadline_ms = -1);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
