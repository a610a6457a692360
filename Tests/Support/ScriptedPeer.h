// A tiny stand-in for the desktop application's socket: it listens on a Unix-domain socket in a
// background thread and treats each connection by a fixed script, recording the request lines it
// received. Tests use it to see the exact bytes the shim sends and to make the application answer
// with anything at all: a good response, garbage, an early close or silence.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quill::testing {

class ScriptedPeer {
 public:
  enum class Action {
    reply,        // read the request line, write `bytes`, close
    closeAtOnce,  // accept and close without reading or writing anything
    staySilent,   // read the request line, then keep the connection open and write nothing
  };
  struct Step {
    Action action = Action::reply;
    std::string bytes;  // what `reply` writes, exactly (add the line feed yourself)
  };

  // Starts listening at `path` (replacing a stale file there). Connection n is treated by
  // `steps[n]`; once the script runs out, the last step repeats. Throws when the socket cannot
  // be set up.
  ScriptedPeer(std::string path, std::vector<Step> steps);
  // Answers every connection with `bytes`.
  ScriptedPeer(std::string path, std::string bytes);
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;
  ~ScriptedPeer();

  // Stops listening, closes every connection held open and removes the socket file. Connections
  // that were waiting to be accepted are still counted. Idempotent.
  void stop();

  // The request lines received so far, without their line feeds, in order.
  std::vector<std::string> requests() const;
  // How many connections were accepted. Exact once `stop` has returned.
  int connections() const;

  const std::string& path() const { return path_; }

 private:
  void serve();
  void handle(int fd);
  std::string readLine(int fd);

  std::string path_;
  std::vector<Step> steps_;
  int listener_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::vector<int> held_;  // silent connections, owned by the serving thread until it ends
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  int connections_ = 0;
  std::thread thread_;
};

}  // namespace quill::testing
