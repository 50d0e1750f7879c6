#!/usr/bin/env python3
"""A school's proxy that wants to know who is asking, for the journeys.

Forwards plain-HTTP GETs in absolute form (http://host:port/path) to their
origin once the client has authenticated on its connection with NTLM (the
NTLMv2 response of one known user and password), as Windows' proxies do.
Until then every request gets 407 with "Proxy-Authenticate: NTLM"; the
handshake (type 1, challenge, type 3) runs on one kept-alive connection, and
every answer has a Content-Length. With --basic-only it wants Basic instead
and never forwards: a client that answers it has sent a password.

One log line per request: METHOD URL USER STATUS CREDENTIALS, where USER is
the authenticated user or "-" and CREDENTIALS the schemes of the
Proxy-Authorization and Authorization headers the request carried ("-" when
none), e.g. "GET http://127.0.0.1:81/soft/package.json student 200 NTLM".
"""

import argparse
import base64
import hashlib
import hmac
import http.client
import http.server
import os
import socketserver
import struct
import sys
import threading
import time
import urllib.parse

SIGNATURE = b"NTLMSSP\0"
NEGOTIATE_UNICODE = 0x00000001
REQUEST_TARGET = 0x00000004
NEGOTIATE_NTLM = 0x00000200
ALWAYS_SIGN = 0x00008000
TARGET_TYPE_DOMAIN = 0x00010000
EXTENDED_SESSION_SECURITY = 0x00080000
TARGET_INFO = 0x00800000
NEGOTIATE_VERSION = 0x02000000
NEGOTIATE_128 = 0x20000000
KEY_EXCHANGE = 0x40000000
NEGOTIATE_56 = 0x80000000
# What this side takes from a client's wishes; the rest it always sets.
OFFERED = NEGOTIATE_UNICODE | ALWAYS_SIGN | EXTENDED_SESSION_SECURITY | NEGOTIATE_VERSION | NEGOTIATE_128 | \
    KEY_EXCHANGE | NEGOTIATE_56
ALWAYS = REQUEST_TARGET | NEGOTIATE_NTLM | TARGET_TYPE_DOMAIN | TARGET_INFO
DOMAIN = "ZQSCHOOL"
COMPUTER = "ZQPROXY"
PAGE_407 = b"<html><body><h1>407 Proxy Authentication Required</h1></body></html>\n"


def md4(data):
    """MD4 (RFC 1320): OpenSSL 3 leaves it out of hashlib."""
    try:
        return hashlib.new("md4", data).digest()
    except ValueError:
        pass
    mask = 0xFFFFFFFF

    def rotl(x, n):
        x &= mask
        return ((x << n) | (x >> (32 - n))) & mask

    message = data + b"\x80" + b"\0" * ((55 - len(data)) % 64) + struct.pack("<Q", len(data) * 8)
    a, b, c, d = 0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476
    for block in range(0, len(message), 64):
        x = struct.unpack("<16I", message[block:block + 64])
        aa, bb, cc, dd = a, b, c, d
        f = lambda x_, y, z: (x_ & y) | (~x_ & z)
        g = lambda x_, y, z: (x_ & y) | (x_ & z) | (y & z)
        h = lambda x_, y, z: x_ ^ y ^ z
        for i in range(16):
            k, s = i, (3, 7, 11, 19)[i % 4]
            a, b, c, d = d, rotl(a + f(b, c, d) + x[k], s), b, c
        for i in range(16):
            k, s = (i % 4) * 4 + i // 4, (3, 5, 9, 13)[i % 4]
            a, b, c, d = d, rotl(a + g(b, c, d) + x[k] + 0x5A827999, s), b, c
        for i in range(16):
            k, s = (0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15)[i], (3, 9, 11, 15)[i % 4]
            a, b, c, d = d, rotl(a + h(b, c, d) + x[k] + 0x6ED9EBA1, s), b, c
        a, b, c, d = (a + aa) & mask, (b + bb) & mask, (c + cc) & mask, (d + dd) & mask
    return struct.pack("<4I", a, b, c, d)


def utf16(text):
    return text.encode("utf-16-le")


def av_pair(av_id, value):
    return struct.pack("<HH", av_id, len(value)) + value


def challenge_message(client_flags, server_challenge):
    """A type-2 message as a Windows domain member sends it, target info included."""
    flags = (client_flags & OFFERED) | ALWAYS
    target = utf16(DOMAIN)
    filetime = int((time.time() + 11644473600) * 10000000)
    info = (av_pair(2, utf16(DOMAIN)) + av_pair(1, utf16(COMPUTER)) + av_pair(4, utf16(DOMAIN.lower() + ".test")) +
            av_pair(3, utf16(COMPUTER.lower() + "." + DOMAIN.lower() + ".test")) +
            av_pair(7, struct.pack("<Q", filetime)) + av_pair(0, b""))
    header_size = 56
    version = bytes([10, 0]) + struct.pack("<H", 19041) + b"\0\0\0\x0f"
    return (SIGNATURE + struct.pack("<I", 2) + struct.pack("<HHI", len(target), len(target), header_size) +
            struct.pack("<I", flags) + server_challenge + b"\0" * 8 +
            struct.pack("<HHI", len(info), len(info), header_size + len(target)) + version + target + info)


