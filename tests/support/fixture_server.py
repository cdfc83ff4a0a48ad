#!/usr/bin/env python3
"""Local HTTP and HTTPS server with canned answers, for tests.

Usage: fixture_server.py --config ROUTES.json --record REQUESTS.jsonl [--cert PEM --key PEM]

Listens on ephemeral loopback ports (plain HTTP, and HTTPS when a certificate is given) and
prints one line "READY http=PORT https=PORT" (https=0 without a certificate) once it accepts
connections. Tests reach it under the services' real host names through a connection redirect,
so the Host header (and the TLS server name) select the answer.

ROUTES.json is read again whenever it changes:
  {"routes": [
    {"host": "mail.example.com",      # or "*" for any host
     "path": "/inbox?x=1",            # matched with the query first, then without it
     "method": "POST",                # optional
     "scheme": "https",               # optional: "http" or "https"
     "cookie": "SID=1",               # optional: only when the Cookie header holds this pair
     "status": 200,
     "headers": [["Set-Cookie", "a=1"], ...],
     "body": "text", "body_base64": "...",    # one of them; default empty
     "basic_auth": "user:password",   # 401 with a Basic challenge unless these credentials come
     "gzip": true,                    # the body is sent gzip-compressed
     "truncate": 10,                  # announce the whole length, send 10 bytes, close
     "trickle_seconds": 0.5,          # send the body one byte after each such pause
     "stall": "before_headers" | "after_headers",  # then wait "stall_seconds" (default 60)
     "echo": true,                    # the body is the request's headers, one per line
     "body_contains": "user=joe"}     # optional: only a request whose body holds this text
  ]}
"ntlm_auth": "user:password" (or "DOMAIN\\user:password") asks for NTLM (NTLMv2 answers)
instead; the handshake runs on one connection. A route with "basic_auth" or "ntlm_auth" may set
"denied_body", the body of its 401 answer (default "denied").
A request without a route gets 404 "no route".

Every request is appended to REQUESTS.jsonl as one JSON object: scheme, sni, method, host,
path, headers (list of [name, value]), body_base64.
"""

import argparse
import base64
import gzip
import hashlib
import hmac
import http.server
import json
import os
import socket
import ssl
import struct
import sys
import threading
import time


class Routes:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.stamp = None
        self.routes = []

    def get(self):
        with self.lock:
            try:
                status = os.stat(self.path)
                stamp = (status.st_mtime_ns, status.st_size, status.st_ino)
            except OSError:
                return self.routes
            if stamp != self.stamp:
                try:
                    with open(self.path, "r", encoding="utf-8") as handle:
                        self.routes = json.load(handle).get("routes", [])
                    self.stamp = stamp
                except (OSError, ValueError):
                    pass
            return self.routes


class Recorder:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.handle = open(path, "a", encoding="utf-8")

    def write(self, entry):
        with self.lock:
            self.handle.write(json.dumps(entry) + "\n")
            self.handle.flush()


def md4(data):
    """MD4 (RFC 1320); the hashlib of this system may not offer it."""
    def rotate(value, count):
        value &= 0xFFFFFFFF
        return ((value << count) | (value >> (32 - count))) & 0xFFFFFFFF

    message = bytearray(data) + b"\x80"
    while len(message) % 64 != 56:
        message.append(0)
    message += struct.pack("<Q", len(data) * 8)
    rounds = [
        (lambda x, y, z: (x & y) | (~x & z), 0, range(16), [3, 7, 11, 19]),
        (lambda x, y, z: (x & y) | (x & z) | (y & z), 0x5A827999,
         [0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15], [3, 5, 9, 13]),
        (lambda x, y, z: x ^ y ^ z, 0x6ED9EBA1,
         [0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15], [3, 9, 11, 15]),
    ]
    state = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476]
    for offset in range(0, len(message), 64):
        words = struct.unpack("<16I", message[offset:offset + 64])
        a, b, c, d = state
        for function, constant, order, shifts in rounds:
            for step, index in enumerate(order):
                a = rotate(a + function(b, c, d) + words[index] + constant, shifts[step % 4])
                a, b, c, d = d, a, b, c
        state = [(value + added) & 0xFFFFFFFF for value, added in zip(state, (a, b, c, d))]
    return struct.pack("<4I", *state)


