#include "MCPSocketClient.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <string_view>

#include "FileDescriptor.h"
#include "UnixSocket.h"

namespace quill::MCPSocketClient {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineIn(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void setTimeout(int fd, int option, double seconds) {
  constexpr double kLongest = 1e9;
  seconds = std::min(seconds, kLongest);
  timeval timeout{};
  timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(seconds);
  timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>((seconds - std::floor(seconds)) * 1e6);
  // Zero would mean no time-out at all.
  if (timeout.tv_sec == 0 && timeout.tv_usec == 0) timeout.tv_usec = 1;
  (void)::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout);
}

// Runs `call`, one connect, send or receive on `fd` that blocks for at most the socket's `option`
// time-out, with that time-out set to what is left of the exchange's time. A call interrupted by
// a signal (a stop and continue of the process interrupts one on Linux, even with SA_RESTART) is
// made again with the time then left. Gives what `call` gave, or -1 with ETIMEDOUT once the time
// is up: blocking sockets say so with EAGAIN, connect on Linux among them.
template <typename Call>
ssize_t withinDeadline(int fd, int option, Clock::time_point deadline, Call call) {
  for (;;) {
    const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    setTimeout(fd, option, left);
    const ssize_t n = call();
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) errno = ETIMEDOUT;
    if (errno != EINTR) return -1;
  }
}

// Sends `line` and a line feed over `fd`, and reads until the first complete line, by `deadline`.
quill::Result<std::string, Reason> exchange(int fd, std::string line, Clock::time_point deadline,
                                            std::size_t maxLineBytes) {
  line.push_back('\n');
  for (std::string_view rest = line; !rest.empty();) {
    const ssize_t n =
        withinDeadline(fd, SO_SNDTIMEO, deadline, [&] { return sendWithoutSignal(fd, rest); });
    if (n <= 0) return Failure{Reason::sendFailed, n < 0 ? errno : EPIPE};
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  std::string().swap(line);

  LineFraming framing(maxLineBytes);
  char buffer[65536];  // not zeroed: only what each read brings in is looked at
  for (;;) {
    const ssize_t n = withinDeadline(fd, SO_RCVTIMEO, deadline,
                                     [&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0 && errno == ETIMEDOUT) return Failure{Reason::timedOut};
    if (n <= 0) return Failure{Reason::closedEarly, n < 0 ? errno : 0};
    auto lines = framing.append(std::string_view(buffer, static_cast<std::size_t>(n)));
    if (!lines.empty()) return std::move(lines.front());
    // Whatever follows, the answer was too long: waiting for more would only use up the time.
    if (framing.droppedOversizedLine()) return Failure{Reason::lineTooLong};
  }
}

Reason connectReason(int error) {
  if (error == ENOENT || error == ENOTDIR) return Reason::nothingThere;
  if (error == ECONNREFUSED) return Reason::refused;
  if (error == ETIMEDOUT) return Reason::notAccepted;
  return Reason::connectFailed;
}

}  // namespace

Kind kindOf(Reason reason) noexcept {
  switch (reason) {
    case Reason::badPath:
    case Reason::nothingThere:
    case Reason::refused:
    case Reason::connectFailed:
    case Reason::otherUser:
      return Kind::connect;
    case Reason::notAccepted:
    case Reason::timedOut:
      return Kind::timeout;
    case Reason::sendFailed:
    case Reason::closedEarly:
    case Reason::lineTooLong:
      return Kind::io;
    case Reason::notAResponse:
      break;
  }
  return Kind::decode;
}

Result roundTrip(const std::string& path, const MCPWireRequest& request, double timeoutSeconds,
                 std::size_t maxLineBytes) {
  const auto deadline = deadlineIn(timeoutSeconds);
  const auto named = socketAddress(path);
  if (const auto* bad = failed(named)) return Failure{Reason::badPath, bad->error};
  const sockaddr_un& address = std::get<sockaddr_un>(named);
  FileDescriptor connection(::socket(AF_UNIX, SOCK_STREAM, 0));
  const int fd = connection.get();
  if (fd < 0) return Failure{Reason::connectFailed, errno};

  // A listener whose queue is full holds a connect (on Linux) until it takes the connection.
  const ssize_t connected = withinDeadline(fd, SO_SNDTIMEO, deadline, [&]() -> ssize_t {
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return result != 0 && errno == EISCONN ? 0 : result;  // done meanwhile, after an interruption
  });
  if (connected != 0) return Failure{connectReason(errno), errno};
  if (!peerIsSameUser(fd)) return Failure{Reason::otherUser};

  auto line = MCPWire::encode(request);
  if (failed(line)) return Failure{Reason::sendFailed, 0, "a number in it is not finite"};
  auto answer = exchange(fd, std::move(std::get<std::string>(line)), deadline, maxLineBytes);
  if (auto* failure = std::get_if<Failure>(&answer)) return std::move(*failure);
  auto response = MCPWire::decodeResponse(std::get<std::string>(answer));
  if (const auto* failure = failed(response)) {
    return Failure{Reason::notAResponse, 0, failure->detail};
  }
  return std::get<MCPWireResponse>(std::move(response));
}

quill::Result<std::string, Reason> exchangeLine(int fd, std::string line, double timeoutSeconds,
                                                std::size_t maxLineBytes) {
  return exchange(fd, std::move(line), deadlineIn(timeoutSeconds), maxLineBytes);
}

}  // namespace quill::MCPSocketClient
