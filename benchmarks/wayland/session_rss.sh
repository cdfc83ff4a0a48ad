#!/bin/bash
# The program's resident memory after a check that finds a new mail and its notice, under
# headless Wayland compositors (weston: the notice as a desktop notification; sway: the popup
# as a layer surface) and under Xvfb, with the same settings and mail.
# Usage: benchmarks/wayland/session_rss.sh BUILD_DIR [SETTLE_SECONDS]
# Extra environment for both runs (QT_QUICK_BACKEND, QT_XCB_GL_INTEGRATION, ...) is passed
# through, so the figures of one change can be compared. Prints one line per session:
#   <session> rss_kib=<VmRSS> peak_kib=<VmHWM> notifications=<desktop notifications sent>
#     libs=<mapped GL/EGL/Wayland libraries>
# TARVEL_BENCH_TRACE=1 also prints the end of each run's trace.
# Not a test: the figures depend on the machine.
set -euo pipefail
build=$(cd "$1" && pwd)
settle=${2:-8}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
chmod 711 "$work"  # the IMAP server's own users read its files inside
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$work/imap/run/master.pid" ] && kill "$(cat "$work/imap/run/master.pid")" 2>/dev/null
  sleep 0.5
  rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + RANDOM % 20000))
"$root/tests/support/imap_test_server.sh" "$work/imap" "$port" "$((port + 1))" >/dev/null
export TARVEL_CA_FILE="$work/imap/cert.pem"
export TARVEL_CONNECT_TO="imap.example.com:993:127.0.0.1:$((port + 1))"

run() {  # run SESSION: prints the session's line
  local session=$1 home="$work/$1"
  mkdir -p "$home/config" "$home/state" "$home/data" "$home/runtime"
  chmod 700 "$home/runtime"
  export XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" XDG_DATA_HOME="$home/data"
  export XDG_RUNTIME_DIR="$home/runtime" HOME="$home"
  local ctl="$build/bin/tarvelctl"
  "$ctl" settings set Flags $((0x1010 | 0x1000000)) --number >/dev/null
  "$ctl" settings set IMAPServer imap.example.com:993 --text >/dev/null
  "$ctl" settings set IMAPUser tester --protected >/dev/null
  "$ctl" settings set IMAPPassword s3cret --protected >/dev/null
  local bus
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 | head -2)
  pids+=("$(echo "$bus" | sed -n 2p)")
  export DBUS_SESSION_BUS_ADDRESS=$(echo "$bus" | sed -n 1p)
  /usr/bin/python3 "$root/tests/ui/notice/fake_notification_server.py" "$home/notify.jsonl" >/dev/null &
  pids+=($!)
  if [ "$session" = sway ]; then
    # sway refuses to run as root: there it runs as nobody, in a runtime folder of its own.
    local swayRuntime="$home/compositor" as=()
    mkdir -p "$swayRuntime" && chmod 700 "$swayRuntime"
    printf 'output HEADLESS-1 resolution 1280x800\nxwayland disable\n' >"$home/sway.config"
    chmod 711 "$home"
    if [ "$(id -u)" = 0 ]; then
      chown nobody:nogroup "$swayRuntime"
      as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    fi
    XDG_RUNTIME_DIR="$swayRuntime" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
      WLR_RENDERER=pixman "${as[@]}" sway --config "$home/sway.config" >"$home/sway.log" 2>&1 &
    pids+=($!)
    local socket=
    until [ -n "$socket" ]; do
      sleep 0.1
      socket=$(find "$swayRuntime" -maxdepth 1 -type s -name 'wayland-*' | head -1)
    done
    env -u DISPLAY WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland \
      "$build/bin/tarvel" >"$home/tarvel.log" 2>&1 &
  elif [ "$session" = wayland ]; then
    weston --backend=headless-backend.so --use-pixman --no-config --idle-time=0 \
      --socket=bench-wl >"$home/weston.log" 2>&1 &
    pids+=($!)
    while [ ! -S "$home/runtime/bench-wl" ]; do sleep 0.1; done
    env -u DISPLAY WAYLAND_DISPLAY=bench-wl QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland \
      "$build/bin/tarvel" >"$home/tarvel.log" 2>&1 &
  else
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$home/display" &
    pids+=($!)
    while [ ! -s "$home/display" ]; do sleep 0.1; done
    env -u WAYLAND_DISPLAY DISPLAY=":$(cat "$home/display")" QT_QPA_PLATFORM=xcb \
      "$build/bin/tarvel" >"$home/tarvel.log" 2>&1 &
  fi
  local program=$!
  pids+=("$program")
  # The first check sees the mailbox as it is; a mail that arrives afterwards is new.
  local trace="$home/state/Quorline/Tarvel/trace.log" waited=0
  until grep -q CheckOut "$trace" 2>/dev/null; do
    waited=$((waited + 1)); [ "$waited" -lt 600 ] || { echo "no check" >&2; exit 1; }
    sleep 0.1
  done
  local tries=0
  until printf 'From: Ann <ann@example.com>\r\nDate: %s\r\nSubject: Lunch %s\r\n\r\nbody\r\n' "$(date -R)" "$session" |
    doveadm -c "$work/imap/dovecot.conf" save -u tester -m INBOX 2>/dev/null; do
    tries=$((tries + 1)); [ "$tries" -lt 50 ] || { echo "no IMAP server" >&2; exit 1; }
    sleep 0.2
  done
  sleep "$settle"
  local rss peak libs
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$program/status")
  peak=$(awk '/^VmHWM/ {print $2}' "/proc/$program/status")
  libs=$(awk '$6 ~ /^\// {print $6}' "/proc/$program/maps" | xargs -r -n1 basename | sort -u |
    grep -E '^(libGL|libEGL|libgbm|libwayland|libqwayland|libqt-plugin-wayland|.*_dri\.so)' |
    tr '\n' ',' || true)
  local notices=0
  [ -f "$home/notify.jsonl" ] && notices=$(wc -l <"$home/notify.jsonl")
  local popups=
  [ -z "${TARVEL_BENCH_TRACE:-}" ] || [ "$session" != x11 ] || DISPLAY=":$(cat "$home/display")" xwininfo -root -tree | grep -v "has no name" >&2
  [ "$session" != x11 ] ||
    popups=" popup_windows=$(DISPLAY=":$(cat "$home/display")" xwininfo -root -tree | grep -c '("tarvel"' || true)"
  echo "$session rss_kib=$rss peak_kib=$peak notifications=$notices$popups libs=${libs%,}"
  [ -z "${TARVEL_BENCH_TRACE:-}" ] || tail -n 15 "$home/state/Quorline/Tarvel/trace.log" >&2
  kill "$program"
  wait "$program" 2>/dev/null || true
}

run x11
run wayland
run sway
