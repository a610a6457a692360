#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace quill {

namespace {

// Sets up `fd` of the child: a copy of `from`, or /dev/null when `from` is not an open descriptor
// (a spawn told to copy a closed descriptor fails as a whole).
void provide(posix_spawn_file_actions_t& actions, int fd, int from) {
  if (from >= 0 && ::fcntl(from, F_GETFD) != -1) {
    posix_spawn_file_actions_adddup2(&actions, from, fd);
  } else {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
}

}  // namespace

quill::Result<ChildProcess, ChildProcess::Reason> ChildProcess::start(
    const std::string& path, const std::vector<std::string>& arguments, Streams streams,
    bool ownProcessGroup) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  provide(actions, 0, streams.input);
  provide(actions, 1, streams.output);
  provide(actions, 2, streams.error);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;  // what the caller may ignore, the program must not
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (ownProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);

  pid_t pid = -1;
  const int error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return Failure<Reason>{Reason::cannotStart, error};
  return ChildProcess(pid, ownProcessGroup);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), ownGroup_(other.ownGroup_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    kill();
    pid_ = std::exchange(other.pid_, -1);
    ownGroup_ = other.ownGroup_;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  kill();
}

bool ChildProcess::ended() {
  if (pid_ < 0) return true;
  pid_t collected;
  while ((collected = ::waitpid(pid_, nullptr, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (collected == 0) return false;
  pid_ = -1;  // ended, or no child of ours after all
  return true;
}

void ChildProcess::kill() {
  if (pid_ < 0) return;
  // The group outlives its leader: what the program started is ended too, even once it has gone.
  if (ownGroup_) ::kill(-pid_, SIGKILL);
  if (ended()) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace quill
