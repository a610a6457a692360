#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace quill::testing {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

EnvironmentMap currentEnvironment() {
  EnvironmentMap environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=');
    if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
  }
  return environment;
}

Subprocess::Subprocess(const std::vector<std::string>& argv, const EnvironmentMap& environment,
                       bool nonBlockingInput) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe(inPipe) != 0 || ::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (nonBlockingInput) ::fcntl(inPipe[0], F_SETFL, ::fcntl(inPipe[0], F_GETFL) | O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  // The child starts with default signal dispositions, whatever the test runner set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : environment) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  errFd_ = errPipe[0];
  for (int fd : {in_, out_, errFd_}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("posix_spawn failed for " + argv[0] + ": " + std::strerror(rc));
  }
}

Subprocess::~Subprocess() {
  closeFd(in_);
  closeFd(out_);
  closeFd(errFd_);
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &rawStatus_, 0);
  }
}

bool Subprocess::write(std::string_view bytes) {
  // Never let a child that stopped reading kill the test runner.
  static const bool ignored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)ignored;
  while (!bytes.empty()) {
    pollfd fds[3] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 3, 60000) <= 0) return false;
    if (fds[0].revents & (POLLERR | POLLHUP)) return false;
    if (fds[0].revents & POLLOUT) {
      const ssize_t n = ::write(in_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    // Drain the child's output so that it never blocks on a full pipe while we write.
    if (fds[1].revents || fds[2].revents) pump(0);
  }
  return true;
}

void Subprocess::closeOutput() {
  closeFd(out_);
}

void Subprocess::signal(int number) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, number);
}

void Subprocess::pump(int timeoutMs) {
  pollfd fds[2];
  nfds_t count = 0;
  if (out_ >= 0) fds[count++] = {out_, POLLIN, 0};
  if (errFd_ >= 0) fds[count++] = {errFd_, POLLIN, 0};
  if (count == 0) return;
  if (::poll(fds, count, timeoutMs) <= 0) return;
  char buffer[65536];
  for (nfds_t i = 0; i < count; ++i) {
    if (!fds[i].revents) continue;
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    const bool isOut = fds[i].fd == out_;
    if (n <= 0) {
      closeFd(isOut ? out_ : errFd_);
      continue;
    }
    (isOut ? outBuffer_ : err_).append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> Subprocess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto newline = outBuffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = outBuffer_.substr(0, newline);
      outBuffer_.erase(0, newline + 1);
      return line;
    }
    if (out_ < 0 || remainingMs(deadline) == 0) return std::nullopt;
    pump(remainingMs(deadline));
  }
}

ProcessResult Subprocess::wait(std::chrono::milliseconds timeout) {
  ProcessResult result;
  const auto deadline = Clock::now() + timeout;
  while (!reaped_) {
    const pid_t done = ::waitpid(pid_, &rawStatus_, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      break;
    }
    if (remainingMs(deadline) == 0) {
      result.timedOut = true;
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &rawStatus_, 0);
      reaped_ = true;
      break;
    }
    ::usleep(5000);
  }
  if (WIFEXITED(rawStatus_)) result.exitStatus = WEXITSTATUS(rawStatus_);
  if (WIFSIGNALED(rawStatus_)) result.signal = WTERMSIG(rawStatus_);
  result.err = err_;
  return result;
}

ProcessResult Subprocess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  closeFd(in_);
  while ((out_ >= 0 || errFd_ >= 0) && remainingMs(deadline) > 0) pump(remainingMs(deadline));
  ProcessResult result = wait(std::chrono::milliseconds(remainingMs(deadline) + 1000));
  if (out_ >= 0 || errFd_ >= 0) result.timedOut = true;
  result.out = std::move(outBuffer_);
  outBuffer_.clear();
  result.err = err_;
  return result;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const EnvironmentMap& environment,
                         std::string_view input, std::chrono::milliseconds timeout) {
  Subprocess process(argv, environment);
  process.write(input);
  return process.finish(timeout);
}

TemporaryDirectory::TemporaryDirectory() {
  char pattern[] = "/tmp/qmt-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, std::string_view contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool isRunning(pid_t pid) {
  if (::kill(pid, 0) != 0) return false;
#if defined(__linux__)
  // An orphan that has ended stays a zombie where nobody collects it, as in some containers.
  const auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat && stat->find(") Z ") != std::string::npos) return false;
#endif
  return true;
}

}  // namespace quill::testing
