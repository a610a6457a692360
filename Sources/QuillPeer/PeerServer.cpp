#include "PeerServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "FileDescriptor.h"
#include "MCPListener.h"
#include "MCPPaths.h"
#include "MCPStatus.h"

namespace quill {

namespace {

using Clock = std::chrono::steady_clock;

// Each connection holds at most one request line of LineFraming::maxLineBytes, which bounds the
// memory; further clients wait in the listen queue until a connection is done.
constexpr std::size_t kMaxConnections = 32;
constexpr auto kRefreshInterval = std::chrono::milliseconds(100);

// ---- Signals ----------------------------------------------------------------------------------
// SIGINT and SIGTERM ask to stop, SIGHUP to re-read the files. The handler sets a flag and writes
// a byte into a pipe whose read end every wait polls, so a signal wakes the loop at once.

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
  if (gWakeWriteFd >= 0) (void)!::write(gWakeWriteFd, "x", 1);
  errno = savedErrno;
}

bool installSignalHandlers() {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  for (int fd : fds) {
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
      return false;
    }
  }
  gWakeReadFd = fds[0];
  gWakeWriteFd = fds[1];
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGINT, &action, nullptr) == 0 &&
         ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGHUP, &action, nullptr) == 0;
}

// ---- Texts ------------------------------------------------------------------------------------

Clock::time_point deadlineAfter(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
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

std::string whyNotListening(const std::string& path, const Failure<MCPListener::Reason>& failure) {
  using Reason = MCPListener::Reason;
  switch (failure.reason) {
    case Reason::badPath:
      return "a socket path must have 1 to " + std::to_string(MCPPaths::maxSocketPathBytes) +
             " bytes";
    case Reason::lockHeld:
      return "another process is already listening there";
    case Reason::lockFailed:
      return "cannot lock " + ListenerLock::lockPath(path) + ": " + std::strerror(failure.error);
    case Reason::symbolicLink:
      return "a symbolic link is in the way (quill-peer does not follow it)";
    case Reason::notSocket:
      return "a file that is not a socket is in the way";
    case Reason::otherUsersSocket:
      return "a socket of another user is in the way";
    case Reason::notPrivate:
      return "the socket file cannot be made private to this user (mode 0600)";
    case Reason::bindFailed:
    case Reason::listenFailed:
      break;
  }
  return std::strerror(failure.error);
}

MCPWireResponse internalError(std::string message) {
  return MCPWireResponse::failure(std::nullopt, MCPWireErrorCode::internalError,
                                  std::move(message));
}

// ---- The loop ---------------------------------------------------------------------------------

class Server {
 public:
  explicit Server(PeerOptions options)
      : options_(std::move(options)),
        service_(options_.projectsFile ? options_.projectsFile->value() : std::vector<Project>{},
                 options_.stateFile ? options_.stateFile->value() : options_.access) {}

  int run();

 private:
  struct Client {
    MCPConnection link;
    bool answering = false;
    bool done = false;
  };

  void refreshFiles(bool asked);
  void writeStatus();
  void acceptClients();
  bool serve(Client& client);
  void answer(Client& client, const MCPWireResponse& response);

  PeerOptions options_;
  PeerService service_;
  std::optional<MCPListener> listener_;
  std::vector<Client> clients_;
  Clock::time_point nextRefresh_ = Clock::now();
  Clock::time_point acceptPausedUntil_ = Clock::now();
};

int Server::run() {
  if (options_.delaySeconds > 0) {
    reportLine("waiting " + secondsText(options_.delaySeconds) + " before listening");
  }
  const Clock::time_point listenAt = deadlineAfter(options_.delaySeconds);
  int exitStatus = 0;
  for (;;) {
    if (!listener_ && Clock::now() >= listenAt) {
      auto listening = MCPListener::listen(options_.socketPath, options_.requestTimeoutSeconds);
      if (const auto* failure = failed(listening)) {
        reportLine("cannot listen on " + options_.socketPath + ": " +
                   whyNotListening(options_.socketPath, *failure));
        return 1;
      }
      listener_.emplace(std::get<MCPListener>(std::move(listening)));
      writeStatus();
      reportLine("listening on " + options_.socketPath);
    }

    // One wait for everything: signals, each client's next step, new clients, and the clock.
    const bool accepting =
        listener_ && clients_.size() < kMaxConnections && Clock::now() >= acceptPausedUntil_;
    // The refresh, at most a tenth of a second away, also ends a pause in accepting.
    Clock::time_point wake = listener_ ? nextRefresh_ : std::min(nextRefresh_, listenAt);
    std::vector<pollfd> fds{{gWakeReadFd, POLLIN, 0}};
    for (const Client& client : clients_) {
      fds.push_back({client.link.fd(), client.link.events(), 0});
      wake = std::min(wake, client.link.deadline());
    }
    if (accepting) fds.push_back({listener_->fd(), POLLIN, 0});
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
    if (::poll(fds.data(), static_cast<nfds_t>(fds.size()),
               static_cast<int>(std::max<decltype(wait)>(wait, 0))) < 0 &&
        errno != EINTR) {
      reportLine(std::string("waiting for connections failed: ") + std::strerror(errno));
      exitStatus = 1;
      break;
    }

    if (gStopRequested) break;
    for (char bytes[64]; ::read(gWakeReadFd, bytes, sizeof bytes) > 0;) {
    }
    const bool asked = gReloadRequested != 0;
    gReloadRequested = 0;
    if (asked || Clock::now() >= nextRefresh_) refreshFiles(asked);
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      Client& client = clients_[i];
      if (fds[i + 1].revents != 0 || Clock::now() >= client.link.deadline()) {
        client.done = serve(client);
      }
    }
    std::erase_if(clients_, [](const Client& client) { return client.done; });
    if (accepting && fds.back().revents != 0) acceptClients();
  }

  // Clients still waiting are closed unanswered, as when the application quits.
  clients_.clear();
  if (!listener_) return exitStatus;  // stopped before it ever listened: nothing to undo
  listener_.reset();
  writeStatus();
  reportLine("stopped");
  return exitStatus;
}

