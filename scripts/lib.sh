# Shared by run-demo and run-tests: packages, the cross build, the display and the Wine prefix.
# Sourced, not run.

CORVANE_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CORVANE_BUILD_DIR=${CORVANE_BUILD_DIR:-$CORVANE_SOURCE_DIR/build/release}
export CORVANE_SOURCE_DIR CORVANE_BUILD_DIR

corvane_packages=(
  cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  googletest wine wine64 xvfb xauth python3-pytest python3-pefile openssl osslsigncode
  fonts-wqy-zenhei imagemagick curl
)

# Every program the scripts and tests call, with the package that brings it. Checked after installing,
# so a missing one stops the run at once with its name instead of an exit status 127 minutes later.
corvane_commands=(
  cmake:cmake ninja:ninja-build
  x86_64-w64-mingw32-gcc-posix:gcc-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64 x86_64-w64-mingw32-objcopy:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-strip:binutils-mingw-w64-x86-64 x86_64-w64-mingw32-addr2line:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-nm:binutils-mingw-w64-x86-64
  wine:wine winepath:wine wineserver:wine Xvfb:xvfb xauth:xauth
  openssl:openssl osslsigncode:osslsigncode import:imagemagick curl:curl /usr/bin/python3:python3
)
# Debian's interpreter runs the tests: a python3 earlier on PATH may not see Debian's modules.
corvane_python_modules=(pytest:python3-pytest pefile:python3-pefile)
corvane_files=(/usr/src/googletest/CMakeLists.txt:googletest /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc:fonts-wqy-zenhei)

# Installs only what is missing, so a second run costs nothing; then proves that everything is there.
corvane_install_packages() {
  local missing=()
  local package
  for package in "${corvane_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || true
  fi
  corvane_check_tools
}

# One line naming everything that is still missing and the package that provides it.
corvane_check_tools() {
  local absent=() entry
  for entry in "${corvane_commands[@]}"; do
    command -v "${entry%%:*}" >/dev/null 2>&1 || absent+=("command ${entry%%:*} (package ${entry#*:})")
  done
  for entry in "${corvane_python_modules[@]}"; do
    /usr/bin/python3 -c "import ${entry%%:*}" >/dev/null 2>&1 ||
      absent+=("python module ${entry%%:*} for /usr/bin/python3 (package ${entry#*:})")
  done
  for entry in "${corvane_files[@]}"; do
    [ -e "${entry%%:*}" ] || absent+=("${entry%%:*} (package ${entry#*:})")
  done
  if [ ${#absent[@]} -gt 0 ]; then
    local line
    line=$(printf ', %s' "${absent[@]}")
    echo "$(basename "$0"): missing ${line:2}; install them and run it again." >&2
    return 1
  fi
}

corvane_build() {
  if [ ! -f "$CORVANE_BUILD_DIR/CMakeCache.txt" ]; then
    (cd "$CORVANE_SOURCE_DIR" && cmake --preset release -B "$CORVANE_BUILD_DIR" "$@" >/dev/null)
  elif [ $# -gt 0 ]; then
    cmake -B "$CORVANE_BUILD_DIR" "$@" >/dev/null
  fi
  cmake --build "$CORVANE_BUILD_DIR"
}

# A display for the dialogs: the caller's own, or a private Xvfb stopped when the script ends. Xvfb picks
# a free display number itself and writes it to the given descriptor once it accepts clients, so two
# runs starting at the same moment never end up on one server.
corvane_start_display() {
  if [ -n "${DISPLAY:-}" ] && [ -z "${CORVANE_FORCE_XVFB:-}" ]; then
    return 0
  fi
  local number_file
  number_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x800x24 -noreset -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
  CORVANE_XVFB_PID=$!
  local i
  for i in $(seq 1 100); do
    if [ -s "$number_file" ]; then
      export DISPLAY=":$(tr -dc 0-9 <"$number_file")"
      rm -f "$number_file"
      return 0
    fi
    kill -0 "$CORVANE_XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$number_file"
  echo "Xvfb did not start" >&2
  return 1
}

# The project's own Wine prefix, never ~/.wine. Dialog fonts map to a CJK font so Chinese is drawn.
corvane_prepare_prefix() {
  export WINEPREFIX=${CORVANE_WINEPREFIX:-$CORVANE_BUILD_DIR/wineprefix}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  if [ ! -f "$WINEPREFIX/.corvane-ready" ]; then
    mkdir -p "$WINEPREFIX"
    local font
    for font in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI" "SimSun" "Microsoft YaHei"; do
      wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" /t REG_SZ /d "WenQuanYi Zen Hei" /f >/dev/null 2>&1
    done
    wineserver -w
    touch "$WINEPREFIX/.corvane-ready"
  fi
}

corvane_stop_services() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "${CORVANE_XVFB_PID:-}" ]; then
    kill "$CORVANE_XVFB_PID" 2>/dev/null || true
    wait "$CORVANE_XVFB_PID" 2>/dev/null || true
  fi
}
