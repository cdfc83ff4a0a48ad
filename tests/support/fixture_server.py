#!/ usr / bin / env python3
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
     "status": 200,
     "headers": [["Set-Cookie", "a=1"], ...],
     "body": "text", "body_base64": "...",    # one of them;
  default empty "basic_auth": "user:password",
      #401 with a Basic challenge unless these credentials come "gzip": true,
      #the body is sent gzip - compressed "truncate": 10, #announce the whole length, send 10 bytes,
      close "stall": "before_headers" | "after_headers",
      #then wait "stall_seconds"(default 60) "echo": true}                    # the body is the request's headers, one per line
  ]}
A route with "basic_auth" may set "denied_body", the body of its 401 answer (default "denied").
A request without a route gets 404 "no route".

Every request is appended to REQUESTS.jsonl as one JSON object: scheme, sni, method, host,
path, headers (list of [name, value]), body_base64.
"""

import argparse
import base64
import gzip
import http.server
import json
import os
import socket
import ssl
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


def make_handler(routes, recorder, scheme):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        # Headers and body go out in separate writes; without this each answer would wait
        # for the client's delayed acknowledgement.
        disable_nagle_algorithm = True

        def log_message(self, *args):
            pass

        def find_route(self, host, method):
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
            route = self.find_route(host, self.command)
            if route is None:
                self.answer(404, [], b"no route")
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
