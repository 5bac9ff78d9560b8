#!/usr/bin/env python3
"""An HTTP or HTTPS server on 127.0.0.1 for tests, with its behaviour chosen by the path.

Usage: http-test-server.py [--cert CHAIN.pem --key KEY.pem]

Prints "PORT <n>" once it listens, and for every request whose head it has read
"REQUEST <method> <path> <body length> <sha256 of the body>" (so a test can tell
that no request byte arrived). Paths:

  /echo[?save=FILE]        200, JSON: method, path, headers, length, sha256; the body
                           is written to FILE when asked
  /status/CODE?type=T      CODE with Content-Type T and a short body
  /json/CODE               CODE with a JSON body
  /redirect/N/CODE         CODE to /redirect/N-1/CODE, and at N = 0 the same as /echo
  /to/CODE?url=URL         CODE to URL, which may be on another server
  /raw?text=T              T alone as the reply (not HTTP), then closes the connection
  /silent                  reads the request and never answers
  /bytes/N                 200 with N bytes of body
  /truncate                announces 1000 bytes, sends 100 and closes the connection
  /drop                    reads half the request body and resets the connection
"""

import hashlib
import http.server
import json
import socket
import socketserver
import ssl
import struct
import sys
import time
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        context = self.server.tls
        if context is not None:
            try:
                self.request = context.wrap_socket(self.request, server_side=True)
            except (ssl.SSLError, OSError) as error:
                print("HANDSHAKE-FAILED", error, flush=True)
                self.request.close()
                raise
        super().setup()

    def log_message(self, *args):
        pass

    def drop(self):
        half = self.rfile.read(int(self.headers.get("Content-Length", 0)) // 2)
        print("REQUEST", self.command, self.path, len(half), hashlib.sha256(half).hexdigest(),
              flush=True)
        # Zero linger makes the close a reset, as from a device that fails mid-transfer.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b""):
                        pass
                    return bytes(body)
                body += self.rfile.read(size)
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length", 0)))

    def reply(self, code, content_type, body, extra=()):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        parts = url.path.strip("/").split("/")
        if parts[0] == "drop":
            return self.drop()
        body = self.read_body()
        print("REQUEST", self.command, self.path, len(body), hashlib.sha256(body).hexdigest(),
              flush=True)
        if parts[0] == "redirect" and int(parts[1]) > 0:
            target = "/redirect/%d/%s" % (int(parts[1]) - 1, parts[2])
            if url.query:
                target += "?" + url.query
            self.reply(int(parts[2]), "text/plain", b"moved", [("Location", target)])
        elif parts[0] in ("echo", "redirect"):
            if "save" in query:
                with open(query["save"], "wb") as saved:
                    saved.write(body)
            echo = {
                "method": self.command,
                "path": self.path,
                "headers": {name: value for name, value in self.headers.items()},
                "length": len(body),
                "sha256": hashlib.sha256(body).hexdigest(),
            }
            self.reply(200, "application/json", json.dumps(echo).encode())
        elif parts[0] == "to":
            self.reply(int(parts[1]), "text/plain", b"moved", [("Location", query["url"])])
        elif parts[0] == "raw":
            self.wfile.write(query["text"].encode("latin-1"))
            self.close_connection = True
        elif parts[0] == "json":
            self.reply(int(parts[1]), "application/json", json.dumps({"code": int(parts[1])}).encode())
        elif parts[0] == "status":
            self.reply(int(parts[1]), query.get("type", "text/plain"), b"status body")
        elif parts[0] == "silent":
            time.sleep(60)
            self.close_connection = True
        elif parts[0] == "bytes":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", parts[1])
            self.end_headers()
            left = int(parts[1])
            chunk = b"x" * 65536
            while left > 0:
                self.wfile.write(chunk[:left])
                left -= len(chunk)
        elif parts[0] == "truncate":
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"y" * 100)
            self.wfile.flush()
            self.close_connection = True
        else:
            self.reply(404, "text/plain", b"no such behaviour")

    do_GET = do_POST = do_PUT = do_DELETE = handle_any


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    # Tests open many connections at once.
    request_queue_size = 128

    def handle_error(self, request, client_address):
        pass


def main():
    arguments = sys.argv[1:]
    tls = None
    if "--cert" in arguments:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(arguments[arguments.index("--cert") + 1],
                            arguments[arguments.index("--key") + 1])
    server = Server(("127.0.0.1", 0), Handler)
    server.tls = tls
    print("PORT", server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
