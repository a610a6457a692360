#include "MCPSocketClient.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string_view>

#include "FileDescriptor.h"
#include "LineFraming.h"
#include "MCPPaths.h"
#include "SocketCredentials.h"

namespace quill::MCPSocketClient {

namespace {

constexpr std::size_t kReceiveBufferBytes = 65536;

// ---- Platform: keeping a send to a closed peer from raising SIGPIPE. ------------------------
#if defined(SO_NOSIGPIPE)
void suppressSigpipe(int fd) {
  const int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
}
constexpr int kSendFlags = 0;
#else
void suppressSigpipe(int) {}
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif
// ---- End of platform ---------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

timeval toTimeval(double seconds) {
  constexpr double kShortest = 1e-6;
  constexpr double kLongest = 1e9;
  if (!(seconds >= kShortest)) seconds = kShortest;
  if (seconds > kLongest) seconds = kLongest;
  timeval value{};
  value.tv_sec = static_cast<decltype(value.tv_sec)>(static_cast<std::int64_t>(seconds));
  value.tv_usec = static_cast<decltype(value.tv_usec)>(
      static_cast<std::int32_t>((seconds - std::floor(seconds)) * 1'000'000.0));
  if (value.tv_sec == 0 && value.tv_usec == 0) value.tv_usec = 1;
  return value;
}

void setTimeout(int fd, int option, double seconds) {
  const timeval timeout = toTimeval(seconds);
  (void)::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout);
}

// Runs `transfer` (one send or one receive on `fd`, bounded by the socket's `option` time-out of
// `timeoutSeconds`) once. When a signal interrupts it (a stop and continue of the process does,
// on Linux, even with SA_RESTART), it is resumed with the time that is left of its time-out, so
// an interruption neither fails the exchange nor stretches the wait. Gives what `transfer` gave,
// with -1 and EAGAIN once the time is up.
template <typename Transfer>
ssize_t resumingAfterSignals(int fd, int option, double timeoutSeconds, Transfer transfer) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(timeoutSeconds));
  bool shortened = false;
  for (;;) {
    const ssize_t n = transfer();
    if (n >= 0 || errno != EINTR) {
      const int savedErrno = errno;
      if (shortened) setTimeout(fd, option, timeoutSeconds);
      errno = savedErrno;
      return n;
    }
    const std::chrono::duration<double> left = deadline - Clock::now();
    if (left.count() <= 0) {
      if (shortened) setTimeout(fd, option, timeoutSeconds);
      errno = EAGAIN;
      return -1;
    }
    setTimeout(fd, option, left.count());
    shortened = true;
  }
}

bool sendAll(int fd, std::string_view bytes, double timeoutSeconds) {
  while (!bytes.empty()) {
    const ssize_t n = resumingAfterSignals(fd, SO_SNDTIMEO, timeoutSeconds, [&] {
      return ::send(fd, bytes.data(), bytes.size(), kSendFlags);
    });
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

Result roundTrip(const std::string& path, const MCPWireRequest& request, double timeoutSeconds) {
  FileDescriptor connection(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (connection.get() < 0) return Failure::connect;
  suppressSigpipe(connection.get());
  setTimeout(connection.get(), SO_RCVTIMEO, timeoutSeconds);
  setTimeout(connection.get(), SO_SNDTIMEO, timeoutSeconds);

  // The path limit is the same on every platform, even where the address field is larger. A path
  // that cannot name a file (empty, or with a NUL byte that would cut it short or, on Linux,
  // select the abstract namespace) reaches nobody.
  sockaddr_un address{};
  if (path.size() > MCPPaths::maxSocketPathBytes || path.size() >= sizeof address.sun_path ||
      path.empty() || path.find('\0') != std::string::npos) {
    return Failure::connect;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return Failure::connect;
  }
  // Whoever listens there answers for the application only when it runs as this user: another
  // local user must not be able to read our requests or feed the agent its own answers.
  if (!peerIsSameUser(connection.get())) return Failure::connect;

  auto line = MCPWire::encode(request);
  if (!line) return Failure::io;
  line->push_back('\n');
  if (!sendAll(connection.get(), *line, timeoutSeconds)) return Failure::io;
  std::string().swap(*line);

  // The first complete line is the response.
  LineFraming framing;
  char buffer[kReceiveBufferBytes];  // not zeroed: only what each read brings in is looked at
  for (;;) {
    const ssize_t n = resumingAfterSignals(connection.get(), SO_RCVTIMEO, timeoutSeconds, [&] {
      return ::read(connection.get(), buffer, sizeof buffer);
    });
    if (n == 0) return Failure::io;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Failure::timeout : Failure::io;
    auto lines = framing.append(std::string_view(buffer, static_cast<std::size_t>(n)));
    if (lines.empty()) continue;
    auto response = MCPWire::decodeResponse(lines.front());
    if (!response) return Failure::decode;
    return std::move(*response);
  }
}

}  // namespace quill::MCPSocketClient
