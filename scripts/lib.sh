# shellcheck shell=bash
# The start every script shares; sourced, not run:  . "$(dirname "$0")/lib.sh"
# Sets `here` (the repository), `default_prefix`, `build`, and exports WINEPREFIX and WINEDEBUG.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
default_prefix="$here/.wineprefix"
export WINEPREFIX="${WINEPREFIX:-$default_prefix}"
export WINEDEBUG=-all
build="${PATCH_BUILD_DIR:-$here/build}"

# Extra arguments go to CMake (scripts/test turns warnings into errors).
configure_build() {
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-i686.cmake" \
    "$@" >/dev/null
}

# Nothing of Wine may stay running after a script.
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
}

# Runs CLEANUP when the script ends, also when it is interrupted or terminated.
on_exit() {
  # shellcheck disable=SC2064  # the command is given now, by name
  trap "$1" EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}
