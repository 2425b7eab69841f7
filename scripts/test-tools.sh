# Sourced by the checks that drive outside tools (scripts/check-*.sh): how
# they fetch what the machine lacks. Not run on its own.

# Prints the absolute path of the build folder, the one argument of a
# check; exits with a usage message otherwise.
build_folder() {
  if [[ $# -ne 1 ]]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
  fi
  (cd "$1" && pwd)
}

# Prints the path of the tool built in folder $1; exits if it is missing.
built_tool() {
  local tool="$1/tools/zyl-profile/zyl-profile"
  [[ -x "$tool" ]] || { echo "error: $tool not found; build first" >&2; exit 1; }
  echo "$tool"
}

# Exits unless node and npm are at hand (Debian's nodejs brings both).
need_node_and_npm() {
  local command
  for command in node npm; do
    command -v "$command" >/dev/null ||
      { echo "error: $command not found (Debian package nodejs)" >&2; exit 1; }
  done
}

# Installs Debian package $1 unless the command in $2 succeeds.
apt_install_unless() {
  local package="$1" test="$2"
  if ! eval "$test" >/dev/null 2>&1; then
    echo "installing $package" >&2
    local sudo=""
    [[ "$(id -u)" -eq 0 ]] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
      --no-install-recommends "$package" >&2
  fi
}

# Installs the pinned npm package $2 (name@version) into folder $1, kept
# there as a cache: a stamp names what is installed, so a changed pin
# installs again and an unchanged one costs nothing. Extra arguments are
# environment settings for npm (e.g. PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1).
npm_install_pinned() {
  local folder="$1" package="$2"
  shift 2
  mkdir -p "$folder"
  if [[ "$(cat "$folder/installed" 2>/dev/null)" != "$package" ]]; then
    echo "installing $package into $folder" >&2
    [[ -f "$folder/package.json" ]] || echo '{"private": true}' >"$folder/package.json"
    env "$@" npm install --prefix "$folder" --no-audit --no-fund \
      --loglevel=error "$package" >&2
    echo "$package" >"$folder/installed"
  fi
}
