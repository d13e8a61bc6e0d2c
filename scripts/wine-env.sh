# shellcheck shell=bash
# Wine environment shared by scripts/test.sh and scripts/demo.sh (sourced).
#
#   ov_wine_prepare <prefix>   exports WINEPREFIX/WINEDEBUG/...; creates the
#                              prefix, or reuses it when it is healthy
#   ov_wine_start              starts one Xvfb display (exports DISPLAY) and a
#                              kept-alive wineserver; registers the cleanup
#   ov_wine_stop               wineserver -k, stops Xvfb (also run by the trap)
#
# One prefix and one wineserver for a whole run: a Wine program then starts in
# about 0.2 s instead of 1-3 s.

ov_xvfb_pid=""
ov_wine_started=""

ov_log() { printf '==> %s\n' "$*"; }

ov_wine_prepare() {
  local prefix="$1"
  export WINEPREFIX="$prefix"
  export WINEARCH=win64
  export WINEDEBUG=-all
  # Wine converts Linux text by the locale's character set: always UTF-8.
  export LC_ALL=C.UTF-8
  # No Mono or Gecko installer dialogs: the launcher needs neither.
  export WINEDLLOVERRIDES="mscoree=;mshtml="
  # A prefix is healthy when its first boot finished (marker written below)
  # and its registry and system folder are there.
  if [ -f "$prefix/.ov-ready" ] && [ -f "$prefix/system.reg" ] \
     && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ]; then
    return 0
  fi
  ov_log "creating Wine prefix $prefix"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  local t0=$SECONDS
  if ! wineboot -i >"$(dirname "$prefix")/wineboot.log" 2>&1; then
    echo "wineboot failed; see $(dirname "$prefix")/wineboot.log" >&2
    return 1
  fi
  wineserver -w
  [ -f "$prefix/system.reg" ] || { echo "wineboot left no registry in $prefix" >&2; return 1; }
  touch "$prefix/.ov-ready"
  ov_log "Wine prefix ready in $((SECONDS - t0)) s"
}

# Starts Xvfb on a display number it picks itself (-displayfd), so parallel
# runs on one machine never collide. Windows need a display under Wine.
ov_xvfb_start() {
  local logdir="$1" numfile
  numfile="$(mktemp)"
  Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$numfile" >"$logdir/xvfb.log" 2>&1 &
  ov_xvfb_pid=$!
  local _
  for _ in $(seq 1 100); do
    if [ -s "$numfile" ]; then
      DISPLAY=":$(tr -dc '0-9' <"$numfile")"
      export DISPLAY
      rm -f "$numfile"
      return 0
    fi
    kill -0 "$ov_xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$numfile"
  echo "Xvfb did not start; see $logdir/xvfb.log" >&2
  return 1
}

ov_wine_stop() {
  if [ -n "$ov_wine_started" ]; then
    wineserver -k >/dev/null 2>&1 || true
    ov_wine_started=""
  fi
  if [ -n "$ov_xvfb_pid" ]; then
    kill "$ov_xvfb_pid" 2>/dev/null || true
    wait "$ov_xvfb_pid" 2>/dev/null || true
    ov_xvfb_pid=""
  fi
}

ov_wine_start() {
  local logdir="$1"
  trap ov_wine_stop EXIT
  trap 'exit 130' INT TERM
  # Always a display of our own, even on a desktop: keys pressed by the
  # tests must reach only the launcher's windows.
  ov_xvfb_start "$logdir" || return 1
  # A wineserver left over from an interrupted run would keep stale state.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -p
  ov_wine_started=1
  # Start the prefix's services and its desktop (explorer.exe) now, with no
  # output handles: started later by a test program, they would inherit its
  # output pipe and keep it open, and ctest would wait for them.
  wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
}
