// Tests of the runner as a program: runs the sample table as a subprocess and
// checks its exit status, its result lines, failure details and summary.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string out;
  std::string err;
};

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the sample table with `args`, capturing both streams.
Outcome run_table(const std::vector<std::string>& args) {
  static int run_count = 0;
  const std::filesystem::path base =
      std::filesystem::temp_directory_path() /
      ("zyl_harness_test_" + std::to_string(::getpid()) + "_" +
       std::to_string(run_count++));
  const std::filesystem::path out_path = base.string() + ".out";
  const std::filesystem::path err_path = base.string() + ".err";
  std::string command = shell_quoted(ZYL_HARNESS_SAMPLE_TABLE);
  for (const std::string& arg : args) {
    command += ' ';
    command += shell_quoted(arg);
  }
  command += " >";
  command += shell_quoted(out_path.string());
  command += " 2>";
  command += shell_quoted(err_path.string());
  const int raw = std::system(command.c_str());
  Outcome run;
  run.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return run;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The per-test result lines of `text`, in order, without the summary.
std::vector<std::string> result_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("test ") && !line.starts_with("test result: ")) {
      lines.push_back(line);
    }
  }
  return lines;
}

// The line of the sample table's source that holds `marker`, from 1.
int source_line_of(const std::string& marker) {
  std::ifstream in(ZYL_HARNESS_SAMPLE_SOURCE);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (contains(line, marker)) return number;
  }
  return 0;
}

TEST(Runner, ExitsWith101WhenOneFailsAnd0WhenFilteredToPassingOnes) {
  const Outcome passing = run_table({"passing"});
  EXPECT_EQ(passing.status, 0) << passing.out;
  EXPECT_TRUE(contains(passing.out,
                       "\nrunning 2 tests\n"
                       "test passing::integers_equal ... ok\n"))
      << passing.out;
  EXPECT_TRUE(contains(passing.out,
                       "\ntest result: ok. 2 passed; 0 failed; 0 ignored; "
                       "9 filtered out; finished in "))
      << passing.out;
  EXPECT_TRUE(passing.err.empty()) << passing.err;

  const Outcome one_fails =
      run_table({"passing::integers_equal", "failing::strings_differ"});
  EXPECT_EQ(one_fails.status, 101) << one_fails.out;
  EXPECT_TRUE(
      contains(one_fails.out, "test failing::strings_differ ... FAILED\n"))
      << one_fails.out;
  EXPECT_TRUE(contains(one_fails.out,
                       "\ntest result: FAILED. 1 passed; 1 failed; 0 ignored; "
                       "9 filtered out; finished in "))
      << one_fails.out;
}

TEST(Runner, FilterSelectingNothingSucceeds) {
  const Outcome none = run_table({"no_such_test"});
  EXPECT_EQ(none.status, 0);
  EXPECT_TRUE(contains(none.out, "running 0 tests\n")) << none.out;
  EXPECT_TRUE(contains(none.out,
                       "test result: ok. 0 passed; 0 failed; 0 ignored; "
                       "11 filtered out"))
      << none.out;
}

TEST(Runner, ListPrintsTheSelectionInTableOrderAndRunsNothing) {
  const Outcome all = run_table({"--list"});
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(all.out,
            "passing::integers_equal: test\n"
            "passing::strings_equal: test\n"
            "failing::doubles_differ_in_last_bit: test\n"
            "failing::strings_differ: test\n"
            "failing::throws_runtime_error: test\n"
            "failing::returns_although_expected_to_fail: test\n"
            "special::ignored: test\n"
            "special::fails_as_expected: test\n"
            "main_thread::runs_on_main_thread: test\n"
            "concurrent::first: test\n"
            "concurrent::second: test\n"
            "\n11 tests\n");
  const Outcome one = run_table({"--list", "strings_e"});
  EXPECT_EQ(one.out, "passing::strings_equal: test\n\n1 test\n");
}

TEST(Runner, ExactMatchesWholeNamesOnly) {
  EXPECT_EQ(run_table({"--exact", "--list", "passing::integers"}).out,
            "\n0 tests\n");
  const Outcome exact = run_table({"--exact", "passing::integers_equal"});
  EXPECT_EQ(exact.status, 0);
  EXPECT_EQ(result_lines(exact.out),
            std::vector<std::string>{"test passing::integers_equal ... ok"});
  EXPECT_TRUE(contains(exact.out, "1 passed; 0 failed; 0 ignored; 10 filtered"))
      << exact.out;
}

