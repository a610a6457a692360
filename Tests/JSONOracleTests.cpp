// The JSON reader against a reader we did not write: Python's json module, held to the same rules
// by Tests/json-oracle.py, reads a generated corpus of valid and invalid texts, and both must
// agree on every text, to the bit of every number. Then values built at random are written and
// must read back as themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "JSONValue.h"
#include "Subprocess.h"

namespace quill {
namespace {

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 0xF]);
  }
  return out;
}

// The canonical form that the oracle prints (see Tests/json-oracle.py).
void canonical(const JSONValue& value, std::string& out) {
  switch (value.kind()) {
    case JSONValue::Kind::null:
      out += 'n';
      return;
    case JSONValue::Kind::boolean:
      out += *value.boolValue() ? 't' : 'f';
      return;
    case JSONValue::Kind::number: {
      const double number = *value.numberValue();
      std::uint64_t bits;
      std::memcpy(&bits, &number, sizeof bits);
      char text[20];
      std::snprintf(text, sizeof text, "d%016" PRIx64, bits);
      out += text;
      return;
    }
    case JSONValue::Kind::string:
      out += 's' + hex(*value.stringValue()) + ';';
      return;
    case JSONValue::Kind::array: {
      out += '[';
      bool first = true;
      for (const auto& element : *value.arrayValue()) {
        if (!std::exchange(first, false)) out += ',';
        canonical(element, out);
      }
      out += ']';
      return;
    }
    case JSONValue::Kind::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : *value.objectValue()) {  // in byte order of the keys
        if (!std::exchange(first, false)) out += ',';
        out += hex(key) + ':';
        canonical(member, out);
      }
      out += '}';
      return;
    }
  }
}

std::string ourReading(std::string_view text) {
  auto decoded = JSONValue::decode(text);
  const JSONValue* value = std::get_if<JSONValue>(&decoded);
  if (!value) return "fail";
  std::string out;
  canonical(*value, out);
  return out;
}

// Texts of every kind, valid and not, from a fixed seed.
class Corpus {
 public:
  std::vector<std::string> texts;

  Corpus() {
    for (std::string_view text : {"",
                                  " ",
                                  "null",
                                  "true ",
                                  "false\r\n",
                                  "nul",
                                  "[]",
                                  "{}",
                                  "[1,]",
                                  "{\"a\":1,}",
                                  "01",
                                  "-0",
                                  "-",
                                  ".5",
                                  "1.",
                                  "1e",
                                  "+1",
                                  "NaN",
                                  "Infinity",
                                  "-Infinity",
                                  "1e309",
                                  "1e-400",
                                  "0e99999999999999999999",
                                  "\"\\ud800\"",
                                  "\"\\udc00\\ud800\"",
                                  "\"\\ud83d\\ude00\"",
                                  "\xEF\xBB\xBF[]",
                                  "\f[]",
                                  "{\"id\":1,\"method\":\"ping\":]}"}) {
      texts.emplace_back(text);
    }
    // Nesting at the limit and just beyond it.
    for (std::size_t levels : {JSONValue::maxReadDepth, JSONValue::maxReadDepth + 1}) {
      texts.push_back(std::string(levels, '[') + std::string(levels, ']'));
    }
    // Every byte that is not ASCII, in a string as the lead of two to four bytes whose second
    // lies on either side of each bound a second byte has, and outside a string.
    for (int lead = 0x80; lead <= 0xFF; ++lead) {
      for (int second : {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0}) {
        std::string bytes{static_cast<char>(lead), static_cast<char>(second)};
        for (std::size_t length = 2; length <= 4; ++length, bytes += '\x80') {
          texts.push_back("\"" + bytes + "\"");
        }
      }
      texts.push_back({static_cast<char>(lead)});
    }
    for (int i = 0; i < 1500; ++i) {
      const std::string text = value(0);
      texts.push_back(text);
      texts.push_back(mutated(text));
    }
  }

