#include "UnixSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "MCPPaths.h"

namespace quill {

Result<sockaddr_un, SocketPathReason> socketAddress(std::string_view path) {
  sockaddr_un address{};
  if (path.size() > MCPPaths::maxSocketPathBytes || path.size() >= sizeof address.sun_path) {
    return Failure<SocketPathReason>{SocketPathReason::tooLong, ENAMETOOLONG};
  }
  if (path.empty() || path.find('\0') != std::string_view::npos) {
    return Failure<SocketPathReason>{SocketPathReason::invalid, EINVAL};
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// ---- Platform: reading the peer's credentials, and sending without SIGPIPE. -------------------
#if defined(__linux__)

bool peerIsSameUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         size == sizeof credentials && credentials.uid == ::geteuid();
}

#else  // macOS and the BSDs

bool peerIsSameUser(int fd) {
  uid_t user = 0;
  gid_t group = 0;
  return ::getpeereid(fd, &user, &group) == 0 && user == ::geteuid();
}

#endif

#if defined(SO_NOSIGPIPE)

ssize_t sendWithoutSignal(int fd, std::string_view bytes) {
  const int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  return ::send(fd, bytes.data(), bytes.size(), 0);
}

#else

ssize_t sendWithoutSignal(int fd, std::string_view bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

#endif
// ---- End of platform ---------------------------------------------------------------------

// The lock is a POSIX record lock over the whole file: `probe` can ask about it with F_GETLK
// without taking it, which flock(2) cannot.
namespace {
struct flock wholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}
}  // namespace

std::string ListenerLock::lockPath(std::string_view socketPath) {
  return std::string(socketPath) + ".lock";
}

Result<ListenerLock, ListenerLock::Reason> ListenerLock::acquire(std::string_view socketPath) {
  const std::string path = lockPath(socketPath);
  FileDescriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return Failure<Reason>{Reason::failed, errno};
  struct flock lock = wholeFile(F_WRLCK);
  if (::fcntl(file.get(), F_SETLK, &lock) != 0) {
    const bool held = errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES;
    return Failure<Reason>{held ? Reason::held : Reason::failed, errno};
  }
  return ListenerLock(std::move(file));
}

ListenerLock::State ListenerLock::probe(std::string_view socketPath) {
  const std::string path = lockPath(socketPath);
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) return State::absent;
  struct flock lock = wholeFile(F_WRLCK);
  if (::fcntl(file.get(), F_GETLK, &lock) != 0) return State::absent;
  return lock.l_type == F_UNLCK ? State::free : State::held;
}

}  // namespace quill
