#!/usr/bin/env bash
# Checks an installed copy of the notifier as a user's machine gets it:
#   installed_copy.sh install BUILD_DIR   # `cmake --install` into a temporary prefix
#   installed_copy.sh package BUILD_DIR   # scripts/package, then `dpkg -x` of the .deb
# The copy must hold every file in its place, pass the desktop entry and AppStream
# validators, and its programs must start from there and find their library and resources.
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-installed-copy.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

case "$mode" in
  install)
    cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" ||
      { cat "$work/install.log"; fail "cmake --install"; }
    prefix="$work/prefix"
    ;;
  package)
    deb=$("$source_dir/scripts/package" --build-dir "$build" --output "$work/deb" | tail -n 1)
    [ -f "$deb" ] || fail "no package written"
    echo "package: $(basename "$deb")"
    dpkg-deb -c "$deb" | awk '{print $6}' | sort >"$work/contents"
    # Every file in its place under /usr, nothing of the build or the tests in it.
    for file in ./usr/bin/tarvel ./usr/bin/tarvelctl ./usr/lib/tarvel/libzarquet.so \
      ./usr/share/applications/tarvel.desktop ./usr/share/metainfo/com.quorline.Tarvel.metainfo.xml \
      ./usr/share/icons/hicolor/scalable/apps/tarvel.svg ./usr/share/man/man1/tarvelctl.1.gz \
      ./usr/share/man/man1/tarvel.1.gz ./usr/share/dbus-1/interfaces/com.quorline.Tarvel1.xml; do
      grep -qxF "$file" "$work/contents" || fail "$file is not in the package"
    done
    if grep -vE '^\./(usr/?|usr/(bin|lib|share)(/.*)?)$' "$work/contents"; then
      fail "the package holds files outside /usr/bin, /usr/lib and /usr/share"
    fi
    if grep -E 'test|gtest|\.a$|/include/|render_icon' "$work/contents"; then
      fail "the package holds build or test files"
    fi
    [ "$(dpkg-deb -f "$deb" Package)" = tarvel ] || fail "package name"
    version=$(dpkg-deb -f "$deb" Version)
    [ "$version" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
      fail "package version $version is not the project's"
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    # From the shared libraries (dpkg-shlibdeps) and the run-time additions.
    for package in libc6 libstdc++6 libqt6core6 libqt6widgets6 libqt6network6 libqt6dbus6 \
      libcurl4 libssl3 libxml2 libarchive13 qt6-qpa-plugins xdg-utils; do
      tr ',|' '\n\n' <<<"$depends" | sed -E 's/^ +//; s/[ (].*//' | grep -qxF "$package" ||
        fail "Depends lacks $package"
    done
    # Every dependency names a package this Debian knows (none of the build's -dev ones).
    for package in $(tr ',|' '\n\n' <<<"$depends" | sed -E 's/\(.*\)//; s/:any//' | xargs -n 1); do
      case "$package" in *-dev) fail "Depends names a build package: $package" ;; esac
      apt-cache show "$package" >/dev/null 2>&1 || dpkg-query -W "$package" >/dev/null 2>&1 ||
        fail "Depends names an unknown package: $package"
    done
    # The notifier never loads Chromium: the embedded browser is a package of its own, which
    # the notifier's package recommends.
    ! grep -qi webengine <<<"$depends" || fail "the tarvel package depends on Qt WebEngine"
    if [ -x "$build/bin/tarvel-browser" ]; then
      browser_deb=$(ls "$work/deb"/tarvel-browser_*.deb 2>/dev/null | head -n 1)
      [ -f "$browser_deb" ] || fail "no tarvel-browser package"
      dpkg-deb -c "$browser_deb" | awk '{print $6}' | grep -xF ./usr/bin/tarvel-browser >/dev/null ||
        fail "tarvel-browser is not in its package"
      ! grep -qxF ./usr/bin/tarvel-browser "$work/contents" || fail "the tarvel package holds the browser"
      dpkg-deb -f "$deb" Recommends | grep -qw tarvel-browser || fail "tarvel does not recommend tarvel-browser"
      dpkg-deb -f "$browser_deb" Depends | grep -qw libqt6webenginecore6 ||
        fail "tarvel-browser does not depend on Qt WebEngine"
    fi
    dpkg -x "$deb" "$work/root"
    prefix="$work/root/usr"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac

# The files of the installed copy.
for file in bin/tarvel bin/tarvelctl lib/tarvel/libzarquet.so \
  share/applications/tarvel.desktop share/metainfo/com.quorline.Tarvel.metainfo.xml \
  share/icons/hicolor/scalable/apps/tarvel.svg share/man/man1/tarvelctl.1.gz \
  share/man/man1/tarvel.1.gz share/dbus-1/interfaces/com.quorline.Tarvel1.xml; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
