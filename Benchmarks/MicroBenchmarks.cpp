// Micro-benchmarks of the core: reading and writing JSON, line framing, the JSON-RPC envelope and
// the wire records. Run with `quill-benchmarks` from an optimised build (preset `release`).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "JSONRPC.h"
#include "JSONValue.h"
#include "LineFraming.h"
#include "MCPWire.h"

using quill::JSONValue;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

const std::string kPing = R"({"jsonrpc":"2.0","id":42,"method":"ping"})";
const std::string kSmallCall =
    R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"get_context_packet",)"
    R"("arguments":{"project":"Atlas","task":"review the release notes before shipping"}}})";

// Plain prose, as a large task description or briefing would hold.
std::string prose(std::size_t bytes) {
  static constexpr std::string_view words =
      "Quill keeps cited facts, uncertain items and hard rules per project. ";
  std::string text;
  text.reserve(bytes);
  while (text.size() < bytes)
    text.append(words.substr(0, std::min(words.size(), bytes - text.size())));
  return text;
}

// A tools/call request line of about `bytes` bytes whose task is one long string.
std::string largeStringRequest(std::size_t bytes) {
  const std::string head =
      R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"get_context_packet",)"
      R"("arguments":{"project":"Atlas","task":")";
  const std::string tail = R"("}}})";
  return head + prose(bytes - head.size() - tail.size()) + tail;
}

// A request line of about `bytes` bytes whose params hold many small objects: the worst case for
// the value model, one allocation per member.
std::string largeStructuredRequest(std::size_t bytes) {
  std::string line = R"({"jsonrpc":"2.0","id":9,"method":"ping","params":{"items":[)";
  const std::string tail = "]}}";
  for (int i = 0; line.size() + tail.size() < bytes; ++i) {
    if (i > 0) line.push_back(',');
    line += R"({"n":)" + std::to_string(i) + R"(,"name":"item )" + std::to_string(i) +
            R"(","ok":true,"tags":["a","b"]})";
  }
  return line + tail;
}

JSONValue decodeOrDie(std::string_view text) {
  auto decoded = JSONValue::decode(text);
  if (auto* value = std::get_if<JSONValue>(&decoded)) return *value;
  std::abort();
}

// ---- JSON reading -------------------------------------------------------------------------

