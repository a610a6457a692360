// LineFraming against a plain model of its rules, fed the input cut into chunks that the input
// itself chooses, now and then with a run of about 16 MiB so that the length limit is reached.
// After every call the lines given and the drop flag must match the model; and when nothing was
// dropped, the lines of all calls together must be those of the whole input given as one chunk.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "LineFraming.h"

using quill::LineFraming;

namespace {

// The rules word for word: hold everything, cut at each line feed, drop one carriage return at
// the end of a line, skip the line after a dropped remainder, drop a remainder over the limit.
struct Model {
  std::string buffer;
  bool skipping = false;
  bool dropped = false;

  std::vector<std::string> append(std::string_view chunk) {
    buffer.append(chunk);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
      const auto newline = buffer.find('\n', start);
      if (newline == std::string::npos) break;
      std::string line = buffer.substr(start, newline - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (skipping) {
        skipping = false;
      } else {
        lines.push_back(std::move(line));
      }
      start = newline + 1;
    }
    buffer.erase(0, start);
    if (buffer.size() > LineFraming::maxLineBytes) {
      std::string().swap(buffer);
      skipping = true;
      dropped = true;
    }
    return lines;
  }
};

}  // namespace

// Whether this input may hold a run near the limit. Decided by a hash of the whole input, so that
// whatever the corpus looks like only about one execution in 64 pays for one.
bool mayHoldLargeRun(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = 1469598103934665603ull;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash % 64 == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool largeAllowed = mayHoldLargeRun(data, size);
  LineFraming framing;
  Model model;
  std::string whole;
  std::vector<std::string> all;
  int largeRuns = 0;
  while (input.remaining_bytes() > 0) {
    std::string chunk;
    // At most once per input: each costs some milliseconds. (Not on 0, which is what the
    // provider gives once the input is used up.)
    constexpr int kLargeRun = 0xA5;
    const auto kind = input.ConsumeIntegralInRange<int>(0, 255);
    if (largeAllowed && kind == kLargeRun && largeRuns < 1) {
      // A run of one byte around the limit (16 MiB give or take three bytes), now and then with
      // a line feed somewhere in it.
      ++largeRuns;
      const auto delta = input.ConsumeIntegralInRange<int>(-3, 3);
      chunk.assign(static_cast<std::size_t>(static_cast<long>(LineFraming::maxLineBytes) + delta),
                   input.ConsumeBool() ? 'x' : '\r');
      if (input.ConsumeBool()) {
        chunk[input.ConsumeIntegralInRange<std::size_t>(0, chunk.size() - 1)] = '\n';
      }
    } else {
      chunk = input.ConsumeRandomLengthString(256);
    }
    const auto lines = framing.append(chunk);
    const auto expected = model.append(chunk);
    FUZZ_CHECK(lines == expected);
    FUZZ_CHECK(framing.droppedOversizedLine() == model.dropped);
    if (!model.skipping) FUZZ_CHECK(framing.bufferedBytes() == model.buffer.size());
    FUZZ_CHECK(framing.bufferedBytes() <= LineFraming::maxLineBytes);
    for (const auto& line : lines) FUZZ_CHECK(line.find('\n') == std::string::npos);
    all.insert(all.end(), lines.begin(), lines.end());
    whole += chunk;
  }
  // An empty chunk changes nothing.
  FUZZ_CHECK(framing.append("").empty());
  FUZZ_CHECK(framing.bufferedBytes() == model.buffer.size() || model.skipping);

  if (!model.dropped && whole.size() <= LineFraming::maxLineBytes) {
    LineFraming once;
    FUZZ_CHECK(once.append(whole) == all);
    FUZZ_CHECK(once.bufferedBytes() == framing.bufferedBytes());
    FUZZ_CHECK(!once.droppedOversizedLine());
  }
  return 0;
}
