#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

#include "corvane/time.hpp"
#include "corvane/utils/core.hpp"
#include "corvane/utils/string.hpp"

namespace {

using corvane::utils::core::Uuid;

TEST(Uuid, TextRoundTripIsLowerCase) {
  constexpr Uuid kId = Uuid::literal("0F1e2D3c-4b5A-6978-8a9b-ACBDCEDFE0F1");
  EXPECT_EQ(kId.toString(), "0f1e2d3c-4b5a-6978-8a9b-acbdcedfe0f1");
  EXPECT_EQ(Uuid::parse(kId.toString()), kId);
  EXPECT_EQ(Uuid{}.toString(), "00000000-0000-0000-0000-000000000000");
}

TEST(FormatTime, IsoUtcWithSevenFractionDigits) {
  using corvane::Ticks;
  using corvane::TimeStamp;
  using namespace std::chrono;
  const std::pair<TimeStamp, const char*> cases[] = {
      {TimeStamp{}, "1970-01-01T00:00:00.0000000Z"},
      {TimeStamp{sys_days{2026y / 12 / 6} + 21h + 5min + 54s + Ticks{1234567}}, "2026-12-06T21:05:54.1234567Z"},
      {TimeStamp{Ticks{-1}}, "1969-12-31T23:59:59.9999999Z"},
      {TimeStamp{sys_days{2024y / 2 / 29} + 23h + 59min + 59s}, "2024-02-29T23:59:59.0000000Z"},
      {corvane::kNever, "never"},
  };
  for (const auto& [time, text] : cases) EXPECT_EQ(corvane::formatTime(time), text);
}

TEST(Utf8, TellsWellFormedFromMalformed) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},  {"abcdefghijklmnopq", true},  // ASCII longer than a word
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},  {"\xF4\x8F\xBF\xBF", true},  // 2, 3, 4 bytes; U+10FFFF
      {"abc\x80", false},  {"\xC0\xAF", false},  {"\xE0\x80\xAF", false},  // stray continuation byte, overlong forms
      {"\xF5\x80\x80\x80", false},  {"\xF4\x90\x80\x80", false},  {"\xED\xA0\x80", false},  // > U+10FFFF, surrogate
      {"abcdefgh\xE2\x82", false},  {"abcdefgh\xFF", false},  // truncated, high byte after an ASCII run
  };
  for (const auto& [bytes, valid] : cases) {
    EXPECT_EQ(corvane::utils::string::isValidUtf8(bytes.data(), bytes.size()), valid) << bytes;
  }
}

}  // namespace
