// One exchange with the desktop application over a real Unix-domain socket, against a scripted
// peer in the same process. SIGPIPE keeps its default action here, so a send that raised it
// would end the whole test program.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "LineFraming.h"
#include "MCPSocketClient.h"
#include "SocketPeer.h"
#include "Subprocess.h"

namespace quill {
namespace {

using MCPSocketClient::Failure;
using testing::PeerConnection;
using testing::PeerScript;
using testing::SocketPeer;
namespace PeerScripts = testing::PeerScripts;

constexpr double kPatient = 30;  // seconds; only a broken client ever waits this long

const MCPWireRequest kListRequest{
    1, JSONValue(1), "tools/list", "claude-code", std::nullopt, std::nullopt};
constexpr std::string_view kListReply =
    R"({"v":1,"id":1,"ok":true,"result":{"tools":[{"name":"get_context_packet"}]}})";

// What a call came back with, as one comparable text: the response as wire text, or the
// failure's name.
std::string outcome(const MCPSocketClient::Result& result) {
  if (const auto* failure = std::get_if<Failure>(&result)) {
    switch (*failure) {
      case Failure::connect:
        return "connect";
      case Failure::io:
        return "io";
      case Failure::timeout:
        return "timeout";
      case Failure::decode:
        return "decode";
    }
    return "unknown failure";
  }
  return MCPWire::encode(std::get<MCPWireResponse>(result)).value_or("<unencodable>");
}

std::string exchange(const PeerScript& script, const MCPWireRequest& request = kListRequest,
                     double timeout = kPatient) {
  testing::TemporaryDirectory directory;
  SocketPeer peer(directory.file("app.sock"), script);
  return outcome(MCPSocketClient::roundTrip(peer.path(), request, timeout));
}

TEST(MCPSocketClientTests, SendsTheEncodedRequestAndOneLineFeedPerConnection) {
  testing::TemporaryDirectory directory;
  SocketPeer peer(directory.file("app.sock"),
                  PeerScripts::reply(R"({"v":1,"id":"c-1","ok":true,"result":{}})"
                                     "\n"));
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
    EXPECT_EQ(outcome(MCPSocketClient::roundTrip(peer.path(), request, kPatient)),
              R"({"id":"c-1","ok":true,"result":{},"v":1})");
  }
  ASSERT_TRUE(peer.waitForServed(2));
  const std::string line =
      R"({"client":"claude-code","clientName":"Claude Code","id":"c-1","method":"tools/call","params":{"arguments":{"project":"Apollo","task":"fix src/a.cpp — now"},"name":"get_context_packet"},"v":1})"
      "\n";
  EXPECT_EQ(peer.transcripts(), (std::vector<std::string>{line, line}));
}

TEST(MCPSocketClientTests, WhatThePeerSendsBack) {
  const std::string reply(kListReply);
  const std::string decoded =
      R"({"id":1,"ok":true,"result":{"tools":[{"name":"get_context_packet"}]},"v":1})";
  const std::string bigText(300'000, 'b');
  const struct {
    std::string name;
    PeerScript script;
    std::string expected;
  } cases[] = {
      {"a line", PeerScripts::reply(reply + "\n"), decoded},
      {"a line ending in CR LF", PeerScripts::reply(reply + "\r\n"), decoded},
      {"one byte per write", PeerScripts::reply(reply + "\n", true), decoded},
      {"more lines after the first", PeerScripts::reply(reply + "\nnot json\n{\"v\":2"), decoded},
      {"more lines, then close", PeerScripts::replyAndClose(reply + "\n{}\n"), decoded},
      {"a line larger than the receive buffer",
       PeerScripts::reply(R"({"v":1,"ok":true,"result":")" + bigText + "\"}\n"),
       R"({"ok":true,"result":")" + bigText + R"(","v":1})"},
      {"a failure is a successful exchange",
       PeerScripts::reply(
           R"({"v":1,"id":1,"ok":false,"error":{"code":"unknownProject","message":"No project “Zed”."}})"
           "\n"),
       R"({"error":{"code":"unknownProject","message":"No project “Zed”."},"id":1,"ok":false,"v":1})"},
      {"neither result nor error", PeerScripts::reply("{\"v\":1,\"ok\":true}\n"),
       R"({"ok":true,"v":1})"},
      {"a bare line feed first", PeerScripts::reply("\n" + reply + "\n"), "decode"},
      {"a line that is not JSON", PeerScripts::reply("hello\n"), "decode"},
      {"JSON without ok",
       PeerScripts::reply(R"({"v":1,"result":{}})"
                          "\n"),
       "decode"},
      {"an unknown error code",
       PeerScripts::reply(R"({"v":1,"ok":false,"error":{"code":"internalError","message":""}})"
                          "\n"),
       "decode"},
      {"a complete JSON text without a line feed", PeerScripts::replyAndClose(reply), "io"},
      {"close after reading the request", PeerScripts::replyAndClose(""), "io"},
      {"close at once", [](PeerConnection&) {}, "io"},
      {"close while receiving", PeerScripts::closeWhileReceiving(), "io"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exchange(c.script), c.expected) << c.name;
  }
}

TEST(MCPSocketClientTests, AnOversizedLineIsSkippedUpToTheNextLine) {
  // Longer than the framing holds by more than one receive buffer, so that some read leaves more
  // than the maximum without a line feed, however the bytes are split into reads.
  const std::string oversized(LineFraming::maxLineBytes + 3 * 65536, 'x');
  EXPECT_EQ(exchange(PeerScripts::reply(oversized + "\n" + std::string(kListReply) + "\n")),
            R"({"id":1,"ok":true,"result":{"tools":[{"name":"get_context_packet"}]},"v":1})");
  EXPECT_EQ(exchange(PeerScripts::replyAndClose(oversized + "\n")), "io");
}

TEST(MCPSocketClientTests, APeerThatKeepsSilentTimesOut) {
  EXPECT_EQ(exchange(PeerScripts::silent(), kListRequest, 0.3), "timeout");
  // Part of a line, then nothing more.
  EXPECT_EQ(exchange(
                [](PeerConnection& connection) {
                  if (connection.readLine() && connection.write("{\"v\":1,")) {
                    connection.readUntilClosed();
                  }
                },
                kListRequest, 0.3),
            "timeout");
}

// Arguments of several MiB: far more than the socket buffers hold, so the client is still
// sending when the peer stops reading.
MCPWireRequest largeRequest() {
  return MCPWireRequest{
      1,
      JSONValue(9),
      "tools/call",
      std::nullopt,
      std::nullopt,
      MCPWireRequest::Params{"get_context_packet",
                             JSONValue::object({{"task", std::string(8 << 20, 't')}})}};
}

TEST(MCPSocketClientTests, APeerThatStopsTakingALargeRequestEndsInIo) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    // Closing with unread bytes: the send fails instead of raising SIGPIPE.
    EXPECT_EQ(exchange(PeerScripts::closeWhileReceiving(), largeRequest()), "io");
    // Not reading at all: the send times out.
    EXPECT_EQ(exchange(PeerScripts::deaf(), largeRequest(), 0.3), "io");
  }
}