def field(message, offset):
    length, _, start = struct.unpack_from("<HHI", message, offset)
    if start + length > len(message):
        raise ValueError("field past the message's end")
    return message[start:start + length]


def authenticated_user(message, server_challenge, user, password):
    """The user name of a type-3 message whose NTLMv2 response proves the password, else None."""
    if len(message) < 64 or message[:8] != SIGNATURE or struct.unpack_from("<I", message, 8)[0] != 3:
        return None
    flags = struct.unpack_from("<I", message, 60)[0]
    text = (lambda b: b.decode("utf-16-le")) if flags & NEGOTIATE_UNICODE else (lambda b: b.decode("latin-1"))
    nt_response = field(message, 20)
    domain = text(field(message, 28))
    name = text(field(message, 36))
    # NTLMv1 responses are 24 bytes; this proxy, like current Windows, takes v2 alone.
    if name.lower() != user.lower() or len(nt_response) <= 24:
        return None
    nt_hash = md4(utf16(password))
    proof, blob = nt_response[:16], nt_response[16:]
    for realm in {domain, ""}:
        key = hmac.new(nt_hash, utf16(name.upper() + realm), "md5").digest()
        if hmac.compare_digest(hmac.new(key, server_challenge + blob, "md5").digest(), proof):
            return name
    return None


class Log:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, *fields):
        with self.lock, open(self.path, "a", encoding="utf-8") as log:
            log.write(" ".join(str(f) for f in fields) + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "zq-ntlm-proxy"

    def setup(self):
        super().setup()
        # NTLM authenticates a connection, not a request.
        self.user = None
        self.server_challenge = None

    def log_message(self, *args):
        pass

    def credentials_sent(self):
        schemes = [value.split(" ", 1)[0] for name in ("Proxy-Authorization", "Authorization")
                   for value in self.headers.get_all(name, [])]
        return ",".join(schemes) or "-"

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.server.log.write(self.command, self.path, self.user or "-", status, self.sent)

    def demand(self, challenge=None):
        if self.server.basic_only:
            offer = 'Basic realm="school"'
        else:
            offer = "NTLM" if challenge is None else "NTLM " + base64.b64encode(challenge).decode()
        self.answer(407, PAGE_407, [("Proxy-Authenticate", offer), ("Content-Type", "text/html")])

    def authenticate(self):
        """True once this connection is authenticated; otherwise it has answered 407."""
        if self.user is not None:
            return True
        value = self.headers.get("Proxy-Authorization", "")
        scheme, _, token = value.partition(" ")
        if self.server.basic_only or scheme.upper() != "NTLM":
            self.demand()
            return False
        try:
            message = base64.b64decode(token.strip(), validate=True)
            kind = struct.unpack_from("<I", message, 8)[0] if message[:8] == SIGNATURE else 0
            if kind == 1:
                self.server_challenge = os.urandom(8)
                self.demand(challenge_message(struct.unpack_from("<I", message, 12)[0], self.server_challenge))
                return False
            if kind == 3 and self.server_challenge is not None:
                self.user = authenticated_user(message, self.server_challenge, self.server.user,
                                               self.server.password)
        except (ValueError, struct.error, UnicodeDecodeError):
            pass
        self.server_challenge = None
        if self.user is None:
            self.demand()
            return False
        return True

    def do_GET(self):
        self.sent = self.credentials_sent()
        if not self.authenticate():
            return
        target = urllib.parse.urlsplit(self.path)
        if target.scheme != "http" or not target.hostname:
            self.answer(400, b"absolute http URLs only\n")
            return
        origin = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=30)
        forwarded = {name: value for name, value in self.headers.items()
                     if name.lower() in ("user-agent", "accept", "range", "if-range")}
        try:
            origin.request("GET", urllib.parse.urlunsplit(("", "", target.path or "/", target.query, "")),
                           headers=forwarded)
            response = origin.getresponse()
            body = response.read()
        except OSError:
            self.answer(502, b"origin unreachable\n")
            return
        finally:
            origin.close()
        kept = [(name, value) for name, value in response.getheaders()
                if name.lower() in ("content-type", "etag", "last-modified", "content-range", "accept-ranges")]
        self.answer(response.status, body, kept)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen", required=True, help="HOST:PORT")
    parser.add_argument("--user", default="student")
    parser.add_argument("--password", default="")
    parser.add_argument("--log", required=True)
    parser.add_argument("--basic-only", action="store_true")
    options = parser.parse_args()
    host, _, port = options.listen.rpartition(":")
    server = Server((host, int(port)), Handler)
    server.log = Log(options.log)
    server.user, server.password, server.basic_only = options.user, options.password, options.basic_only
    print("listening on %s" % options.listen, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
