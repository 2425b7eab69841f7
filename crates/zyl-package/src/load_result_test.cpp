// The outcome's contracts: a wrong access throws with the error's own text,
// an outcome of nothing is a success until given an error, and a write
// error prints as one line.
#include "zyl_package/load_result.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace {

// Returns what() of the BadOutcomeAccess `access` throws, or "(no throw)".
template <class Access>
std::string thrown_by(Access access) {
  try {
    access();
  } catch (const BadOutcomeAccess& error) {
    return error.what();
  }
  return "(no throw)";
}

TEST(Loaded, ValueOfAFailedLoadThrowsWithTheLoadError) {
  const LoadResult report = parse_report("{", "r.json");
  ASSERT_FALSE(report.ok());
  const std::string expected =
      "value() of a failure: " + report.error().to_string();
  EXPECT_EQ(thrown_by([&] { static_cast<void>(report.value()); }), expected);
  EXPECT_EQ(thrown_by([&] {
              LoadResult moved = parse_report("{", "r.json");
              static_cast<void>(std::move(moved).value());
            }),
            expected);

  const ColumnsResult columns = parse_columns("[]", "c.json");
  ASSERT_FALSE(columns.ok());
  EXPECT_EQ(thrown_by([&] { static_cast<void>(columns.value()); }),
            "value() of a failure: " + columns.error().to_string());
}

TEST(Loaded, ErrorOfASuccessfulLoadThrows) {
  const LoadResult report = parse_report(
      R"({"format":"zyl-profile-report","version":1,"clock_hz":1,"tiles":[]})");
  ASSERT_TRUE(report.ok()) << report.error().to_string();
  EXPECT_EQ(thrown_by([&] { static_cast<void>(report.error()); }),
            "error() of a success");
  EXPECT_EQ(thrown_by([&] { static_cast<void>(report.value()); }),
            "(no throw)");
}

TEST(Outcome, OfNothingIsASuccessUntilGivenAnError) {
  const Written done;
  EXPECT_TRUE(done.ok());
  EXPECT_EQ(thrown_by([&] { static_cast<void>(done.error()); }),
            "error() of a success");
  const Written failed = WriteError{"out.zpk", "no space left on device"};
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().to_string(), "out.zpk: no space left on device");
}

TEST(WriteError, PrintsTheFileWhenThereIsOne) {
  EXPECT_EQ((WriteError{"out/r.zpk", "cannot replace: Permission denied"})
                .to_string(),
            "out/r.zpk: cannot replace: Permission denied");
  EXPECT_EQ((WriteError{{}, "write failed"}).to_string(), "write failed");
}

TEST(WriteReportJson, AFailedStreamIsAWriteError) {
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  const Written written = write_report_json(ProfileReport{}, out);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().file, "");
  EXPECT_NE(written.error().message.find("write failed"), std::string::npos);

  std::ostringstream good;
  EXPECT_TRUE(write_report_json(ProfileReport{}, good).ok());
  EXPECT_TRUE(write_columns_json(to_columns(ProfileReport{}), good).ok());
}

}  // namespace
}  // namespace zyl_package
