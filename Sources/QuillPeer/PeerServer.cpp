#include "PeerServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "FileDescriptor.h"
#include "LineFraming.h"
#include "MCPPaths.h"
#include "MCPStatus.h"
#include "PeerFiles.h"
#include "UnixSocket.h"

namespace quill {

namespace {

using Clock = std::chrono::steady_clock;

// Connections served at once. Each holds at most one request line of LineFraming::maxLineBytes,
// which bounds the memory; further clients wait in the listen queue until a connection is done.
constexpr std::size_t kMaxConnections = 32;
constexpr int kListenBacklog = 64;
constexpr std::size_t kReceiveChunkBytes = 65536;
constexpr auto kStateCheckInterval = std::chrono::milliseconds(100);

// The answer to a request line longer than the line limit, once the rest of it has been read.
std::string requestTooLargeMessage() {
  return "The request is too large for Quill (over " +
         std::to_string(LineFraming::maxLineBytes / (1024 * 1024)) + " MiB).";
}

// ---- Signals ----------------------------------------------------------------------------------
// SIGINT and SIGTERM ask to stop, SIGHUP to re-read the projects file. The handler sets a flag and
// writes a byte into a pipe whose read end every wait polls, so a signal wakes the loop at once.

volatile std::sig_atomic_t gStopRequested = 0;
volatile std::sig_atomic_t gReloadRequested = 0;
int gWakeWriteFd = -1;
int gWakeReadFd = -1;

extern "C" void onSignal(int number) {
  const int savedErrno = errno;
  if (number == SIGHUP) {
    gReloadRequested = 1;
  } else {
    gStopRequested = 1;
  }
  if (gWakeWriteFd >= 0) {
    const ssize_t ignored = ::write(gWakeWriteFd, "x", 1);
    (void)ignored;
  }
  errno = savedErrno;
}

bool setFlags(int fd) {
  const int status = ::fcntl(fd, F_GETFL);
  const int descriptor = ::fcntl(fd, F_GETFD);
  return status >= 0 && descriptor >= 0 && ::fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, descriptor | FD_CLOEXEC) == 0;
}

bool installSignalHandlers() {
  int fds[2];
  if (::pipe(fds) != 0 || !setFlags(fds[0]) || !setFlags(fds[1])) return false;
  gWakeReadFd = fds[0];
  gWakeWriteFd = fds[1];
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return ::sigaction(SIGINT, &action, nullptr) == 0 &&
         ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGHUP, &action, nullptr) == 0;
}

void drainWakePipe() {
  char bytes[64];
  while (::read(gWakeReadFd, bytes, sizeof bytes) > 0) {
  }
}

// ---- Time -------------------------------------------------------------------------------------

Clock::time_point deadlineAfter(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A poll time-out that ends no earlier than `deadline`.
int millisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60'000 ? 60'000 : static_cast<int>(left) + 1;
}

std::string secondsText(double seconds) {
  std::string text = std::to_string(seconds);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text + (text == "1" ? " second" : " seconds");
}

// The current time in UTC in ISO 8601: to the second for briefings; to the millisecond for the
// status file, so that each new record shows a new time.
std::string isoNow(bool withMilliseconds = false) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[40];
  std::string result(text, std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts));
  if (withMilliseconds) {
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    std::snprintf(text, sizeof text, ".%03d", static_cast<int>(milliseconds % 1000));
    result += text;
  }
  return result + "Z";
}

// ---- The socket -------------------------------------------------------------------------------

void refuseToListen(const std::string& path, std::string_view reason) {
  reportLine("cannot listen on " + path + ": " + std::string(reason));
}

// Clears the way for binding without ever following a path that quill-peer did not create. The
// caller holds the socket's lock, so a socket of this user found here has nobody serving on it:
// it was left behind by a process that ended without cleaning up, and is removed. A symbolic
// link, any other kind of file or another user's socket stays where it is, and quill-peer does
// not start.
bool clearTheWay(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    refuseToListen(path, std::strerror(errno));
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    refuseToListen(path, "a symbolic link is in the way (quill-peer does not follow it)");
    return false;
  }
  if (!S_ISSOCK(info.st_mode)) {
    refuseToListen(path, "a file that is not a socket is in the way");
    return false;
  }
  if (info.st_uid != ::geteuid()) {
    refuseToListen(path, "a socket of another user is in the way");
    return false;
  }
  ::unlink(path.c_str());
  return true;
}

