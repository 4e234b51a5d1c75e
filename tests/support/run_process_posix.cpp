// POSIX: fork, pipes for the three standard streams, poll until the program ends or
// its time is up.
#ifndef _WIN32
#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

extern char** environ;

namespace torvane::testing {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string_view env_name(std::string_view entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

ProcessResult run_process(const std::string& program, const ProcessOptions& options) {
  ProcessResult result;
  ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not end this process
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return result;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
    return result;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    return result;
  }

  // Everything the child needs is built before the fork.
  std::vector<std::string> env_entries = options.environment;
  for (char** e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (const std::string& add : options.environment) replaced = replaced || env_name(add) == env_name(*e);
    if (!replaced) env_entries.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env_entries) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_texts{program};
  arg_texts.insert(arg_texts.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& a : arg_texts) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (!options.working_directory.empty() && ::chdir(options.working_directory.c_str()) != 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  int to_child = in[1], from_out = out[0], from_err = err[0];
  if (pid < 0) {
    close_fd(to_child), close_fd(from_out), close_fd(from_err);
    return result;
  }
  result.started = true;
  ::fcntl(to_child, F_SETFL, O_NONBLOCK);
  if (options.input.empty()) close_fd(to_child);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.time_limit_seconds);
  std::size_t written = 0;
  char buffer[65536];
  while (from_out >= 0 || from_err >= 0) {
    struct pollfd fds[3];
    int count = 0;
    if (from_out >= 0) fds[count++] = {from_out, POLLIN, 0};
    if (from_err >= 0) fds[count++] = {from_err, POLLIN, 0};
    if (to_child >= 0) fds[count++] = {to_child, POLLOUT, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    const int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < count && ready > 0; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == to_child) {
        const ssize_t n = ::write(to_child, options.input.data() + written, options.input.size() - written);
        if (n > 0) written += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) written = options.input.size();
        if (written >= options.input.size()) close_fd(to_child);
        continue;
      }
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      std::string& sink = fds[i].fd == from_out ? result.out : result.err;
      if (n > 0) {
        sink.append(buffer, static_cast<std::size_t>(n));
      } else {
        close_fd(fds[i].fd == from_out ? from_out : from_err);
      }
    }
  }
  close_fd(to_child), close_fd(from_out), close_fd(from_err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) result.exit_status = 128 + WTERMSIG(status);
  return result;
}

}  // namespace torvane::testing
#endif
