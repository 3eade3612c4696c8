# Shared by scripts/run and scripts/test: install what is missing, configure and build.
# Sourced, not run.

TAGVISTA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The Debian packages the build, the tests and the run need.
TAGVISTA_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev fonts-dejavu-core
  libcli11-dev
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
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    tagvista_sudo apt-get update -qq
    tagvista_sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# tagvista_build <dir> [cmake options...]: configures (once) and builds with Ninja.
tagvista_build() {
  local dir="$1"; shift
  cmake -S "$TAGVISTA_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -- -j"$(nproc)"
}
