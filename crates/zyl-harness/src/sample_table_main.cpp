// A small test table run as a subprocess by the runner's tests: tests that
// pass, fail in each way a test can, and two that only pass when they run at
// the same time.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "zyl_harness/check.h"
#include "zyl_harness/runner.h"

namespace {

using zyl_harness::check_eq;

// Written once by main before any test starts, read-only afterwards.
std::thread::id main_thread_id;

void integers_equal() { check_eq(6 * 7, 42); }

void strings_equal() { check_eq(std::string("block"), "block"); }

void doubles_differ_in_last_bit() {
  const double five_thirds = 5.0 / 3.0;
  // The neighbour below 5/3 must be reported with every digit.
  check_eq(std::nextafter(five_thirds, 0.0), five_thirds);  // double check
}

void strings_differ() {
  check_eq(std::string("say \"hi\""), "say \"ho\"");  // string check
}

void throws_runtime_error() { throw std::runtime_error("the disk is on fire"); }

void never_runs() { check_eq(1, 2); }

void fails_as_expected() { check_eq(1, 2); }

void returns_although_expected_to_fail() {}

void runs_on_main_thread() {
  check_eq(std::this_thread::get_id() == main_thread_id, true);
}

// The two concurrent tests meet here: each arrives and waits for the other.
// Run one after the other, the first one gives up after the timeout and
// fails, so passing both shows that they ran at the same time.
void meet_the_other_test() {
  static std::mutex mutex;
  static std::condition_variable arrived;
  static int count = 0;
  std::unique_lock lock(mutex);
  ++count;
  arrived.notify_all();
  const bool met = arrived.wait_for(lock, std::chrono::seconds(30),
                                    [] { return count >= 2; });
  check_eq(met, true);
}

constexpr zyl_harness::TestDescriptor test(std::string_view name,
                                           void (*function)()) {
  zyl_harness::TestDescriptor descriptor;
  descriptor.name = name;
  descriptor.function = function;
  return descriptor;
}

constexpr zyl_harness::TestDescriptor expected_to_fail(
    zyl_harness::TestDescriptor descriptor) {
  descriptor.expected_to_fail = true;
  return descriptor;
}

constexpr zyl_harness::TestDescriptor ignored(
    zyl_harness::TestDescriptor descriptor, std::string_view reason) {
  descriptor.ignored = true;
  descriptor.ignore_reason = reason;
  return descriptor;
}

constexpr zyl_harness::TestDescriptor kTable[] = {
    test("passing::integers_equal", &integers_equal),
    test("passing::strings_equal", &strings_equal),
    test("failing::doubles_differ_in_last_bit", &doubles_differ_in_last_bit),
    test("failing::strings_differ", &strings_differ),
    test("failing::throws_runtime_error", &throws_runtime_error),
    expected_to_fail(test("failing::returns_although_expected_to_fail",
                          &returns_although_expected_to_fail)),
    ignored(test("special::ignored", &never_runs), "needs real hardware"),
    expected_to_fail(test("special::fails_as_expected", &fails_as_expected)),
    test("main_thread::runs_on_main_thread", &runs_on_main_thread),
    test("concurrent::first", &meet_the_other_test),
    test("concurrent::second", &meet_the_other_test),
};

}  // namespace

int main(int argc, char** argv) {
  main_thread_id = std::this_thread::get_id();
  zyl_harness::test_main(kTable, argc, argv);
  return 0;
}