TEST(Runner, SkipLeavesOutEveryMatchingNameAndRepeats) {
  const Outcome skipped =
      run_table({"--skip", "failing", "--skip", "concurrent", "--skip",
                 "main_thread", "--skip=strings", "--test-threads", "1"});
  EXPECT_EQ(skipped.status, 0) << skipped.out;
  EXPECT_EQ(result_lines(skipped.out),
            (std::vector<std::string>{
                "test passing::integers_equal ... ok",
                "test special::ignored ... ignored, needs real hardware",
                "test special::fails_as_expected ... ok"}));
  EXPECT_TRUE(contains(skipped.out,
                       "test result: ok. 2 passed; 0 failed; 1 ignored; "
                       "8 filtered out"))
      << skipped.out;
}

TEST(Runner, RejectedCommandLineExitsWith101AndOneLineReason) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--frobnicate"},
        std::vector<std::string>{"--test-threads", "0"},
        std::vector<std::string>{"passing", "--skip"}}) {
    SCOPED_TRACE(args.front());
    const Outcome rejected = run_table(args);
    EXPECT_EQ(rejected.status, 101);
    EXPECT_TRUE(rejected.out.empty()) << rejected.out;
    EXPECT_TRUE(rejected.err.starts_with("error: ")) << rejected.err;
    EXPECT_EQ(rejected.err.find('\n'), rejected.err.size() - 1) << rejected.err;
  }
  EXPECT_TRUE(contains(run_table({"--frobnicate"}).err, "'--frobnicate'"));
}

TEST(Runner, HelpPrintsUsageAndSucceeds) {
  const Outcome help = run_table({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: ")) << help.out;
  EXPECT_TRUE(contains(help.out, "--test-threads N")) << help.out;
}

TEST(Runner, FailureDetailsShowLeftRightAndTheChecksLocation) {
  const Outcome failing = run_table({"failing", "--test-threads", "1"});
  EXPECT_EQ(failing.status, 101);
  const std::string at = "sample_table_main.cpp:";
  const int double_line = source_line_of("// double check");
  const int string_line = source_line_of("// string check");
  ASSERT_GT(double_line, 0);
  ASSERT_GT(string_line, 0);
  EXPECT_TRUE(contains(failing.out, at + std::to_string(double_line) +
                                        "\n  left: 1.6666666666666665\n"
                                        " right: 1.6666666666666667\n"))
      << failing.out;
  EXPECT_TRUE(contains(failing.out, at + std::to_string(string_line) +
                                        "\n  left: \"say \\\"hi\\\"\"\n"
                                        " right: \"say \\\"ho\\\"\"\n"))
      << failing.out;
  EXPECT_TRUE(contains(failing.out,
                       "---- failing::throws_runtime_error ----\n"
                       "the test threw an exception: the disk is on fire\n"))
      << failing.out;
  EXPECT_TRUE(contains(failing.out,
                       "---- failing::returns_although_expected_to_fail ----\n"
                       "the test returned normally but was expected to fail\n"))
      << failing.out;
  EXPECT_TRUE(contains(failing.out,
                       "\nfailures:\n"
                       "    failing::doubles_differ_in_last_bit\n"
                       "    failing::strings_differ\n"
                       "    failing::throws_runtime_error\n"
                       "    failing::returns_although_expected_to_fail\n"))
      << failing.out;
}

TEST(Runner, FailingTestsDoNotStopTheOthers) {
  const std::vector<std::string> expected{
      "test passing::integers_equal ... ok",
      "test passing::strings_equal ... ok",
      "test failing::doubles_differ_in_last_bit ... FAILED",
      "test failing::strings_differ ... FAILED",
      "test failing::throws_runtime_error ... FAILED",
      "test failing::returns_although_expected_to_fail ... FAILED",
      "test special::ignored ... ignored, needs real hardware",
      "test special::fails_as_expected ... ok"};
  const std::string summary =
      "test result: FAILED. 3 passed; 4 failed; 1 ignored; 3 filtered out";
  // One thread runs in table order; more print as tests finish, but whole
  // lines only.
  for (const std::string threads : {"1", "4"}) {
    SCOPED_TRACE(threads);
    const Outcome run = run_table({"--skip", "concurrent", "--skip",
                                   "main_thread", "--test-threads", threads});
    EXPECT_EQ(run.status, 101);
    EXPECT_TRUE(contains(run.out, summary)) << run.out;
    std::vector<std::string> lines = result_lines(run.out);
    if (threads != "1") std::sort(lines.begin(), lines.end());
    std::vector<std::string> wanted = expected;
    if (threads != "1") std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(lines, wanted);
  }
}

TEST(Runner, OneThreadRunsOnTheMainThread) {
  const Outcome run = run_table({"main_thread", "--test-threads", "1"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(contains(run.out, "test main_thread::runs_on_main_thread ... ok"))
      << run.out;
}

TEST(Runner, TwoThreadsRunTwoTestsAtTheSameTime) {
  // Each of the two waits for the other to start; run in turn, the first
  // would time out and fail.
  const Outcome run = run_table({"concurrent", "--test-threads", "2"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(contains(run.out, "test result: ok. 2 passed; 0 failed"))
      << run.out;
}

}  // namespace
