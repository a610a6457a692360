#include "PeerServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>

#include "FileDescriptor.h"
#include "LineFraming.h"
#include "MCPPaths.h"
#include "MCPStatus.h"
#include "PeerFiles.h"

namespace quill {

namespace {

using Clock = std::chrono::steady_clock;

// A request line longer than this is refused; real requests are a few hundred bytes.
constexpr std::size_t kMaxRequestBytes = 1024 * 1024;
constexpr std::size_t kReceiveChunkBytes = 65536;

// ---- Stopping on SIGINT and SIGTERM ---------------------------------------------------------
// The handler sets the flag and writes a byte into a pipe whose read end every wait polls, so a
// stop request wakes the process wherever it waits.

volatile std::sig_atomic_t gStopRequested = 0;
int gWakeWriteFd = -1;
int gWakeReadFd = -1;

extern "C" void onStopSignal(int) {
  const int savedErrno = errno;
  gStopRequested = 1;
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

bool installStopHandlers() {
  int fds[2];
  if (::pipe(fds) != 0 || !setFlags(fds[0]) || !setFlags(fds[1])) return false;
  gWakeReadFd = fds[0];
  gWakeWriteFd = fds[1];
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// ---- Waiting ---------------------------------------------------------------------------------

enum class Wait { ready, timedOut, stopping, failed };

int millisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60'000 ? 60'000 : static_cast<int>(left) + 1;
}

// Waits until `fd` (when not negative) is ready for `events`, the deadline passes, or a stop is
// requested, whichever comes first.
Wait waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    if (gStopRequested) return Wait::stopping;
    pollfd fds[2] = {{gWakeReadFd, POLLIN, 0}, {fd, events, 0}};
    const int timeout = millisecondsUntil(deadline);
    const int ready = ::poll(fds, fd >= 0 ? 2 : 1, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Wait::failed;
    }
    if (gStopRequested) return Wait::stopping;
    if (fd >= 0 && fds[1].revents != 0) return Wait::ready;
    if (ready == 0 && Clock::now() >= deadline) return Wait::timedOut;
  }
}

Clock::time_point deadlineAfter(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// ---- Files -----------------------------------------------------------------------------------

std::string isoNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return std::string(text, length);
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A reader sees either the old or the new record, never a part, and a link at the path is
// replaced, not written through.
void writeStatus(const std::string& path, const MCPStatus& status) {
  if (auto problem = PeerFiles::replace(path, status.encode().value_or("{}") + "\n")) {
    reportLine("cannot write the status file " + path + ": " + *problem);
  }
}

// ---- The socket ------------------------------------------------------------------------------

bool fillAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  if (path.empty() || path.size() > MCPPaths::maxSocketPathBytes ||
      path.size() >= sizeof address.sun_path) {
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// Clears the way for binding: a socket file that nobody answers on is left over from a process
// that ended without cleaning up, and is removed. Anything else at the path is left alone.
bool clearStaleSocket(const std::string& path, const sockaddr_un& address) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return true;
  if (!S_ISSOCK(info.st_mode)) {
    reportLine("cannot listen on " + path + ": a file that is not a socket is in the way");
    return false;
  }
  FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (probe.get() >= 0 &&
      ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    reportLine("cannot listen on " + path + ": another process is already listening there");
    return false;
  }
  ::unlink(path.c_str());
  return true;
}

struct Listener {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

std::optional<Listener> listenOn(const std::string& path) {
  sockaddr_un address;
  if (!fillAddress(path, address)) {
    reportLine("cannot listen on \"" + path + "\": a socket path must have 1 to " +
               std::to_string(MCPPaths::maxSocketPathBytes) + " bytes");
    return std::nullopt;
  }
  PeerFiles::makeParentFolders(path);
  if (!clearStaleSocket(path, address)) return std::nullopt;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || !setFlags(fd) ||
      ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    const std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    reportLine("cannot listen on " + path + ": " + reason);
    return std::nullopt;
  }
  Listener listener;
  listener.fd = fd;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    listener.device = info.st_dev;
    listener.inode = info.st_ino;
  }
  return listener;
}

// Removes the socket file unless another process has replaced it meanwhile.
void removeSocket(const std::string& path, const Listener& listener) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && info.st_dev == listener.device &&
      info.st_ino == listener.inode) {
    ::unlink(path.c_str());
  }
}

// ---- One connection ----------------------------------------------------------------------