// Takes the lock that shows, for as long as this process lives, that someone serves at `path`.
std::optional<ListenerLock> lockFor(const std::string& path) {
  auto lock = ListenerLock::acquire(path);
  if (auto* held = std::get_if<ListenerLock>(&lock)) return std::move(*held);
  const int error = std::get<int>(lock);
  if (error == EWOULDBLOCK || error == EAGAIN || error == EACCES) {
    refuseToListen(path, "another process is already listening there");
  } else {
    refuseToListen(path,
                   "cannot lock " + ListenerLock::lockPath(path) + ": " + std::strerror(error));
  }
  return std::nullopt;
}

struct Listener {
  FileDescriptor fd;
  dev_t device = 0;
  ino_t inode = 0;
  std::optional<ListenerLock> lock = std::nullopt;  // held as long as the socket is there
};

// Removes the socket file unless another process has replaced it meanwhile.
void removeSocket(const std::string& path, const Listener& listener) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && info.st_dev == listener.device &&
      info.st_ino == listener.inode) {
    ::unlink(path.c_str());
  }
}

// A listening socket whose file only this user may read and write (mode 0600).
std::optional<Listener> listenOn(const std::string& path) {
  sockaddr_un address;
  if (fillSocketAddress(path, address) != 0) {
    reportLine("cannot listen on \"" + path + "\": a socket path must have 1 to " +
               std::to_string(MCPPaths::maxSocketPathBytes) + " bytes");
    return std::nullopt;
  }
  PeerFiles::makeParentFolders(path);
  auto lock = lockFor(path);
  if (!lock || !clearTheWay(path)) return std::nullopt;
  Listener listener{FileDescriptor(::socket(AF_UNIX, SOCK_STREAM, 0))};
  listener.lock = std::move(lock);
  if (!listener.fd.valid() || !setFlags(listener.fd.get())) {
    refuseToListen(path, std::strerror(errno));
    return std::nullopt;
  }
  // bind creates the file with the permissions that the mask leaves: here read and write for
  // the owner only. The mask is the process's, so it is restored at once.
  const mode_t previousMask = ::umask(S_IXUSR | S_IRWXG | S_IRWXO);
  const int bound =
      ::bind(listener.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    refuseToListen(path, std::strerror(bindError));
    return std::nullopt;
  }
  // A folder's default access list can override the mask; such a socket is not used.
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid()) {
    refuseToListen(path, "the socket file was replaced as it was made");
    return std::nullopt;
  }
  listener.device = info.st_dev;
  listener.inode = info.st_ino;
  if ((info.st_mode & 0777) != 0600) {
    removeSocket(path, listener);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 0777));
    refuseToListen(path, "the socket file is not private to this user (mode " + std::string(mode) +
                             " instead of 0600)");
    return std::nullopt;
  }
  if (::listen(listener.fd.get(), kListenBacklog) != 0) {
    const int listenError = errno;
    removeSocket(path, listener);
    refuseToListen(path, std::strerror(listenError));
    return std::nullopt;
  }
  return listener;
}

// ---- The loop ---------------------------------------------------------------------------------

class Server {
 public:
  Server(const PeerOptions& options, PeerService& service, std::optional<StateFile> stateFile)
      : options_(options), service_(service), stateFile_(std::move(stateFile)) {}

  int run();

 private:
  // One client: it sends one request line and is sent one response line, within its time.
  struct Connection {
    Connection(FileDescriptor client, Clock::time_point requestDeadline)
        : fd(std::move(client)), deadline(requestDeadline) {}

    FileDescriptor fd;
    Clock::time_point deadline;  // for the request to arrive, then for the answer to leave
    std::string request;         // the request line so far
    bool dropping = false;       // the line passed the limit: the rest is read and dropped
    bool answered = false;
    std::string answer;     // the response line, once `answered`
    std::size_t sent = 0;   // bytes of `answer` sent so far
    bool finished = false;  // to be closed
  };

