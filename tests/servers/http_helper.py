#!/usr/bin/python3
"""Small HTTP backend for the file-transfer tests.

nginx proxies /upload/, /nolen/, /stall/, /slow/ and /status/ to this helper (it can
also be reached directly).  DIR is the test work directory:

  POST /upload/ANY       multipart/form-data.  The part named "sendfile" is
                         streamed to DIR/uploads/<base name of its filename>;
                         the other form fields are written as JSON to
                         DIR/uploads/<name>.fields.json.
                         Reply: 200 "OK <name> <bytes>\n" (400 on bad input).
  GET  /nolen/NAME       DIR/www/files/NAME with no Content-Length and no
                         chunked encoding: the body ends when the connection
                         closes.
  GET  /stall/NAME       correct Content-Length, the first half of the file,
                         then nothing for up to 600 s (connection kept open).
  GET  /slow/NAME        correct Content-Length, the whole file in 1 KiB pieces
                         10 ms apart, so that a poller sees the percentage move.
  ANY  /status/CODE/...[?location=URL]
                         discards the request body, replies with CODE (and a
                         Location header of URL).

Request bodies may use Content-Length or chunked transfer encoding; large
bodies are never held in memory.
"""
import argparse
import email.message
import email.utils
import json
import os
import select
import shutil
import sys
import tempfile
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BLOCK = 256 * 1024
STALL_SECONDS = 600
MAX_FIELD_BYTES = 1 << 20
MAX_PART_HEADER_BYTES = 16 * 1024


class BodyReader:
    """Reads a request body framed by Content-Length or chunked encoding."""

    def __init__(self, rfile, headers):
        self.rfile = rfile
        self.chunked = "chunked" in headers.get("Transfer-Encoding", "").lower()
        self.left = 0 if self.chunked else int(headers.get("Content-Length") or 0)
        self.done = False

    def read(self, n=BLOCK):
        """Returns up to n bytes, b"" at the end of the body."""
        if self.done:
            return b""
        if self.chunked and self.left == 0:
            line = self.rfile.readline(1024)
            if not line.endswith(b"\n"):
                raise ValueError("truncated chunk header")
            self.left = int(line.split(b";")[0].strip(), 16)
            if self.left == 0:
                while self.rfile.readline(8192) not in (b"\r\n", b"\n", b""):
                    pass  # skip trailer fields
                self.done = True
                return b""
        if self.left <= 0:
            self.done = True
            return b""
        data = self.rfile.read(min(n, self.left))
        if not data:
            raise ValueError("request body truncated")
        self.left -= len(data)
        if self.chunked and self.left == 0:
            self.rfile.readline(16)  # CRLF closing the chunk
        return data

    def drain(self):
        while self.read():
            pass


def parse_multipart(read, boundary, new_part):
    """Streams a multipart body.

    read() returns the next block of the body (b"" at the end).  For every
    part new_part(headers) is called with an email.message.Message holding the
    part headers and returns a sink (write(bytes), finish()) or None to
    discard the part's content.  Only a small window of the body is buffered.
    """
    delim = b"\r\n--" + boundary
    keep = len(delim) + 1  # enough to see a delimiter split across blocks
    buf = b"\r\n"  # makes the first delimiter look like all the others
    eof = False
    sink = None

    def more():
        nonlocal buf, eof
        data = read()
        eof = not data
        buf += data

    while True:
        i = buf.find(delim)
        if i < 0:
            if eof:
                raise ValueError("body ends before the closing boundary")
            if len(buf) > keep:
                if sink:
                    sink.write(buf[:-keep])
                buf = buf[-keep:]
            more()
            continue
        if sink:
            sink.write(buf[:i])
            sink.finish()
            sink = None
        buf = buf[i + len(delim):]
        while len(buf) < 2 and not eof:
            more()
        if buf.startswith(b"--"):
            return  # closing delimiter; any epilogue is ignored
        while (j := buf.find(b"\r\n\r\n")) < 0:
            if eof or len(buf) > MAX_PART_HEADER_BYTES:
                raise ValueError("malformed part headers")
            more()
        head, buf = buf[:j], buf[j + 4:]
        headers = email.message.Message()
        for line in head.decode("utf-8", "surrogateescape").split("\r\n"):
            key, sep, value = line.partition(":")
            if sep:
                headers[key.strip()] = value.strip()
        sink = new_part(headers)


def upload_base_name(raw):
    """Base name of a client-supplied file name, or None if it is unusable."""
    if raw is None:
        return None
    name = raw.replace("\\", "/").rsplit("/", 1)[-1]
    if name in ("", ".", "..") or "/" in name or "\0" in name:
        return None
    return name


class FileSink:
    def __init__(self, directory):
        self.file = tempfile.NamedTemporaryFile(dir=directory, prefix=".upload-", delete=False)
        self.size = 0

    def write(self, data):
        self.file.write(data)
        self.size += len(data)

    def finish(self):
        self.file.close()

    def discard(self):
        self.file.close()
        try:
            os.unlink(self.file.name)
        except FileNotFoundError:
            pass


