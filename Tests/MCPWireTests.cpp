// The app wire records: how they are read from and written to the line the shim and the desktop
// application exchange.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "MCPWire.h"

namespace quill {

// Readable failure messages: records print as their wire text.
void PrintTo(const MCPWireRequest& request, std::ostream* out) {
  *out << MCPWire::encode(request).value_or("<unencodable request>");
}
void PrintTo(const MCPWireResponse& response, std::ostream* out) {
  *out << MCPWire::encode(response).value_or("<unencodable response>");
}

namespace {

JSONValue parse(std::string_view text) {
  auto decoded = JSONValue::decode(text);
  auto* value = std::get_if<JSONValue>(&decoded);
  EXPECT_NE(value, nullptr) << text;
  return value ? *value : JSONValue();
}

std::string encodeOrFail(const auto& record) {
  return MCPWire::encode(record).value_or("<encoding failed>");
}

// ---- Reading responses ----------------------------------------------------------------------

struct ResponseReadCase {
  std::string_view text;
  MCPWireResponse expected;
};

TEST(MCPWireTests, ResponsesThatRead) {
  using Error = MCPWireResponse::WireError;
  const ResponseReadCase cases[] = {
      {R"({"v":1,"ok":true})", {1, std::nullopt, true, std::nullopt, std::nullopt}},
      {R"({"ok":false,"v":1})", {1, std::nullopt, false, std::nullopt, std::nullopt}},
      // Null optional members read as absent.
      {R"({"v":1,"ok":true,"error":null})", {1, std::nullopt, true, std::nullopt, std::nullopt}},
      {R"({"v":1,"ok":true,"result":null})", {1, std::nullopt, true, std::nullopt, std::nullopt}},
      {R"({"v":1,"ok":true,"id":null})", {1, std::nullopt, true, std::nullopt, std::nullopt}},
      // Any integer version.
      {R"({"v":2,"ok":true})", {2, std::nullopt, true, std::nullopt, std::nullopt}},
      {R"({"v":-5,"ok":true})", {-5, std::nullopt, true, std::nullopt, std::nullopt}},
      {R"({"v":0,"ok":true})", {0, std::nullopt, true, std::nullopt, std::nullopt}},
      {R"({"v":1000000000000000,"ok":true})",
       {1'000'000'000'000'000, std::nullopt, true, std::nullopt, std::nullopt}},
      {R"({"v":-9223372036854775808,"ok":true})",
       {std::numeric_limits<std::int64_t>::min(), std::nullopt, true, std::nullopt, std::nullopt}},
      // "internal" is the wire form of internalError.
      {R"({"v":1,"ok":false,"error":{"code":"internal","message":"boom"}})",
       {1, std::nullopt, false, std::nullopt, Error{MCPWireErrorCode::internalError, "boom"}}},
      {R"({"v":1,"ok":false,"error":{"code":"disabled","message":""}})",
       {1, std::nullopt, false, std::nullopt, Error{MCPWireErrorCode::disabled, ""}}},
      {R"({"v":1,"ok":false,"error":{"code":"noProjects","message":"m"}})",
       {1, std::nullopt, false, std::nullopt, Error{MCPWireErrorCode::noProjects, "m"}}},
      // Unknown keys are ignored at the top level and inside "error".
      {R"({"v":1,"ok":false,"extra":[1],"error":{"code":"noProjects","message":"m","hint":{}}})",
       {1, std::nullopt, false, std::nullopt, Error{MCPWireErrorCode::noProjects, "m"}}},
      // Neither combination of ok and result/error is policed by the reader.
      {R"({"v":1,"ok":true,"result":1,"error":{"code":"disabled","message":"x"}})",
       {1, std::nullopt, true, JSONValue(1), Error{MCPWireErrorCode::disabled, "x"}}},
      {R"({"v":1,"ok":false,"result":"r"})",
       {1, std::nullopt, false, JSONValue("r"), std::nullopt}},
      // "id" and "result" keep any value, objects with all their members.
      {R"({"v":1,"ok":true,"id":"abc","result":{"content":[{"type":"text","text":"a/b"}],"isError":false,"z":null}})",
       {1, JSONValue("abc"), true,
        parse(R"({"content":[{"type":"text","text":"a/b"}],"isError":false,"z":null})"),
        std::nullopt}},
      {R"({"v":1,"ok":true,"id":{"k":[true,null]},"result":[]})",
       {1, parse(R"({"k":[true,null]})"), true, parse("[]"), std::nullopt}},
      {R"({"v":1,"ok":true,"id":-2.5,"result":false})",
       {1, JSONValue(-2.5), true, JSONValue(false), std::nullopt}},
      // JSON white space around the object.
      {" \t{\"v\":1,\"ok\":true}\r\n ", {1, std::nullopt, true, std::nullopt, std::nullopt}},
  };
  for (const auto& c : cases) {
    auto decoded = MCPWire::decodeResponse(c.text);
    ASSERT_TRUE(decoded.has_value()) << c.text;
    EXPECT_EQ(*decoded, c.expected) << c.text;
  }
}

TEST(MCPWireTests, ResponsesThatFailAsAWhole) {
  const std::string_view cases[] = {
      // Not one JSON object.
      "",
      " ",
      "not json",
      "[]",
      "1",
      "\"ok\"",
      "null",
      "true",
      R"({"v":1,"ok":true} {})",
      R"({"v":1,"ok":true)",
      // Required keys missing or null.
      R"({"ok":true})",
      R"({"v":1})",
      R"({})",
      R"({"v":null,"ok":true})",
      R"({"v":1,"ok":null})",
      // Wrong kinds.
      R"({"v":1,"ok":1})",
      R"({"v":1,"ok":0})",
      R"({"v":1,"ok":"true"})",
      R"({"v":1,"ok":[]})",
      R"({"v":"1","ok":true})",
      R"({"v":1.5,"ok":true})",
      R"({"v":true,"ok":true})",
      R"({"v":{},"ok":true})",
      R"({"v":1e19,"ok":true})",
      R"({"v":-1e19,"ok":true})",
      // A present "error" needs both members, with strings.
      R"({"v":1,"ok":false,"error":{}})",
      R"({"v":1,"ok":false,"error":{"code":"disabled"}})",
      R"({"v":1,"ok":false,"error":{"message":"m"}})",
      R"({"v":1,"ok":false,"error":{"code":"disabled","message":2}})",
      R"({"v":1,"ok":false,"error":{"code":"disabled","message":null}})",
      R"({"v":1,"ok":false,"error":{"code":7,"message":"m"}})",
      R"({"v":1,"ok":false,"error":{"code":null,"message":"m"}})",
      R"({"v":1,"ok":false,"error":"disabled"})",
      R"({"v":1,"ok":false,"error":[]})",
      R"({"v":1,"ok":false,"error":false})",
      // Unknown codes fail the whole response, in any letter case.
      R"({"v":1,"ok":false,"error":{"code":"internalError","message":"m"}})",
      R"({"v":1,"ok":false,"error":{"code":"Disabled","message":"m"}})",
      R"({"v":1,"ok":false,"error":{"code":"DISABLED","message":"m"}})",
      R"({"v":1,"ok":false,"error":{"code":"","message":"m"}})",
      R"({"v":1,"ok":false,"error":{"code":" disabled","message":"m"}})",
      R"({"v":1,"ok":false,"error":{"code":"disabled ","message":"m"}})",
      R"({"v":1,"ok":true,"result":{},"error":{"code":"nope","message":"m"}})",
  };
  for (std::string_view text : cases) {
    EXPECT_FALSE(MCPWire::decodeResponse(text).has_value()) << text;
  }
}

// ---- Reading requests -----------------------------------------------------------------------

struct RequestReadCase {
  std::string_view text;
  MCPWireRequest expected;
};

TEST(MCPWireTests, RequestsThatRead) {
  using Params = MCPWireRequest::Params;
  const auto none = std::nullopt;
  const RequestReadCase cases[] = {
      {R"({"v":1,"method":"tools/list"})", {1, none, "tools/list", none, none, none}},
      {R"({"v":7,"method":""})", {7, none, "", none, none, none}},
      // Null optional members read as absent.
      {R"({"v":1,"method":"m","id":null,"client":null,"clientName":null,"params":null})",
       {1, none, "m", none, none, none}},
      {R"({"v":1,"method":"m","params":{"name":null,"arguments":null}})",
       {1, none, "m", none, none, Params{none, none}}},
      {R"({"v":1,"method":"m","params":{}})", {1, none, "m", none, none, Params{none, none}}},
      {R"({"client":"claude-code","clientName":"Claude Code","id":3,"method":"tools/call","params":{"arguments":{"project":"Apollo","task":"t"},"name":"get_context_packet"},"v":1})",
       {1, JSONValue(3), "tools/call", "claude-code", "Claude Code",
        Params{"get_context_packet", parse(R"({"project":"Apollo","task":"t"})")}}},
      // Unknown keys are ignored at the top level and inside "params".
      {R"({"v":1,"method":"m","x":1,"params":{"name":"n","extra":"e"}})",
       {1, none, "m", none, none, Params{"n", none}}},
      // "id" and "arguments" keep any value.
      {R"({"v":1,"method":"m","id":"s","params":{"arguments":[1,"a",null]}})",
       {1, JSONValue("s"), "m", none, none, Params{none, parse(R"([1,"a",null])")}}},
      {R"({"v":1,"method":"m","id":[],"params":{"arguments":"text"}})",
       {1, parse("[]"), "m", none, none, Params{none, JSONValue("text")}}},
      {R"({"v":1,"method":"m","id":{"a":{}},"params":{"arguments":false}})",
       {1, parse(R"({"a":{}})"), "m", none, none, Params{none, JSONValue(false)}}},
  };
  for (const auto& c : cases) {
    auto decoded = MCPWire::decodeRequest(c.text);
    ASSERT_TRUE(decoded.has_value()) << c.text;
    EXPECT_EQ(*decoded, c.expected) << c.text;
  }
}

TEST(MCPWireTests, RequestsThatFailAsAWhole) {
  const std::string_view cases[] = {
      "",
      "[]",
      "\"tools/list\"",
      "null",
      R"({"v":1,"method":"m"}x)",
      R"({"method":"m"})",
      R"({"v":1})",
      R"({"v":null,"method":"m"})",
      R"({"v":1,"method":null})",
      R"({"v":"1","method":"m"})",
      R"({"v":1.5,"method":"m"})",
      R"({"v":1,"method":7})",
      R"({"v":1,"method":["m"]})",
      R"({"v":1,"method":"m","client":3})",
      R"({"v":1,"method":"m","client":{}})",
      R"({"v":1,"method":"m","clientName":false})",
      R"({"v":1,"method":"m","params":{"name":1}})",
      R"({"v":1,"method":"m","params":{"name":[]}})",
      R"({"v":1,"method":"m","params":"x"})",
      R"({"v":1,"method":"m","params":[]})",
  };
  for (std::string_view text : cases) {
    EXPECT_FALSE(MCPWire::decodeRequest(text).has_value()) << text;
  }
}

// ---- Writing --------------------------------------------------------------------------------

TEST(MCPWireTests, RequestsAreWrittenWithSortedKeysAndNoAbsentFields) {
  using Params = MCPWireRequest::Params;
  const auto none = std::nullopt;
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
      {{1, JSONValue(2), "tools/call", none, "Claude Desktop", Params{"get_context_packet", none}},
       R"({"clientName":"Claude Desktop","id":2,"method":"tools/call","params":{"name":"get_context_packet"},"v":1})"},
      {{1, JSONValue(2), "tools/call", "claude-code", none,
        Params{"get_context_packet", parse(R"({"task":"fix a/b","project":"Apollo"})")}},
       R"({"client":"claude-code","id":2,"method":"tools/call","params":{"arguments":{"project":"Apollo","task":"fix a/b"},"name":"get_context_packet"},"v":1})"},
      {{1, JSONValue(2), "tools/call", none, none, Params{"get_context_packet", JSONValue()}},
       R"({"id":2,"method":"tools/call","params":{"arguments":null,"name":"get_context_packet"},"v":1})"},
      {{1, none, "tools/call", none, none, Params{none, none}},
       R"({"method":"tools/call","params":{},"v":1})"},
      {{-5, none, "x/y", "a/b", none, none}, R"({"client":"a/b","method":"x/y","v":-5})"},
      {{0, none, "", none, none, none}, R"({"method":"","v":0})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodeOrFail(c.request), c.text);
    // What one side writes, the other side reads back unchanged, except that a present null
    // reads back as absent.
    auto expected = c.request;
    if (expected.id == JSONValue()) expected.id = std::nullopt;
    if (expected.params && expected.params->arguments == JSONValue()) {
      expected.params->arguments = std::nullopt;
    }
    EXPECT_EQ(MCPWire::decodeRequest(c.text), expected) << c.text;
  }
}

TEST(MCPWireTests, ResponsesAreWrittenWithSortedKeysAndNoAbsentFields) {
  const struct {
    MCPWireResponse response;
    std::string_view text;
  } cases[] = {
      {MCPWireResponse::success(JSONValue(3), parse(R"({"isError":false,"content":[]})")),
       R"({"id":3,"ok":true,"result":{"content":[],"isError":false},"v":1})"},
      {MCPWireResponse::success(std::nullopt, JSONValue()), R"({"ok":true,"result":null,"v":1})"},
      {MCPWireResponse::failure(JSONValue("a/b"), MCPWireErrorCode::internalError, "disk/full"),
       R"({"error":{"code":"internal","message":"disk/full"},"id":"a/b","ok":false,"v":1})"},
      {MCPWireResponse::failure(std::nullopt, MCPWireErrorCode::unknownProject, ""),
       R"({"error":{"code":"unknownProject","message":""},"ok":false,"v":1})"},
      {{2, std::nullopt, true, std::nullopt, std::nullopt}, R"({"ok":true,"v":2})"},
      {{1, JSONValue(1), false, JSONValue("r"),
        MCPWireResponse::WireError{MCPWireErrorCode::noProjects, "none"}},
       R"({"error":{"code":"noProjects","message":"none"},"id":1,"ok":false,"result":"r","v":1})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodeOrFail(c.response), c.text);
    auto expected = c.response;
    if (expected.result == JSONValue()) expected.result = std::nullopt;
    EXPECT_EQ(MCPWire::decodeResponse(c.text), expected) << c.text;
  }
}

TEST(MCPWireTests, MembersAreWrittenOnTheirOwn) {
  EXPECT_EQ(encodeOrFail(MCPWireRequest::Params{"get_context_packet", parse(R"({"b":1,"a":2})")}),
            R"({"arguments":{"a":2,"b":1},"name":"get_context_packet"})");
  EXPECT_EQ(encodeOrFail(MCPWireRequest::Params{}), "{}");
  EXPECT_EQ(encodeOrFail(MCPWireResponse::WireError{MCPWireErrorCode::signedOut, "x"}),
            R"({"code":"signedOut","message":"x"})");
}

TEST(MCPWireTests, NonFiniteNumbersCannotBeWritten) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  MCPWireRequest request{1,
                         JSONValue(1),
                         "tools/call",
                         std::nullopt,
                         std::nullopt,
                         MCPWireRequest::Params{"n", JSONValue::array({1, nan})}};
  EXPECT_FALSE(MCPWire::encode(request).has_value());
  request.params->arguments = std::nullopt;
  request.id = JSONValue(inf);
  EXPECT_FALSE(MCPWire::encode(request).has_value());
  EXPECT_FALSE(MCPWire::encode(MCPWireResponse::success(JSONValue(1), JSONValue(-inf))));
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
  for (std::string_view raw :
       {"internalError", "Internal", "Disabled", "signedout", "", " internal", "internal ",
        "noProject", "noProjectss", "disabled\n"}) {
    EXPECT_FALSE(wireErrorCodeFromRawValue(raw).has_value()) << raw;
  }
  EXPECT_FALSE(wireErrorCodeFromRawValue(std::string_view("disabled\0", 9)).has_value());
}

}  // namespace
}  // namespace quill