NTLM_SIGNATURE = b"NTLMSSP\0"


def ntlm_challenge_message(challenge):
    """An NTLM type 2 message with target information, which asks for NTLMv2 answers."""
    domain = "FIXTURE".encode("utf-16-le")
    target_info = struct.pack("<HH", 2, len(domain)) + domain + struct.pack("<HH", 0, 0)
    # Unicode, NTLM, extended session security, target information
    flags = 0x00000001 | 0x00000200 | 0x00080000 | 0x00800000
    return (NTLM_SIGNATURE + struct.pack("<I", 2) + struct.pack("<HHI", 0, 0, 48) +
            struct.pack("<I", flags) + challenge + b"\0" * 8 +
            struct.pack("<HHI", len(target_info), len(target_info), 48) + target_info)


def ntlm_security_buffer(message, offset):
    length, _, start = struct.unpack("<HHI", message[offset:offset + 8])
    return message[start:start + length]


def ntlm_authenticated(message, challenge, wanted):
    """Checks an NTLMv2 type 3 message against "user:password" (or "DOMAIN\\user:password")."""
    if len(message) < 64 or message[:8] != NTLM_SIGNATURE:
        return False
    user_wanted, password = wanted.split(":", 1)
    domain_wanted = ""
    if "\\" in user_wanted:
        domain_wanted, user_wanted = user_wanted.split("\\", 1)
    answer = ntlm_security_buffer(message, 20)
    domain = ntlm_security_buffer(message, 28).decode("utf-16-le", "replace")
    user = ntlm_security_buffer(message, 36).decode("utf-16-le", "replace")
    if user != user_wanted or domain != domain_wanted or len(answer) <= 16:
        return False
    key = md4(password.encode("utf-16-le"))
    identity = (user.upper() + domain).encode("utf-16-le")
    v2_key = hmac.new(key, identity, hashlib.md5).digest()
    proof = hmac.new(v2_key, challenge + answer[16:], hashlib.md5).digest()
    return hmac.compare_digest(proof, answer[:16])


