#!/usr/bin/env bash
# Runs this build's Windows programs under one Wine loader, in a fresh prefix
# of their own in a temporary folder:
#   wine.sh start LOADER ARCH STATE         makes the prefix, notes its folder in STATE
#   wine.sh run   LOADER ARCH STATE PROGRAM [ARGUMENT...]
#   wine.sh stop  LOADER ARCH STATE         ends the prefix's wineserver, removes it
# LOADER is called directly: /usr/lib/wine/wine64 with ARCH win64, which needs
# no i386 code, or /usr/lib/wine/wine with ARCH win32. (/usr/bin/wine picks the
# i386 loader whenever it is installed, whether or not the kernel runs it.)
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: wine.sh start|run|stop LOADER ARCH STATE [PROGRAM...]" >&2; exit 2; }
action=$1 loader=$2 arch=$3 state=$4
shift 4

export WINEARCH=$arch
export WINELOADER=$loader
export WINESERVER=$(dirname "$loader")/wineserver
# No Mono or Gecko installer, no debug channels but the loader's errors (a
# DLL that is not found is named).
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all,err+module
unset DISPLAY WAYLAND_DISPLAY

prefix_of_state() { [ -f "$state" ] && cat "$state" || true; }

remove_prefix() {  # folder
  local prefix=$1
  [ -n "$prefix" ] && [ -d "$prefix" ] || return 0
  WINEPREFIX=$prefix "$WINESERVER" -k 2>/dev/null || true
  rm -rf -- "$prefix"
}

case $action in
  start)
    [ -x "$loader" ] || { echo "wine.sh: no Wine loader at $loader" >&2; exit 1; }
    remove_prefix "$(prefix_of_state)"  # one left by a run that was cut short
    prefix=$(mktemp -d "${TMPDIR:-/tmp}/rhl-$arch-XXXXXX")
    echo "$prefix" > "$state"
    export WINEPREFIX=$prefix
    # A win64 prefix also asks the i386 loader to fill syswow64; where the
    # kernel cannot run it that one attempt fails and the 64-bit side is made.
    WINEDEBUG=-all "$loader" wineboot -i
    "$WINESERVER" -w
    test -f "$prefix/system.reg" || { echo "wine.sh: $prefix was not made" >&2; exit 1; }
    echo "wine.sh: $arch prefix ready in $prefix"
    ;;
  run)
    [ $# -ge 1 ] || { echo "wine.sh run: no program given" >&2; exit 2; }
    prefix=$(prefix_of_state)
    [ -n "$prefix" ] && [ -d "$prefix" ] || { echo "wine.sh: no prefix; run 'start' first" >&2; exit 1; }
    export WINEPREFIX=$prefix
    exec "$loader" "$@"
    ;;
  stop)
    remove_prefix "$(prefix_of_state)"
    rm -f -- "$state"
    ;;
  *)
    echo "wine.sh: unknown action '$action'" >&2
    exit 2
    ;;
esac
