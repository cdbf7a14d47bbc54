# Shared by run-demo, screenshots and run-tests: packages, the cross build, the display, the Wine prefix and
# the demo's own prefix and mirror.
# Sourced, not run.

CORVANE_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CORVANE_BUILD_DIR=${CORVANE_BUILD_DIR:-$CORVANE_SOURCE_DIR/build/release}
export CORVANE_SOURCE_DIR CORVANE_BUILD_DIR

corvane_packages=(
  cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
  googletest wine wine64 xvfb xauth iproute2 python3-pytest python3-pefile python3-jsonschema openssl osslsigncode
  libengine-pkcs11-openssl softhsm2 opensc ca-certificates fonts-wqy-microhei fonts-wine imagemagick locales curl
)

# Every program the scripts and tests call, with the package that brings it. Checked after installing,
# so a missing one stops the run at once with its name instead of an exit status 127 minutes later.
corvane_commands=(
  cmake:cmake ninja:ninja-build
  x86_64-w64-mingw32-gcc-posix:gcc-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
  x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64 x86_64-w64-mingw32-objcopy:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-strip:binutils-mingw-w64-x86-64 x86_64-w64-mingw32-addr2line:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-nm:binutils-mingw-w64-x86-64 x86_64-w64-mingw32-dlltool:binutils-mingw-w64-x86-64
  x86_64-w64-mingw32-objdump:binutils-mingw-w64-x86-64
  wine:wine winepath:wine wineserver:wine Xvfb:xvfb xauth:xauth ip:iproute2
  openssl:openssl osslsigncode:osslsigncode softhsm2-util:softhsm2 pkcs11-tool:opensc
  import:imagemagick identify:imagemagick curl:curl
  /usr/bin/python3:python3 localedef:libc-bin
)
# Debian's interpreter runs the tests: a python3 earlier on PATH may not see Debian's modules.
corvane_python_modules=(pytest:python3-pytest pefile:python3-pefile jsonschema:python3-jsonschema)
# osslsigncode reaches a key in a token only through OpenSSL's PKCS#11 engine (the release command), and
# a file signed elsewhere may leave out the public root its chain ends in (the CA certificates); SoftHSM2
# is the token the tests sign with, and OpenSC's PKCS#11 spy counts the PINs offered to it.
corvane_files=(/usr/src/googletest/CMakeLists.txt:googletest /usr/share/fonts/truetype/wqy/wqy-microhei.ttc:fonts-wqy-microhei
               /usr/share/wine/fonts/marlett.ttf:fonts-wine /usr/share/i18n/locales/zh_CN:locales
               /usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so:libengine-pkcs11-openssl
               /etc/ssl/certs/ca-certificates.crt:ca-certificates
               /usr/lib/softhsm/libsofthsm2.so:softhsm2 /usr/lib/x86_64-linux-gnu/pkcs11-spy.so:opensc)