// Reads both files again; `asked` by SIGHUP, it says what the projects file gave.
void Server::refreshFiles(bool asked) {
  nextRefresh_ = Clock::now() + kRefreshInterval;
  if (auto& file = options_.projectsFile) {
    const auto refresh = file->refresh(asked);
    if (refresh.warning) reportLine(*refresh.warning);
    if (refresh.changed) service_.setProjects(file->value());
    if (asked && !refresh.warning) {
      const std::size_t count = file->value().size();
      reportLine("re-read the projects file " + file->path() + ": " + std::to_string(count) +
                 (count == 1 ? " project" : " projects"));
    }
  } else if (asked) {
    reportLine("there is no projects file to re-read");
  }
  if (auto& file = options_.stateFile) {
    const auto refresh = file->refresh();
    if (refresh.warning) reportLine(*refresh.warning);
    if (!refresh.changed || file->value() == service_.access()) return;
    service_.setAccess(file->value());
    // Also while still starting: the status tells a waiting shim why it cannot get in.
    writeStatus();
    reportLine(std::string("state changed: enabled ") + (file->value().enabled ? "true" : "false") +
               ", signedIn " + (file->value().signedIn ? "true" : "false"));
  }
}

void Server::writeStatus() {
  const MCPStatus status{service_.access().enabled, service_.access().signedIn,
                         listener_.has_value(), options_.version, isoNow(true)};
  const auto written = status.writeFile(options_.statusPath);
  if (const auto* failure = failed(written)) {
    reportLine("cannot write the status file " + options_.statusPath + ": " +
               std::strerror(failure->error));
  }
}

void Server::acceptClients() {
  while (clients_.size() < kMaxConnections) {
    auto accepted = listener_->accept();
    if (auto* link = std::get_if<MCPConnection>(&accepted)) {
      clients_.push_back(Client{std::move(*link)});
      continue;
    }
    const auto reason = failed(accepted)->reason;
    if (reason == MCPConnection::Reason::otherUser) {
      reportLine("refused a connection from another user");
      continue;
    }
    // Out of descriptors or memory: pause instead of spinning on a listener that stays ready.
    if (reason == MCPConnection::Reason::acceptFailed) {
      acceptPausedUntil_ = Clock::now() + std::chrono::milliseconds(100);
    }
    return;
  }
}

// Moves a client on by what it has sent or taken; true once it is done with. A request line over
// the limit, and a client whose time is up before its line is complete, are answered with an
// error; a client that does not take its answer in time is closed.
bool Server::serve(Client& client) {
  if (!client.answering) {
    auto request = client.link.readRequest();
    if (const auto* failure = failed(request)) {
      if (failure->reason == MCPConnection::Reason::lineTooLong) {
        answer(client,
               internalError("The request is too large for Quill (over " +
                             std::to_string(LineFraming::maxLineBytes / (1024 * 1024)) + " MiB)."));
      } else if (failure->reason == MCPConnection::Reason::timedOut) {
        answer(client, internalError("No complete request line arrived within " +
                                     secondsText(options_.requestTimeoutSeconds) + "."));
      } else {
        return true;
      }
    } else if (const auto& line = std::get<std::optional<std::string>>(request)) {
      refreshFiles(false);
      answer(client, service_.respond(*line, isoNow()));
    } else {
      return false;
    }
  }
  const auto sent = client.link.writeAnswer();
  return failed(sent) || std::get<bool>(sent);
}

void Server::answer(Client& client, const MCPWireResponse& response) {
  client.link.answer(PeerService::encode(response));
  client.answering = true;
}

}  // namespace

void reportLine(std::string_view text) {
  std::string line = "quill-peer: ";
  line += text;
  line += '\n';
  (void)writeAll(STDERR_FILENO, line);
}

int runPeer(PeerOptions options) {
  ::signal(SIGPIPE, SIG_IGN);
  if (!installSignalHandlers()) {
    reportLine(std::string("cannot install the signal handlers: ") + std::strerror(errno));
    return 1;
  }
  Server server(std::move(options));
  return server.run();
}

}  // namespace quill
