#!/usr/bin/env bash
# Runs the browser tab tests on a desktop of their own: Xvfb, a private session bus with the
# accessibility bus, and Firefox ESR showing two local pages. Then runs the no-bus case on a
# session bus without an accessibility bus.
# Usage: browser_tab_session.sh TEST_BINARY
set -u
binary=$1
work=$(mktemp -d /tmp/tarvel-tabs-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do timeout 10 tail --pid="$pid" -f /dev/null 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=:$(head -1 "$work/display")
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/profile" && chmod 700 "$XDG_RUNTIME_DIR"
unset AT_SPI_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP

cat >"$work/other.html" <<'PAGE'
<!DOCTYPE html><html><head><title>Other page</title></head><body>Another site</body></html>
PAGE
cat >"$work/gmail.html" <<'PAGE'
<!DOCTYPE html><html><head><title>Inbox (3) - user@example.org - Gmail</title></head>
<body>Three unread mails</body></html>
PAGE
# A fresh profile that asks nothing, shows no first-run pages and reaches no network.
cat >"$work/profile/user.js" <<'PREFS'
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("startup.homepage_welcome_url", "");
user_pref("startup.homepage_welcome_url.additional", "");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.policy.firstRunURL", "");
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.enabled", false);
user_pref("browser.tabs.warnOnClose", false);
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "127.0.0.1");
user_pref("network.proxy.http_port", 9);
user_pref("network.proxy.ssl", "127.0.0.1");
user_pref("network.proxy.ssl_port", 9);
user_pref("network.proxy.no_proxies_on", "");
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("accessibility.force_disabled", -1);
PREFS

export TARVEL_TAB_WORK="$work"
dbus-run-session -- bash -c '
  /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 >/dev/null 2>&1 &
  launcher=$!
  for _ in $(seq 400); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
      org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q "boolean true" && break
    sleep 0.05
  done
  GNOME_ACCESSIBILITY=1 MOZ_ENABLE_WAYLAND=0 firefox-esr --no-remote --profile "$TARVEL_TAB_WORK/profile" \
    "file://$TARVEL_TAB_WORK/other.html" "file://$TARVEL_TAB_WORK/gmail.html" \
    >"$TARVEL_TAB_WORK/firefox.log" 2>&1 &
  firefox=$!
  TARVEL_FIREFOX_PID=$firefox "$0" --gtest_filter="FirefoxTab.*"
  rc=$?
  [ $rc -ne 0 ] && tail -20 "$TARVEL_TAB_WORK/firefox.log"
  kill $firefox $launcher 2>/dev/null
  timeout 10 tail --pid=$firefox -f /dev/null
  exit $rc' "$binary"
rc=$?
# A session bus with no accessibility bus on it.
dbus-run-session -- "$binary" --gtest_filter="NoAccessibilityBus.*" || rc=1
exit $rc
