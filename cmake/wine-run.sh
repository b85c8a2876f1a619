#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests and the demo.
#   wine-run.sh --setup     fresh prefix, a persistent wineserver and one Xvfb for this run
#   wine-run.sh --cleanup   stops the wineserver and the Xvfb started by --setup
#   wine-run.sh prog.exe [args...]
# The state (prefix, display number, Xvfb pid) lives in $KELVADON_WINE_STATE.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
state=${KELVADON_WINE_STATE:-$here/../build/windows/wine}
mkdir -p "$state"
state=$(cd "$state" && pwd)
export WINEPREFIX="$state/prefix"
export WINEDEBUG=-all
# Without these a fresh prefix can wait on a runtime-install dialog, and every link or shortcut
# the launcher registers makes Wine write menu and MIME files into the host's home folder.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${KELVADON_EXTRA_DLLOVERRIDES:+;$KELVADON_EXTRA_DLLOVERRIDES}"
export WINEARCH=win64

ensure_prefix() {
  (
    flock 9
    if [ ! -f "$state/prefix.ready" ]; then
      rm -rf "$WINEPREFIX"
      # Programs that outlive this step must not inherit the lock or the caller's output pipes
      # (CTest waits until every writer of a test's output has gone).
      wineboot -i </dev/null >"$state/wineboot.log" 2>&1 9>&-
      wineserver -w 9>&-
      # A new prefix links Desktop, Documents, Downloads and the like to the host's home folder;
      # shortcuts the launcher makes there would land in the real home. Make them plain folders.
      for link in "$WINEPREFIX"/drive_c/users/*/*; do
        if [ -L "$link" ]; then
          rm -f "$link"
          mkdir -p "$link"
        fi
      done
      # Without a window manager on Xvfb, Wine waits about two seconds whenever a managed window
      # closes; unmanaged windows close at once.
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 9>&-
      wineserver -w 9>&-
      touch "$state/prefix.ready"
    fi
  ) 9>"$state/prefix.lock"
}

ensure_display() {
  if [ -n "${KELVADON_WINE_DISPLAY:-}" ]; then
    echo "$KELVADON_WINE_DISPLAY" >"$state/display"
    return 0
  fi
  (
    flock 9
    if [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null; then
      exit 0
    fi
    for n in $(seq 91 140); do
      [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >"$state/xvfb.log" 2>&1 9>&- &
      echo $! >"$state/xvfb.pid"
      echo ":$n" >"$state/display"
      for _ in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && exit 0
        sleep 0.1
      done
      echo "Xvfb did not start on :$n" >&2
      exit 1
    done
    echo "no free X display number" >&2
    exit 1
  ) 9>"$state/display.lock"
}

case "${1:-}" in
  --setup)
    rm -f "$state/prefix.ready" "$state/skipped-cases.txt"
    ensure_display || exit 1
    export DISPLAY=$(cat "$state/display")
    ensure_prefix
    wineserver -p </dev/null >/dev/null 2>&1
    # Start the prefix's services now, with nowhere to write: started later by a test's first
    # program, they would hold that test's output pipe open and CTest would wait for them.
    wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
    echo "Wine prefix ready in $WINEPREFIX on display $DISPLAY"
    exit 0
    ;;
  --cleanup)
    wineserver -k 2>/dev/null
    if [ -f "$state/xvfb.pid" ]; then
      kill "$(cat "$state/xvfb.pid")" 2>/dev/null
      rm -f "$state/xvfb.pid"
    fi
    exit 0
    ;;
  "")
    echo "usage: wine-run.sh --setup | --cleanup | program.exe [args...]" >&2
    exit 2
    ;;
esac

ensure_display || exit 1
export DISPLAY=$(cat "$state/display")
ensure_prefix
# Programs a test leaves behind (and Wine's own helpers, started on first use) inherit the output
# handles; with a pipe CTest would wait for them, so output goes through a file instead.
out=$(mktemp "$state/output.XXXXXX")
wine "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit $rc
