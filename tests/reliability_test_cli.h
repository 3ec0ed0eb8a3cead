// Runs the command line as a child process, so that tests see what a user
// sees: the exit status or the signal that ended it, and its stderr.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability_test_util.h"

namespace infodiv::testing {

struct CliEnding {
  bool exited = false;  // false: ended by a signal, or still running at the time limit
  int status = -1;      // the exit status, or the signal's number
  std::string stderr_text;
};

struct CliChild {
  pid_t pid = -1;
  int stderr_pipe = -1;  // read end, non-blocking
};

// Starts `cli` with `args`, stdout discarded, stderr in a pipe (so that a
// file-size limit does not touch it) and, when given, a file-size limit on
// every file it writes (what `ulimit -f` sets; in bytes here).
inline CliChild start_cli(const std::string& cli, const std::vector<std::string>& args,
                          std::optional<rlim_t> file_size_limit = {}) {
  std::vector<std::string> argv_text{cli};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0) ::_exit(126);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(pipe_ends[1], 2);
    ::close(pipe_ends[0]);
    if (file_size_limit) {
      rlimit limit{*file_size_limit, *file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_ends[1]);
  ::fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
  return {pid, pipe_ends[0]};
}

// Waits for the child, collecting its stderr; one still running after `limit`
// is killed and reported as not exited.
inline CliEnding finish_cli(CliChild child, std::chrono::seconds limit = std::chrono::seconds(120)) {
  CliEnding ending;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto drain = [&] {
    char chunk[4096];
    for (ssize_t n; (n = ::read(child.stderr_pipe, chunk, sizeof chunk)) > 0;) {
      ending.stderr_text.append(chunk, static_cast<std::size_t>(n));
    }
  };
  int raw = 0;
  for (;;) {
    drain();
    if (::waitpid(child.pid, &raw, WNOHANG) == child.pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child.pid, SIGKILL);
      ::waitpid(child.pid, &raw, 0);
      ::close(child.stderr_pipe);
      ending.stderr_text += "(killed: still running at the time limit)";
      return ending;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  drain();
  ::close(child.stderr_pipe);
  ending.exited = WIFEXITED(raw);
  ending.status = ending.exited ? WEXITSTATUS(raw) : WTERMSIG(raw);
  return ending;
}

inline CliEnding run_cli(const std::string& cli, const std::vector<std::string>& args,
                         std::optional<rlim_t> file_size_limit = {}) {
  return finish_cli(start_cli(cli, args, file_size_limit));
}

}  // namespace infodiv::testing
