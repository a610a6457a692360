#include "MCPSocketClient.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "FileDescriptor.h"
#include "LineFraming.h"
#include "MCPPaths.h"
#include "SocketCredentials.h"

namespace quill::MCPSocketClient {

namespace {

constexpr std::size_t kReceiveBufferBytes = 65536;
// Room for a usual request line at once, so that writing it does not grow the text step by step.
constexpr std::size_t kUsualRequestBytes = 512;

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

// Sends `text` with each splice's bytes inserted at its offset.
bool sendSpliced(int fd, std::string_view text, const std::vector<JSONValue::Splice>& splices,
                 double timeoutSeconds) {
  std::size_t position = 0;
  for (const auto& splice : splices) {
    if (!sendAll(fd, text.substr(position, splice.offset - position), timeoutSeconds)) {
      return false;
    }
    if (!sendAll(fd, splice.bytes, timeoutSeconds)) return false;
    position = splice.offset;
  }
  return sendAll(fd, text.substr(position), timeoutSeconds);
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

  // Long strings of the request are sent from where they lie rather than copied into the line.
  std::string line;
  line.reserve(kUsualRequestBytes);
  std::vector<JSONValue::Splice> splices;
  if (!MCPWire::encodeInto(request, line, &splices)) return Failure::io;
  line.push_back('\n');
  if (!sendSpliced(connection.get(), line, splices, timeoutSeconds)) return Failure::io;
  std::string().swap(line);

  // The first complete line is the response; it is read in place from the receive buffer, which
  // has room behind its end for the reader.
  constexpr std::size_t kReadPadding = 64;
  LineFraming framing;
  // On the stack, so it costs nothing to set up. Not zeroed as a whole (that would cost more than
  // the exchange): only the room behind what each read brings in, so that the reader never looks
  // at undefined bytes.
  char buffer[kReceiveBufferBytes + kReadPadding];
  for (;;) {
    const ssize_t n = resumingAfterSignals(connection.get(), SO_RCVTIMEO, timeoutSeconds, [&] {
      return ::read(connection.get(), buffer, kReceiveBufferBytes);
    });
    if (n == 0) return Failure::io;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Failure::timeout : Failure::io;
    std::memset(buffer + n, 0, kReadPadding);
    std::optional<std::optional<MCPWireResponse>> response;
    framing.forEachLine(
        std::string_view(buffer, static_cast<std::size_t>(n)), kReceiveBufferBytes + kReadPadding,
        [&](std::string_view received, std::size_t readable, LineFraming::LineMemory& memory) {
          // A long answer keeps its buffer: its long strings are passed on without a copy.
          if (!response) response = MCPWire::decodeResponse(received, readable, memory.share());
        });
    if (!response) continue;
    if (!*response) return Failure::decode;
    return std::move(**response);
  }
}

}  // namespace quill::MCPSocketClient