# Installs only what is missing, so a second run costs nothing; then proves that everything is there.
corvane_install_packages() {
  local missing=()
  local package
  # One query for all of them: the release checks run this on every call.
  local installed
  installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${corvane_packages[@]}" 2>/dev/null || true)
  for package in "${corvane_packages[@]}"; do
    grep -qx "$package install ok installed" <<<"$installed" || missing+=("$package")
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
  local modules=("${corvane_python_modules[@]%%:*}")
  if ! /usr/bin/python3 -c "import $(IFS=,; echo "${modules[*]}")" >/dev/null 2>&1; then
    for entry in "${corvane_python_modules[@]}"; do
      /usr/bin/python3 -c "import ${entry%%:*}" >/dev/null 2>&1 ||
        absent+=("python module ${entry%%:*} for /usr/bin/python3 (package ${entry#*:})")
    done
  fi
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

corvane_configure() {
  if [ ! -f "$CORVANE_BUILD_DIR/CMakeCache.txt" ]; then
    (cd "$CORVANE_SOURCE_DIR" && cmake --preset release -B "$CORVANE_BUILD_DIR" "$@" >/dev/null)
  elif [ $# -gt 0 ]; then
    cmake -B "$CORVANE_BUILD_DIR" "$@" >/dev/null
  fi
}

# Everything (the tests and their builds included); extra arguments configure the build again.
corvane_build() {
  corvane_configure "$@"
  cmake --build "$CORVANE_BUILD_DIR"
}

# Only the named targets and what they need: the demo shows a few executables, and building the test
# programs as well took most of its first run on a fresh machine.
corvane_build_targets() {
  corvane_configure
  cmake --build "$CORVANE_BUILD_DIR" --target "$@"
}

# The demo's targets for one road: the shipped exe and the window helper for the launch road; the install
# build, the signed stand-in installer and the test certificates (the mirror's TLS certificate and the
# root the demo prefix trusts) for the install road and the pictures.
corvane_demo_targets() {
  local road=$1
  echo Corvane_Lite ui-helper
  if [ "$road" != launch ]; then
    echo CorvaneInstallDemoLite CorvaneDemoInstallerSigned test_fixtures
  fi
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

# The project's own Wine prefix, never ~/.wine, with the fonts that draw Chinese (wine-prefix.reg); a
# prefix made before that file last changed imports it again.
corvane_prepare_prefix() {
  export WINEPREFIX=${CORVANE_WINEPREFIX:-$CORVANE_BUILD_DIR/wineprefix}
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  local settings="$CORVANE_SOURCE_DIR/scripts/wine-prefix.reg" version
  version=$(cksum <"$settings")
  if [ "$(cat "$WINEPREFIX/.corvane-ready" 2>/dev/null)" != "$version" ]; then
    mkdir -p "$WINEPREFIX"
    wine reg import "$settings" >/dev/null 2>&1
    wineserver -w
    echo "$version" >"$WINEPREFIX/.corvane-ready"
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

# The demo's own prefix, apart from the tests' one so that a demo never stops a test run's Wine server.
# Headless, Wine draws a virtual desktop of the screen's size, so windows get Windows' own title bars and
# frames (without a window manager on the private Xvfb they would have none). Wine's Light visual style
# draws the controls as current Windows does. Its Wine server and background programs are started here
# with none of the caller's pipes.
corvane_prepare_demo_prefix() {
  local headless=$1
  export CORVANE_WINEPREFIX=$CORVANE_BUILD_DIR/demo/wineprefix
  corvane_prepare_prefix
  local look="$CORVANE_BUILD_DIR/demo/look.reg"
  # The fixed settings (demo-prefix.reg) and, last, whether the desktop is virtual.
  cp "$CORVANE_SOURCE_DIR/scripts/demo-prefix.reg" "$look"
  if [ -n "$headless" ]; then echo '"Desktop"="Default"' >>"$look"; else echo '"Desktop"=-' >>"$look"; fi
  wine reg import "$look" >/dev/null 2>&1
  # Marlett draws the title bar's buttons. Debian's Wine does not look where fonts-wine puts its fonts,
  # so the prefix gets this one (and only this one: Wine's Tahoma has no Chinese).
  ln -sfn /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
  wineserver -w
  wineserver -p </dev/null >/dev/null 2>&1
  wine wineboot </dev/null >/dev/null 2>&1
  # Wine takes its own texts (the system's buttons: 确定, 取消) from the locale, as Chinese Windows shows
  # them. The locale is compiled here, so the machine's own locales stay as they are; demo_road.py hands
  # it to what it starts.
  export CORVANE_DEMO_LOCPATH=$CORVANE_BUILD_DIR/demo/locale
  if [ ! -d "$CORVANE_DEMO_LOCPATH/zh_CN.UTF-8" ]; then
    mkdir -p "$CORVANE_DEMO_LOCPATH"
    localedef -i zh_CN -f UTF-8 "$CORVANE_DEMO_LOCPATH/zh_CN.UTF-8"
  fi
}

# The runtime vendor's download service, played on loopback by the test server with the test root trusted
# in the demo prefix only; the demo's install builds download from https://localhost.
corvane_start_mirror() {
  CORVANE_MIRROR_STATE=$CORVANE_BUILD_DIR/demo/mirror
  /usr/bin/python3 "$CORVANE_SOURCE_DIR/tests/fixtures/pki.py" trust "$CORVANE_BUILD_DIR/fixtures"
  /usr/bin/python3 "$CORVANE_SOURCE_DIR/tests/fixtures/https_server.py" start "$CORVANE_BUILD_DIR/fixtures" \
    "$CORVANE_MIRROR_STATE"
}

# Everything a demo started. A second Ctrl+C while this runs must not leave half of it behind, so it and
# what it starts ignore interrupts.
corvane_stop_demo() {
  trap '' INT TERM
  corvane_stop_mirror
  corvane_stop_services
}

corvane_stop_mirror() {
  if [ -n "${CORVANE_MIRROR_STATE:-}" ]; then
    /usr/bin/python3 "$CORVANE_SOURCE_DIR/tests/fixtures/https_server.py" stop "$CORVANE_MIRROR_STATE" || true
  fi
}