 private:
  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }

  std::string space() {
    static constexpr std::string_view kinds[] = {"", "", "", "", " ", "\t", "\r\n", " \n  "};
    return std::string(kinds[below(std::size(kinds))]);
  }

  std::string digits(std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += static_cast<char>('0' + below(10));
    return out;
  }

  std::string number() {
    std::string out = chance(30) ? "-" : "";
    out +=
        chance(20) ? "0" : std::to_string(1 + below(9)) + digits(chance(20) ? below(30) : below(4));
    if (chance(40)) out += "." + digits(1 + (chance(20) ? below(30) : below(5)));
    if (chance(30)) {
      out += chance(50) ? "e" : "E";
      if (chance(60)) out += chance(50) ? "-" : "+";
      out += std::string(chance(30) ? below(25) : 0, '0');
      out += chance(10) ? std::to_string(300 + below(30)) : digits(1 + below(2));
    }
    return out;
  }

  // UTF-8 of a code point that is not a surrogate.
  static std::string utf8(std::uint32_t c) {
    std::string out;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
  }

  std::string escape(std::uint32_t unit) {
    char text[8];
    std::snprintf(text, sizeof text, chance(50) ? "\\u%04x" : "\\u%04X", unit);
    return text;
  }

  std::uint32_t codePoint() {
    static constexpr std::uint32_t limits[] = {0x80, 0x800, 0x10000, 0x110000};
    for (;;) {
      const std::uint32_t c = static_cast<std::uint32_t>(below(limits[below(4)]));
      if (c < 0xD800 || c > 0xDFFF) return c;
    }
  }

  std::string string() {
    std::string out = "\"";
    const std::size_t pieces = below(6);
    for (std::size_t i = 0; i < pieces; ++i) {
      switch (below(7)) {
        case 0:
          out += "plain /text";
          break;
        case 1: {
          static constexpr std::string_view escapes[] = {"\\\"", "\\\\", "\\/", "\\b",
                                                         "\\f",  "\\n",  "\\r", "\\t"};
          out += escapes[below(std::size(escapes))];
          break;
        }
        case 2:
          out += escape(static_cast<std::uint32_t>(below(0xD800)));
          break;
        case 3: {  // a pair; now and then only half of one
          const std::uint32_t c = 0x10000 + static_cast<std::uint32_t>(below(0x100000));
          const std::uint32_t high = 0xD800 + ((c - 0x10000) >> 10);
          const std::uint32_t low = 0xDC00 + ((c - 0x10000) & 0x3FF);
          out += chance(90) ? escape(high) + escape(low) : chance(50) ? escape(high) : escape(low);
          break;
        }
        default:
          out += utf8(codePoint());
      }
    }
    return out + "\"";
  }

  std::string value(int depth) {
    switch (below(depth < 5 ? 8 : 5)) {
      case 0:
        return chance(50) ? "null" : chance(50) ? "true" : "false";
      case 1:
      case 2:
        return number();
      case 3:
      case 4:
        return string();
      case 5:
      case 6: {
        std::string out = "[" + space();
        const std::size_t count = below(4);
        for (std::size_t i = 0; i < count; ++i) {
          out += (i ? "," + space() : "") + value(depth + 1) + space();
        }
        return out + "]";
      }
      default: {
        static constexpr std::string_view keys[] = {"\"a\"", "\"b\"", "\"\"", "\"\\u0061\""};
        std::string out = "{" + space();
        const std::size_t count = below(4);
        for (std::size_t i = 0; i < count; ++i) {
          const std::string key = chance(70) ? std::string(keys[below(4)]) : string();
          out += (i ? "," + space() : "") + key + space() + ":" + space() + value(depth + 1);
        }
        return out + "}";
      }
    }
  }

  // The text with one byte taken out, put in, replaced, or the text cut short.
  std::string mutated(std::string text) {
    static constexpr std::string_view bytes =
        "{}[],:\"\\ 0123456789.eE+-tfnux\t\f\x7F\x80\xBF\xC0\xED\xF4\xFF";
    const std::size_t at = below(text.size() + 1);
    const char byte = bytes[below(bytes.size())];
    switch (below(4)) {
      case 0:
        if (at < text.size()) text.erase(at, 1);
        break;
      case 1:
        text.insert(at, 1, byte);
        break;
      case 2:
        if (at < text.size()) text[at] = byte;
        break;
      default:
        text.resize(at);
    }
    return text;
  }

  std::mt19937_64 random_{20260101};
};

