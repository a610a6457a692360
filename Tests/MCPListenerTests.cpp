// The application's side of the link: where it may listen, and one request line in and one answer
// line out per client, waiting or not.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "MCPListener.h"
#include "SocketPeer.h"
#include "Subprocess.h"

namespace quill {
namespace {

// The failure of a result, kept: it may come from a temporary.
template <typename T, typename Reason>
std::optional<Failure<Reason>> failureOf(const Result<T, Reason>& result) {
  if (const auto* failure = failed(result)) return *failure;
  return std::nullopt;
}

using namespace std::chrono_literals;
using Why = MCPConnection::Reason;

FileDescriptor connectTo(const std::string& path) {
  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address;
  address = std::get<sockaddr_un>(socketAddress(path));
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  return fd;
}

void send(int fd, std::string_view bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
}

std::string readToEnd(int fd) {
  std::string received;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) received.append(buffer, n);
  return received;
}

// What a read of the request gave, as one comparable text.
std::string shown(const Result<std::optional<std::string>, Why>& request) {
  const auto* failure = failed(request);
  if (failure) return "failure " + std::to_string(static_cast<int>(failure->reason));
  const auto& line = std::get<std::optional<std::string>>(request);
  return line ? "line " + *line : "not yet";
}

std::string failureOf(Why reason) {
  return shown(Failure<Why>{reason});
}

TEST(MCPListenerTests, ListensOnlyWhereNothingButAStaleSocketOfItsOwnIs) {
  testing::TemporaryDirectory directory;
  const std::string path = directory.file("s");
  const std::string target = directory.file("target");
  using Reason = MCPListener::Reason;
  const struct {
    std::string_view what;
    std::function<void()> make;
    std::optional<Reason> refused;
  } cases[] = {
      {"nothing", [] {}, {}},
      {"a stale socket of this user", [&] { testing::leaveStaleSocket(path); }, {}},
      {"a dangling link", [&] { ::symlink(target.c_str(), path.c_str()); }, Reason::symbolicLink},
      {"a link to a stale socket",
       [&] {
         testing::leaveStaleSocket(target);
         ::symlink(target.c_str(), path.c_str());
       },
       Reason::symbolicLink},
      {"a regular file", [&] { testing::writeFile(path, "keep"); }, Reason::notSocket},
      {"a folder", [&] { ::mkdir(path.c_str(), 0700); }, Reason::notSocket},
      {"a stale socket of another user (as root)",
       [&] {
         testing::leaveStaleSocket(path);
         (void)!::chown(path.c_str(), 65534, 65534);
       },
       Reason::otherUsersSocket},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.what.ends_with("(as root)") && ::geteuid() != 0) continue;
    std::filesystem::remove_all(path);
    std::filesystem::remove_all(target);
    c.make();
    struct stat before {};
    (void)::lstat(path.c_str(), &before);
    std::optional<Reason> refused;
    struct stat after {};
    {
      const mode_t mask = ::umask(0);
      auto listening = MCPListener::listen(path);
      ::umask(mask);
      if (failed(listening)) refused = failed(listening)->reason;
      if (!refused) connectTo(path);  // served, not left stale
      ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    }
    EXPECT_EQ(refused, c.refused);
    if (c.refused) {
      EXPECT_EQ(after.st_ino, before.st_ino) << "replaced";
      EXPECT_EQ(after.st_mode, before.st_mode);
    } else {
      EXPECT_TRUE(S_ISSOCK(after.st_mode));
      EXPECT_EQ(after.st_mode & 07777, 0600u);
      EXPECT_NE(::lstat(path.c_str(), &after), 0) << "the socket is left behind when it stops";
    }
  }
  EXPECT_EQ(failureOf(MCPListener::listen(directory.file(std::string(200, 'x')))),
            (Failure<Reason>{Reason::badPath, ENAMETOOLONG}));

  // While another process holds the lock, whatever is at the path is its own, even a socket
  // that nobody takes connections on.
  std::filesystem::remove_all(path);
  testing::leaveStaleSocket(path);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    auto lock = ListenerLock::acquire(path);
    if (std::holds_alternative<ListenerLock>(lock)) ::pause();
    ::_exit(1);
  }
  for (int tries = 0; tries < 60'000 && ListenerLock::probe(path) != ListenerLock::State::held;
       ++tries) {
    std::this_thread::sleep_for(1ms);
  }
  struct stat before {};
  ASSERT_EQ(::lstat(path.c_str(), &before), 0);
  EXPECT_EQ(failureOf(MCPListener::listen(path))->reason, Reason::lockHeld);
  struct stat after {};
  EXPECT_TRUE(::lstat(path.c_str(), &after) == 0 && after.st_ino == before.st_ino);
  ::kill(holder, SIGKILL);
  ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
  EXPECT_FALSE(failed(MCPListener::listen(path))) << "the holder has gone";
}

