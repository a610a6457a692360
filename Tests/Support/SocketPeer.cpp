#include "SocketPeer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace quill::testing {

namespace {

constexpr int kWaitMilliseconds = 60'000;

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

}  // namespace

class PeerConnection {
 public:
  PeerConnection(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  }
  ~PeerConnection() {
    ::close(fd_);
  }

  // Reads whatever has arrived, at least one byte; false at the end of the stream.
  bool readSome() {
    char buffer[65536];
    const ssize_t n = waitFor(POLLIN) ? ::recv(fd_, buffer, sizeof buffer, 0) : 0;
    if (n > 0) received_.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
  }

  bool readLine() {
    const std::size_t start = received_.size();
    while (received_.find('\n', start) == std::string::npos) {
      if (!readSome()) return false;
    }
    return true;
  }

  void readUntilClosed() {
    while (readSome()) {
    }
  }

  // With no events asked for, poll reports only the hang-up of the other end (or an error).
  void waitUntilClosed() {
    (void)waitFor(0);
  }

  bool write(std::string_view bytes, bool oneBytePerWrite = false) {
    while (!bytes.empty()) {
      if (!waitFor(POLLOUT)) return false;
      const ssize_t n = ::send(fd_, bytes.data(), oneBytePerWrite ? 1 : bytes.size(), kSendFlags);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
      if (oneBytePerWrite) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  const std::string& received() const {
    return received_;
  }

 private:
  bool waitFor(short events) {
    pollfd fds[2] = {{fd_, events, 0}, {stopFd_, POLLIN, 0}};
    int ready;
    while ((ready = ::poll(fds, 2, kWaitMilliseconds)) < 0 && errno == EINTR) {
    }
    return ready > 0 && fds[1].revents == 0 && fds[0].revents != 0;
  }

  int fd_;
  int stopFd_;
  std::string received_;
};

SocketPeer::SocketPeer(std::string path, PeerScript script)
    : path_(std::move(path)), script_(std::move(script)) {
  sockaddr_un address{};
  if (path_.size() >= sizeof address.sun_path) {
    throw std::runtime_error("socket path too long for this platform: " + path_);
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.data(), path_.size());
  ::unlink(path_.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (listenFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0 || ::pipe(stopPipe_) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(listenFd_);
    ::unlink(path_.c_str());
    throw std::runtime_error("cannot listen on " + path_ + ": " + reason);
  }
  for (int fd : {listenFd_, stopPipe_[0], stopPipe_[1]}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  thread_ = std::thread([this] { serve(); });
}

void SocketPeer::stop() {
  if (!thread_.joinable()) return;
  (void)!::write(stopPipe_[1], "s", 1);
  thread_.join();
  // Connections made but not yet accepted still count: a test that expects none must see them.
  ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
  for (int fd; (fd = ::accept(listenFd_, nullptr, nullptr)) >= 0;) {
    ::close(fd);
    record("");
  }
  for (int fd : {listenFd_, stopPipe_[0], stopPipe_[1]}) ::close(fd);
  ::unlink(path_.c_str());
}

void SocketPeer::record(std::string transcript) {
  {
    std::lock_guard lock(mutex_);
    transcripts_.push_back(std::move(transcript));
  }
  served_.notify_all();
}

void SocketPeer::serve() {
  pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) return;
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    PeerConnection connection(fd, stopPipe_[0]);
    script_(connection);
    record(connection.received());
  }
}

bool SocketPeer::waitForServed(std::size_t count) {
  std::unique_lock lock(mutex_);
  return served_.wait_for(lock, std::chrono::milliseconds(kWaitMilliseconds),
                          [&] { return transcripts_.size() >= count; });
}

std::vector<std::string> SocketPeer::transcripts() const {
  std::lock_guard lock(mutex_);
  return transcripts_;
}

namespace PeerScripts {

PeerScript reply(std::string bytes, bool oneBytePerWrite) {
  return [bytes = std::move(bytes), oneBytePerWrite](PeerConnection& connection) {
    if (connection.readLine() && connection.write(bytes, oneBytePerWrite)) {
      connection.readUntilClosed();
    }
  };
}

PeerScript replyAndClose(std::string bytes) {
  return [bytes = std::move(bytes)](PeerConnection& connection) {
    if (connection.readLine()) connection.write(bytes);
  };
}

PeerScript replyAfter(std::chrono::milliseconds delay, std::string bytes) {
  return [delay, bytes = std::move(bytes)](PeerConnection& connection) {
    if (!connection.readLine()) return;
    std::this_thread::sleep_for(delay);
    connection.write(bytes);
  };
}

PeerScript silent() {
  return [](PeerConnection& connection) { connection.readUntilClosed(); };
}

PeerScript deaf() {
  return [](PeerConnection& connection) { connection.waitUntilClosed(); };
}

PeerScript closeWhileReceiving() {
  return [](PeerConnection& connection) { connection.readSome(); };
}

PeerScript closeAtOnce() {
  return [](PeerConnection&) {};
}

PeerScript drip(std::chrono::milliseconds interval) {
  return [interval](PeerConnection& connection) {
    if (!connection.readLine()) return;
    while (connection.write(" ")) std::this_thread::sleep_for(interval);
  };
}

PeerScript inTurn(std::vector<PeerScript> scripts) {
  // Connections are served one at a time, so the count needs no lock.
  auto served = std::make_shared<std::size_t>(0);
  return [scripts = std::move(scripts), served](PeerConnection& connection) {
    scripts[std::min((*served)++, scripts.size() - 1)](connection);
  };
}

}  // namespace PeerScripts

std::vector<FileDescriptor> fillListenQueue(const std::string& path) {
  sockaddr_un address{};
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  address.sun_family = AF_UNIX;
  std::vector<FileDescriptor> queued;
  for (int attempt = 0; attempt < 4096; ++attempt) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      break;
    }
    queued.push_back(std::move(fd));
  }
  return queued;
}

void leaveStaleSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

bool ForeignListener::canRunAsAnotherUser() {
  return ::geteuid() == 0;
}

ForeignListener::ForeignListener(const std::string& path, uid_t uid) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) throw std::runtime_error("path too long: " + path);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  if (::chmod(folder.c_str(), 0777) != 0) throw std::runtime_error("cannot open " + folder);
  int report[2];  // what the listener received; it closes its end when the connection ends
  int ready[2];   // closed by the listener once it listens
  if (::pipe(report) != 0 || ::pipe(ready) != 0) throw std::runtime_error("pipe failed");

  child_ = ::fork();
  if (child_ == 0) {
    // Only system calls from here on: the test program may have other threads.
    ::close(report[0]);
    ::close(ready[0]);
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0) {
      ::_exit(3);
    }
    ::close(ready[1]);
    // Connections are served in the order they were made; the last one, the parent's, says STOP.
    for (;;) {
      const int connection = ::accept(listener, nullptr, nullptr);
      static char bytes[65536];
      std::size_t size = 0;
      for (ssize_t n; size < sizeof bytes &&
                      (n = ::read(connection, bytes + size, sizeof bytes - size)) > 0;) {
        size += static_cast<std::size_t>(n);
      }
      ::close(connection);
      if (size == 4 && std::memcmp(bytes, "STOP", 4) == 0) ::_exit(0);
      (void)!::write(report[1], bytes, size);
    }
  }
  ::close(report[1]);
  ::close(ready[1]);
  report_ = report[0];
  address_ = address;
  char byte;
  const bool listening = child_ > 0 && ::read(ready[0], &byte, 1) == 0;
  ::close(ready[0]);
  int status = 0;
  if (!listening || ::waitpid(child_, &status, WNOHANG) != 0) {
    throw std::runtime_error("the listener of another user did not start");
  }
}

ForeignListener::~ForeignListener() {
  if (child_ > 0) {
    ::kill(child_, SIGKILL);
    (void)::waitpid(child_, nullptr, 0);
  }
  if (report_ >= 0) ::close(report_);
}

std::string ForeignListener::received() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) == 0) {
    (void)!::write(fd, "STOP", 4);
  }
  ::close(fd);
  std::string bytes;
  char buffer[4096];
  pollfd ready{report_, POLLIN, 0};
  while (::poll(&ready, 1, kWaitMilliseconds) > 0) {
    const ssize_t n = ::read(report_, buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

}  // namespace quill::testing
