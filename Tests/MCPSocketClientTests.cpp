// One exchange with the desktop application over a real Unix-domain socket, against a scripted
// peer in the same process. SIGPIPE keeps its default action here, so a send that raised it
// would end the whole test program.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "FileDescriptor.h"
#include "LineFraming.h"
#include "MCPSocketClient.h"
#include "SocketPeer.h"
#include "Subprocess.h"
#include "UnixSocket.h"

namespace quill {
namespace {

using MCPSocketClient::Failure;
using testing::leaveStaleSocket;
using testing::PeerScript;
using testing::SocketPeer;
namespace PeerScripts = testing::PeerScripts;

constexpr double kPatient = 30;  // seconds; only a broken client ever waits this long

const MCPWireRequest kListRequest{
    1, JSONValue(1), "tools/list", "claude-code", std::nullopt, std::nullopt};
const std::string kReply =
    R"({"v":1,"id":1,"ok":true,"result":{"tools":[{"name":"get_context_packet"}]}})";
// The reply as read, written back as wire text.
constexpr std::string_view kReplyRead =
    R"({"id":1,"ok":true,"result":{"tools":[{"name":"get_context_packet"}]},"v":1})";

// Arguments of several MiB: far more than the socket buffers hold, so the client is still
// sending when the peer stops reading.
const MCPWireRequest kLargeRequest{
    1,
    JSONValue(9),
    "tools/call",
    std::nullopt,
    std::nullopt,
    MCPWireRequest::Params{"get_context_packet",
                           JSONValue::object({{"task", std::string(8 << 20, 't')}})}};

using Reason = MCPSocketClient::Reason;

// What a call came back with, as one comparable text: the response as wire text, or the kind of
// failure the shim acts on.
std::string outcome(const MCPSocketClient::Result& result) {
  if (const auto* failure = std::get_if<Failure>(&result)) {
    constexpr const char* names[] = {"connect", "io", "timeout", "decode"};
    return names[static_cast<int>(MCPSocketClient::kindOf(failure->reason))];
  }
  return valueOr(MCPWire::encode(std::get<MCPWireResponse>(result)), "<unencodable>");
}

// The failure a call came back with, as one comparable text: its reason and errno.
std::string failureOf(const Failure* failure) {
  if (!failure) return "no failure";
  return "reason " + std::to_string(static_cast<int>(failure->reason)) + ", errno " +
         std::to_string(failure->error);
}
template <typename T>
std::string failureOf(const quill::Result<T, Reason>& result) {
  return failureOf(std::get_if<Failure>(&result));
}
std::string failureOf(Reason reason, int error = 0) {
  const Failure failure{reason, error};
  return failureOf(&failure);
}

std::string roundTrip(const std::string& path, const MCPWireRequest& request = kListRequest,
                      double timeout = kPatient) {
  return outcome(MCPSocketClient::roundTrip(path, request, timeout));
}

MCPSocketClient::Result exchangeResult(const PeerScript& script,
                                       const MCPWireRequest& request = kListRequest,
                                       double timeout = kPatient,
                                       std::size_t limit = LineFraming::maxLineBytes) {
  testing::TemporaryDirectory directory;
  SocketPeer peer(directory.file("app.sock"), script);
  return MCPSocketClient::roundTrip(peer.path(), request, timeout, limit);
}

std::string exchange(const PeerScript& script, const MCPWireRequest& request = kListRequest,
                     double timeout = kPatient, std::size_t limit = LineFraming::maxLineBytes) {
  return outcome(exchangeResult(script, request, timeout, limit));
}

// A path of exactly `bytes` bytes inside `directory`.
std::string pathOfLength(const testing::TemporaryDirectory& directory, std::size_t bytes) {
  return directory.file(std::string(bytes - directory.path().size() - 1, 'p'));
}

TEST(MCPSocketClientTests, SendsTheEncodedRequestAndOneLineFeedPerConnection) {
  testing::TemporaryDirectory directory;
  SocketPeer peer(directory.file("app.sock"),
                  PeerScripts::reply("{\"v\":1,\"id\":\"c-1\",\"ok\":true,\"result\":{}}\n"));
  const MCPWireRequest request{
      1,
      JSONValue("c-1"),
      "tools/call",
      "claude-code",
      "Claude Code",
      MCPWireRequest::Params{
          "get_context_packet",
          JSONValue::object({{"task", "fix src/a.cpp — now"}, {"project", "Apollo"}})}};
  for (int call = 0; call < 2; ++call) {
    EXPECT_EQ(roundTrip(peer.path(), request), R"({"id":"c-1","ok":true,"result":{},"v":1})");
  }
  peer.stop();
  const std::string line =
      R"({"client":"claude-code","clientName":"Claude Code","id":"c-1","method":"tools/call","params":{"arguments":{"project":"Apollo","task":"fix src/a.cpp — now"},"name":"get_context_packet"},"v":1})"
      "\n";
  EXPECT_EQ(peer.transcripts(), (std::vector<std::string>{line, line}));
}

TEST(MCPSocketClientTests, WhatThePeerSendsBack) {
  const struct {
    std::string name;
    PeerScript script;
    std::string_view expected;
  } cases[] = {
      {"a line", PeerScripts::reply(kReply + "\n"), kReplyRead},
      {"a line ending in CR LF", PeerScripts::reply(kReply + "\r\n"), kReplyRead},
      {"one byte per write", PeerScripts::reply(kReply + "\n", true), kReplyRead},
      {"more lines after the first", PeerScripts::reply(kReply + "\nnot json\n{\"v\":2"),
       kReplyRead},
      {"a failure is a successful exchange",
       PeerScripts::reply(
           R"({"v":1,"id":1,"ok":false,"error":{"code":"unknownProject","message":"No project “Zed”."}})"
           "\n"),
       R"({"error":{"code":"unknownProject","message":"No project “Zed”."},"id":1,"ok":false,"v":1})"},
      {"a bare line feed first", PeerScripts::reply("\n" + kReply + "\n"), "decode"},
      {"a line that is not a response", PeerScripts::reply("hello\n"), "decode"},
      {"a complete JSON text without a line feed", PeerScripts::replyAndClose(kReply), "io"},
      {"close after reading the request", PeerScripts::replyAndClose(""), "io"},
      {"silence", PeerScripts::silent(), "timeout"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exchange(c.script, kListRequest, c.name == "silence" ? 0.3 : kPatient), c.expected)
        << c.name;
  }
  // A zero receive time-out would mean waiting forever.
  EXPECT_EQ(exchange(PeerScripts::silent(), kListRequest, 1e-9), "timeout");
}

// An answer longer than the limit ends the exchange at once, though the peer keeps the connection
// open; a line within the limit is read as an answer, whatever comes after it.
TEST(MCPSocketClientTests, AnAnswerLongerThanTheLimitEndsTheExchangeAtOnce) {
  const auto tooLong =
      exchangeResult(PeerScripts::reply(std::string(17, 'x')), kListRequest, kPatient, 16);
  EXPECT_EQ(outcome(tooLong), "io");
  EXPECT_EQ(failureOf(tooLong), failureOf(Reason::lineTooLong));
  EXPECT_EQ(exchange(PeerScripts::reply(kReply + "\n" + std::string(64, 'x')), kListRequest,
                     kPatient, kReply.size()),
            kReplyRead);
}

// The time-out bounds the exchange, not each read: a peer that sends a blank now and then, but
// never a line, does not hold the call for longer.
TEST(MCPSocketClientTests, APeerThatNeverFinishesALineRunsOutOfTime) {
  const auto result =
      exchangeResult(PeerScripts::drip(std::chrono::milliseconds(20)), kListRequest, 0.3);
  EXPECT_EQ(outcome(result), "timeout");
  EXPECT_EQ(failureOf(result), failureOf(Reason::timedOut));
}

// Any connected peer: the first line comes back; what came with it is dropped, so the next
// exchange meets silence and runs out of time.
TEST(MCPSocketClientTests, ExchangesALineOverAConnectedSocket) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  FileDescriptor ours(ends[0]), theirs(ends[1]);
  ASSERT_FALSE(failed(writeAll(theirs.get(), "first\r\nsecond\n")));
  EXPECT_EQ(MCPSocketClient::exchangeLine(ours.get(), "hello", 0.3),
            (quill::Result<std::string, Reason>("first")));
  char sent[16] = {};
  EXPECT_EQ(::read(theirs.get(), sent, sizeof sent), 6);
  EXPECT_STREQ(sent, "hello\n");
  EXPECT_EQ(failureOf(MCPSocketClient::exchangeLine(ours.get(), "again", 0.1)),
            failureOf(Reason::timedOut));
}

// A listener whose queue is full takes no connection: on Linux the connect waits for it, until
// the time runs out; macOS refuses at once, as it does where nobody listens.
TEST(MCPSocketClientTests, AListenerThatTakesNoConnection) {
  testing::TemporaryDirectory directory;
  const std::string path = directory.file("full.sock");
  sockaddr_un address;
  address = std::get<sockaddr_un>(socketAddress(path));
  FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  const auto queued = testing::fillListenQueue(path);
  const auto result = MCPSocketClient::roundTrip(path, kListRequest, 0.3);
#if defined(__linux__)
  EXPECT_EQ(outcome(result), "timeout");
  EXPECT_EQ(failureOf(result), failureOf(Reason::notAccepted, ETIMEDOUT));
#else
  EXPECT_EQ(failureOf(result), failureOf(Reason::refused, ECONNREFUSED));
#endif
}

// Each failure keeps its reason and what the system said.
TEST(MCPSocketClientTests, AFailureSaysWhereAndWhy) {
  testing::TemporaryDirectory directory;
  leaveStaleSocket(directory.file("stale.sock"));
  MCPWireRequest unencodable = kListRequest;
  unencodable.id = JSONValue(std::numeric_limits<double>::quiet_NaN());
  const struct {
    std::string name;
    MCPSocketClient::Result result;
    std::string expected;
  } cases[] = {
      {"nothing there", MCPSocketClient::roundTrip(directory.file("none"), kListRequest, 1),
       failureOf(Reason::nothingThere, ENOENT)},
      {"nobody listening",
       MCPSocketClient::roundTrip(directory.file("stale.sock"), kListRequest, 1),
       failureOf(Reason::refused, ECONNREFUSED)},
      {"a path too long", MCPSocketClient::roundTrip(pathOfLength(directory, 104), kListRequest, 1),
       failureOf(Reason::badPath, ENAMETOOLONG)},
      {"an empty path", MCPSocketClient::roundTrip("", kListRequest, 1),
       failureOf(Reason::badPath, EINVAL)},
      {"a request that cannot be written", exchangeResult(PeerScripts::silent(), unencodable),
       failureOf(Reason::sendFailed)},
      {"closed before a line", exchangeResult(PeerScripts::replyAndClose("{")),
       failureOf(Reason::closedEarly)},
      {"not a response", exchangeResult(PeerScripts::reply("{}\n")),
       failureOf(Reason::notAResponse)},
  };
  for (const auto& c : cases) EXPECT_EQ(failureOf(c.result), c.expected) << c.name;
}

TEST(MCPSocketClientTests, APeerThatStopsTakingTheRequestEndsInIo) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    // Closing with unread bytes: the send fails instead of raising SIGPIPE.
    EXPECT_EQ(exchange(PeerScripts::closeWhileReceiving(), kLargeRequest), "io");
    // Not reading at all: the send times out.
    EXPECT_EQ(exchange(PeerScripts::deaf(), kLargeRequest, 0.3), "io");
  }
  // A request that cannot be written still connects, and sends nothing.
  testing::TemporaryDirectory directory;
  SocketPeer peer(directory.file("app.sock"), PeerScripts::silent());
  MCPWireRequest unencodable = kListRequest;
  unencodable.id = JSONValue(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(roundTrip(peer.path(), unencodable), "io");
  peer.stop();
  EXPECT_EQ(peer.transcripts(), std::vector<std::string>{""});
}

