// Tests of check_eq and of how failure reports print values.
#include "zyl_harness/check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zyl_harness {
namespace {

enum class Colour : std::uint8_t { Red = 0, Blue = 7 };

TEST(Describe, PrintsEachKindOfValueUnambiguously) {
  EXPECT_EQ(describe(5.0 / 3.0), "1.6666666666666667");
  EXPECT_EQ(describe(1.6666666666666665), "1.6666666666666665");
  EXPECT_EQ(describe(0.1), "0.1");
  EXPECT_EQ(describe(30.0), "30");
  EXPECT_EQ(describe(0.1F), "0.1");
  EXPECT_EQ(describe(std::uint64_t{18446744073709551615U}),
            "18446744073709551615");
  EXPECT_EQ(describe(-3), "-3");
  EXPECT_EQ(describe(std::uint8_t{200}), "200");
  EXPECT_EQ(describe(true), "true");
  EXPECT_EQ(describe(Colour::Blue), "7");
  EXPECT_EQ(describe(std::string("1")), "\"1\"");
  EXPECT_EQ(describe(std::string_view("")), "\"\"");
  EXPECT_EQ(describe(std::string("a\"b\\c\n\x01")), R"("a\"b\\c\n\x01")");
  EXPECT_EQ(describe(std::string("caf\xc3\xa9")), "\"caf\xc3\xa9\"");
  EXPECT_EQ(describe(std::optional<int>()), "nullopt");
  EXPECT_EQ(describe(std::optional<std::string>("x")), "\"x\"");
  EXPECT_EQ(describe(std::vector<int>{1, 2}), "[1, 2]");
}

TEST(CheckEq, ReturnsWhenEqualAndComparesInTheActualType) {
  EXPECT_NO_THROW(check_eq(std::size_t{1}, 1));
  EXPECT_NO_THROW(check_eq(std::string("1"), "1"));
  EXPECT_NO_THROW(check_eq(50.0 / 30.0, 1.6666666666666667));
}

TEST(CheckEq, FailureCarriesBothValuesAndTheCallersLine) {
  std::uint_least32_t line = 0;
  try {
    line = __LINE__ + 1;
    check_eq(std::string("0"), "1");
    FAIL() << "a failed check must throw";
  } catch (const CheckFailure& failure) {
    EXPECT_EQ(failure.left(), "\"0\"");
    EXPECT_EQ(failure.right(), "\"1\"");
    EXPECT_EQ(failure.line(), line);
    EXPECT_TRUE(failure.file().ends_with("check_test.cpp"));
    const std::string expected = std::string(failure.file()) + ":" +
                                 std::to_string(line) +
                                 "\n  left: \"0\"\n right: \"1\"";
    EXPECT_TRUE(std::string(failure.what()).ends_with(expected))
        << failure.what();
  }
}

}  // namespace
}  // namespace zyl_harness
