#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LineFraming.h"

using quill::LineFraming;
using Lines = std::vector<std::string>;

namespace {

// Small limits show all there is to a limit; only the reassembly of a long line needs a large one.
constexpr std::size_t kLimit = 16;

// Feeds the chunks in order and returns all lines they completed.
Lines feed(LineFraming& framing, const std::vector<std::string>& chunks) {
  Lines all;
  for (const auto& chunk : chunks) {
    for (auto& line : framing.append(chunk)) all.push_back(std::move(line));
  }
  return all;
}

TEST(LineFramingTests, SplitsChunksIntoLines) {
  struct Case {
    std::vector<std::string> chunks;
    std::vector<Lines> linesPerCall;
  };
  const Case cases[] = {
      {{"a\nb\n"}, {{"a", "b"}}},
      {{"a", "b\n"}, {{}, {"ab"}}},
      {{"a\r\n"}, {{"a"}}},
      {{"a\r\r\n"}, {{"a\r"}}},
      {{"a\rb\n"}, {{"a\rb"}}},
      {{"a\r", "\n"}, {{}, {"a"}}},
      {{"\n"}, {{""}}},
      {{"\r\n"}, {{""}}},
      {{"one\ntw", "o\nthr", "", "ee"}, {{"one"}, {"two"}, {}, {}}},
      {{std::string("nul\0byte\n", 9)}, {{std::string("nul\0byte", 8)}}},
  };
  for (const auto& c : cases) {
    LineFraming framing;
    ASSERT_EQ(c.chunks.size(), c.linesPerCall.size());
    for (std::size_t i = 0; i < c.chunks.size(); ++i) {
      EXPECT_EQ(framing.append(c.chunks[i]), c.linesPerCall[i])
          << "case starting " << testing::PrintToString(c.chunks[0]) << ", call " << i;
    }
    EXPECT_FALSE(framing.droppedOversizedLine());
  }
}

TEST(LineFramingTests, HoldsAnUnfinishedLineUntilItsLineFeed) {
  LineFraming framing;
  EXPECT_EQ(framing.append("a\nrest"), (Lines{"a"}));
  EXPECT_TRUE(framing.append("").empty());
  EXPECT_EQ(framing.bufferedBytes(), 4u);
  EXPECT_EQ(framing.append("!\n"), (Lines{"rest!"}));
  EXPECT_EQ(framing.bufferedBytes(), 0u);
}

TEST(LineFramingTests, AnyWayOfSplittingTheStreamGivesTheSameLines) {
  const std::string inputs[] = {
      "a\nb\n",
      "a\r\nb\r\r\n\n\r\nc\rd\n\rtail",
      "{\"id\":1,\"method\":\"ping\"}\r\n{\"id\":2}\n\n",
      "\r\r\n\r\n\n\r",
  };
  for (const auto& input : inputs) {
    LineFraming whole;
    const Lines expected = whole.append(input);
    // Every split into two and three pieces.
    for (std::size_t i = 0; i <= input.size(); ++i) {
      for (std::size_t j = i; j <= input.size(); ++j) {
        LineFraming framing;
        EXPECT_EQ(feed(framing, {input.substr(0, i), input.substr(i, j - i), input.substr(j)}),
                  expected)
            << testing::PrintToString(input) << " split at " << i << " and " << j;
      }
    }
    // One byte at a time.
    std::vector<std::string> bytes;
    for (char c : input) bytes.emplace_back(1, c);
    LineFraming framing;
    EXPECT_EQ(feed(framing, bytes), expected) << testing::PrintToString(input);
  }
}

TEST(LineFramingTests, TheLimitOfTheLinkIsSixteenMebibytes) {
  EXPECT_EQ(LineFraming().limit(), 16777216u);
}

TEST(LineFramingTests, DropsARemainderBeyondTheLimitWithTheRestOfItsLine) {
  LineFraming framing(kLimit);
  EXPECT_TRUE(framing.append(std::string(kLimit + 1, 'x')).empty());
  EXPECT_EQ(framing.bufferedBytes(), 0u);
  EXPECT_TRUE(framing.droppedOversizedLine());
  EXPECT_EQ(framing.append("xyz\nnext\n"), (Lines{"next"}));

  // The framing goes on normally, and the flag stays set.
  EXPECT_EQ(framing.append("a\r\nb"), (Lines{"a"}));
  EXPECT_EQ(framing.append("\n\n"), (Lines{"b", ""}));
  EXPECT_TRUE(framing.droppedOversizedLine());

  // A second oversize line, this time reached over several calls, with lines before it.
  EXPECT_EQ(framing.append("before\n" + std::string(kLimit - 10, 'y')), (Lines{"before"}));
  EXPECT_TRUE(framing.append(std::string(11, 'y')).empty());
  EXPECT_EQ(framing.bufferedBytes(), 0u);
  // While skipping, more of the same line is dropped again, whatever its size.
  EXPECT_TRUE(framing.append(std::string(kLimit + 5, 'z')).empty());
  EXPECT_TRUE(framing.append("zz\r").empty());
  EXPECT_EQ(framing.append("\nafter\n"), (Lines{"after"}));
  EXPECT_TRUE(framing.droppedOversizedLine());
}

TEST(LineFramingTests, KeepsARemainderOfExactlyTheLimit) {
  LineFraming framing(kLimit);
  std::string head(kLimit, 'h');
  head[0] = '{';
  EXPECT_TRUE(framing.append(head).empty());
  EXPECT_EQ(framing.bufferedBytes(), kLimit);
  EXPECT_FALSE(framing.droppedOversizedLine());
  const Lines lines = framing.append("\r\nnext\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0] == head);
  EXPECT_EQ(lines[1], "next");
  EXPECT_FALSE(framing.droppedOversizedLine());
}

TEST(LineFramingTests, LimitAppliesToTheRemainderNotToACompletedLine) {
  LineFraming framing(kLimit);
  EXPECT_TRUE(framing.append(std::string(kLimit - 2, 'a')).empty());
  const Lines lines = framing.append(std::string(10, 'b') + "\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(kLimit - 2, 'a') + std::string(10, 'b'));
  EXPECT_FALSE(framing.droppedOversizedLine());

  // A single chunk holding a line longer than the limit, with its line feed, is returned whole.
  const Lines single = framing.append(std::string(kLimit + 100, 'c') + "\nd\n");
  ASSERT_EQ(single.size(), 2u);
  EXPECT_EQ(single[0].size(), kLimit + 100);
  EXPECT_EQ(single[1], "d");
  EXPECT_FALSE(framing.droppedOversizedLine());
}

// Past a mebibyte the line takes its room at once rather than growing.
TEST(LineFramingTests, ReassemblesALongLineFromSmallChunks) {
  constexpr std::size_t kChunk = 64 * 1024, kLong = 2 * 1024 * 1024;
  std::string line(kLong, '\0');
  for (std::size_t i = 0; i < line.size(); ++i) line[i] = static_cast<char>('a' + i % 26);
  LineFraming framing(kLong);
  for (std::size_t offset = 0; offset < line.size(); offset += kChunk) {
    ASSERT_TRUE(framing.append(std::string_view(line).substr(offset, kChunk)).empty());
  }
  const Lines lines = framing.append("\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0] == line);
  EXPECT_FALSE(framing.droppedOversizedLine());
}

}  // namespace