  Clock::time_point nextWake(Clock::time_point listenAt) const;
  void writeStatus(bool listening);
  void checkState();
  void acceptClients();
  void receive(Connection& connection);
  void answer(Connection& connection, const MCPWireResponse& response);
  void send(Connection& connection);
  void expire(Connection& connection);

  const PeerOptions& options_;
  PeerService& service_;
  std::optional<StateFile> stateFile_;
  std::optional<Listener> listener_;
  std::vector<Connection> connections_;
  Clock::time_point nextStateCheck_ = Clock::now();
  Clock::time_point acceptPausedUntil_ = Clock::now();
  std::unique_ptr<char[]> chunk_ = std::make_unique<char[]>(kReceiveChunkBytes);
};

int Server::run() {
  if (options_.delaySeconds > 0) {
    reportLine("waiting " + secondsText(options_.delaySeconds) + " before listening");
  }
  const Clock::time_point listenAt = deadlineAfter(options_.delaySeconds);
  int exitStatus = 0;
  for (;;) {
    if (!listener_ && Clock::now() >= listenAt) {
      listener_ = listenOn(options_.socketPath);
      if (!listener_) return 1;
      writeStatus(true);
      reportLine("listening on " + options_.socketPath);
    }

    // One wait for everything: signals, new clients, each client's next step, and the clock.
    const bool accepting =
        listener_ && connections_.size() < kMaxConnections && Clock::now() >= acceptPausedUntil_;
    std::vector<pollfd> fds{{gWakeReadFd, POLLIN, 0}};
    if (accepting) fds.push_back({listener_->fd.get(), POLLIN, 0});
    const std::size_t firstConnection = fds.size();
    for (const Connection& connection : connections_) {
      fds.push_back(
          {connection.fd.get(), static_cast<short>(connection.answered ? POLLOUT : POLLIN), 0});
    }
    const int ready =
        ::poll(fds.data(), static_cast<nfds_t>(fds.size()), millisecondsUntil(nextWake(listenAt)));
    if (ready < 0 && errno != EINTR) {
      reportLine(std::string("waiting for connections failed: ") + std::strerror(errno));
      exitStatus = 1;
      break;
    }

    if (gStopRequested) break;
    drainWakePipe();
    if (gReloadRequested) {
      gReloadRequested = 0;
      reportLine(service_.reloadProjects());
    }
    if (stateFile_ && Clock::now() >= nextStateCheck_) checkState();
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      Connection& connection = connections_[i];
      if (fds[firstConnection + i].revents != 0) {
        connection.answered ? send(connection) : receive(connection);
      }
      if (!connection.finished && Clock::now() >= connection.deadline) expire(connection);
    }
    std::erase_if(connections_, [](const Connection& connection) { return connection.finished; });
    if (accepting && fds[1].revents != 0) acceptClients();
  }

  // Clients still waiting are closed unanswered, as when the application quits.
  connections_.clear();
  if (!listener_) return exitStatus;  // stopped before it ever listened: no socket to remove
  listener_->fd = FileDescriptor();
  removeSocket(options_.socketPath, *listener_);
  writeStatus(false);
  reportLine("stopped");
  return exitStatus;
}

Clock::time_point Server::nextWake(Clock::time_point listenAt) const {
  Clock::time_point wake = Clock::now() + std::chrono::minutes(1);
  if (!listener_) wake = std::min(wake, listenAt);
  if (stateFile_) wake = std::min(wake, nextStateCheck_);
  if (acceptPausedUntil_ > Clock::now()) wake = std::min(wake, acceptPausedUntil_);
  for (const Connection& connection : connections_) wake = std::min(wake, connection.deadline);
  return wake;
}

void Server::writeStatus(bool listening) {
  const MCPStatus status{service_.enabled(), service_.signedIn(), listening, options_.version,
                         isoNow(true)};
  if (auto problem =
          PeerFiles::replace(options_.statusPath, status.encode().value_or("{}") + "\n")) {
    reportLine("cannot write the status file " + options_.statusPath + ": " + *problem);
  }
}

