# Shared by scripts/test and scripts/demo: the packages the project needs on Debian 12,
# installed only when missing, and the build.

GLB_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

GLB_PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config git clang-format clang-tidy
  # libraries
  qt6-base-dev libqt6test6 zlib1g-dev libcurl4-openssl-dev libxml2-dev libsqlite3-dev libsystemd-dev
  # the window's font where Segoe UI (about its widths) and Tahoma are missing
  fonts-open-sans
  # tests
  libgtest-dev pxlib-dev python3 unzip zip dbus-daemon
  python3-fusepy libfuse2
  php-cli php-soap php-xml php-zip
  xvfb xauth xdotool xclip x11-utils imagemagick
  # benchmarks
  time
  # fuzzing
  clang libclang-rt-14-dev
)

# The Windows leg's own: the cross compilers and Wine.
GLB_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64
  googletest cmake ninja-build python3 xvfb xauth)
GLB_WINE=/usr/lib/wine/wine64

glb_log() { printf '==> %s\n' "$*"; }

glb_install_packages() {
  local missing=()
  local pkg
  for pkg in "${GLB_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  glb_log "installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# glb_build PRESET [TARGET...]: configure and build one preset (all of it, or the targets).
glb_build() {
  local preset=$1
  shift
  local targets=()
  if [ $# -gt 0 ]; then targets=(--target "$@"); fi
  glb_log "configure ($preset)"
  cmake --preset "$preset" -S "$GLB_ROOT" >/dev/null
  glb_log "build ($preset${1:+: $*})"
  cmake --build "$GLB_ROOT/build/$preset" --parallel "$(nproc)" "${targets[@]}"
}

# glb_windows_prefix: exports GLB_WINDOWS_PREFIX, the Windows libraries' prefix
# (scripts/windows-libs builds them once; a prefix already named is used as it is).
glb_windows_prefix() {
  if [ -z "${GLB_WINDOWS_PREFIX:-}" ]; then
    glb_log "the Windows libraries (scripts/windows-libs)"
    GLB_WINDOWS_PREFIX="$("$GLB_ROOT/scripts/windows-libs" | tail -1)"
  fi
  export GLB_WINDOWS_PREFIX
  glb_log "prefix $GLB_WINDOWS_PREFIX"
}
