// Tests of atomic file replacement: success replaces, every failure leaves the
// earlier file as it was and no temporary behind.
#include "zyl_package/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace zyl_package {
namespace {

class AtomicFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           (std::string("zyl_atomic_") + info->name() + "_" +
            std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    target_ = dir_ / "out.json";
    std::ofstream(target_) << "earlier";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string contents() const {
    std::ifstream in(target_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // The file names in the folder: only the target, never a temporary.
  std::size_t files_in_dir() const {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(dir_),
                      std::filesystem::directory_iterator()));
  }

  std::filesystem::path dir_;
  std::filesystem::path target_;
};

TEST_F(AtomicFile, ReplacesTheFileOnSuccess) {
  const auto error = write_file_atomically(
      target_, [](std::ostream& out) { out << std::string(3'000'000, 'x'); });
  ASSERT_EQ(error, std::nullopt) << error->to_string();
  EXPECT_EQ(contents(), std::string(3'000'000, 'x'));
  EXPECT_EQ(files_in_dir(), 1U);
}

TEST_F(AtomicFile, MissingFolderIsReportedWithTheOsReason) {
  const auto path = dir_ / "no" / "such" / "out.json";
  const auto error =
      write_file_atomically(path, [](std::ostream& out) { out << "x"; });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->file, path.string());
  EXPECT_EQ(error->message,
            "cannot create a file in its folder: No such file or directory");
  EXPECT_EQ(error->to_string(), path.string() +
                                    ": cannot create a file in its folder: No "
                                    "such file or directory");
}

TEST_F(AtomicFile, FailedStreamOrThrowingWriterKeepsTheEarlierFile) {
  const auto failed = write_file_atomically(target_, [](std::ostream& out) {
    out << "partial";
    out.setstate(std::ios::badbit);
  });
  EXPECT_TRUE(failed.has_value());
  const auto thrown = write_file_atomically(target_, [](std::ostream& out) {
    out << "partial";
    throw std::runtime_error("generator gave up");
  });
  ASSERT_TRUE(thrown.has_value());
  EXPECT_EQ(thrown->message, "write failed: generator gave up");
  EXPECT_EQ(contents(), "earlier");
  EXPECT_EQ(files_in_dir(), 1U);
}

// A real failing write(2): the file-size limit makes the kernel refuse the
// bytes the way a full disk does, which no stream check alone can imitate.
TEST_F(AtomicFile, DiskRefusingBytesKeepsTheEarlierFile) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1 << 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto error = write_file_atomically(
      target_, [](std::ostream& out) { out << std::string(4'000'000, 'y'); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "write failed: File too large");
  EXPECT_EQ(contents(), "earlier");
  EXPECT_EQ(files_in_dir(), 1U);
}

TEST_F(AtomicFile, TargetThatIsAFolderFailsAtTheRename) {
  const auto folder = dir_ / "sub";
  std::filesystem::create_directories(folder / "inner");
  const auto error =
      write_file_atomically(folder, [](std::ostream& out) { out << "x"; });
  ASSERT_TRUE(error.has_value());
  EXPECT_TRUE(std::filesystem::is_directory(folder / "inner"));
  EXPECT_EQ(files_in_dir(), 2U);  // out.json and sub
}

}  // namespace
}  // namespace zyl_package