void Server::checkState() {
  nextStateCheck_ = Clock::now() + kStateCheckInterval;
  const StateFile::Refresh refresh = stateFile_->refresh();
  if (refresh.warning) reportLine(*refresh.warning);
  if (!refresh.changed) return;
  const AccessState& state = stateFile_->state();
  service_.setAccess(state.enabled, state.signedIn);
  // Also while still starting: the status tells a waiting shim why it cannot get in.
  writeStatus(listener_.has_value());
  reportLine(std::string("state changed: enabled ") + (state.enabled ? "true" : "false") +
             ", signedIn " + (state.signedIn ? "true" : "false"));
}

void Server::acceptClients() {
  while (connections_.size() < kMaxConnections) {
    FileDescriptor client(::accept(listener_->fd.get(), nullptr, nullptr));
    if (!client.valid()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors: pause instead of spinning on a listener that stays ready.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        acceptPausedUntil_ = Clock::now() + std::chrono::milliseconds(100);
      }
      return;
    }
    // Only this user may ask the application; anyone else is closed on without a word.
    if (!peerIsSameUser(client.get())) {
      reportLine("refused a connection from another user");
      continue;
    }
    if (!setFlags(client.get())) continue;
    connections_.emplace_back(std::move(client), deadlineAfter(options_.requestTimeoutSeconds));
  }
}

// Reads what has arrived. The request is the first line, up to the line limit; a longer line is
// read to its end without being kept and then answered with an error. A client that ends its
// output without a line feed still gets its line answered; bytes after the line are ignored.
void Server::receive(Connection& connection) {
  const ssize_t n = ::read(connection.fd.get(), chunk_.get(), kReceiveChunkBytes);
  if (n < 0) {
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) connection.finished = true;
    return;
  }
  if (n == 0 && connection.request.empty() && !connection.dropping) {
    connection.finished = true;  // gone without asking anything
    return;
  }
  const std::string_view bytes(chunk_.get(), static_cast<std::size_t>(n));
  const std::size_t lineFeed = bytes.find('\n');
  const std::string_view part = bytes.substr(0, lineFeed);
  if (!connection.dropping && connection.request.size() + part.size() > LineFraming::maxLineBytes) {
    std::string().swap(connection.request);
    connection.dropping = true;
  }
  if (!connection.dropping) connection.request.append(part);
  if (n > 0 && lineFeed == std::string_view::npos) return;

  if (connection.dropping) {
    answer(connection, MCPWireResponse::failure(std::nullopt, MCPWireErrorCode::internalError,
                                                requestTooLargeMessage()));
    return;
  }
  std::string_view line = connection.request;
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (auto warning = service_.refreshProjects()) reportLine(*warning);
  answer(connection, service_.respond(line, isoNow()));
}

void Server::answer(Connection& connection, const MCPWireResponse& response) {
  connection.answer = PeerService::encodeLine(response);
  connection.answered = true;
  std::string().swap(connection.request);
  connection.deadline = deadlineAfter(options_.requestTimeoutSeconds);
  send(connection);  // most answers fit into the socket's buffer at once
}

void Server::send(Connection& connection) {
  while (connection.sent < connection.answer.size()) {
    const ssize_t n = ::write(connection.fd.get(), connection.answer.data() + connection.sent,
                              connection.answer.size() - connection.sent);
    if (n > 0) {
      connection.sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;  // the rest once the client has taken some
    } else {
      break;  // the client has gone
    }
  }
  connection.finished = true;
}

// Time is up: a client still sending is answered with an error, one not taking its answer is
// closed.
void Server::expire(Connection& connection) {
  if (connection.answered) {
    connection.finished = true;
    return;
  }
  answer(connection,
         MCPWireResponse::failure(std::nullopt, MCPWireErrorCode::internalError,
                                  "No complete request line arrived within " +
                                      secondsText(options_.requestTimeoutSeconds) + "."));
}

}  // namespace

void reportLine(std::string_view text) {
  std::string line = "quill-peer: ";
  line += text;
  line += '\n';
  (void)writeAll(STDERR_FILENO, line);
}

int runPeer(const PeerOptions& options, PeerService& service, std::optional<StateFile> stateFile) {
  ::signal(SIGPIPE, SIG_IGN);
  if (!installSignalHandlers()) {
    reportLine(std::string("cannot install the signal handlers: ") + std::strerror(errno));
    return 1;
  }
  Server server(options, service, std::move(stateFile));
  return server.run();
}

}  // namespace quill
