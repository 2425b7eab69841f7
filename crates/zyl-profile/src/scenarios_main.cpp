// The scenario program's entry: hands the scenario table to the harness,
// which reads the command line, runs the selection and exits 101 on failure.
#include "scenarios.h"
#include "zyl_harness/runner.h"

int main(int argc, char** argv) {
  zyl_harness::test_main(tests::test_table(), argc, argv);
  return 0;
}
