#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing,
# so it is cheap to run before every build. `--clang` adds clang and its
# sanitizer and libFuzzer runtimes, which the fuzz and tsan builds need;
# `--tests` adds the Python package's build and test dependencies (pybind11,
# numpy, pandas, pytest, for Debian's /usr/bin/python3) and what the
# read-back checks of exports run on (node with npm for DuckDB's package
# from the npm registry).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsimdjson-dev libzstd-dev libxxhash-dev libcli11-dev libfmt-dev
  libcpp-httplib-dev  # the local server of `serve`
)
for option in "$@"; do
  case "$option" in
    --clang) packages+=(clang libclang-rt-dev) ;;
    --tests)
      packages+=(python3-dev pybind11-dev python3-pybind11 python3-numpy
                 python3-pandas python3-pytest python3-distributed)
      packages+=(chromium)  # the report pages' browser check
      # A node from elsewhere (with its own npm) is kept: Debian's npm would
      # conflict with it.
      command -v npm >/dev/null || packages+=(npm)
      ;;
    *) echo "install-deps.sh: unknown option $option" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