TEST(MCPListenerTests, EachClientSendsOneLineAndTakesOneLine) {
  testing::TemporaryDirectory directory;
  auto listening = MCPListener::listen(directory.file("s"), 0.2, 8);
  MCPListener& listener = std::get<MCPListener>(listening);
  const std::string tooLong(100, 'x');
  const struct {
    std::string sent;
    bool endOutput;
    std::string request;
  } cases[] = {
      {"hello\n", false, "line hello"},
      {"hi\r\nnext\n", false, "line hi"},
      {"\n", false, "line "},
      {"12345678\n", false, "line 12345678"},
      {"no end", true, "line no end"},
      {"123456789\n", false, failureOf(Why::lineTooLong)},
      {tooLong + "\nnext\n", false, failureOf(Why::lineTooLong)},
      {tooLong, true, failureOf(Why::lineTooLong)},
      {"", true, failureOf(Why::closedEarly)},
      {"no end", false, failureOf(Why::timedOut)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    const FileDescriptor client = connectTo(directory.file("s"));
    send(client.get(), c.sent);
    if (c.endOutput) ::shutdown(client.get(), SHUT_WR);
    auto accepted = listener.accept(60s);
    ASSERT_FALSE(failed(accepted));
    const bool answerable = c.request != failureOf(Why::closedEarly);
    {
      MCPConnection connection = std::get<MCPConnection>(std::move(accepted));
      EXPECT_EQ(shown(connection.readRequest(true)), c.request);
      if (answerable) {
        connection.answer("A");
        EXPECT_EQ(connection.writeAnswer(true), (Result<bool, Why>(true)));
      }
    }
    EXPECT_EQ(readToEnd(client.get()), answerable ? "A\n" : "");
  }
}

TEST(MCPListenerTests, WithoutWaitingEachStepDoesWhatItCanAndSaysWhatItWaitsFor) {
  testing::TemporaryDirectory directory;
  auto listening = MCPListener::listen(directory.file("s"), 0.2, 8);
  MCPListener& listener = std::get<MCPListener>(listening);
  EXPECT_EQ(failureOf(listener.accept())->reason, Why::noneWaiting);
  const struct {
    std::string_view first, rest;
    std::string request;
  } cases[] = {
      {"hel", "lo\n", "line hello"},
      // Dropped as soon as it passes the limit, and reported once its end has come.
      {"123456789", "0\nnext\n", failureOf(Why::lineTooLong)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const FileDescriptor client = connectTo(directory.file("s"));
    auto accepted = listener.accept();
    ASSERT_FALSE(failed(accepted));
    MCPConnection& connection = std::get<MCPConnection>(accepted);
    EXPECT_EQ(connection.events(), POLLIN);
    EXPECT_EQ(shown(connection.readRequest()), "not yet");
    send(client.get(), c.first);
    EXPECT_EQ(shown(connection.readRequest()), "not yet");
    send(client.get(), c.rest);
    EXPECT_EQ(shown(connection.readRequest()), c.request);
    // More than the socket takes at once waits for the client, until the time is up.
    connection.answer(std::string(4 << 20, 'a'));
    EXPECT_EQ(connection.events(), POLLOUT);
    EXPECT_EQ(connection.writeAnswer(), (Result<bool, Why>(false)));
    EXPECT_EQ(connection.writeAnswer(true), (Result<bool, Why>(Failure<Why>{Why::timedOut})));
  }
}

TEST(MCPListenerTests, AClientOfAnotherUserIsClosedOnUnread) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  testing::TemporaryDirectory directory;
  const std::string path = directory.file("s");
  auto listening = MCPListener::listen(path);
  MCPListener& listener = std::get<MCPListener>(listening);
  // Only the credentials stand in the way.
  ASSERT_EQ(::chmod(directory.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  sockaddr_un address;
  address = std::get<sockaddr_un>(socketAddress(path));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit status 0: connected, then closed on without an answer.
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(10);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) _exit(11);
    (void)!::write(fd, "hello\n", 6);
    char byte;
    const ssize_t n = ::read(fd, &byte, 1);
    _exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 12);
  }
  const auto accepted = listener.accept(60s);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: cannot change user, 11: cannot connect, 12: answered";
  ASSERT_TRUE(failed(accepted));
  EXPECT_EQ(failed(accepted)->reason, Why::otherUser);
}

}  // namespace
}  // namespace quill
