// A stand-in for the desktop application's listening socket, served by a thread of the test
// process. Each accepted connection is handed, one at a time, to a script, and the bytes received
// on it are kept, so tests see exactly what a client sent and can answer with anything at all: a
// good response, garbage, an early close or silence.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FileDescriptor.h"

namespace quill::testing {

// One accepted connection, as a script sees it (see PeerScripts). Every wait gives up after a
// minute or when the peer stops, so a broken client makes a test fail instead of hang; writes to
// a client that has gone fail quietly, without SIGPIPE.
class PeerConnection;
using PeerScript = std::function<void(PeerConnection&)>;

class SocketPeer {
 public:
  // Listens on `path` (removing a leftover file first) and serves connections one at a time with
  // `script`. Throws std::runtime_error when the socket cannot be set up.
  SocketPeer(std::string path, PeerScript script);
  SocketPeer(const SocketPeer&) = delete;
  SocketPeer& operator=(const SocketPeer&) = delete;
  ~SocketPeer() { stop(); }

  // Stops serving and removes the socket file. Connections still waiting to be accepted are
  // closed and counted as served with nothing received. Idempotent.
  void stop();

  const std::string& path() const { return path_; }
  // Waits until `count` connections have been served to their end; false after a minute.
  bool waitForServed(std::size_t count);
  // The bytes received on each served connection, in the order served; complete once `stop` has
  // returned.
  std::vector<std::string> transcripts() const;

 private:
  void serve();
  void record(std::string transcript);

  std::string path_;
  PeerScript script_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::condition_variable served_;
  std::vector<std::string> transcripts_;
  std::thread thread_;
};

// Connects to the listener at `path` without waiting, again and again, until its queue of
// connections not yet accepted is full (or the system refuses outright, as macOS does for a full
// queue): the listener then takes no more. The connections stay open while the result lives.
std::vector<FileDescriptor> fillListenQueue(const std::string& path);

// Binds a socket at `path` and closes it, which leaves its file with nobody listening, as a
// process that stopped without removing it does. Fails the test when it cannot.
void leaveStaleSocket(const std::string& path);

// A listener on `path` in a child process that runs as the user `uid`, as another local user's
// program would. It takes every connection and keeps what it receives.
// Starting a process as another user needs root: check `canRunAsAnotherUser()` first.
class ForeignListener {
 public:
  static bool canRunAsAnotherUser();
  // The folder holding `path` is opened to everyone, so that the other user can bind there.
  // Throws std::runtime_error when the child cannot be started or cannot listen.
  ForeignListener(const std::string& path, uid_t uid);
  ForeignListener(const ForeignListener&) = delete;
  ForeignListener& operator=(const ForeignListener&) = delete;
  // Kills the child when it still runs.
  ~ForeignListener();
  // Stops the listener and gives the bytes received on all connections made before this call,
  // which must all have been closed by their clients.
  std::string received();

 private:
  pid_t child_ = -1;
  int report_ = -1;
  sockaddr_un address_{};
};

// The behaviours of a peer.
namespace PeerScripts {
// Reads the request line, answers with `bytes` (exactly: add the line feed yourself), and keeps
// the connection until the client closes it; with `oneBytePerWrite`, in many small pieces.
PeerScript reply(std::string bytes, bool oneBytePerWrite = false);
// Reads the request line, writes `bytes` and closes at once.
PeerScript replyAndClose(std::string bytes);
// Reads the request line, waits `delay`, writes `bytes` and closes.
PeerScript replyAfter(std::chrono::milliseconds delay, std::string bytes);
// Reads the request line and keeps silent until the client closes.
PeerScript silent();
// Reads nothing and keeps silent until the client closes.
PeerScript deaf();
// Closes as soon as the first bytes of the request have arrived.
PeerScript closeWhileReceiving();
// Closes without reading or writing anything.
PeerScript closeAtOnce();
// Reads the request line, then sends a blank every `interval`, never a line feed, until the
// client closes.
PeerScript drip(std::chrono::milliseconds interval);
// Connection n is served by `scripts[n]`; the last script serves every later connection.
PeerScript inTurn(std::vector<PeerScript> scripts);
}  // namespace PeerScripts

}  // namespace quill::testing
