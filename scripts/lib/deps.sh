# Shared by the scripts: finds what the build and the tests need and installs what is missing.

# Debian packages, with the command or file that shows each one is present.
DEBIAN_PACKAGES=(
  "cmake:command:cmake"
  "ninja-build:command:ninja"
  "g++:command:g++"
  "libsimdjson-dev:file:/usr/include/simdjson.h"
  "libgtest-dev:file:/usr/include/gtest/gtest.h"
  "libgmock-dev:file:/usr/include/gmock/gmock.h"
)
BREW_PACKAGES="cmake ninja simdjson googletest"

have() {
  local kind=$1 what=$2
  case $kind in
    command) command -v "$what" >/dev/null 2>&1 ;;
    file) [ -e "$what" ] ;;
  esac
}

ensure_dependencies() {
  local missing=() entry package kind what
  if [ "$(uname -s)" = Darwin ]; then
    for package in cmake ninja; do
      command -v "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if ! command -v brew >/dev/null 2>&1 || ! brew list simdjson googletest >/dev/null 2>&1; then
      missing+=(libraries)
    fi
    if [ ${#missing[@]} -gt 0 ]; then
      echo "Missing: ${missing[*]}. Install with:"
      echo "  brew install $BREW_PACKAGES"
      exit 1
    fi
    return
  fi
  for entry in "${DEBIAN_PACKAGES[@]}"; do
    IFS=: read -r package kind what <<<"$entry"
    have "$kind" "$what" || missing+=("$package")
  done
  if [ ${#missing[@]} -eq 0 ]; then return; fi
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "Missing: ${missing[*]}; install them with your package manager." >&2
    exit 1
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  echo "== installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}