TEST(MCPSocketClientTests, ARequestThatCannotBeEncodedStillConnectsAndEndsInIo) {
  testing::TemporaryDirectory directory;
  SocketPeer peer(directory.file("app.sock"), PeerScripts::silent());
  MCPWireRequest request = kListRequest;
  request.id = JSONValue(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(outcome(MCPSocketClient::roundTrip(peer.path(), request, kPatient)), "io");
  ASSERT_TRUE(peer.waitForServed(1));
  EXPECT_EQ(peer.transcripts(), std::vector<std::string>{""});
}

TEST(MCPSocketClientTests, ATimeOutBelowOneMicrosecondStillEnds) {
  // A zero receive time-out would mean waiting forever.
  EXPECT_EQ(exchange(PeerScripts::silent(), kListRequest, 1e-9), "timeout");
}

// ---- Connecting ---------------------------------------------------------------------------------

// A path of exactly `bytes` bytes inside `directory`.
std::string pathOfLength(const testing::TemporaryDirectory& directory, std::size_t bytes) {
  const std::size_t nameBytes = bytes - directory.path().size() - 1;
  return directory.file(std::string(nameBytes, 'p'));
}

TEST(MCPSocketClientTests, APathOf103BytesConnects) {
  testing::TemporaryDirectory directory;
  SocketPeer peer(pathOfLength(directory, 103), PeerScripts::reply(std::string(kListReply) + "\n"));
  ASSERT_EQ(peer.path().size(), 103u);
  EXPECT_EQ(outcome(MCPSocketClient::roundTrip(peer.path(), kListRequest, kPatient)),
            R"({"id":1,"ok":true,"result":{"tools":[{"name":"get_context_packet"}]},"v":1})");
}

// Connects to `path` directly and sends one line, so that the peer has served exactly the
// connections made before it once it has served this one.
void probe(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
      << std::strerror(errno);
  ASSERT_EQ(::send(fd, "probe\n", 6, 0), 6);
  ::close(fd);
}

TEST(MCPSocketClientTests, APathOf104BytesFailsWithoutAnAttemptToConnect) {
  testing::TemporaryDirectory directory;
  const std::string path = pathOfLength(directory, 104);
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    // No listener can exist at such a path here, so no connection can reach one.
    EXPECT_EQ(outcome(MCPSocketClient::roundTrip(path, kListRequest, kPatient)), "connect");
    return;
  }
  SocketPeer peer(path, PeerScripts::reply(std::string(kListReply) + "\n"));
  EXPECT_EQ(outcome(MCPSocketClient::roundTrip(path, kListRequest, kPatient)), "connect");
  probe(path);
  ASSERT_TRUE(peer.waitForServed(1));
  EXPECT_EQ(peer.transcripts(), std::vector<std::string>{"probe\n"});
}