def make_handler(routes, recorder, scheme):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # Headers and body go out in separate writes; without this each answer would wait
        # for the client's delayed acknowledgement.
        disable_nagle_algorithm = True

        def log_message(self, *args):
            pass

        def find_route(self, host, method, body=b""):
            bare_path = self.path.split("?", 1)[0]
            candidates = routes.get()
            for wanted in (self.path, bare_path):
                for route in candidates:
                    if route.get("host", "*") not in ("*", host):
                        continue
                    if route.get("path") != wanted:
                        continue
                    if route.get("method") and route["method"] != method:
                        continue
                    if route.get("scheme") and route["scheme"] != scheme:
                        continue
                    if route.get("cookie") and route["cookie"] not in [
                        pair.strip() for pair in (self.headers.get("Cookie") or "").split(";")
                    ]:
                        continue
                    if "body_contains" in route and \
                            route["body_contains"].encode("utf-8") not in body:
                        continue
                    return route
            return None

        def handle_any(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            host = (self.headers.get("Host") or "").split(":")[0].lower()
            if host.startswith("["):
                host = (self.headers.get("Host") or "").lower()
            recorder.write({
                "scheme": scheme,
                "sni": getattr(self.connection, "fixture_sni", None),
                "method": self.command,
                "host": host,
                "path": self.path,
                "headers": [[name, value] for name, value in self.headers.items()],
                "body_base64": base64.b64encode(body).decode("ascii"),
            })
            route = self.find_route(host, self.command, body)
            if route is None:
                self.answer(404, [], b"no route")
                return
            if "ntlm_auth" in route and not self.ntlm_step(route):
                return
            wanted = route.get("basic_auth")
            if wanted is not None:
                expected = "Basic " + base64.b64encode(wanted.encode("utf-8")).decode("ascii")
                if self.headers.get("Authorization") != expected:
                    denied = route.get("denied_body", "denied").encode("utf-8")
                    self.answer(401, [["WWW-Authenticate", 'Basic realm="fixture"']], denied)
                    return
            if route.get("stall") == "before_headers":
                time.sleep(route.get("stall_seconds", 60))
                self.close_connection = True
                return
            if route.get("echo"):
                content = "".join("%s: %s\n" % item for item in self.headers.items()).encode()
            elif "body_base64" in route:
                content = base64.b64decode(route["body_base64"])
            else:
                content = route.get("body", "").encode("utf-8")
            headers = [list(item) for item in route.get("headers", [])]
            if route.get("gzip"):
                content = gzip.compress(content)
                headers.append(["Content-Encoding", "gzip"])
            self.answer(route.get("status", 200), headers, content, route)

        def ntlm_step(self, route):
            """One step of the NTLM handshake of this connection; True once it succeeded."""
            header = self.headers.get("Authorization") or ""
            message = b""
            if header.startswith("NTLM "):
                try:
                    message = base64.b64decode(header[5:])
                except ValueError:
                    message = b""
            kind = struct.unpack("<I", message[8:12])[0] if len(message) >= 12 else 0
            if kind == 1:
                self.ntlm_challenge = os.urandom(8)
                token = base64.b64encode(ntlm_challenge_message(self.ntlm_challenge)).decode()
                self.answer(401, [["WWW-Authenticate", "NTLM " + token]], b"")
                return False
            challenge = getattr(self, "ntlm_challenge", None)
            if kind == 3 and challenge and ntlm_authenticated(message, challenge,
                                                               route["ntlm_auth"]):
                return True
            denied = route.get("denied_body", "denied").encode("utf-8")
            self.answer(401, [["WWW-Authenticate", "NTLM"]], denied)
            return False

        def answer(self, status, headers, content, route=None):
            route = route or {
            }
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(content)))
            self.end_headers()
            if self.command == "HEAD":
                return
            if route.get("stall") == "after_headers":
                self.wfile.write(content[: len(content) // 2])
                self.wfile.flush()
                time.sleep(route.get("stall_seconds", 60))
                self.close_connection = True
                return
            if "trickle_seconds" in route:
                # One byte at a time, with a pause before each: never stalled, never done.
                try:
                    for index in range(len(content)):
                        time.sleep(route["trickle_seconds"])
                        self.wfile.write(content[index:index + 1])
                        self.wfile.flush()
                except OSError:
                    pass
                self.close_connection = True
                return
            if "truncate" in route:
                self.wfile.write(content[: int(route["truncate"])])
                self.wfile.flush()
                self.close_connection = True
                return
            self.wfile.write(content)

        do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = handle_any

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False
    request_queue_size = 64


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--config", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    arguments = parser.parse_args()

    routes = Routes(arguments.config)
    recorder = Recorder(arguments.record)

    plain = Server(("127.0.0.1", 0), make_handler(routes, recorder, "http"))
    servers = [plain]
    secure_port = 0
    if arguments.cert:
        secure = Server(("127.0.0.1", 0), make_handler(routes, recorder, "https"))
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(arguments.cert, arguments.key)
        context.set_alpn_protocols(["http/1.1"])

        def remember_name(connection, name, _context):
            connection.fixture_sni = name

        context.sni_callback = remember_name
#The handshake runs in the request's own thread, so a silent client blocks no one.
        secure.socket = context.wrap_socket(secure.socket, server_side=True,
                                            do_handshake_on_connect=False)
        servers.append(secure)
        secure_port = secure.server_address[1]

    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdout.write("READY http=%d https=%d\n" % (plain.server_address[1], secure_port))
    sys.stdout.flush()
    try:
#Ends when the test closes our standard input or kills us.
        sys.stdin.read()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