// ---- Connecting ---------------------------------------------------------------------------------

TEST(MCPSocketClientTests, ConnectsOnlyToAPathOfAtMost103BytesThatNamesAFile) {
  testing::TemporaryDirectory directory;
  const std::string reply = kReply + "\n";
  {
    SocketPeer peer(pathOfLength(directory, 103), PeerScripts::reply(reply));
    EXPECT_EQ(roundTrip(peer.path()), kReplyRead);
  }
  // One byte more fails without an attempt to connect, even where a listener can exist there.
  const std::string path104 = pathOfLength(directory, 104);
  if (path104.size() < sizeof(sockaddr_un{}.sun_path)) {
    SocketPeer peer(path104, PeerScripts::reply(reply));
    EXPECT_EQ(roundTrip(path104), "connect");
    peer.stop();
    EXPECT_EQ(peer.transcripts().size(), 0u);
  }
  EXPECT_EQ(roundTrip(path104), "connect");

  // A leading NUL would reach the abstract socket namespace on Linux, where a listener waits for
  // it; macOS has no such namespace, so nobody can listen there. One NUL inside would cut the
  // path short.
  const std::string abstract = std::string(1, '\0') + "qmt-abstract-" + std::to_string(::getpid());
#if defined(__linux__)
  SocketPeer hidden(abstract, PeerScripts::reply(reply));
#endif
  EXPECT_EQ(roundTrip(abstract), "connect");
  SocketPeer shorter(directory.file("app.sock"), PeerScripts::reply(reply));
  EXPECT_EQ(roundTrip(shorter.path() + std::string(1, '\0') + "x"), "connect");

  {
    // A socket file left behind by a listener that has gone.
    SocketPeer gone(directory.file("stale.sock"), PeerScripts::silent());
    ASSERT_EQ(::link(gone.path().c_str(), directory.file("left.sock").c_str()), 0);
  }
  for (const std::string& path : {directory.file("missing.sock"), directory.file("left.sock"),
                                  directory.path(), std::string()}) {
    EXPECT_EQ(roundTrip(path), "connect") << path;
  }
}

