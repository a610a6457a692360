#include "MCPListener.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace quill {

namespace {

using Clock = MCPConnection::Clock;

constexpr int kBacklog = 64;
constexpr std::size_t kChunkBytes = 65536;

bool makeNonBlocking(int fd) {
  const int status = ::fcntl(fd, F_GETFL);
  return status >= 0 && ::fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Waits until `fd` is ready for `events` or `until` has passed, whichever comes first.
void waitFor(int fd, short events, Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return;
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<decltype(left)>(left, 60'000)));
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;
  }
}

template <typename Reason>
Failure<Reason> failure(Reason reason, int error = 0) {
  return Failure<Reason>{reason, error};
}

}  // namespace

// ---- A connection -----------------------------------------------------------------------------

MCPConnection::MCPConnection(FileDescriptor fd, double timeoutSeconds, std::size_t lineLimit)
    : fd_(std::move(fd)),
      timeout_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(timeoutSeconds))),
      deadline_(Clock::now() + timeout_),
      framing_(lineLimit) {}

Result<std::optional<std::string>, MCPConnection::Reason> MCPConnection::readRequest(bool wait) {
  char chunk[kChunkBytes];  // not zeroed: only what each read brings in is looked at
  for (;;) {
    const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
    if (n > 0) {
      const bool dropping = framing_.droppedOversizedLine();
      auto lines = framing_.append(std::string_view(chunk, static_cast<std::size_t>(n)));
      if (dropping) {
        // Lines after the dropped one are never looked at.
        if (!framing_.skippingOversizedLine()) return failure(Reason::lineTooLong);
      } else if (!lines.empty()) {
        // A line completed within one chunk may be longer than what the framing holds back.
        if (lines.front().size() > framing_.limit()) return failure(Reason::lineTooLong);
        return std::optional(std::move(lines.front()));
      }
    } else if (n == 0) {
      if (framing_.droppedOversizedLine()) return failure(Reason::lineTooLong);
      if (framing_.bufferedBytes() == 0) return failure(Reason::closedEarly);
      return std::optional(std::move(framing_.append("\n").front()));
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return failure(Reason::readFailed, errno);
    }
    if (Clock::now() >= deadline_) return failure(Reason::timedOut);
    if (!wait) return std::optional<std::string>();
    if (n < 0) waitFor(fd_.get(), POLLIN, deadline_);
  }
}

void MCPConnection::answer(std::string line) {
  answer_ = std::move(line);
  answer_.push_back('\n');
  sent_ = 0;
  deadline_ = Clock::now() + timeout_;
}

Result<bool, MCPConnection::Reason> MCPConnection::writeAnswer(bool wait) {
  while (sent_ < answer_.size()) {
    const ssize_t n = sendWithoutSignal(fd_.get(), std::string_view(answer_).substr(sent_));
    if (n > 0) {
      sent_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      return failure(Reason::writeFailed, n < 0 ? errno : EPIPE);
    }
    if (Clock::now() >= deadline_) return failure(Reason::timedOut);
    if (!wait) return false;
    waitFor(fd_.get(), POLLOUT, deadline_);
  }
  return true;
}

// ---- The listener -----------------------------------------------------------------------------

Result<MCPListener, MCPListener::Reason> MCPListener::listen(const std::string& path,
                                                             double timeoutSeconds,
                                                             std::size_t lineLimit) {
  const auto named = socketAddress(path);
  if (const auto* bad = failed(named)) return failure(Reason::badPath, bad->error);
  const sockaddr_un& address = std::get<sockaddr_un>(named);
  makeParentFolders(path);
  auto locked = ListenerLock::acquire(path);
  if (const auto* refused = failed(locked)) {
    const bool held = refused->reason == ListenerLock::Reason::held;
    return failure(held ? Reason::lockHeld : Reason::lockFailed, refused->error);
  }

  // Under the lock, a socket of this user at the path has nobody serving on it. Anything else
  // there stays, and nothing is ever done through a path this listener did not make.
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode)) return failure(Reason::symbolicLink);
    if (!S_ISSOCK(info.st_mode)) return failure(Reason::notSocket);
    if (info.st_uid != ::geteuid()) return failure(Reason::otherUsersSocket);
    if (::unlink(path.c_str()) != 0) return failure(Reason::bindFailed, errno);
  } else if (errno != ENOENT) {
    return failure(Reason::bindFailed, errno);
  }

  MCPListener listener(std::get<ListenerLock>(std::move(locked)), path, timeoutSeconds, lineLimit);
  listener.fd_ = FileDescriptor(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!listener.fd_.valid() || !makeNonBlocking(listener.fd()) ||
      ::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return failure(Reason::bindFailed, errno);
  }
  // Until the mode is set it is what the process's mask allows: clients of other users are
  // refused by their credentials all the same.
  if (::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &info) != 0 ||
      !S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0600) {
    return failure(Reason::notPrivate);
  }
  listener.device_ = info.st_dev;
  listener.inode_ = info.st_ino;
  if (::listen(listener.fd(), kBacklog) != 0) return failure(Reason::listenFailed, errno);
  return listener;
}

MCPListener::~MCPListener() {
  if (!fd_.valid()) return;  // moved from
  fd_ = FileDescriptor();
  struct stat info {};
  if (::lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
}

Result<MCPConnection, MCPConnection::Reason> MCPListener::accept(std::chrono::milliseconds wait) {
  using Why = MCPConnection::Reason;
  const auto until = Clock::now() + wait;
  for (;;) {
    FileDescriptor client(::accept(fd_.get(), nullptr, nullptr));
    if (client.valid()) {
      if (!peerIsSameUser(client.get())) return failure(Why::otherUser);
      if (!makeNonBlocking(client.get())) return failure(Why::acceptFailed, errno);
      return MCPConnection(std::move(client), timeoutSeconds_, lineLimit_);
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return failure(Why::acceptFailed, errno);
    if (Clock::now() >= until) return failure(Why::noneWaiting);
    waitFor(fd_.get(), POLLIN, until);
  }
}

}  // namespace quill
