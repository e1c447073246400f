"""A real origin server for the HTTP proxy tests (Python's http.server on
loopback) and a TLS origin."""
import http.server
import socketserver
import ssl
import threading
import urllib.parse

from proxytest import make_certificate


def pattern(n):
    """n bytes of a fixed non-text pattern (every byte value occurs)."""
    block = bytes((i * 7 + 3) % 256 for i in range(65536))
    out = bytearray()
    while len(out) < n:
        out += block
    return bytes(out[:n])


class OriginHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _head_text(self):
        return (self.requestline + "\r\n" + str(self.headers)).encode("latin-1")

    def _send(self, status, body, headers=()):
        self.send_response(status)
        have_length = False
        for k, v in headers:
            self.send_header(k, v)
            have_length = have_length or k.lower() == "content-length"
        if not have_length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _count(self):
        srv = self.server
        with srv.lock:
            srv.hits[self.path] = srv.hits.get(self.path, 0) + 1
            return srv.hits[self.path]

    def do_GET(self):
        srv = self.server
        with srv.lock:
            srv.requests.append(self._head_text())
            if self.connection not in srv.conns:
                srv.conns.append(self.connection)
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.split("/")
        q = dict(urllib.parse.parse_qsl(url.query))
        n = self._count()
        if parts[1] == "size":
            self._send(200, pattern(int(parts[2])), [("Content-Type", "application/octet-stream")])
        elif parts[1] == "text":
            self._send(200, q.get("body", "hello").encode(), [("Content-Type", "text/plain")])
        elif parts[1] == "echo":
            self._send(200, self._head_text(), [("Content-Type", "text/plain")])
        elif parts[1] == "chunked":
            body = pattern(int(parts[2]))
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            step = max(1, len(body) // 3)
            for i in range(0, len(body), step):
                piece = body[i:i + step]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
        elif parts[1] == "cache":
            headers = [("Content-Type", "text/plain")]
            for key, name in (("cc", "Cache-Control"), ("exp", "Expires"), ("pragma", "Pragma"),
                              ("cookie", "Set-Cookie")):
                if key in q:
                    headers.append((name, q[key]))
            self._send(200, ("count=%d" % n).encode(), headers)
        elif parts[1] == "http10":
            self.wfile.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nold server body")
            self.close_connection = True
        elif parts[1] == "notmod":
            self.send_response(304)
            self.send_header("ETag", '"x"')
            self.end_headers()
        elif parts[1] == "virus":
            self._send(200, b"<html>EICAR test body</html>", [("Content-Type", "text/html; charset=utf-8")])
        elif parts[1] == "virusch":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.write(b"5\r\nEICAR\r\n0\r\n\r\n")
        elif parts[1] == "word":
            self._send(200, b"a forbiddenword here", [("Content-Type", "text/plain")])
        else:
            self._send(404, b"not found", [("Content-Type", "text/plain")])

    do_HEAD = do_GET

    def _body_echo(self):
        srv = self.server
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length) if length else b""
        with srv.lock:
            srv.requests.append(self._head_text() + body)
        self._send(200, self._head_text() + body, [("Content-Type", "application/octet-stream")])

    do_POST = do_PUT = do_OPTIONS = do_DELETE = _body_echo


class Origin(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, host="127.0.0.1", handler=OriginHandler, tls_context=None):
        super().__init__((host, 0), handler)
        self.lock = threading.Lock()
        self.hits = {}
        self.requests = []
        self.conns = []
        if tls_context is not None:
            self.socket = tls_context.wrap_socket(self.socket, server_side=True)
        self.port = self.server_address[1]
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.shutdown()
        self.server_close()


def tls_origin(folder):
    cert, key = make_certificate(folder, "origin")
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    return Origin(tls_context=ctx)