// A listener that runs as another user gets no request: the call ends as if nobody listened.
TEST(MCPSocketClientTests, AListenerOfAnotherUserIsNotTalkedTo) {
  if (!testing::ForeignListener::canRunAsAnotherUser()) GTEST_SKIP() << "needs root";
  testing::TemporaryDirectory directory;
  testing::ForeignListener listener(directory.file("other.sock"), 65534);
  const auto result = MCPSocketClient::roundTrip(directory.file("other.sock"), kListRequest, 5);
  EXPECT_EQ(outcome(result), "connect");
  EXPECT_EQ(failureOf(result), failureOf(Reason::otherUser));
  EXPECT_EQ(listener.received(), "");
}

#if defined(__linux__)

std::size_t openDescriptors() {
  std::size_t count = 0;
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    while (::readdir(directory)) ++count;
    ::closedir(directory);
  }
  return count;
}

TEST(MCPSocketClientTests, EveryPathClosesItsSocket) {
  testing::TemporaryDirectory directory;
  MCPWireRequest unencodable = kListRequest;
  unencodable.id = JSONValue(std::numeric_limits<double>::infinity());
  const struct {
    std::string name;
    PeerScript script;  // no peer when empty
    MCPWireRequest request;
    double timeout;
    std::string expected;
  } cases[] = {
      {"success", PeerScripts::reply(kReply + "\n"), kListRequest, kPatient, kReplyRead.data()},
      {"decode", PeerScripts::reply("nope\n"), kListRequest, kPatient, "decode"},
      {"io on close", PeerScripts::replyAndClose(""), kListRequest, kPatient, "io"},
      {"io on encoding", PeerScripts::silent(), unencodable, kPatient, "io"},
      {"io on send", PeerScripts::closeWhileReceiving(), kLargeRequest, kPatient, "io"},
      {"timeout", PeerScripts::silent(), kListRequest, 0.05, "timeout"},
      {"no listener", nullptr, kListRequest, kPatient, "connect"},
      {"path too long", nullptr, kListRequest, kPatient, "connect"},
  };
  // Warm up: the first call may open descriptors that live as long as the process.
  (void)roundTrip(directory.file("none.sock"));
  for (const auto& c : cases) {
    const std::size_t before = openDescriptors();
    {
      std::optional<SocketPeer> peer;
      if (c.script) peer.emplace(directory.file("app.sock"), c.script);
      const std::string path = peer                      ? peer->path()
                               : c.name == "no listener" ? directory.file("none.sock")
                                                         : pathOfLength(directory, 104);
      for (int call = 0; call < 5; ++call) {
        ASSERT_EQ(roundTrip(path, c.request, c.timeout), c.expected) << c.name;
      }
      if (peer) {
        ASSERT_TRUE(peer->waitForServed(5)) << c.name;
      }
    }
    EXPECT_EQ(openDescriptors(), before) << c.name;
  }
}

#endif

}  // namespace
}  // namespace quill
