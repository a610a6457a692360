#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "JSONValue.h"

using quill::JSONValue;

namespace {

JSONValue read(std::string_view text) {
  auto result = JSONValue::decode(text);
  EXPECT_TRUE(std::holds_alternative<JSONValue>(result)) << text;
  auto* value = std::get_if<JSONValue>(&result);
  return value ? *value : JSONValue();
}

bool reads(std::string_view text) {
  return std::holds_alternative<JSONValue>(JSONValue::decode(text));
}

std::string write(const JSONValue& value) {
  return value.encodedData().value_or("<failed>");
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// `levels` arrays nested in each other around `inner`.
std::string nestedArrays(std::size_t levels, std::string_view inner) {
  return repeat("[", levels) + std::string(inner) + repeat("]", levels);
}

// `levels` objects nested in each other under the key "k", the innermost holding `inner`.
std::string nestedObjects(std::size_t levels, std::string_view inner) {
  return repeat("{\"k\":", levels) + std::string(inner) + repeat("}", levels);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------
// Reading

TEST(JSONValueTests, ReadsEveryNumberAsADouble) {
  const struct {
    std::string_view text;
    double value;
    std::string_view written;
  } cases[] = {
      {"1.0", 1.0, "1"},
      {"1E2", 100.0, "100"},
      {"-32700", -32700.0, "-32700"},
      {"9007199254740991", 9007199254740991.0, "9007199254740991"},
      // Beyond 2^53 and beyond 64 bits: the nearest double.
      {"9007199254740993", 9007199254740992.0, "9007199254740992"},
      {"123456789012345678901234567890", 1.2345678901234568e29, "1.2345678901234568e+29"},
  };
  for (const auto& c : cases) {
    const JSONValue value = read(c.text);
    ASSERT_EQ(value.kind(), JSONValue::Kind::number) << c.text;
    EXPECT_EQ(*value.numberValue(), c.value) << c.text;
    EXPECT_EQ(write(value), c.written) << c.text;
  }
  // -0 reads as negative zero and writes as 0.
  const JSONValue minusZero = read("-0");
  EXPECT_EQ(*minusZero.numberValue(), 0.0);
  EXPECT_TRUE(std::signbit(*minusZero.numberValue()));
  EXPECT_EQ(write(minusZero), "0");
}

TEST(JSONValueTests, ReadsEachKindApart) {
  EXPECT_EQ(read("false").boolValue(), false);
  EXPECT_EQ(read("\"1\"").stringValue(), "1");
  EXPECT_FALSE(read("\"1\"").numberValue());
  EXPECT_FALSE(read("0").boolValue());
  EXPECT_FALSE(read("true").numberValue());
  EXPECT_TRUE(read("null").isNull());
  EXPECT_FALSE(read("\"null\"").isNull());
  EXPECT_FALSE(read("[]").objectValue());
  EXPECT_FALSE(read("{}").arrayValue());
  // A surrogate pair is one four-byte character, in values and keys.
  EXPECT_EQ(read("\"\\ud83d\\ude00 \\u00e9\"").stringValue(), "\xF0\x9F\x98\x80 \xC3\xA9");
  EXPECT_EQ(read("{\"\\ud83d\\ude00\":1}")["\xF0\x9F\x98\x80"], JSONValue(1));
  // With a key given twice, one value is kept, whichever.
  const JSONValue twice = read(R"({"a":1,"a":2,"b":{"c":[],"c":{}}})");
  EXPECT_EQ(twice.objectValue()->size(), 2u);
  EXPECT_TRUE(twice["a"] == JSONValue(1) || twice["a"] == JSONValue(2));
  EXPECT_EQ(twice["b"]->objectValue()->size(), 1u);
}

TEST(JSONValueTests, RejectsTextsThatAreNotExactlyOneJSONValue) {
  const std::string_view texts[] = {
      // Nothing, or more than one value.
      "", "   \t\r\n ", "1 x", "{} {}", "{\"a\":1}}",
      // Malformed.
      "[1,2", "[1,]", "{\"a\"}", "{a:1}", "nul", "tru", "'a'", "01", "+1", ".5", "1.", "NaN",
      "1e400", "\"abc", "\"\\x\"", "\"a\tb\"", std::string_view("\"a\0b\"", 5),
      // Invalid UTF-8, in a string, in a key and outside any string; a surrogate encoded directly.
      "\"\xff\"", "{\"\xc3\":1}", "\"\xc0\xaf\"", "\"\xed\xa0\x80\"", "[1]\xff",
      // Unpaired surrogate escapes.
      "\"\\ud800\"", "\"\\udc00\"", "\"a\\ud800b\"", "\"\\ud800\\u0041\"", "\"\\udc00\\ud800\"",
      "{\"\\ud800\":1}"};
  for (const auto text : texts) {
    EXPECT_FALSE(reads(text)) << "accepted: " << text;
  }
}

TEST(JSONValueTests, ReadsNestingUpToTheLimitAndFailsBeyondIt) {
  const std::size_t limit = JSONValue::maxReadDepth;
  for (std::string_view inner : {"", "1", "{}"}) {
    // "{}" inside adds a level of its own.
    const std::size_t levels = inner == "{}" ? limit - 1 : limit;
    const std::string text = nestedArrays(levels, inner);
    EXPECT_EQ(write(read(text)), text);
    EXPECT_FALSE(reads(nestedArrays(levels + 1, inner))) << "inner " << inner;
  }
  EXPECT_TRUE(reads(nestedObjects(limit, "7")));
  EXPECT_FALSE(reads(nestedObjects(limit + 1, "7")));
  EXPECT_FALSE(reads(nestedObjects(limit, "[]")));
  // Far deeper nesting is an ordinary failure, and the reader is still usable afterwards.
  EXPECT_FALSE(reads(std::string(100000, '[')));
  EXPECT_FALSE(reads(repeat("[{\"k\":", 1000) + "1" + repeat("}]", 1000)));
  EXPECT_EQ(read("[1]"), JSONValue::array({1}));
}

TEST(JSONValueTests, ReadsLargeTexts) {
  // Texts beyond the size for which the reader keeps its buffers take another path.
  std::string text = "[\"abcdef\"" + repeat(",\"abcdef\"", 299999) + "]";
  EXPECT_EQ(read(text).arrayValue()->size(), 300000u);
  EXPECT_EQ(read("{\"small\":true}")["small"], JSONValue(true));
}

// A long string read from a buffer that the caller shares is not copied: it points into the
// buffer and keeps it alive. Short strings, strings with escapes and texts read without a backing
// are copied, and the buffer goes as soon as the caller drops it.
TEST(JSONValueTests, LongPlainStringsPointIntoASharedBuffer) {
  const std::string longText(JSONValue::minBorrowedStringBytes, 'p');
  const std::string text = "{\"long\":\"" + longText + "\",\"short\":\"s\",\"escaped\":\"" +
                           longText + "\\n\",\"items\":[\"" + longText + "\"]}";
  auto owner = std::make_shared<std::string>(text + std::string(64, '\0'));
  const std::string_view bytes(owner->data(), text.size());
  auto inside = [&](std::string_view piece) {
    return piece.data() >= owner->data() && piece.data() < owner->data() + owner->size();
  };

  auto decoded = JSONValue::decode(bytes, owner->size(), owner);
  ASSERT_TRUE(std::holds_alternative<JSONValue>(decoded));
  JSONValue value = std::get<JSONValue>(std::move(decoded));
  EXPECT_EQ(value, read(text));
  EXPECT_TRUE(inside(*value["long"]->stringValue()));
  EXPECT_TRUE(inside(*(*value["items"])[0]->stringValue()));
  EXPECT_FALSE(inside(*value["short"]->stringValue()));
  EXPECT_FALSE(inside(*value["escaped"]->stringValue()));

  std::weak_ptr<std::string> watch = owner;
  owner.reset();
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(value["long"]->stringValue(), longText);
  value = JSONValue();
  EXPECT_TRUE(watch.expired());

  // Nothing long enough to borrow: the buffer is not kept.
  owner = std::make_shared<std::string>("[\"s\",1]" + std::string(64, '\0'));
  watch = owner;
  decoded = JSONValue::decode(std::string_view(owner->data(), 7), owner->size(), owner);
  owner.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(std::get<JSONValue>(decoded), JSONValue::array({"s", 1}));

  // A reading that fails after borrowing from the buffer (at the bad literal) does not keep it.
  const std::string broken = "{\"a\":{\"long\":\"" + longText + "\",\"b\":[1,{\"c\":tru}]}}";
  owner = std::make_shared<std::string>(broken + std::string(64, '\0'));
  watch = owner;
  decoded = JSONValue::decode(std::string_view(owner->data(), broken.size()), owner->size(), owner);
  EXPECT_FALSE(std::holds_alternative<JSONValue>(decoded));
  owner.reset();
  EXPECT_TRUE(watch.expired());
}

// Containers kept as text while reading are the same values as those read into trees: they
// write the same text, compare equal, and can be looked into.
TEST(JSONValueTests, ContainersKeptAsTextAreTheSameValues) {
  const std::string texts[] = {
      "[]",
      "{}",
      R"({"b":1,"a":[true,false,null,"x"]})",
      // Keys out of order, repeated (the last wins), escaped and needing escapes when written.
      R"({"z":{"y":2,"x":1,"y":3},"a\u0000":"\/\u00e9\n","\u00e9":[{"k":0,"j":-0.0}],"a":{}})",
      // Numbers in every form the writer rewrites.
      R"([1.0,1e2,-0,0.1,1E-7,123456789012345678901234567890,2.50,-1.5e300])",
      R"( { "spaced" : [ 1 , { "in" : "side" } ] , "tab"	:	"\t" } )",
      // The same key at two depths, and a repeated key whose first value holds a container.
      R"({"k":{"k":[{"k":1}]},"d":[1],"d":{"e":[2]}})",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    const JSONValue tree = read(text);
    for (std::size_t depth : {1, 2, 3}) {
      auto decoded = JSONValue::decode(text, text.size(), {}, depth);
      ASSERT_TRUE(std::holds_alternative<JSONValue>(decoded));
      const JSONValue& kept = std::get<JSONValue>(decoded);
      EXPECT_EQ(kept.kind(), tree.kind());
      EXPECT_EQ(write(kept), write(tree));
      EXPECT_TRUE(kept == tree);
      EXPECT_TRUE(tree == kept);
    }
  }
  // Many members out of order, and a wide array of containers.
  std::string many = "{";
  for (int i = 40; i > 0; --i)
    many += "\"k" + std::to_string(i % 30) + "\":[" + std::to_string(i) + "],";
  many += "\"k0\":{}}";
  const JSONValue manyTree = read(many);
  EXPECT_EQ(manyTree.objectValue()->size(), 30u);
  EXPECT_EQ(manyTree["k5"], JSONValue::array({5}));  // of 35 and 5, the later one
  EXPECT_EQ(manyTree["k0"], JSONValue(JSONValue::Object{}));
  auto manyKept = JSONValue::decode(many, many.size(), {}, 1);
  EXPECT_EQ(write(std::get<JSONValue>(manyKept)), write(manyTree));

  // Looking into a kept container reads it, members and elements alike.
  auto decoded = JSONValue::decode(texts[3], texts[3].size(), {}, 1);
  const JSONValue& kept = std::get<JSONValue>(decoded);
  EXPECT_EQ(kept["z"], JSONValue::object({{"x", 1}, {"y", 3}}));
  EXPECT_EQ((*kept["\u00e9"])[0]->member("j")->numberValue(), 0.0);
  EXPECT_EQ(kept.objectValue()->size(), 4u);
  // A kept container that does not read fails the whole text, and so does one nested too deeply.
  const std::string tooDeep = "{\"a\":" + nestedArrays(JSONValue::maxReadDepth, "1") + "}";
  const std::string deepest = "{\"a\":" + nestedArrays(JSONValue::maxReadDepth - 1, "1") + "}";
  EXPECT_TRUE(std::holds_alternative<JSONValue>(JSONValue::decode(deepest, deepest.size(), {}, 2)));
  for (std::string_view bad :
       {std::string_view(tooDeep), std::string_view(R"({"a":[1,tru]})"),
        std::string_view(R"({"a":{"b":1,}})"), std::string_view(R"({"a":["\ud800"]})")}) {
    EXPECT_FALSE(std::holds_alternative<JSONValue>(JSONValue::decode(bad, bad.size(), {}, 2)))
        << bad;
  }
}

// Readings share working room on a thread: an object's members must not mix with those of the
// objects around it, of a wide object read before it, or of a reading that failed half-way.
TEST(JSONValueTests, ObjectsKeepTheirOwnMembersAcrossNestingAndReadings) {
  auto wide = [](int count) {  // keys k<count-1> down to k0, each holding its number
    std::string text = "{";
    for (int i = count - 1; i >= 0; --i) {
      text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + (i > 0 ? "," : "}");
    }
    return text;
  };
  struct Case {
    std::string text;
    std::string path;  // members to follow from the top
    std::size_t size;  // members of the object found there
  };
  const std::vector<Case> cases = {
      {wide(2000), "", 2000},
      {R"({"a":1,"w":)" + wide(1500) + R"(,"z":2})", "", 3},
      {R"({"a":1,"w":)" + wide(1500) + R"(,"z":2})", "w", 1500},
      {"[" + wide(1200) + R"(,{"b":{"c":3}}])", "", 0},
      {R"({"x":{"y":{"z":{}}},"y":[{"q":1},{"r":2}],"x2":{"m":1,"n":2}})", "x2", 2},
      {R"({"x":{"y":{"z":{}}},"y":[{"q":1},{"r":2}],"x2":{"m":1,"n":2}})", "x", 1},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.text.substr(0, 60));
    for (std::size_t textFromDepth : {0, 2}) {
      // A reading that fails inside nested objects leaves nothing behind for the next one.
      EXPECT_FALSE(reads(R"({"p":{"q":1,"r":{"s":[1,{"t":tru}]}}})"));
      auto decoded = JSONValue::decode(item.text, item.text.size(), {}, textFromDepth);
      ASSERT_TRUE(std::holds_alternative<JSONValue>(decoded));
      const JSONValue* value = &std::get<JSONValue>(decoded);
      if (!item.path.empty()) value = value->member(item.path);
      ASSERT_NE(value, nullptr);
      if (value->kind() == JSONValue::Kind::array) {
        EXPECT_EQ(write(*value), "[" + write(read(wide(1200))) + R"(,{"b":{"c":3}}])");
        continue;
      }
      ASSERT_EQ(value->objectValue()->size(), item.size);
      if (item.size >= 1000) {
        EXPECT_EQ(*value->member("k0"), JSONValue(0));
        EXPECT_EQ(*value->member("k999"), JSONValue(999));
      }
      EXPECT_EQ(read(R"({"s":{"t":2}})"), JSONValue::object({{"s", JSONValue::object({{"t", 2}})}}));
    }
  }
}

// What a writer leaves out of the text for long strings is exactly what the text would hold.
TEST(JSONValueTests, LongPlainStringsCanBeLeftOutOfTheTextAndSplicedBackIn) {
  const std::string longText(JSONValue::minSplicedStringBytes, 'x');
  const std::string text = "{\"b\":[\"" + longText + "\",\"" + longText + "y\"],\"a\":\"" +
                           longText + "\\t\",\"c\":\"short\"}";
  const JSONValue value = read(text);

  std::string out = "prefix";
  std::vector<JSONValue::Splice> splices;
  ASSERT_TRUE(value.encodeInto(out, splices));
  // The two plain long strings are left out; the escaped one and the short one are written.
  ASSERT_EQ(splices.size(), 2u);
  EXPECT_LT(out.size(), 2 * longText.size());
  std::string whole;
  std::size_t position = 0;
  for (const auto& splice : splices) {
    whole.append(out, position, splice.offset - position);
    whole.append(splice.bytes);
    position = splice.offset;
  }
  whole.append(out, position);
  EXPECT_EQ(whole, "prefix" + write(value));

  // A failed write leaves both the text and the splices as they were.
  const std::string before = out;
  EXPECT_FALSE(JSONValue::array({value, kNaN}).encodeInto(out, splices));
  EXPECT_EQ(out, before);
  EXPECT_EQ(splices.size(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Depth without stack overflow

TEST(JSONValueTests, HandlesAMillionLevelsOfNestingWithoutRecursion) {
  constexpr std::size_t kLevels = 1000000;
  auto build = [](double innermost, bool objects) {
    JSONValue value(innermost);
    for (std::size_t i = 0; i < kLevels; ++i) {
      value = objects ? JSONValue::object({{"k", value}}) : JSONValue::array({value});
    }
    return value;
  };
  for (bool objects : {false, true}) {
    const JSONValue value = build(1, objects);
    const JSONValue copy = value;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_TRUE(copy == value);
    if (!objects) {
      EXPECT_FALSE(build(2, objects) == value);
    }
    const auto text = value.encodedData();
    ASSERT_TRUE(text);
    EXPECT_TRUE(*text == (objects ? nestedObjects(kLevels, "1") : nestedArrays(kLevels, "1")));
  }
  // A deep value whose innermost number is not finite fails to write.
  JSONValue value(kNaN);
  for (std::size_t i = 0; i < kLevels; ++i) {
    value = i % 2 ? JSONValue::array({value}) : JSONValue::object({{"k", value}});
  }
  EXPECT_FALSE(value.encodedData());
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST(JSONValueTests, WritesCompactWithMembersSortedAtEveryDepth) {
  const JSONValue value = JSONValue::object({
      {"b", 1},
      {"a", JSONValue::array({})},
      {"c", JSONValue::array({JSONValue::object({{"z", nullptr}, {"y", true}}), "s", false})},
      {"B", JSONValue::object({{"nested", JSONValue::object({{"2", 2}, {"10", 10}, {"1", {}}})}})},
  });
  EXPECT_EQ(
      write(value),
      R"({"B":{"nested":{"1":null,"10":10,"2":2}},"a":[],"b":1,"c":[{"y":true,"z":null},"s",false]})");
  // Members added one by one are kept in order, a replaced one where it was.
  JSONValue::Object members;
  EXPECT_TRUE(members.insert_or_assign("b", 1).second);
  EXPECT_TRUE(members.insert_or_assign("a", 2).second);
  EXPECT_FALSE(members.insert_or_assign("b", 3).second);
  EXPECT_FALSE(members.try_emplace("a", 4).second);
  EXPECT_EQ(write(JSONValue(std::move(members))), R"({"a":2,"b":3})");
}

TEST(JSONValueTests, WritesStringsWithTheFewestEscapes) {
  const struct {
    std::string text;
    std::string_view written;
  } cases[] = {
      {"", "\"\""},
      {"a/b", "\"a/b\""},
      {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {"line\nbreak\ttab\rcr", R"("line\nbreak\ttab\rcr")"},
      {std::string("nul\0byte", 8), R"("nul\u0000byte")"},
      {"\x1f", R"("\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80",
       "\"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80\""},
      // Invalid UTF-8 becomes U+FFFD, one per byte that starts no valid sequence.
      {"a\xff!", "\"a\xEF\xBF\xBD!\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},                                  // truncated at the end
      {"\xC3(", "\"\xEF\xBF\xBD(\""},                                // bad continuation
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong "/"
      {"\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong "/" in three
      {"\x80\xC3\xA9", "\"\xEF\xBF\xBD\xC3\xA9\""},  // stray continuation, then valid
  };
  for (const auto& c : cases) EXPECT_EQ(write(JSONValue(c.text)), c.written);

  // Every control character is escaped and reads back the same.
  for (int c = 0; c < 0x20; ++c) {
    const std::string text(1, static_cast<char>(c));
    const std::string written = write(JSONValue(text));
    EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](char b) { return b >= 0x20; }));
    EXPECT_EQ(read(written).stringValue(), text) << "control character " << c;
  }
  // Whatever the bytes, the output is valid UTF-8 (the reader accepts it) in values and keys.
  for (const std::string bytes : {"\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",
                                  "\xE2\x80", "\xFE\xFF", "ok\xF0\x9F\x98"}) {
    const std::string written =
        write(JSONValue::object({{bytes, JSONValue(bytes)}, {"k", JSONValue(bytes + "\n")}}));
    EXPECT_TRUE(reads(written)) << written;
  }
}

TEST(JSONValueTests, WritesWholeNumbersBelowTwoToThe53AsIntegersAndOthersToReadBackTheSame) {
  const struct {
    JSONValue value;
    std::string_view text;
  } exact[] = {
      {JSONValue(-0.0), "0"},
      {JSONValue(1e15), "1000000000000000"},
      {JSONValue(-9007199254740991.0), "-9007199254740991"},
      // The 64-bit integer becomes the nearest double.
      {JSONValue(std::int64_t{9007199254740993}), "9007199254740992"},
      {JSONValue(-0.25), "-0.25"},
      {JSONValue(0.1), "0.1"},
  };
  for (const auto& c : exact) EXPECT_EQ(write(c.value), c.text);
  for (double number : {-9007199254740992.0, 9007199254740994.0, 1e300, -1.7976931348623157e308,
                        0.1 + 0.2, 5e-324, 1.0 / 3.0}) {
    const std::string text = write(JSONValue(number));
    EXPECT_EQ(text.find_first_not_of("0123456789.e+-"), std::string::npos) << text;
    EXPECT_EQ(read(text).numberValue(), number) << text;
  }
}

TEST(JSONValueTests, NonFiniteNumbersAnywhereFailTheWholeWrite) {
  for (const JSONValue& value : {
           JSONValue(kNaN),
           JSONValue(-kInfinity),
           JSONValue::array({1, "two", kNaN}),
           JSONValue::object(
               {{"a", 1}, {"z", JSONValue::array({JSONValue::object({{"x", kInfinity}})})}}),
       }) {
    EXPECT_FALSE(value.encodedData());
    EXPECT_FALSE(value.encodedString());
    std::string out = "kept";
    EXPECT_FALSE(value.encodeInto(out));
    EXPECT_EQ(out, "kept");
  }
  std::string out = "[";
  EXPECT_TRUE(JSONValue::array({1}).encodeInto(out));
  EXPECT_EQ(out, "[[1]");
}

// ---------------------------------------------------------------------------------------------
// Equality, building and access

TEST(JSONValueTests, EqualityFollowsIEEEKindsAndContent) {
  const JSONValue nanArray = JSONValue::array({kNaN});
  const JSONValue nanArrayCopy = nanArray;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_FALSE(JSONValue(kNaN) == JSONValue(kNaN));
  EXPECT_FALSE(nanArray == nanArrayCopy);
  EXPECT_TRUE(JSONValue(0.0) == JSONValue(-0.0));
  EXPECT_TRUE(JSONValue(std::int64_t{3}) == read("3.0"));
  EXPECT_TRUE(JSONValue::object({{"a", 1}, {"b", JSONValue::array({1, 2})}}) ==
              read(R"({"b":[1,2],"a":1})"));

  std::vector<JSONValue> distinct;
  for (std::string_view text : {"null", "true", "false", "1", "0", "\"1\"", "\"2\"", "[]", "{}",
                                "[1,2]", "[2,1]", "[1,2,2]", R"({"a":1})", R"({"b":1})",
                                R"({"a":null})", R"({"a":1,"b":1})", R"({"a":{"b":[true]}})"}) {
    distinct.push_back(read(text));
  }
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    for (std::size_t j = 0; j < distinct.size(); ++j) {
      EXPECT_EQ(distinct[i] == distinct[j], i == j) << i << " vs " << j;
    }
  }
}

TEST(JSONValueDeathTest, RepeatedKeyInBuiltObjectStopsTheProcess) {
  EXPECT_DEATH(JSONValue::object({{"a", 1}, {"b", 2}, {"a", 3}}), "Duplicate values for key: 'a'");
  EXPECT_DEATH(JSONValue::object(
                   std::vector<std::pair<std::string, JSONValue>>{{"key one", 1}, {"key one", 1}}),
               "Duplicate values for key: 'key one'");
}

TEST(JSONValueTests, SubscriptsGiveAbsentOutsideTheirKind) {
  const JSONValue object = read(R"({"a":null,"b":[10,20]})");
  EXPECT_EQ(object["a"], JSONValue());
  EXPECT_FALSE(object["c"]);
  EXPECT_FALSE(object[std::int64_t{0}]);
  EXPECT_EQ((*object["b"])[std::int64_t{1}], JSONValue(20));
  EXPECT_FALSE((*object["b"])[std::int64_t{2}]);
  EXPECT_FALSE((*object["b"])[std::int64_t{-1}]);
  EXPECT_FALSE(read("\"abc\"")["a"]);
  EXPECT_EQ(object.member("a"), &object.objectValue()->at("a"));
  EXPECT_EQ(object.member("c"), nullptr);
  EXPECT_EQ(JSONValue().member("a"), nullptr);
}

TEST(JSONValueTests, IntValueTruncatesTowardZero) {
  const struct {
    JSONValue value;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {JSONValue(2.9), 2},
      {JSONValue(-2.9), -2},
      {JSONValue(9223372036854774784.0), 9223372036854774784},  // largest double below 2^63
      {JSONValue(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min()},
      {JSONValue(9223372036854775808.0), std::nullopt},  // 2^63
      {JSONValue(-1e19), std::nullopt},
      {JSONValue(kNaN), std::nullopt},
      {JSONValue(kInfinity), std::nullopt},
      {JSONValue("2"), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.intValue(), c.expected) << write(c.value);
}

}  // namespace
