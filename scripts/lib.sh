# Shared by scripts/run and scripts/test: install what is missing, configure and build.
# Sourced, not run.

TAGVISTA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The Debian packages the build, the tests and the run need.
TAGVISTA_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev fonts-dejavu-core
  libcli11-dev
  flatbuffers-compiler libflatbuffers-dev
  openssh-client openssh-server
)

# What the Windows tree needs besides: the MinGW-w64 cross compiler (posix threads) and widl,
# Wine to run its tests (on a virtual display for the window's), GoogleTest's source to build
# for the target, ImageMagick to make the window's icons from the pictures, and makensis for the
# installer.
TAGVISTA_WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 wine64-tools xvfb xauth
  googletest
  imagemagick
  nsis
)

tagvista_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the packages that are not installed yet; runs apt-get update first only then.
tagvista_ensure_packages() {
  local missing=() p
  for p in "${TAGVISTA_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    # apt and dpkg report progress line by line even when asked to be quiet; their output goes
    # to a log that is shown only when the install fails.
    local log
    log="$(mktemp)"
    export DEBIAN_FRONTEND=noninteractive
    # The tests run sshd of their own (openssh-server brings it); the package's service is not
    # wanted: while it installs, Debian's policy hook keeps it from starting.
    local policy=/usr/sbin/policy-rc.d own_policy=""
    if [ ! -e "$policy" ]; then
      printf '#!/bin/sh\nexit 101\n' | tagvista_sudo tee "$policy" >/dev/null && tagvista_sudo chmod 755 "$policy" && own_policy=1
    fi
    local installed=0
    if tagvista_sudo apt-get update -qq >"$log" 2>&1 &&
       tagvista_sudo apt-get install -y -qq --no-install-recommends -o Dpkg::Use-Pty=0 \
         "${missing[@]}" >>"$log" 2>&1; then
      installed=1
    fi
    [ -n "$own_policy" ] && tagvista_sudo rm -f "$policy"
    if [ "$installed" = 1 ]; then
      echo "Installed: ${missing[*]}"
      rm -f "$log"
    else
      echo "Installing ${missing[*]} failed:" >&2
      tail -n 40 "$log" >&2
      rm -f "$log"
      return 1
    fi
  fi
}

# tagvista_build <dir> [cmake options...]: configures (once) and builds with Ninja.
tagvista_build() {
  local dir="$1"; shift
  cmake -S "$TAGVISTA_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -- -j"$(nproc)"
}
