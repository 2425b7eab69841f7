// The result types' contracts: a wrong access to a load result throws with
// the load's own error text, and a write error prints as one line.
#include "zyl_package/load_result.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace {

// Returns what() of the BadLoadAccess `access` throws, or "(no throw)".
template <class Access>
std::string thrown_by(Access access) {
  try {
    access();
  } catch (const BadLoadAccess& error) {
    return error.what();
  }
  return "(no throw)";
}

TEST(Loaded, ValueOfAFailedLoadThrowsWithTheLoadError) {
  const LoadResult report = parse_report("{", "r.json");
  ASSERT_FALSE(report.ok());
  const std::string expected =
      "value() of a failed load: " + report.error().to_string();
  EXPECT_EQ(thrown_by([&] { static_cast<void>(report.value()); }), expected);
  EXPECT_EQ(thrown_by([&] {
              LoadResult moved = parse_report("{", "r.json");
              static_cast<void>(std::move(moved).value());
            }),
            expected);

  const ColumnsResult columns = parse_columns("[]", "c.json");
  ASSERT_FALSE(columns.ok());
  EXPECT_EQ(thrown_by([&] { static_cast<void>(columns.value()); }),
            "value() of a failed load: " + columns.error().to_string());
}

TEST(Loaded, ErrorOfASuccessfulLoadThrows) {
  const LoadResult report = parse_report(
      R"({"format":"zyl-profile-report","version":1,"clock_hz":1,"tiles":[]})");
  ASSERT_TRUE(report.ok()) << report.error().to_string();
  EXPECT_EQ(thrown_by([&] { static_cast<void>(report.error()); }),
            "error() of a successful load");
  EXPECT_EQ(thrown_by([&] { static_cast<void>(report.value()); }),
            "(no throw)");
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
  const WriteResult written = write_report_json(ProfileReport{}, out);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->file, "");
  EXPECT_NE(written->message.find("write failed"), std::string::npos);

  std::ostringstream good;
  EXPECT_EQ(write_report_json(ProfileReport{}, good), std::nullopt);
  EXPECT_EQ(write_columns_json(to_columns(ProfileReport{}), good),
            std::nullopt);
}

}  // namespace
}  // namespace zyl_package