for size in 16 22 24 32 48 64 128 256; do
  icon="$prefix/share/icons/hicolor/${size}x${size}/apps/tarvel.png"
  [ -f "$icon" ] || fail "no ${size}x${size} application icon"
  file "$icon" | grep -q "PNG image data, $size x $size" || fail "$icon: $(file -b "$icon")"
done
[ ! -e "$prefix/lib/libzarquet.so" ] && [ ! -e "$prefix/bin/libzarquet.so" ] ||
  fail "libzarquet.so is outside its private folder"
for program in tarvel tarvelctl; do
  readelf -d "$prefix/bin/$program" | grep -qF '[$ORIGIN/../lib/tarvel]' ||
    fail "$program has no run path to lib/tarvel: $(readelf -d "$prefix/bin/$program" | grep -E 'RPATH|RUNPATH')"
done

# The desktop entry and the metainfo pass their validators; the entry claims no mailto.
desktop-file-validate "$prefix/share/applications/tarvel.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/com.quorline.Tarvel.metainfo.xml" ||
  fail "appstreamcli validate"
grep -qx 'Categories=Network;Email;' "$prefix/share/applications/tarvel.desktop" ||
  fail "categories"
! grep -qi 'mailto' "$prefix/share/applications/tarvel.desktop" || fail "the entry claims mailto"
# grep reads to the end: quitting at the first match would end the pipe's writers with SIGPIPE.
zcat "$prefix/share/man/man1/tarvelctl.1.gz" | man -l - 2>/dev/null | tr -s ' ' | grep 'settings list' >/dev/null ||
  fail "the manual page of tarvelctl does not render"
zcat "$prefix/share/man/man1/tarvel.1.gz" | man -l - 2>/dev/null | tr -s ' ' | grep 'Portable mode' >/dev/null ||
  fail "the manual page of tarvel does not render"

# The programs start from the copy, with a user of their own.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_STATE_HOME="$work/home/state"
export XDG_DATA_HOME="$work/home/data" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset LD_LIBRARY_PATH TARVEL_SOURCE_DIR
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$("$prefix/bin/tarvelctl" --version)" = "tarvelctl $version" ] || fail "tarvelctl --version"
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/tarvel" --version)" = \
  "tarvel $version" ] || fail "tarvel --version"

# IMAP #1 on (its enabling bit 0x1000000, default options 0x1010). An IMAP check loads libzarquet.so from the private folder: it fails to connect (nothing
# listens on port 1) rather than reporting the library missing; with the library moved
# aside the same check reports it missing.
ini="$work/imap.ini"
"$prefix/bin/tarvelctl" --ini "$ini" settings set IMAPServer imaps://127.0.0.1:1 >/dev/null
"$prefix/bin/tarvelctl" --ini "$ini" settings set IMAPUser someone >/dev/null
"$prefix/bin/tarvelctl" --ini "$ini" settings set IMAPPassword secret >/dev/null
"$prefix/bin/tarvelctl" --ini "$ini" settings set Flags 0x1001010 >/dev/null
check=$("$prefix/bin/tarvelctl" --ini "$ini" check --json || true)
grep -q '"name":"IMAP' <<<"$check" || fail "the IMAP account did not check: $check"
! grep -q 'is not available' <<<"$check" || fail "libzarquet.so not found: $check"
mv "$prefix/lib/tarvel/libzarquet.so" "$work/libzarquet.so"
check=$("$prefix/bin/tarvelctl" --ini "$ini" check --json || true)
mv "$work/libzarquet.so" "$prefix/lib/tarvel/libzarquet.so"
grep -q 'libzarquet.so is not available' <<<"$check" ||
  fail "a missing library went unnoticed: $check"

# The notifier starts offscreen from the copy, runs its first check and ends cleanly on
# SIGTERM: first a portable one, then the installed one. Neither switches start at login on by
# itself: that is the user's choice on the options dialog's first page.
run_notifier() {
  local trace=$1
  shift
  QT_QPA_PLATFORM=offscreen "$prefix/bin/tarvel" "$@" >"$work/tarvel.out" 2>&1 &
  local pid=$!
  pids+=("$pid")
  for _ in $(seq 1 200); do
    grep -q '\] CheckOut$' "$trace" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '\] CheckOut$' "$trace" 2>/dev/null ||
    { cat "$work/tarvel.out"; fail "tarvel $* did not run its first check"; }
  kill -TERM "$pid"
  local status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { cat "$work/tarvel.out"; fail "tarvel $* ended with $status on SIGTERM"; }
}
trace="$XDG_STATE_HOME/Quorline/Tarvel/trace.log"
run_notifier "$trace" -p
[ -f "$prefix/bin/tarvel.ini" ] || fail "the portable notifier kept no settings beside itself"
[ ! -e "$XDG_CONFIG_HOME/autostart" ] || fail "a portable start touched the autostart folder"
rm -f "$trace"
run_notifier "$trace"
[ ! -e "$XDG_CONFIG_HOME/autostart/tarvel.desktop" ] ||
  fail "the first start switched start at login on without asking"
echo "installed copy ($mode): all checks passed"
