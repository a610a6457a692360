#include "ScriptedPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quill::testing {

namespace {

// A request line that has not arrived after this long is given up on, so a broken shim cannot
// hang the test.
constexpr int kReadTimeoutMs = 60'000;

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

}  // namespace

ScriptedPeer::ScriptedPeer(std::string path, std::string bytes)
    : ScriptedPeer(std::move(path), {Step{Action::reply, std::move(bytes)}}) {}

ScriptedPeer::ScriptedPeer(std::string path, std::vector<Step> steps)
    : path_(std::move(path)), steps_(std::move(steps)) {
  if (steps_.empty()) throw std::invalid_argument("ScriptedPeer needs at least one step");
  sockaddr_un address{};
  if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.data(), path_.size());
  ::unlink(path_.c_str());

  listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener_ < 0) throw std::runtime_error("socket failed");
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0) {
    ::close(listener_);
    throw std::runtime_error("cannot listen at " + path_ + ": " + std::strerror(errno));
  }
  ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL) | O_NONBLOCK);
  ::fcntl(listener_, F_SETFD, FD_CLOEXEC);
  int wake[2];
  if (::pipe(wake) != 0) {
    ::close(listener_);
    throw std::runtime_error("pipe failed");
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  for (int fd : wake) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  thread_ = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop();
}

void ScriptedPeer::stop() {
  if (!thread_.joinable()) return;
  const char byte = 0;
  (void)::write(wakeWrite_, &byte, 1);
  thread_.join();
  ::close(wakeRead_);
  ::close(wakeWrite_);
  ::unlink(path_.c_str());
}

std::vector<std::string> ScriptedPeer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int ScriptedPeer::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void ScriptedPeer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    handle(fd);
  }
  // Connections made but not yet accepted still count: a test that expects none must see them.
  for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) {
    std::lock_guard lock(mutex_);
    ++connections_;
    ::close(fd);
  }
  ::close(listener_);
  for (int fd : held_) ::close(fd);
  held_.clear();
}

void ScriptedPeer::handle(int fd) {
  // Accepted sockets may inherit the listener's non-blocking flag on some systems.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::size_t index;
  {
    std::lock_guard lock(mutex_);
    index = static_cast<std::size_t>(connections_++);
  }
  const Step& step = steps_[std::min(index, steps_.size() - 1)];
  if (step.action == Action::closeAtOnce) {
    ::close(fd);
    return;
  }
  std::string line = readLine(fd);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(line));
  }
  if (step.action == Action::staySilent) {
    held_.push_back(fd);
    return;
  }
  std::string_view rest = step.bytes;
  while (!rest.empty()) {
    const ssize_t n = ::send(fd, rest.data(), rest.size(), kSendFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
}

std::string ScriptedPeer::readLine(int fd) {
  std::string received;
  char buffer[4096];
  for (;;) {
    const auto newline = received.find('\n');
    if (newline != std::string::npos) return received.substr(0, newline);
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, kReadTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[1].revents) return received;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return received;
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace quill::testing
