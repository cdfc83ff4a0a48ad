#!/usr/bin/env python3
"""Plays the user's browser in an OAuth2 sign-in, for tests.

Usage: oauth_browser.py --ca PEM --map HOST=PORT --user NAME --password PW [--user-code CODE] URL

Follows redirects, keeps cookies, and submits the first form of every page: its hidden fields,
with "login"/"password" filled with the user's and an empty "user_code" with the device code.
HOST is reached on 127.0.0.1:PORT over TLS (the certificate names 127.0.0.1). A redirect to
http://127.0.0.1 (the program's loopback listener) is requested as is, and ends the run.
Prints the last page's status and body; exit code 0 when a last page was reached.
"""

import argparse
import html.parser
import http.client
import ssl
import sys
import urllib.parse


class FormReader(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.form = None
        self.fields = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "form" and self.form is None:
            self.form = attrs
        elif tag in ("input", "button") and self.form is not None and attrs.get("name"):
            self.fields.append(attrs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ca", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--user-code", default="")
    parser.add_argument("url")
    args = parser.parse_args()
    mapped_host, mapped_port = args.map.split("=")
    context = ssl.create_default_context(cafile=args.ca)
    cookies = {}
    url, method, body = args.url, "GET", None
    for _ in range(40):
        parts = urllib.parse.urlsplit(url)
        target = parts.path + ("?" + parts.query if parts.query else "")
        if parts.scheme == "http" and parts.hostname == "127.0.0.1":
            connection = http.client.HTTPConnection("127.0.0.1", parts.port, timeout=20)
            connection.request("GET", target)
            answer = connection.getresponse()
            print(answer.status, answer.read().decode("utf-8", "replace"))
            return 0
        if parts.hostname != mapped_host:
            print("refusing to visit", url)
            return 2
        connection = http.client.HTTPSConnection("127.0.0.1", int(mapped_port), context=context,
                                                 timeout=20)
        headers = {"Host": mapped_host}
        if cookies:
            headers["Cookie"] = "; ".join(f"{k}={v}" for k, v in cookies.items())
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        connection.request(method, target, body=body, headers=headers)
        answer = connection.getresponse()
        text = answer.read().decode("utf-8", "replace")
        for name, value in answer.getheaders():
            if name.lower() == "set-cookie":
                pair = value.split(";", 1)[0]
                key, _, val = pair.partition("=")
                cookies[key.strip()] = val.strip()
        if 300 <= answer.status < 400:
            url = urllib.parse.urljoin(url, answer.getheader("Location"))
            method, body = "GET", None
            continue
        reader = FormReader()
        reader.feed(text)
        if reader.form is None:
            print(answer.status, text)
            return 0 if answer.status == 200 else 1
        fields = {}
        for field in reader.fields:
            name, value = field["name"], field.get("value") or ""
            if name == "login":
                value = args.user
            elif name == "password":
                value = args.password
            elif name == "user_code" and not value:
                value = args.user_code
            if field.get("type") == "submit" and name in fields:
                continue
            fields[name] = value
        url = urllib.parse.urljoin(url, reader.form.get("action") or url)
        method = (reader.form.get("method") or "GET").upper()
        body = urllib.parse.urlencode(fields)
        if method == "GET":
            url = url.split("?")[0] + "?" + body
            body = None
    print("too many pages")
    return 1


if __name__ == "__main__":
    sys.exit(main())