TEST(MCPSocketClientTests, APathThatCannotNameAFileFailsWithConnect) {
  const std::string reply = std::string(kListReply) + "\n";
  // A leading NUL would reach the abstract socket namespace on Linux.
  const std::string abstract = std::string(1, '\0') + "qmt-abstract-" + std::to_string(::getpid());
  SocketPeer hidden(abstract, PeerScripts::reply(reply));
  EXPECT_EQ(outcome(MCPSocketClient::roundTrip(abstract, kListRequest, kPatient)), "connect");
  // A NUL inside would cut the path short.
  testing::TemporaryDirectory directory;
  SocketPeer shorter(directory.file("app.sock"), PeerScripts::reply(reply));
  EXPECT_EQ(outcome(MCPSocketClient::roundTrip(shorter.path() + std::string(1, '\0') + "x",
                                               kListRequest, kPatient)),
            "connect");
}

TEST(MCPSocketClientTests, NothingListeningFailsWithConnect) {
  testing::TemporaryDirectory directory;
  testing::writeFile(directory.file("plain"), std::string(kListReply) + "\n");
  {
    // A socket file left behind by a listener that has gone.
    SocketPeer gone(directory.file("stale.sock"), PeerScripts::silent());
    ASSERT_EQ(::link(gone.path().c_str(), directory.file("left.sock").c_str()), 0);
  }
  const std::string paths[] = {
      directory.file("missing.sock"),
      directory.file("no/such/dir.sock"),
      directory.file("plain"),
      directory.file("left.sock"),
      directory.path(),
      "",
  };
  for (const auto& path : paths) {
    EXPECT_EQ(outcome(MCPSocketClient::roundTrip(path, kListRequest, kPatient)), "connect") << path;
  }
}

// ---- Descriptors
// ----------------------------------------------------------------------------------

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
  const std::string reply = std::string(kListReply) + "\n";
  MCPWireRequest unencodable = kListRequest;
  unencodable.id = JSONValue(std::numeric_limits<double>::infinity());
  const struct {
    std::string name;
    PeerScript script;  // no peer when empty
    MCPWireRequest request;
    double timeout;
    int calls;
    std::string expected;
  } cases[] = {
      {"success", PeerScripts::reply(reply), kListRequest, kPatient, 40, "ok"},
      {"error reply",
       PeerScripts::reply(R"({"v":1,"ok":false,"error":{"code":"disabled","message":""}})"
                          "\n"),
       kListRequest, kPatient, 40, "ok"},
      {"decode", PeerScripts::reply("nope\n"), kListRequest, kPatient, 40, "decode"},
      {"io on close", PeerScripts::replyAndClose(""), kListRequest, kPatient, 40, "io"},
      {"io on encoding", PeerScripts::silent(), unencodable, kPatient, 40, "io"},
      {"io on send", PeerScripts::closeWhileReceiving(), largeRequest(), kPatient, 5, "io"},
      {"timeout", PeerScripts::silent(), kListRequest, 0.05, 5, "timeout"},
      {"no listener", nullptr, kListRequest, kPatient, 40, "connect"},
  };
  const std::string longPath = pathOfLength(directory, 104);
  // Warm up: the first call may open descriptors that live as long as the process.
  (void)MCPSocketClient::roundTrip(directory.file("none.sock"), kListRequest, kPatient);
  for (const auto& c : cases) {
    const std::size_t before = openDescriptors();
    {
      std::optional<SocketPeer> peer;
      if (c.script) peer.emplace(directory.file("app.sock"), c.script);
      for (int call = 0; call < c.calls; ++call) {
        const std::string path = peer ? peer->path() : directory.file("none.sock");
        auto result = MCPSocketClient::roundTrip(path, c.request, c.timeout);
        const std::string got =
            std::holds_alternative<MCPWireResponse>(result) ? "ok" : outcome(result);
        ASSERT_EQ(got, c.expected) << c.name;
      }
      if (peer) {
        ASSERT_TRUE(peer->waitForServed(static_cast<std::size_t>(c.calls))) << c.name;
      }
    }
    EXPECT_EQ(openDescriptors(), before) << c.name;
  }
  const std::size_t before = openDescriptors();
  for (int call = 0; call < 40; ++call) {
    (void)MCPSocketClient::roundTrip(longPath, kListRequest, kPatient);
  }
  EXPECT_EQ(openDescriptors(), before) << "path too long";
}

#endif

}  // namespace
}  // namespace quill