TEST(JSONOracleTests, ReadsEveryTextAsPythonsStrictReaderDoes) {
  const Corpus corpus;
  std::string input;
  for (const auto& text : corpus.texts) input += hex(text) + "\n";
  const auto result = testing::runProcess(
      {"/usr/bin/env", "python3", std::string(QUILL_SOURCE_DIR) + "/Tests/json-oracle.py"},
      testing::currentEnvironment(), input);
  if (result.exitStatus == 127) {  // env found no python3
    GTEST_SKIP() << "no python3 to compare with: " << result.err;
  }
  ASSERT_EQ(result.exitStatus, 0) << result.err;

  std::istringstream answers(result.out);
  std::size_t compared = 0, accepted = 0, mismatches = 0;
  for (const auto& text : corpus.texts) {
    std::string theirs;
    ASSERT_TRUE(std::getline(answers, theirs)) << "the oracle stopped after " << compared;
    const std::string ours = ourReading(text);
    ++compared;
    if (ours != "fail") ++accepted;
    if (ours != theirs && ++mismatches <= 20) {
      ADD_FAILURE() << "text (hex) " << hex(text) << "\n  ours:   " << ours.substr(0, 200)
                    << "\n  Python: " << theirs.substr(0, 200);
    }
  }
  EXPECT_EQ(mismatches, 0u);
  // The corpus holds both kinds in good number.
  EXPECT_GT(accepted, compared / 4);
  EXPECT_GT(compared - accepted, compared / 4);
}

// Values built from random parts, numbers of any finite bit pattern included, are written and read
// back as the same value, and written again to the same text.
TEST(JSONOracleTests, WrittenValuesReadBackAsThemselves) {
  std::mt19937_64 random(7);
  auto below = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  auto text = [&] {
    static constexpr std::string_view pieces[] = {"a",
                                                  "/",
                                                  "\"",
                                                  "\\",
                                                  "\n",
                                                  std::string_view("\0", 1),
                                                  "\x1F",
                                                  "\x7F",
                                                  "\xC3\xA9",
                                                  "\xE2\x80\x94",
                                                  "\xF0\x9F\x98\x80",
                                                  "\xEF\xBF\xBF"};
    std::string out;
    for (std::size_t i = below(5); i > 0; --i) out += pieces[below(std::size(pieces))];
    return out;
  };
  auto number = [&] {
    for (;;) {
      const std::uint64_t bits = random();
      double value;
      std::memcpy(&value, &bits, sizeof value);
      if (below(2)) value = static_cast<double>(static_cast<std::int64_t>(bits) >> below(64));
      if (std::isfinite(value)) return value;
    }
  };
  // Built level by level from the bottom, without recursion in the test either.
  for (int round = 0; round < 300; ++round) {
    std::vector<JSONValue> level;
    for (std::size_t i = 0; i < 8; ++i) {
      switch (below(4)) {
        case 0:
          level.emplace_back(number());
          break;
        case 1:
          level.emplace_back(text());
          break;
        case 2:
          level.emplace_back(below(2) == 0);
          break;
        default:
          level.emplace_back(nullptr);
      }
    }
    for (std::size_t depth = below(6); depth > 0; --depth) {
      std::vector<JSONValue> above;
      for (std::size_t i = 0; i < level.size(); i += 2) {
        if (below(2)) {
          above.emplace_back(JSONValue::Array(
              level.begin() + static_cast<std::ptrdiff_t>(i),
              level.begin() + static_cast<std::ptrdiff_t>(std::min(i + 2, level.size()))));
        } else {
          JSONValue::Object members;
          for (std::size_t k = i; k < std::min(i + 2, level.size()); ++k) {
            members.insert_or_assign(text(), level[k]);
          }
          above.emplace_back(std::move(members));
        }
      }
      level = std::move(above);
    }
    const JSONValue value(std::move(level));
    const auto encoded = value.encodedData();
    ASSERT_FALSE(failed(encoded));
    const std::string& written = std::get<std::string>(encoded);
    auto decoded = JSONValue::decode(written);
    ASSERT_TRUE(std::holds_alternative<JSONValue>(decoded)) << written;
    EXPECT_TRUE(std::get<JSONValue>(decoded) == value) << written;
    EXPECT_EQ(std::get<JSONValue>(decoded).encodedData(), encoded);
  }
}

}  // namespace
}  // namespace quill
