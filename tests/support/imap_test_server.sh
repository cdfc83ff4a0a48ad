#!/bin/bash
# Starts a Dovecot IMAP server for tests on loopback, everything inside DIR.
# Usage: imap_test_server.sh DIR IMAP_PORT IMAPS_PORT [restart]; prints the master's pid.
# With "restart" the server set up in DIR before starts again (same ports, certificate, mail).
# The server certificate (self-signed, so it is its own test CA) is DIR/cert.pem; the users are
# tester/s3cret and second/s3cret; mail lives in DIR/mail/USER as maildir.
# TARVEL_TEST_DOVECOT_NOTIFY=1 in the environment: the server offers NOTIFY as well.
# With TARVEL_TEST_OAUTH2_CONF (an oauth2 passdb settings file) the server also accepts
# XOAUTH2 and OAUTHBEARER logins checked at the authorisation server's introspection endpoint;
# TARVEL_TEST_OAUTH2_MECHANISMS narrows them (for example to "oauthbearer").
set -euo pipefail
OAUTH2_MECHANISMS=${TARVEL_TEST_OAUTH2_MECHANISMS:-xoauth2 oauthbearer}
D=$1; P=$2; PS=$3
if [ "${4:-}" != restart ]; then
mkdir -p "$D/mail"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=imap.example.com" \
  -addext "subjectAltName=DNS:imap.example.com,DNS:outlook.office365.com,DNS:localhost,IP:127.0.0.1" \
  -keyout "$D/key.pem" -out "$D/cert.pem" 2>/dev/null
printf 'tester:{PLAIN}s3cret::::::\nsecond:{PLAIN}s3cret::::::\n' > "$D/users"
cat > "$D/dovecot.conf" <<CONF
instance_name = imaptest-$PS
base_dir = $D/run
state_dir = $D/state
log_path = $D/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl_cert = <$D/cert.pem
ssl_key = <$D/key.pem
disable_plaintext_auth = no
auth_mechanisms = plain login${TARVEL_TEST_OAUTH2_CONF:+ $OAUTH2_MECHANISMS}
auth_verbose = yes
auth_failure_delay = 0 secs
mail_location = maildir:$D/mail/%u
$(if [ -n "${TARVEL_TEST_OAUTH2_CONF:-}" ]; then printf '%s\n' \
  'auth_cache_size = 0' \
  'passdb {' '  driver = oauth2' "  mechanisms = $OAUTH2_MECHANISMS" \
  "  args = $TARVEL_TEST_OAUTH2_CONF" '}'; fi)
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $D/users
}
userdb {
  driver = passwd-file
  args = username_format=%u $D/users
  default_fields = uid=nobody gid=nogroup home=$D/mail/%u
}
namespace inbox {
  inbox = yes
  separator = /
  mailbox Drafts {
    special_use = \\Drafts
    auto = create
  }
  mailbox Trash {
    special_use = \\Trash
    auto = create
  }
  mailbox Sent {
    special_use = \\Sent
    auto = create
  }
}
service imap-login {
  inet_listener imap {
    port = $P
  }
  inet_listener imaps {
    port = $PS
    ssl = yes
  }
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
protocol imap {
  imap_idle_notify_interval = ${TARVEL_TEST_IDLE_NOTIFY_INTERVAL:-1 secs}
}
mailbox_idle_check_interval = 1 secs
CONF
# With TARVEL_TEST_DOVECOT_NOTIFY=1 the server offers NOTIFY (its plugin needs the list index).
if [ "${TARVEL_TEST_DOVECOT_NOTIFY:-}" = 1 ]; then
  printf 'mail_plugins = $mail_plugins notify\nmailbox_list_index = yes\n' >> "$D/dovecot.conf"
fi
chmod 755 "$D"; chown nobody:nogroup "$D/mail"
fi
rm -rf "$D/run"
dovecot -F -c "$D/dovecot.conf" >"$D/master.out" 2>&1 &
pid=$!
for i in $(seq 1 250); do
  kill -0 $pid 2>/dev/null || { cat "$D/master.out" >&2; exit 1; }
  grep -q 'starting up' "$D/dovecot.log" 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/$PS) 2>/dev/null && break
  sleep 0.02
done
echo $pid
