#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include "JSONRPC.h"

namespace quill {

// Readable failure messages for the table below.
void PrintTo(const JSONRPCRequest& request, std::ostream* os) {
  auto show = [](const std::optional<JSONValue>& value) {
    return value ? valueOr(value->encodedData(), "<unwritable>") : std::string("absent");
  };
  *os << "{id " << show(request.id) << ", method \"" << request.method << "\", params "
      << show(request.params) << "}";
}

namespace JSONRPC {
void PrintTo(DecodeFailure failure, std::ostream* os) {
  *os << (failure == DecodeFailure::parseError ? "parseError" : "invalidRequest");
}
}  // namespace JSONRPC

namespace {

using JSONRPC::DecodeFailure;
using Decoded = std::variant<JSONRPCRequest, DecodeFailure>;

// The request, or just the reason it is not one.
Decoded decode(std::string_view line) {
  auto decoded = JSONRPC::decodeRequest(line);
  if (const auto* failure = failed(decoded)) return failure->reason;
  return std::get<JSONRPCRequest>(decoded);
}

std::string text(Result<std::string, JSONWriteReason> written) {
  return valueOr(std::move(written), "<unwritable>");
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

JSONRPCRequest request(std::optional<JSONValue> id, std::string method,
                       std::optional<JSONValue> params = std::nullopt) {
  return JSONRPCRequest{std::move(id), std::move(method), std::move(params)};
}

TEST(JSONRPCTests, DecodesRequestsOfTheAcceptedShape) {
  struct Case {
    std::string_view line;
    JSONRPCRequest expected;
  };
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", request(1, "ping")},
      {R"({"jsonrpc":"2.0","method":"ping"})", request(std::nullopt, "ping")},
      {R"({"id":null,"method":"ping"})", request(JSONValue(), "ping")},
      {R"({"id":"abc","method":"ping"})", request("abc", "ping")},
      {R"({"id":1.5,"method":"ping"})", request(1.5, "ping")},
      {R"({"id":2.0,"method":"ping"})", request(2, "ping")},
      {R"({"id":0.95000000000000000000,"method":"ping"})", request(0.95, "ping")},
      {R"({"id":1e00000000000000000000,"method":"ping"})", request(1, "ping")},
      {R"({"id":1.5E-000000000000000000001,"method":"ping"})", request(0.15, "ping")},
      {R"({"jsonrpc":2,"id":1,"method":"ping"})", request(1, "ping")},
      {R"({"id":1,"method":"ping","params":null})", request(1, "ping", JSONValue())},
      {R"({"id":1,"method":"ping","params":[1,{}]})",
       request(1, "ping", JSONValue::array({1, JSONValue::object({})}))},
      {R"({"id":1,"method":"tools/call","params":{"name":"n","arguments":{}}})",
       request(1, "tools/call",
               JSONValue::object({{"arguments", JSONValue::object({})}, {"name", "n"}}))},
      // The method is kept exactly as sent, the empty string included.
      {R"({"id":1,"method":" Ping "})", request(1, " Ping ")},
      {R"({"id":1,"method":""})", request(1, "")},
      {R"({"id":1,"method":"caf\u00e9\n"})", request(1, "caf\xC3\xA9\n")},
      // Other members are ignored; white space around the text, a carriage return included.
      {R"({"id":1,"method":"ping","extra":{"x":[true]},"error":1})", request(1, "ping")},
      {" \t{\"method\":\"ping\",\"id\":3}\r", request(3, "ping")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(c.line), Decoded(c.expected)) << c.line;
  }
}

TEST(JSONRPCTests, ClassifiesUndecodableLines) {
  struct Case {
    std::string line;
    DecodeFailure expected;
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const Case cases[] = {
      // Not one JSON text.
      {"", DecodeFailure::parseError},
      {"   ", DecodeFailure::parseError},
      {R"({"id":1,)", DecodeFailure::parseError},
      {R"({"id":1,"method":"ping"} x)", DecodeFailure::parseError},
      {R"({"id":1,"method":"ping"}{"id":2,"method":"ping"})", DecodeFailure::parseError},
      {R"({"id":1,"method":"ping",})", DecodeFailure::parseError},
      {R"({"id":1,"method":"ping":]})", DecodeFailure::parseError},
      {R"({"id":1,"method":"ping"]})", DecodeFailure::parseError},
      {R"({"id":1e400,"method":"ping"})", DecodeFailure::parseError},
      {R"({"id":1,"method":"\ud800"})", DecodeFailure::parseError},
      {R"({"id":1,"method":"ping","other":["\ud800"]})", DecodeFailure::parseError},
      {"{\"id\":1,\"method\":\"p\xffing\"}", DecodeFailure::parseError},
      {deep, DecodeFailure::parseError},
      // JSON, but not a request object.
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", DecodeFailure::invalidRequest},
      {R"("ping")", DecodeFailure::invalidRequest},
      {"42", DecodeFailure::invalidRequest},
      {"true", DecodeFailure::invalidRequest},
      {"false \t\n\r ", DecodeFailure::invalidRequest},
      {"null", DecodeFailure::invalidRequest},
      {"{}", DecodeFailure::invalidRequest},
      {R"({"id":1})", DecodeFailure::invalidRequest},
      {R"({"id":1,"method":null})", DecodeFailure::invalidRequest},
      {R"({"id":1,"method":7})", DecodeFailure::invalidRequest},
      {R"({"id":1,"method":["ping"]})", DecodeFailure::invalidRequest},
      {R"({"id":1,"Method":"ping"})", DecodeFailure::invalidRequest},
      {R"({"id":true,"method":"ping"})", DecodeFailure::invalidRequest},
      {R"({"id":[1],"method":"ping"})", DecodeFailure::invalidRequest},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(c.line), Decoded(c.expected)) << c.line.substr(0, 80);
  }
}

TEST(JSONRPCTests, NullAndMissingIdsAreNotificationsButStayDistinct) {
  const auto missing = std::get<JSONRPCRequest>(JSONRPC::decodeRequest(R"({"method":"m"})"));
  const auto null = std::get<JSONRPCRequest>(JSONRPC::decodeRequest(R"({"id":null,"method":"m"})"));
  EXPECT_TRUE(missing.isNotification());
  EXPECT_TRUE(null.isNotification());
  EXPECT_FALSE(missing == null);
  EXPECT_FALSE(request(0, "m").isNotification());
  EXPECT_FALSE(request("", "m").isNotification());
}

TEST(JSONRPCTests, EncodesSuccessResponses) {
  struct Case {
    JSONValue id;
    JSONValue result;
    std::string_view text;
  };
  const Case cases[] = {
      {1, JSONValue::object({}), R"({"id":1,"jsonrpc":"2.0","result":{}})"},
      {"abc", JSONValue::object({}), R"({"id":"abc","jsonrpc":"2.0","result":{}})"},
      {1.5, true, R"({"id":1.5,"jsonrpc":"2.0","result":true})"},
      {2.0, nullptr, R"({"id":2,"jsonrpc":"2.0","result":null})"},
      {nullptr, JSONValue::array({}), R"({"id":null,"jsonrpc":"2.0","result":[]})"},
      {-3, JSONValue::object({{"z", "a/b\n"}, {"a", JSONValue::array({1, 0.25})}}),
       R"({"id":-3,"jsonrpc":"2.0","result":{"a":[1,0.25],"z":"a/b\n"}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(text(JSONRPC::encodeResponse(c.id, c.result)), c.text);

  // The id of a decoded request comes back as sent.
  const auto decoded =
      std::get<JSONRPCRequest>(JSONRPC::decodeRequest(R"({"id":"abc","method":"ping"})"));
  EXPECT_EQ(text(JSONRPC::encodeResponse(*decoded.id, JSONValue::object({}))),
            R"({"id":"abc","jsonrpc":"2.0","result":{}})");
}

TEST(JSONRPCTests, EncodesErrorResponses) {
  struct Case {
    std::optional<JSONValue> id;
    std::int64_t code;
    std::string message;
    std::string_view text;
  };
  const Case cases[] = {
      {std::nullopt, -32700, "Parse error",
       R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {JSONValue(), -32700, "Parse error",
       R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
      {JSONValue(7), -32601, "Method not found: tools/unknown",
       R"({"error":{"code":-32601,"message":"Method not found: tools/unknown"},"id":7,"jsonrpc":"2.0"})"},
      {JSONValue("r-1"), -32602, "line one\nline \"two\"",
       R"({"error":{"code":-32602,"message":"line one\nline \"two\""},"id":"r-1","jsonrpc":"2.0"})"},
      {JSONValue(1), -32603, "",
       R"({"error":{"code":-32603,"message":""},"id":1,"jsonrpc":"2.0"})"},
      {JSONValue(1), 0, "bad \xff byte",
       "{\"error\":{\"code\":0,\"message\":\"bad \xEF\xBF\xBD "
       "byte\"},\"id\":1,\"jsonrpc\":\"2.0\"}"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(text(JSONRPC::encodeError(c.id, c.code, c.message)), c.text);
}

TEST(JSONRPCTests, ErrorDataIsWrittenBetweenCodeAndMessageOnlyWhenGiven) {
  const JSONValue data = JSONValue::object(
      {{"supported", JSONValue::array({"2026-07-28"})}, {"requested", "2030-01-01"}});
  EXPECT_EQ(text(JSONRPC::encodeError(JSONValue(3), -32022, "Unsupported protocol version", data)),
            R"({"error":{"code":-32022,"data":{"requested":"2030-01-01","supported":)"
            R"(["2026-07-28"]},"message":"Unsupported protocol version"},"id":3,"jsonrpc":"2.0"})");
  // Present null is data too; absent leaves the member out.
  EXPECT_EQ(text(JSONRPC::encodeError(std::nullopt, -32603, "x", JSONValue())),
            R"({"error":{"code":-32603,"data":null,"message":"x"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(text(JSONRPC::encodeError(std::nullopt, -32603, "x", std::nullopt)),
            R"({"error":{"code":-32603,"message":"x"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_TRUE(failed(JSONRPC::encodeError(JSONValue(1), -32603, "x", JSONValue::array({kNaN}))));
}

TEST(JSONRPCTests, NonFiniteNumbersMakeAResponseUnwritable) {
  EXPECT_TRUE(
      failed(JSONRPC::encodeResponse(1, JSONValue::object({{"x", JSONValue::array({kNaN})}}))));
  EXPECT_TRUE(failed(JSONRPC::encodeResponse(kNaN, JSONValue::object({}))));
  EXPECT_TRUE(failed(JSONRPC::encodeResponse(1, -std::numeric_limits<double>::infinity())));
  EXPECT_TRUE(failed(JSONRPC::encodeError(JSONValue(kNaN), -32603, "x")));
}

}  // namespace
}  // namespace quill
