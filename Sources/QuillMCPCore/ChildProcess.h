// A program started directly, never through a shell, and owned until it has ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "Result.h"

namespace quill {

class ChildProcess {
 public:
  // The descriptors that become the child's standard input, output and error; -1, or one that is
  // not open, gives it /dev/null instead.
  struct Streams {
    int input = -1;
    int output = -1;
    int error = -1;
  };

  enum class Reason { cannotStart };  // `error` says why: ENOENT, EACCES, ENOEXEC, ...

  // Starts the program at `path` (not searched for on PATH) with `arguments` after its own name,
  // this process's environment and `streams`; SIGPIPE starts at its default, even where this
  // process ignores it. In its own process group, `kill` reaches whatever it starts in turn.
  static Result<ChildProcess, Reason> start(const std::string& path,
                                            const std::vector<std::string>& arguments,
                                            Streams streams, bool ownProcessGroup);

  ChildProcess(ChildProcess&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)), ownGroup_(other.ownGroup_) {}
  ChildProcess& operator=(ChildProcess&&) = delete;
  ~ChildProcess() { kill(); }

  // True once the program has ended; it is then collected, and leaves no zombie. Never blocks.
  // Once collected, its group is out of reach: kill first where the group matters.
  bool ended();
  // Ends the program with SIGKILL (its whole group, when it has one) and collects it.
  void kill();

 private:
  ChildProcess(pid_t pid, bool ownGroup) : pid_(pid), ownGroup_(ownGroup) {}
  pid_t pid_;  // -1 once collected
  bool ownGroup_;
};

}  // namespace quill
