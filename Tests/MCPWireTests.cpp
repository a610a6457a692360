// The app wire records: how they are read from and written to the line the shim and the desktop
// application exchange.
#include <gtest/gtest.h>

#include <limits>

#include "MCPWire.h"

namespace quill {

// Readable failure messages: records print as their wire text.
void PrintTo(const MCPWireRequest& request, std::ostream* out) {
  *out << valueOr(MCPWire::encode(request), "<unencodable request>");
}
void PrintTo(const MCPWireResponse& response, std::ostream* out) {
  *out << valueOr(MCPWire::encode(response), "<unencodable response>");
}

namespace {

using Params = MCPWireRequest::Params;
using Error = MCPWireResponse::WireError;
constexpr auto none = std::nullopt;

// The record read, or nothing when it fails.
template <typename Record>
std::optional<Record> read(Result<Record, MCPWire::Reason> result) {
  if (auto* record = std::get_if<Record>(&result)) return std::move(*record);
  return std::nullopt;
}

JSONValue parse(std::string_view text) {
  auto decoded = JSONValue::decode(text);
  auto* value = std::get_if<JSONValue>(&decoded);
  EXPECT_NE(value, nullptr) << text;
  return value ? *value : JSONValue();
}

// ---- Reading --------------------------------------------------------------------------------

TEST(MCPWireTests, ResponsesThatRead) {
  const struct {
    std::string_view text;
    MCPWireResponse expected;
  } cases[] = {
      {R"({"v":1,"ok":true})", {1, none, true, none, none}},
      // Null optional members read as absent.
      {R"({"v":1,"ok":false,"error":null,"result":null,"id":null})", {1, none, false, none, none}},
      // Any integer version.
      {R"({"v":-5,"ok":true})", {-5, none, true, none, none}},
      {R"({"v":-9223372036854775808,"ok":true})",
       {std::numeric_limits<std::int64_t>::min(), none, true, none, none}},
      // "internal" is the wire form of internalError; unknown keys are ignored at the top level
      // and inside "error".
      {R"({"v":1,"ok":false,"extra":[1],"error":{"code":"internal","message":"boom","hint":{}}})",
       {1, none, false, none, Error{MCPWireErrorCode::internalError, "boom"}}},
      // Neither combination of ok and result/error is policed by the reader.
      {R"({"v":1,"ok":true,"result":1,"error":{"code":"disabled","message":"x"}})",
       {1, none, true, JSONValue(1), Error{MCPWireErrorCode::disabled, "x"}}},
      {R"({"v":1,"ok":false,"result":"r"})", {1, none, false, JSONValue("r"), none}},
      // "id" and "result" keep any value, objects with all their members.
      {R"({"v":1,"ok":true,"id":"abc","result":{"content":[{"type":"text","text":"a/b"}],"isError":false,"z":null}})",
       {1, JSONValue("abc"), true,
        parse(R"({"content":[{"type":"text","text":"a/b"}],"isError":false,"z":null})"), none}},
      {R"({"v":1,"ok":true,"id":{"k":[true,null]},"result":[]})",
       {1, parse(R"({"k":[true,null]})"), true, parse("[]"), none}},
      // JSON white space around the object.
      {" \t{\"v\":1,\"ok\":true}\r\n ", {1, none, true, none, none}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read(MCPWire::decodeResponse(c.text)), c.expected) << c.text;
    // Reading the members where they lie gives what reading the whole value first gives.
    EXPECT_EQ(read(MCPWire::responseFromJSON(parse(c.text))), c.expected) << c.text;
  }
}

TEST(MCPWireTests, ResponsesThatFailAsAWhole) {
  for (std::string_view text : {
           // Not one JSON object.
           "",
           "not json",
           "[]",
           "\"ok\"",
           R"({"v":1,"ok":true} {})",
           R"({"v":1,"ok":true)",
           // Required keys missing or null.
           R"({"ok":true})",
           R"({"v":1})",
           R"({"v":null,"ok":true})",
           R"({"v":1,"ok":null})",
           // Wrong kinds.
           R"({"v":1,"ok":1})",
           R"({"v":1,"ok":"true"})",
           R"({"v":"1","ok":true})",
           R"({"v":1.5,"ok":true})",
           R"({"v":true,"ok":true})",
           R"({"v":1e19,"ok":true})",
           // A present "error" needs both members, with strings.
           R"({"v":1,"ok":false,"error":{"code":"disabled"}})",
           R"({"v":1,"ok":false,"error":{"message":"m"}})",
           R"({"v":1,"ok":false,"error":{"code":"disabled","message":2}})",
           R"({"v":1,"ok":false,"error":{"code":7,"message":"m"}})",
           R"({"v":1,"ok":false,"error":"disabled"})",
           // Unknown codes fail the whole response, in any letter case.
           R"({"v":1,"ok":false,"error":{"code":"internalError","message":"m"}})",
           R"({"v":1,"ok":false,"error":{"code":"Disabled","message":"m"}})",
           R"({"v":1,"ok":false,"error":{"code":"disabled ","message":"m"}})",
           R"({"v":1,"ok":true,"result":{},"error":{"code":"nope","message":"m"}})",
       }) {
    EXPECT_FALSE(read(MCPWire::decodeResponse(text)).has_value()) << text;
  }
}

TEST(MCPWireTests, RequestsThatRead) {
  const struct {
    std::string_view text;
    MCPWireRequest expected;
  } cases[] = {
      {R"({"v":7,"method":""})", {7, none, "", none, none, none}},
      // Null optional members read as absent.
      {R"({"v":1,"method":"m","id":null,"client":null,"clientName":null,"params":null})",
       {1, none, "m", none, none, none}},
      {R"({"v":1,"method":"m","params":{"name":null,"arguments":null}})",
       {1, none, "m", none, none, Params{none, none}}},
      {R"({"client":"claude-code","clientName":"Claude Code","id":3,"method":"tools/call","params":{"arguments":{"project":"Apollo","task":"t"},"name":"get_context_packet"},"v":1})",
       {1, JSONValue(3), "tools/call", "claude-code", "Claude Code",
        Params{"get_context_packet", parse(R"({"project":"Apollo","task":"t"})")}}},
      // Unknown keys are ignored at the top level and inside "params".
      {R"({"v":1,"method":"m","x":1,"params":{"name":"n","extra":"e"}})",
       {1, none, "m", none, none, Params{"n", none}}},
      // "id" and "arguments" keep any value.
      {R"({"v":1,"method":"m","id":[],"params":{"arguments":"text"}})",
       {1, parse("[]"), "m", none, none, Params{none, JSONValue("text")}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(read(MCPWire::decodeRequest(c.text)), c.expected) << c.text;
  }
}

TEST(MCPWireTests, RequestsThatFailAsAWhole) {
  for (std::string_view text : {
           "",
           "[]",
           R"({"v":1,"method":"m"}x)",
           R"({"method":"m"})",
           R"({"v":1})",
           R"({"v":"1","method":"m"})",
           R"({"v":1.5,"method":"m"})",
           R"({"v":1,"method":7})",
           R"({"v":1,"method":"m","client":3})",
           R"({"v":1,"method":"m","clientName":false})",
           R"({"v":1,"method":"m","params":{"name":1}})",
           R"({"v":1,"method":"m","params":"x"})",
       }) {
    EXPECT_FALSE(read(MCPWire::decodeRequest(text)).has_value()) << text;
  }
}

// ---- Writing --------------------------------------------------------------------------------

TEST(MCPWireTests, RequestsAreWrittenWithSortedKeysAndNoAbsentFields) {
  const struct {
    MCPWireRequest request;
    std::string_view text;
  } cases[] = {
      {{1, JSONValue(1), "tools/list", none, none, none},
       R"({"id":1,"method":"tools/list","v":1})"},
      {{1, none, "tools/list", none, none, none}, R"({"method":"tools/list","v":1})"},
      {{1, JSONValue(nullptr), "tools/list", none, none, none},
       R"({"id":null,"method":"tools/list","v":1})"},
      {{1, JSONValue("req-1"), "tools/list", "cursor", "Cursor", none},
       R"({"client":"cursor","clientName":"Cursor","id":"req-1","method":"tools/list","v":1})"},
      {{1, JSONValue(2), "tools/call", none, "Claude \"D\"", Params{"get_context_packet", none}},
       R"({"clientName":"Claude \"D\"","id":2,"method":"tools/call","params":{"name":"get_context_packet"},"v":1})"},
      {{1, JSONValue(2), "tools/call", "claude-code", none,
        Params{"get_context_packet", parse(R"({"task":"fix a/b","project":"Apollo"})")}},
       R"({"client":"claude-code","id":2,"method":"tools/call","params":{"arguments":{"project":"Apollo","task":"fix a/b"},"name":"get_context_packet"},"v":1})"},
      {{1, JSONValue(2), "tools/call", none, none, Params{"get_context_packet", JSONValue()}},
       R"({"id":2,"method":"tools/call","params":{"arguments":null,"name":"get_context_packet"},"v":1})"},
      {{1, none, "tools/call", none, none, Params{none, JSONValue(3)}},
       R"({"method":"tools/call","params":{"arguments":3},"v":1})"},
      {{1, none, "tools/call", none, none, Params{none, none}},
       R"({"method":"tools/call","params":{},"v":1})"},
      {{-5, none, "x/y", "a/b", none, none}, R"({"client":"a/b","method":"x/y","v":-5})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valueOr(MCPWire::encode(c.request), "<failed>"), c.text);
    // What one side writes, the other side reads back unchanged, except that a present null
    // reads back as absent.
    auto expected = c.request;
    if (expected.id == JSONValue()) expected.id = none;
    if (expected.params && expected.params->arguments == JSONValue()) {
      expected.params->arguments = none;
    }
    EXPECT_EQ(read(MCPWire::decodeRequest(c.text)), expected) << c.text;
  }
}

TEST(MCPWireTests, ResponsesAreWrittenWithSortedKeysAndNoAbsentFields) {
  const struct {
    MCPWireResponse response;
    std::string_view text;
  } cases[] = {
      {MCPWireResponse::success(JSONValue(3), parse(R"({"isError":false,"content":[]})")),
       R"({"id":3,"ok":true,"result":{"content":[],"isError":false},"v":1})"},
      {MCPWireResponse::success(none, JSONValue()), R"({"ok":true,"result":null,"v":1})"},
      {MCPWireResponse::failure(JSONValue("a/b"), MCPWireErrorCode::internalError, "disk/full"),
       R"({"error":{"code":"internal","message":"disk/full"},"id":"a/b","ok":false,"v":1})"},
      {{2, none, true, none, none}, R"({"ok":true,"v":2})"},
      {{1, JSONValue(1), false, JSONValue("r"), Error{MCPWireErrorCode::noProjects, "none"}},
       R"({"error":{"code":"noProjects","message":"none"},"id":1,"ok":false,"result":"r","v":1})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valueOr(MCPWire::encode(c.response), "<failed>"), c.text);
    auto expected = c.response;
    if (expected.result == JSONValue()) expected.result = none;
    EXPECT_EQ(read(MCPWire::decodeResponse(c.text)), expected) << c.text;
  }
}

TEST(MCPWireTests, NonFiniteNumbersCannotBeWritten) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  MCPWireRequest request{1, JSONValue(1), "m", none, none, Params{"n", JSONValue::array({1, nan})}};
  EXPECT_TRUE(failed(MCPWire::encode(request)));
  request.params->arguments = none;
  request.id = JSONValue(std::numeric_limits<double>::infinity());
  EXPECT_TRUE(failed(MCPWire::encode(request)));
  EXPECT_TRUE(failed(MCPWire::encode(MCPWireResponse::success(JSONValue(1), JSONValue(-nan)))));
}

// A text that is no record says why, for the people who read it in a diagnosis.
TEST(MCPWireTests, AFailureSaysWhy) {
  using Reason = MCPWire::Reason;
  const struct {
    std::string_view text;
    Reason reason;
    std::string_view detail;
  } cases[] = {
      {"{", Reason::notJSON, "expected a key at line 1, column 2"},
      {"[]", Reason::notARecord, "not an object"},
      {R"({"v":"1","ok":true})", Reason::notARecord, "\"v\" is not a whole number"},
      {R"({"v":1,"ok":1})", Reason::notARecord, "\"ok\" is not true or false"},
      {R"({"v":1,"ok":false,"error":{"code":"nope","message":""}})", Reason::notARecord,
       "\"error\" is not an object with a known \"code\" and a text \"message\""},
  };
  for (const auto& c : cases) {
    const auto decoded = MCPWire::decodeResponse(c.text);
    ASSERT_TRUE(failed(decoded)) << c.text;
    EXPECT_EQ(failed(decoded)->reason, c.reason) << c.text;
    EXPECT_EQ(failed(decoded)->detail, c.detail) << c.text;
  }
}

TEST(MCPWireTests, ErrorCodesAndTheirRawValues) {
  const struct {
    MCPWireErrorCode code;
    std::string_view raw;
  } cases[] = {
      {MCPWireErrorCode::disabled, "disabled"},
      {MCPWireErrorCode::signedOut, "signedOut"},
      {MCPWireErrorCode::unknownProject, "unknownProject"},
      {MCPWireErrorCode::ambiguousProject, "ambiguousProject"},
      {MCPWireErrorCode::noProjects, "noProjects"},
      {MCPWireErrorCode::internalError, "internal"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rawValue(c.code), c.raw);
    EXPECT_EQ(wireErrorCodeFromRawValue(c.raw), c.code) << c.raw;
  }
  for (std::string_view raw : std::initializer_list<std::string_view>{
           "internalError", "Internal", "signedout", "", " internal", "noProjectss",
           std::string_view("disabled\0", 9)}) {
    EXPECT_FALSE(wireErrorCodeFromRawValue(raw).has_value()) << raw;
  }
}

}  // namespace
}  // namespace quill
