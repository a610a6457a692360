// Times as MCP writes them: only those that exist are read.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "ISOTime.h"

namespace quill {
namespace {

TEST(ISOTimeTests, ReadsTimesAsMCPWritesThem) {
  const struct {
    std::string_view text;
    std::optional<std::int64_t> seconds;
  } cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2000-03-01T00:00:00Z", 951868800},
      {"2024-02-29T23:59:59.999+01:00", 1709247599},
      {"1969-12-31T23:00:00-01:00", 0},
      {"2000-02-29T00:00:00Z", 951782400},  // a leap year, as every fourth century is
      {"1900-02-29T00:00:00Z", std::nullopt},
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"2024-04-31T00:00:00Z", std::nullopt},
      {"9999-99-99T99:99:99Z", std::nullopt},
      {"2024-01-01T24:00:00Z", std::nullopt},
      {"2024-01-01T00:00:60Z", std::nullopt},
      {"2024-01-01T00:00Z", std::nullopt},
      {"2024-01-01T00:00:00", std::nullopt},
      {"2024-01-01t00:00:00z", std::nullopt},
      {"2024-01-01T00:00:00.Z", std::nullopt},
      {"2024-01-01T00:00:00+24:00", std::nullopt},
      {"2024-01-01T00:00:00+0100", std::nullopt},
      {"2024-1-01T00:00:00Z", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ISOTime::secondsSinceEpoch(c.text), c.seconds) << c.text;
}

}  // namespace
}  // namespace quill
