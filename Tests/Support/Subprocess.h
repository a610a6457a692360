// Runs a program as a child with pipes on its standard streams, for tests that drive
// quill-mcp and quill-peer from outside.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quill::testing {

using EnvironmentMap = std::map<std::string, std::string>;

// The test process's own environment, as a starting point for a child's.
EnvironmentMap currentEnvironment();

struct ProcessResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // -1 when the child did not exit normally
  int signal = 0;       // the signal that ended it, if any
  bool timedOut = false;
};

class Subprocess {
 public:
  // Starts `argv[0]` with `argv` and exactly `environment`. Standard input, output and error
  // are pipes held by this object; with `nonBlockingInput`, the child's end of its input is
  // non-blocking, as some clients hand it over.
  Subprocess(const std::vector<std::string>& argv, const EnvironmentMap& environment,
             bool nonBlockingInput = false);
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  // Kills the child if it still runs and reaps it.
  ~Subprocess();

  // Writes all bytes to the child's standard input (gives up if the child stops reading).
  bool write(std::string_view bytes);
  // Closes our end of the child's standard output, so its next write fails with EPIPE.
  void closeOutput();

  // Reads standard output until one complete line (returned without its line feed), end of
  // output, or the time-out; absent in the last two cases. Standard error is collected meanwhile.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // Closes standard input, collects the rest of both outputs and waits for the exit; kills the
  // child when it has not exited within the time-out.
  ProcessResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  void signal(int number);

  // Waits for the child to exit without touching its pipes.
  ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  // Standard error collected so far.
  const std::string& errorOutput() const { return err_; }

 private:
  void pump(int timeoutMs);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int errFd_ = -1;
  std::string outBuffer_;
  std::string err_;
  bool reaped_ = false;
  int rawStatus_ = 0;
};

// Runs a program to completion with `input` on its standard input.
ProcessResult runProcess(const std::vector<std::string>& argv, const EnvironmentMap& environment,
                         std::string_view input,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A fresh folder under /tmp (short, so socket paths fit), removed with its contents at the end.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory();
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void writeFile(const std::string& path, std::string_view contents);

// Whether the process `pid` is alive: it exists and has not ended as a zombie that nobody collects.
bool isRunning(pid_t pid);
std::optional<std::string> readFile(const std::string& path);

}  // namespace quill::testing