bool sendAll(int fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (waitFor(fd, POLLOUT, deadline) == Wait::ready) continue;
    }
    return false;
  }
  return true;
}

std::string secondsText(double seconds) {
  std::string text = std::to_string(seconds);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text + (text == "1" ? " second" : " seconds");
}

// Reads one request line and answers it. A client that sends nothing, too slowly or too much
// gets an `internalError` answer once its time is up or its line too long, and is closed.
void serveConnection(int fd, PeerService& service, double timeoutSeconds) {
  if (!setFlags(fd)) return;
  const Clock::time_point deadline = deadlineAfter(timeoutSeconds);
  LineFraming framing;
  std::optional<std::string> line;
  std::optional<MCPWireResponse> answer;
  auto chunk = std::make_unique<char[]>(kReceiveChunkBytes);
  while (!line && !answer) {
    const Wait wait = waitFor(fd, POLLIN, deadline);
    if (wait == Wait::stopping || wait == Wait::failed) return;
    if (wait == Wait::timedOut) {
      answer = MCPWireResponse::failure(
          std::nullopt, MCPWireErrorCode::internalError,
          "No complete request line arrived within " + secondsText(timeoutSeconds) + ".");
      break;
    }
    const ssize_t n = ::read(fd, chunk.get(), kReceiveChunkBytes);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return;
    }
    // A client that ends its output without a line feed still gets its last line answered.
    if (n == 0 && framing.bufferedBytes() == 0) return;
    auto lines = n == 0
                     ? framing.append("\n")
                     : framing.append(std::string_view(chunk.get(), static_cast<std::size_t>(n)));
    if (!lines.empty()) {
      line = std::move(lines.front());
    } else if (framing.bufferedBytes() > kMaxRequestBytes || framing.droppedOversizedLine()) {
      answer = MCPWireResponse::failure(
          std::nullopt, MCPWireErrorCode::internalError,
          "The request line is longer than " + std::to_string(kMaxRequestBytes) + " bytes.");
    } else if (n == 0) {
      return;
    }
  }
  if (line) {
    if (auto warning = service.refreshProjects()) reportLine(*warning);
    answer = service.respond(*line, isoNow());
  }
  sendAll(fd, PeerService::encodeLine(*answer), deadlineAfter(timeoutSeconds));
}

void acceptConnections(int listenFd, PeerService& service, double timeoutSeconds) {
  for (;;) {
    const Wait wait = waitFor(listenFd, POLLIN, Clock::now() + std::chrono::hours(1));
    if (wait == Wait::stopping) return;
    if (wait == Wait::failed) {
      reportLine(std::string("waiting for connections failed: ") + std::strerror(errno));
      return;
    }
    if (wait == Wait::timedOut) continue;
    const int client = ::accept(listenFd, nullptr, nullptr);
    if (client < 0) {
      // Out of descriptors: pause briefly instead of spinning on a listener that stays ready.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        waitFor(-1, 0, deadlineAfter(0.1));
      }
      continue;
    }
    FileDescriptor connection(client);
    serveConnection(connection.get(), service, timeoutSeconds);
  }
}

}  // namespace

void reportLine(std::string_view text) {
  std::string line = "quill-peer: ";
  line += text;
  line += '\n';
  (void)writeAll(STDERR_FILENO, line);
}

int runPeer(const PeerOptions& options, PeerService& service) {
  ::signal(SIGPIPE, SIG_IGN);
  if (!installStopHandlers()) {
    reportLine(std::string("cannot install the signal handlers: ") + std::strerror(errno));
    return 1;
  }
  if (options.delaySeconds > 0) {
    reportLine("waiting " + secondsText(options.delaySeconds) + " before listening");
    if (waitFor(-1, 0, deadlineAfter(options.delaySeconds)) == Wait::stopping) {
      return 0;  // stopped before it ever listened: there is nothing to clean up
    }
  }

  auto listener = listenOn(options.socketPath);
  if (!listener) return 1;
  writeStatus(options.statusPath,
              MCPStatus{service.enabled(), service.signedIn(), true, options.version, isoNow()});
  reportLine("listening on " + options.socketPath);

  acceptConnections(listener->fd, service, options.requestTimeoutSeconds);

  ::close(listener->fd);
  removeSocket(options.socketPath, *listener);
  writeStatus(options.statusPath,
              MCPStatus{service.enabled(), service.signedIn(), false, options.version, isoNow()});
  reportLine("stopped");
  return 0;
}

}  // namespace quill
