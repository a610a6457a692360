#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace quill {

namespace {

// waitpid(2) for `pid`, made again when a signal interrupts it.
pid_t collect(pid_t pid, int options) {
  pid_t collected;
  while ((collected = ::waitpid(pid, nullptr, options)) < 0 && errno == EINTR) {
  }
  return collected;
}

}  // namespace

Result<ChildProcess, ChildProcess::Reason> ChildProcess::start(
    const std::string& path, const std::vector<std::string>& arguments, Streams streams,
    bool ownProcessGroup) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int sources[] = {streams.input, streams.output, streams.error};
  for (int fd = 0; fd < 3; ++fd) {
    // A spawn told to copy a descriptor that is not open fails as a whole.
    if (sources[fd] >= 0 && ::fcntl(sources[fd], F_GETFD) != -1) {
      posix_spawn_file_actions_adddup2(&actions, sources[fd], fd);
    } else {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;  // what the caller may ignore, the program must not
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (ownProcessGroup) flags |= POSIX_SPAWN_SETPGROUP;  // the group attribute is 0: a new group
  posix_spawnattr_setflags(&attributes, flags);

  pid_t pid = -1;
  const int error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return Failure<Reason>{Reason::cannotStart, error};
  return ChildProcess(pid, ownProcessGroup);
}

bool ChildProcess::ended() {
  // Ended, or no child of ours after all.
  if (pid_ >= 0 && collect(pid_, WNOHANG) != 0) pid_ = -1;
  return pid_ < 0;
}

void ChildProcess::kill() {
  // The group outlives its leader: what the program started is ended too, even once it has gone.
  if (pid_ >= 0 && ownGroup_) ::kill(-pid_, SIGKILL);
  if (ended()) return;
  ::kill(pid_, SIGKILL);
  collect(pid_, 0);
  pid_ = -1;
}

}  // namespace quill
