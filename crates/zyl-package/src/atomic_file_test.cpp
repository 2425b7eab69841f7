// Tests of atomic file replacement: success replaces, every failure leaves the
// earlier file as it was and no temporary behind; devices and FIFOs are
// written in place, links lead to the file replaced; a staged set moves
// into place whole or not at all.
#include "zyl_package/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>  // makedev
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>  // std::strerror
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zyl_package/generate.h"

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

  std::string contents() const { return contents_of(target_); }

  static std::string contents_of(const std::filesystem::path& path) {
    std::ifstream in(path);
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

// Writes `text`, the way every report and export goes out.
Written write_text(const std::filesystem::path& path, std::string text,
                   StagedFiles* staged = nullptr) {
  return write_file_atomically(
      path, [&text](std::ostream& out) { out << text; }, staged);
}

// A small generated package: its writer puts sections at offsets rather than
// in file order.
Written write_positioned(const std::filesystem::path& path,
                         StagedFiles* staged = nullptr) {
  return write_generated_report(options_for_total(200, 3), path,
                                ReportFormat::Package, {}, nullptr, staged);
}

TEST_F(AtomicFile, ReplacesTheFileOnSuccess) {
  const auto error = write_file_atomically(
      target_, [](std::ostream& out) { out << std::string(3'000'000, 'x'); });
  ASSERT_TRUE((error).ok()) << error.error().to_string();
  EXPECT_EQ(contents(), std::string(3'000'000, 'x'));
  EXPECT_EQ(files_in_dir(), 1U);
}

TEST_F(AtomicFile, MissingFolderIsReportedWithTheOsReason) {
  const auto path = dir_ / "no" / "such" / "out.json";
  const auto error =
      write_file_atomically(path, [](std::ostream& out) { out << "x"; });
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().file, path.string());
  EXPECT_EQ(error.error().message,
            "cannot create a file in its folder: No such file or directory");
  EXPECT_EQ(error.error().to_string(),
            path.string() +
                ": cannot create a file in its folder: No "
                "such file or directory");
}

TEST_F(AtomicFile, FailedStreamOrThrowingWriterKeepsTheEarlierFile) {
  const auto failed = write_file_atomically(target_, [](std::ostream& out) {
    out << "partial";
    out.setstate(std::ios::badbit);
  });
  EXPECT_FALSE(failed.ok());
  const auto thrown = write_file_atomically(target_, [](std::ostream& out) {
    out << "partial";
    throw std::runtime_error("generator gave up");
  });
  ASSERT_FALSE(thrown.ok());
  EXPECT_EQ(thrown.error().message, "write failed: generator gave up");
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
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().message, "write failed: File too large");
  EXPECT_EQ(contents(), "earlier");
  EXPECT_EQ(files_in_dir(), 1U);
}

TEST_F(AtomicFile, TargetThatIsAFolderFailsAtTheRename) {
  const auto folder = dir_ / "sub";
  std::filesystem::create_directories(folder / "inner");
  const auto error =
      write_file_atomically(folder, [](std::ostream& out) { out << "x"; });
  ASSERT_FALSE(error.ok());
  EXPECT_TRUE(std::filesystem::is_directory(folder / "inner"));
  EXPECT_EQ(files_in_dir(), 2U);  // out.json and sub
}

// Renaming over a device node would leave a regular file in its place: as
// root, `export -o /dev/null` would replace /dev/null for the whole machine.
TEST_F(AtomicFile, CharacterDeviceIsWrittenInPlaceNotReplaced) {
  const auto null = dir_ / "null";
  if (::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "mknod is not permitted here: " << std::strerror(errno);
  }
  ASSERT_TRUE((write_text(null, std::string(3'000'000, 'x'))).ok());
  ASSERT_TRUE((write_positioned(null)).ok());
  // Nothing to rename later: a set takes the bytes through at once too.
  StagedFiles set;
  ASSERT_TRUE((write_text(null, "y", &set)).ok());
  EXPECT_EQ(set.size(), 0U);
  struct stat node {};
  ASSERT_EQ(::lstat(null.c_str(), &node), 0);
  EXPECT_TRUE(S_ISCHR(node.st_mode));
  EXPECT_EQ(node.st_rdev, makedev(1, 3));
  EXPECT_EQ(files_in_dir(), 2U);  // out.json and null, no temporary
}

TEST_F(AtomicFile, FifoIsWrittenInPlaceForItsReader) {
  const auto fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  // Held open for reading and writing, so neither the reader below nor the
  // writer waits in open() and the test cannot hang on a writer that
  // replaces the FIFO instead; closing it gives the reader its end of file.
  const int held = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0) << std::strerror(errno);
  // More than a pipe buffer holds, so the writer must wait on the reader.
  const std::string sent(1'000'000, 'f');
  std::string received;
  std::thread reader([&fifo, &received] { received = contents_of(fifo); });
  const auto error = write_text(fifo, sent);
  ::close(held);
  reader.join();
  ASSERT_TRUE((error).ok()) << error.error().to_string();
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_EQ(received, sent);
  struct stat node {};
  ASSERT_EQ(::lstat(fifo.c_str(), &node), 0);
  EXPECT_TRUE(S_ISFIFO(node.st_mode));
  EXPECT_EQ(files_in_dir(), 2U);
}

// Refused before the FIFO is opened, so the call returns even though no
// reader ever comes.
TEST_F(AtomicFile, FifoRefusesAWriteOutOfOrderWithoutWaitingForAReader) {
  const auto fifo = dir_ / "fifo.zpk";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const auto error = write_positioned(fifo);
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().file, fifo.string());
  EXPECT_EQ(error.error().message,
            "is a pipe or socket, which cannot take a file written out of "
            "order; write to a regular file");
  EXPECT_EQ(files_in_dir(), 2U);
}

