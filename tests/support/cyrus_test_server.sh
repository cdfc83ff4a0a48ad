#!/bin/bash
# Starts a Cyrus IMAP server (Debian's cyrus-imapd) for tests on loopback, everything inside DIR.
# Usage: cyrus_test_server.sh DIR IMAP_PORT IMAPS_PORT LOGIN_ONLY_PORT; prints the master's pid.
# The packages conflict with Dovecot's, so they are fetched with apt-get download and unpacked
# (with the libraries this machine lacks) into a cache folder once, and run from there.
# Ports: IMAP_PORT is plain with STARTTLS (no login before it), IMAPS_PORT TLS from the start,
# LOGIN_ONLY_PORT TLS from the start offering no SASL mechanism (clients use LOGIN). The users
# tester, second and user1..user9 have the password s3cret; the hierarchy separator is ".".
# The server certificate (self-signed, its own test CA) is DIR/cert.pem.
set -euo pipefail
D=$1; P=$2; PS=$3; PL=$4
# The cache must be readable by nobody when run as root (the services drop to nobody).
CACHE=${TARVEL_TEST_SERVER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarvel-test-servers}
R=$CACHE/cyrus-3.6
B=$R/usr/lib/cyrus/bin
LIBS=$R/usr/lib/x86_64-linux-gnu

missing_libraries() {
  LD_LIBRARY_PATH=$LIBS ldd "$B/master" "$B/imapd" "$B/lmtpd" "$B/deliver" "$B/ctl_cyrusdb" \
    "$R/usr/sbin/saslpasswd2" 2>/dev/null | awk '/not found/ {print $1}' | sort -u
}

# The direct library dependencies of the given packages that are not installed.
uninstalled_library_packages() {
  apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances "$@" 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^lib/ {print $2}' |
    sort -u | while read -r package; do
      dpkg -s "$package" >/dev/null 2>&1 || echo "$package"
    done
}

fetch() {
  local work=$CACHE/download.$$
  rm -rf "$work" && mkdir -p "$work" && cd "$work"
  local packages="cyrus-imapd cyrus-common sasl2-bin"
  local fetched=""
  for round in 1 2 3 4; do
    [ -n "$packages" ] || break
    # shellcheck disable=SC2086
    apt-get download $packages >download.log 2>&1 || { cat download.log >&2; return 1; }
    fetched="$fetched $packages"
    for package in *.deb; do dpkg -x "$package" "$work/root"; done
    rm -f ./*.deb
    [ -x "$work/root/usr/lib/cyrus/bin/master" ] || return 1
    R=$work/root B=$work/root/usr/lib/cyrus/bin LIBS=$work/root/usr/lib/x86_64-linux-gnu
    [ -z "$(missing_libraries)" ] && break
    # shellcheck disable=SC2086
    packages=$(uninstalled_library_packages $packages | grep -vxF -f <(tr ' ' '\n' <<<"$fetched") || true)
  done
  R=$CACHE/cyrus-3.6 B=$R/usr/lib/cyrus/bin LIBS=$R/usr/lib/x86_64-linux-gnu
  [ -z "$(R=$work/root B=$work/root/usr/lib/cyrus/bin LIBS=$work/root/usr/lib/x86_64-linux-gnu missing_libraries)" ] || {
    echo "libraries still missing after the download" >&2; return 1; }
  rm -rf "$R" && mv "$work/root" "$R" && cd / && rm -rf "$work"
}

mkdir -p "$CACHE"
exec 9>"$CACHE/cyrus.lock"
flock 9
if [ ! -x "$B/master" ] || [ -n "$(missing_libraries)" ]; then
  fetch || { echo "could not fetch Cyrus IMAP into $CACHE" >&2; exit 2; }
fi
flock -u 9
exec 9>&-

mkdir -p "$D/conf" "$D/spool" "$D/run"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=imap.example.com" \
  -addext "subjectAltName=DNS:imap.example.com,DNS:localhost,IP:127.0.0.1" \
  -keyout "$D/key.pem" -out "$D/cert.pem" 2>/dev/null
for user in tester second user1 user2 user3 user4 user5 user6 user7 user8 user9; do
  echo s3cret | LD_LIBRARY_PATH=$LIBS "$R/usr/sbin/saslpasswd2" -p -c -f "$D/sasldb2" \
    -u imap.example.com "$user"
done
# The services refuse to run as root: as root they run as nobody.
if [ "$(id -u)" = 0 ]; then run_as=nobody; else run_as=$(id -un); fi
cat > "$D/imapd.conf" <<CONF
configdirectory: $D/conf
partition-default: $D/spool
servername: imap.example.com
cyrus_user: $run_as
sasl_pwcheck_method: auxprop
sasl_auxprop_plugin: sasldb
sasl_sasldb_path: $D/sasldb2
sasl_mech_list: PLAIN
allowplaintext: no
unixhierarchysep: no
altnamespace: no
tls_server_cert: $D/cert.pem
tls_server_key: $D/key.pem
lmtpsocket: $D/run/lmtp
idlesocket: $D/run/idle
notifysocket: $D/run/notify
imapidlepoll: 1
autocreate_quota: 0
autocreate_post: yes
autocreate_inbox_folders: Work|Archive
syslog_prefix: tarvel-cyrus
failedloginpause: 0
CONF
sed 's/^sasl_mech_list:.*/sasl_mech_list: NONE-OFFERED/' "$D/imapd.conf" > "$D/imapd-login.conf"
C="-C $D/imapd.conf"
cat > "$D/cyrus.conf" <<CONF
START {
  recover cmd="$B/ctl_cyrusdb $C -r"
}
SERVICES {
  imap cmd="$B/imapd $C" listen="127.0.0.1:$P" prefork=0
  imaps cmd="$B/imapd $C -s" listen="127.0.0.1:$PS" prefork=0
  imapslogin cmd="$B/imapd -C $D/imapd-login.conf -s" listen="127.0.0.1:$PL" prefork=0
  lmtpunix cmd="$B/lmtpd $C" listen="$D/run/lmtp" prefork=0
}
EVENTS {
}
DAEMON {
  idled cmd="$B/idled $C"
}
CONF
chmod 755 "$D"
[ "$run_as" = nobody ] && chown -R nobody:nogroup "$D"
LD_LIBRARY_PATH=$LIBS setsid "$B/master" -C "$D/imapd.conf" -M "$D/cyrus.conf" \
  -p "$D/run/master.pid" >"$D/master.out" 2>&1 </dev/null &
pid=$!
for i in $(seq 1 250); do
  kill -0 $pid 2>/dev/null || { cat "$D/master.out" >&2; exit 1; }
  (exec 3<>/dev/tcp/127.0.0.1/$PS) 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/$PL) 2>/dev/null &&
    [ -S "$D/run/lmtp" ] && break
  sleep 0.02
done
echo $pid
