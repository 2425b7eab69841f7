#!/bin/sh
# Installs the build in BUILD_DIR into a scratch prefix under it, builds the
# project in tests/consumer against that prefix with find_package, runs it
# and checks what it prints. Arguments after BUILD_DIR go to the consumer's
# configure step (compiler, flags, build type).
#
#   scripts/consumer-test.sh build/default
set -eu

if [ $# -lt 1 ] || [ ! -f "$1/CMakeCache.txt" ]; then
  echo "usage: $0 BUILD_DIR [cmake configure arguments...]" >&2
  echo "BUILD_DIR must be a configured and built zyl_profile build" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
source_dir=$(cd "$(dirname "$0")/.." && pwd)
cmake=${CMAKE:-cmake}
work="$build/consumer-test"

rm -rf "$work"
mkdir -p "$work"
"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log" || {
  cat "$work/install.log" >&2
  echo "consumer-test: install failed (is the build complete?)" >&2
  exit 1
}
"$cmake" -S "$source_dir/tests/consumer" -B "$work/build" \
  -DCMAKE_PREFIX_PATH="$work/prefix" "$@" >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  echo "consumer-test: configuring the consumer failed" >&2
  exit 1
}
"$cmake" --build "$work/build" >"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  echo "consumer-test: building the consumer failed" >&2
  exit 1
}
actual=$("$work/build/zyl_profile_consumer" "$work/profile.zpk")
expected="matched samples: 1000
groups: 4
changed groups: 0"
if [ "$actual" != "$expected" ]; then
  printf 'consumer-test: unexpected output\n--- expected\n%s\n--- actual\n%s\n' \
    "$expected" "$actual" >&2
  exit 1
fi
# The README's C++ example answers over the bundled example as a package.
mkdir -p "$work/readme"
"$work/prefix/bin/zyl-profile" convert "$source_dir/examples/small.json" \
  "$work/readme/run.zpk"
example=$(cd "$work/readme" && "$work/build/zyl_profile_readme_example") || {
  echo "consumer-test: the README's C++ example failed" >&2
  exit 1
}
if [ -z "$example" ]; then
  echo "consumer-test: the README's C++ example printed nothing" >&2
  exit 1
fi
# The installed Python package, when the build made one, imports from the
# prefix alone and answers over a report of the source tree.
python_dir="$work/prefix/lib/python3/dist-packages"
if [ -d "$python_dir/zyl_profile" ]; then
  answer=$(PYTHONPATH="$python_dir" /usr/bin/python3 -c \
    "import sys, zyl_profile as zp; print(zp.open(sys.argv[1]).query().matched_sample_count)" \
    "$source_dir/examples/small.json") || {
    echo "consumer-test: the installed Python package does not work" >&2
    exit 1
  }
  if [ "$answer" != "320" ]; then
    echo "consumer-test: the installed Python package answered $answer" >&2
    exit 1
  fi
fi

# Nothing but the library, the tool and the Python package (when they are
# built) may be installed: no harness, no test programs.
unexpected=$(find "$work/prefix" -type f ! -path "*/include/zyl_package/*" \
  ! -path "*/lib/python3/dist-packages/zyl_profile/*" \
  ! -path "*/include/zyl_profile/*" ! -name "libzyl_package.a" \
  ! -name "libzyl_profile.a" ! -path "*/cmake/zyl_profile/*" \
  ! -path "$work/prefix/bin/zyl-profile")
if [ -n "$unexpected" ]; then
  printf 'consumer-test: unexpected installed files:\n%s\n' "$unexpected" >&2
  exit 1
fi
echo "consumer-test: ok ($work/prefix)"