class FieldSink:
    def __init__(self, name, fields):
        self.name, self.fields, self.data = name, fields, bytearray()

    def write(self, data):
        if len(self.data) + len(data) > MAX_FIELD_BYTES:
            raise ValueError("form field too large")
        self.data += data

    def finish(self):
        self.fields[self.name] = self.data.decode("utf-8", "replace")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fh-test-helper/1"

    def handle_any(self):
        path = urllib.parse.urlsplit(self.path).path
        _, kind, rest = (path.split("/", 2) + ["", ""])[:3]
        try:
            if kind == "status":
                return self.status(rest)
            if kind == "upload" and self.command == "POST":
                return self.upload()
            if kind == "nolen" and self.command == "GET":
                return self.nolen(rest)
            if kind in ("stall", "slow") and self.command == "GET":
                return self.stall(rest, kind == "slow")
            self.discard_body()
            self.reply(404, "not found\n")
        except (ValueError, OSError) as e:
            self.log_message("error: %s", e)
            self.close_connection = True

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = handle_any

    def reply(self, code, text, close=False, location=None):
        body = text.encode()
        self.send_response(code)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD" and code not in (204, 304):
            self.wfile.write(body)

    def discard_body(self):
        BodyReader(self.rfile, self.headers).drain()

    def local_file(self, rest):
        root = os.path.realpath(os.path.join(self.server.work_dir, "www", "files"))
        path = os.path.realpath(os.path.join(root, urllib.parse.unquote(rest)))
        if path.startswith(root + os.sep) and os.path.isfile(path):
            return path
        return None

    def status(self, rest):
        self.discard_body()
        code = rest.split("/", 1)[0]
        if not (code.isdigit() and 200 <= int(code) <= 599):
            return self.reply(400, "bad status code\n")
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        self.reply(int(code), "status %s\n" % code, location=query.get("location", [None])[0])

    def nolen(self, rest):
        self.discard_body()
        path = self.local_file(rest)
        if not path:
            return self.reply(404, "not found\n")
        # An HTTP/1.0 status line and no length: the body is delimited by
        # the connection close, whatever the client asked for.
        self.protocol_version = "HTTP/1.0"
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        with open(path, "rb") as f:
            shutil.copyfileobj(f, self.wfile, BLOCK)

    def stall(self, rest, slow):
        self.discard_body()
        path = self.local_file(rest)
        if not path:
            return self.reply(404, "not found\n")
        size = os.path.getsize(path)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.send_header("Connection", "close")
        self.end_headers()
        with open(path, "rb") as f:
            if slow:
                for piece in iter(lambda: f.read(1024), b""):
                    self.wfile.write(piece)
                    time.sleep(0.01)
                return
            self.wfile.write(f.read(size // 2))
        self.wfile.flush()
        # Hold the connection without sending more, but give the thread back
        # as soon as the peer goes away.
        deadline = time.monotonic() + STALL_SECONDS
        while time.monotonic() < deadline:
            readable, _, _ = select.select([self.connection], [], [], 1.0)
            if readable and not self.connection.recv(65536):
                break

    def upload(self):
        body = BodyReader(self.rfile, self.headers)
        ctype = email.message.Message()
        ctype["Content-Type"] = self.headers.get("Content-Type", "")
        boundary = ctype.get_param("boundary")
        if ctype.get_content_type() != "multipart/form-data" or not boundary:
            body.drain()
            return self.reply(400, "expected multipart/form-data with a boundary\n")

        uploads = os.path.join(self.server.work_dir, "uploads")
        fields, files, errors = {}, [], []

        def new_part(headers):
            name = headers.get_param("name", header="content-disposition")
            name = email.utils.collapse_rfc2231_value(name) if name else ""
            filename = headers.get_filename()
            if name != "sendfile":
                return None if filename is not None else FieldSink(name, fields)
            base = upload_base_name(filename)
            if base is None or files:
                errors.append("bad or duplicate sendfile part (filename %r)" % filename)
                return None
            sink = FileSink(uploads)
            files.append((base, sink))
            return sink

        try:
            parse_multipart(body.read, boundary.encode("latin-1"), new_part)
            body.drain()  # epilogue and, if chunked, the last-chunk marker
        except (ValueError, OSError) as e:
            for _, sink in files:
                sink.discard()
            self.log_message("upload failed: %s", e)
            return self.reply(400, "bad multipart body: %s\n" % e, close=True)
        if errors or not files:
            for _, sink in files:
                sink.discard()
            return self.reply(400, "%s\n" % (errors[0] if errors else "no sendfile part"))

        base, sink = files[0]
        final = os.path.join(uploads, base)
        os.chmod(sink.file.name, 0o666 & ~self.server.umask)  # temp files are 0600
        os.replace(sink.file.name, final)
        with open(final + ".fields.json", "w") as f:
            json.dump(fields, f, indent=1, sort_keys=True)
            f.write("\n")
        self.reply(200, "OK %s %d\n" % (base, sink.size))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dir", required=True, help="test work directory")
    ap.add_argument("--port", type=int, default=18081)
    args = ap.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    server.work_dir = os.path.realpath(args.dir)
    server.umask = os.umask(0o022)
    os.umask(server.umask)
    os.makedirs(os.path.join(server.work_dir, "uploads"), exist_ok=True)
    print("http_helper listening on 127.0.0.1:%d, dir %s" % (args.port, server.work_dir),
          file=sys.stderr, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