void decodeBenchmark(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    auto decoded = JSONValue::decode(text);
    benchmark::DoNotOptimize(decoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_JSONDecode_SmallRequest(benchmark::State& state) {
  decodeBenchmark(state, kSmallCall);
}
void BM_JSONDecode_1MiB_String(benchmark::State& state) {
  static const std::string text = largeStringRequest(kMiB);
  decodeBenchmark(state, text);
}
void BM_JSONDecode_16MiB_String(benchmark::State& state) {
  static const std::string text = largeStringRequest(16 * kMiB);
  decodeBenchmark(state, text);
}
void BM_JSONDecode_1MiB_Structured(benchmark::State& state) {
  static const std::string text = largeStructuredRequest(kMiB);
  decodeBenchmark(state, text);
}
void BM_JSONDecode_16MiB_Structured(benchmark::State& state) {
  static const std::string text = largeStructuredRequest(16 * kMiB);
  decodeBenchmark(state, text);
}

// ---- JSON writing -------------------------------------------------------------------------

void encodeBenchmark(benchmark::State& state, const JSONValue& value) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto encoded = value.encodedData();
    const auto* text = std::get_if<std::string>(&encoded);
    bytes = text ? text->size() : 0;
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_JSONEncode_SmallRequest(benchmark::State& state) {
  static const JSONValue value = decodeOrDie(kSmallCall);
  encodeBenchmark(state, value);
}
void BM_JSONEncode_1MiB_String(benchmark::State& state) {
  static const JSONValue value = decodeOrDie(largeStringRequest(kMiB));
  encodeBenchmark(state, value);
}
void BM_JSONEncode_16MiB_String(benchmark::State& state) {
  static const JSONValue value = decodeOrDie(largeStringRequest(16 * kMiB));
  encodeBenchmark(state, value);
}
void BM_JSONEncode_1MiB_Structured(benchmark::State& state) {
  static const JSONValue value = decodeOrDie(largeStructuredRequest(kMiB));
  encodeBenchmark(state, value);
}
void BM_JSONEncode_16MiB_Structured(benchmark::State& state) {
  static const JSONValue value = decodeOrDie(largeStructuredRequest(16 * kMiB));
  encodeBenchmark(state, value);
}

// ---- Line framing -------------------------------------------------------------------------

// 16 MiB fed in 64 KiB chunks, as the shim reads standard input.
void framingBenchmark(benchmark::State& state, const std::string& stream) {
  constexpr std::size_t chunk = 64 * 1024;
  std::size_t lineCount = 0;
  for (auto _ : state) {
    quill::LineFraming framing;
    lineCount = 0;
    for (std::size_t offset = 0; offset < stream.size(); offset += chunk) {
      auto lines = framing.append(std::string_view(stream).substr(offset, chunk));
      lineCount += lines.size();
      benchmark::DoNotOptimize(lines);
    }
  }
  if (lineCount == 0) state.SkipWithError("no line was framed");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  state.counters["lines"] = static_cast<double>(lineCount);
}

// One line of 16 MiB (line feed included): the longest that is held back whole.
void BM_LineFraming_16MiB_OneLine(benchmark::State& state) {
  static const std::string stream = prose(16 * kMiB - 1) + "\n";
  framingBenchmark(state, stream);
}
// 16 MiB of ping requests, each with its own line feed.
void BM_LineFraming_16MiB_Pings(benchmark::State& state) {
  static const std::string stream = [] {
    std::string text;
    while (text.size() + kPing.size() + 1 <= 16 * kMiB) text += kPing + "\n";
    return text;
  }();
  framingBenchmark(state, stream);
}

// ---- JSON-RPC envelope --------------------------------------------------------------------

void requestBenchmark(benchmark::State& state, const std::string& line) {
  for (auto _ : state) {
    auto request = quill::JSONRPC::decodeRequest(line);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}

void BM_JSONRPC_DecodeRequest_Ping(benchmark::State& state) {
  requestBenchmark(state, kPing);
}
void BM_JSONRPC_DecodeRequest_ToolsCall(benchmark::State& state) {
  requestBenchmark(state, kSmallCall);
}
void BM_JSONRPC_DecodeRequest_ParseError(benchmark::State& state) {
  requestBenchmark(state, R"({"jsonrpc":"2.0","id":1,"method":"ping")");
}
void BM_JSONRPC_EncodeResponse_Ping(benchmark::State& state) {
  const JSONValue id(42);
  const JSONValue empty{JSONValue::Object{}};
  for (auto _ : state) {
    auto encoded = quill::JSONRPC::encodeResponse(id, empty);
    benchmark::DoNotOptimize(encoded);
  }
}

// ---- Wire records -------------------------------------------------------------------------

quill::MCPWireRequest toolsCallRequest(std::string task) {
  quill::MCPWireRequest request;
  request.id = JSONValue(7);
  request.method = "tools/call";
  request.client = "claude-code";
  request.clientName = "Claude Code";
  request.params = quill::MCPWireRequest::Params{
      "get_context_packet",
      JSONValue::object({{"project", "Atlas"}, {"task", JSONValue(std::move(task))}})};
  return request;
}

void BM_MCPWire_EncodeRequest_Small(benchmark::State& state) {
  const auto request = toolsCallRequest("review the release notes before shipping");
  for (auto _ : state) {
    auto encoded = quill::MCPWire::encode(request);
    benchmark::DoNotOptimize(encoded);
  }
}
void BM_MCPWire_EncodeRequest_1MiB(benchmark::State& state) {
  const auto request = toolsCallRequest(prose(kMiB));
  for (auto _ : state) {
    auto encoded = quill::MCPWire::encode(request);
    benchmark::DoNotOptimize(encoded);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}

std::string responseLine(std::size_t textBytes) {
  const auto response = quill::MCPWireResponse::success(
      JSONValue(7),
      JSONValue::object(
          {{"content", JSONValue::array({JSONValue::object(
                           {{"type", "text"}, {"text", JSONValue(prose(textBytes))}})})},
           {"isError", false}}));
  auto encoded = quill::MCPWire::encode(response);
  if (quill::failed(encoded)) std::abort();
  return std::get<std::string>(std::move(encoded));
}

void responseBenchmark(benchmark::State& state, const std::string& line) {
  for (auto _ : state) {
    auto response = quill::MCPWire::decodeResponse(line);
    benchmark::DoNotOptimize(response);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}

void BM_MCPWire_DecodeResponse_Small(benchmark::State& state) {
  static const std::string line = responseLine(2 * 1024);
  responseBenchmark(state, line);
}
void BM_MCPWire_DecodeResponse_1MiB(benchmark::State& state) {
  static const std::string line = responseLine(kMiB);
  responseBenchmark(state, line);
}
void BM_MCPWire_DecodeResponse_Error(benchmark::State& state) {
  responseBenchmark(
      state,
      R"({"error":{"code":"unknownProject","message":"No project"},"id":7,"ok":false,"v":1})");
}

}  // namespace

BENCHMARK(BM_JSONDecode_SmallRequest);
BENCHMARK(BM_JSONDecode_1MiB_String);
BENCHMARK(BM_JSONDecode_16MiB_String)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JSONDecode_1MiB_Structured);
BENCHMARK(BM_JSONDecode_16MiB_Structured)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JSONEncode_SmallRequest);
BENCHMARK(BM_JSONEncode_1MiB_String);
BENCHMARK(BM_JSONEncode_16MiB_String)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JSONEncode_1MiB_Structured);
BENCHMARK(BM_JSONEncode_16MiB_Structured)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineFraming_16MiB_OneLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineFraming_16MiB_Pings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JSONRPC_DecodeRequest_Ping);
BENCHMARK(BM_JSONRPC_DecodeRequest_ToolsCall);
BENCHMARK(BM_JSONRPC_DecodeRequest_ParseError);
BENCHMARK(BM_JSONRPC_EncodeResponse_Ping);
BENCHMARK(BM_MCPWire_EncodeRequest_Small);
BENCHMARK(BM_MCPWire_EncodeRequest_1MiB);
BENCHMARK(BM_MCPWire_DecodeResponse_Small);
BENCHMARK(BM_MCPWire_DecodeResponse_1MiB);
BENCHMARK(BM_MCPWire_DecodeResponse_Error);

BENCHMARK_MAIN();