TEST_F(AtomicFile, LinkStaysALinkAndTheFileItLeadsToIsReplaced) {
  // The file in another folder, so a temporary made beside the link rather
  // than beside the file would be left over there or renamed over the link.
  std::filesystem::create_directories(dir_ / "real");
  const auto real = dir_ / "real" / "report.json";
  std::ofstream(real) << "earlier";
  ::chmod(real.c_str(), 0640);
  const auto link = dir_ / "link.json";
  std::filesystem::create_symlink("real/report.json", link);
  for (const auto& write :
       {write_text(link, "new text"), write_positioned(link)}) {
    ASSERT_TRUE((write).ok()) << write.error().to_string();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link), "real/report.json");
  }
  EXPECT_EQ(contents_of(real).substr(0, 4), "\x89ZPK");
  struct stat file {};
  ASSERT_EQ(::stat(real.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 07777, 0640U);
  EXPECT_EQ(files_in_dir(), 3U);  // out.json, real, link.json
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "real"),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(AtomicFile, FoldersAndLinksToNothingOrToAFolderAreRefusedByName) {
  std::filesystem::create_directories(dir_ / "folder");
  std::filesystem::create_symlink("missing.json", dir_ / "dangling.json");
  std::filesystem::create_symlink("folder", dir_ / "to_folder");
  struct Row {
    std::string name;
    std::string message;
  };
  const std::vector<Row> rows = {
      {"folder", "is a folder, not a file"},
      {"dangling.json", "is a symbolic link to a file that does not exist"},
      {"to_folder", "is a symbolic link to a folder"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto path = dir_ / row.name;
    for (const auto& error : {write_text(path, "x"), write_positioned(path)}) {
      ASSERT_FALSE(error.ok());
      EXPECT_EQ(error.error().to_string(), path.string() + ": " + row.message);
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "folder"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing.json"));
  EXPECT_EQ(files_in_dir(), 4U);
}

// The files of a set in the folder, with the earlier report out.json.
class StagedSet : public AtomicFile {
 protected:
  void SetUp() override {
    AtomicFile::SetUp();
    std::ofstream(dir_ / "a.json") << "old a";
    std::ofstream(dir_ / "b.json") << "old b";
  }

  void expect_old_set() const {
    EXPECT_EQ(contents(), "earlier");
    EXPECT_EQ(contents_of(dir_ / "a.json"), "old a");
    EXPECT_EQ(contents_of(dir_ / "b.json"), "old b");
  }
};

TEST_F(StagedSet, NothingMovesUntilCommitThenTheWholeSetDoes) {
  StagedFiles set;
  ASSERT_TRUE((write_text(dir_ / "a.json", "new a", &set)).ok());
  ASSERT_TRUE((write_text(dir_ / "b.json", "new b", &set)).ok());
  ASSERT_TRUE((write_text(dir_ / "c.json", "new c", &set)).ok());
  ASSERT_TRUE((write_positioned(dir_ / "d.zpk", &set)).ok());
  EXPECT_EQ(set.size(), 4U);
  expect_old_set();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "c.json"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "d.zpk"));

  const auto error = set.commit();
  ASSERT_TRUE((error).ok()) << error.error().to_string();
  EXPECT_EQ(set.size(), 0U);
  EXPECT_EQ(contents_of(dir_ / "a.json"), "new a");
  EXPECT_EQ(contents_of(dir_ / "b.json"), "new b");
  EXPECT_EQ(contents_of(dir_ / "c.json"), "new c");
  EXPECT_EQ(contents_of(dir_ / "d.zpk").substr(0, 4), "\x89ZPK");
  EXPECT_EQ(files_in_dir(), 5U);  // out.json, a to d: no temporary left
}

TEST_F(StagedSet, SetGivenUpAfterAFailedWriteLeavesTheOldSetAndNoTemporary) {
  {
    StagedFiles set;
    ASSERT_TRUE((write_text(dir_ / "a.json", "new a", &set)).ok());
    ASSERT_TRUE((write_positioned(dir_ / "c.zpk", &set)).ok());
    const auto failed = write_file_atomically(
        dir_ / "b.json",
        [](std::ostream&) { throw std::runtime_error("generator gave up"); },
        &set);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(set.size(), 2U);
  }
  expect_old_set();
  EXPECT_EQ(files_in_dir(), 3U);
}

// A rename that fails part way (here over what has become a folder since
// the write) must not leave the files renamed before it in their new form.
TEST_F(StagedSet, FailedRenamePutsBackTheFilesRenamedBeforeIt) {
  StagedFiles set;
  ASSERT_TRUE((write_text(dir_ / "new.json", "new file", &set)).ok());
  ASSERT_TRUE((write_text(dir_ / "a.json", "new a", &set)).ok());
  ASSERT_TRUE((write_text(target_, "new out", &set)).ok());
  ASSERT_TRUE((write_text(dir_ / "b.json", "new b", &set)).ok());
  ASSERT_TRUE((write_text(dir_ / "later.json", "later", &set)).ok());
  std::filesystem::remove(dir_ / "b.json");
  std::filesystem::create_directories(dir_ / "b.json" / "inside");

  const auto error = set.commit();
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.error().to_string(),
            (dir_ / "b.json").string() + ": cannot replace: Is a directory");
  EXPECT_EQ(set.size(), 0U);
  EXPECT_EQ(contents(), "earlier");
  EXPECT_EQ(contents_of(dir_ / "a.json"), "old a");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "new.json"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "later.json"));
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "b.json" / "inside"));
  EXPECT_EQ(files_in_dir(), 3U);  // out.json, a.json, b.json: no temporary
                                  // or kept copy
}

}  // namespace
}  // namespace zyl_package
