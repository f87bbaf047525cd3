#!/usr/bin/env python3
"""Local collector for the upload tests and the demo.

An HTTPS server on localhost only that takes the handler's report uploads
(POST /api/v2/projects/<project id>/reports), checks each multipart request
and stores what it received. The answer is chosen by the project id, so tests
running side by side need no shared state:

  status-<code>-...   answer with that HTTP status (201, 204, 301, 400, 500...)
  status-none-...     read the request, then close the connection unanswered
  redirect-<code>-<x> answer <code> with Location /api/v2/projects/<x>/reports
                      (a GET that follows it is noted in <store>/<x>/get)
  hold-...            store the request, then wait (at most 30 s) until the
                      file <store>/<project id>.release exists; answer 201
  silent-...          store the request, then never answer: the connection
                      stays open (at most 60 s) until the client gives up
  trickle-...         store the request, then answer one byte a second
                      (a status line, then header lines without end, at
                      most 60 s), so no single read ever waits long
  anything else       201

A request that breaks the expected format is answered 400 whatever the id.

Each connection does its TLS handshake on its own thread, within
HANDSHAKE_TIMEOUT: a client that connects and stalls holds up nobody else.

Per request, in <store>/<project id>/: <n>.gz (the file part's bytes),
<n>.json (what was checked: fields, headers, problems) and <n>.body (the raw
body), written before the answer is sent.

  collector.py serve --port P --cert C --key K --store DIR [--pid-file F]
                     [--daemon] [--clear] [--idle-exit SECONDS] [--log FILE]
  collector.py stop --pid-file F
"""

import argparse
import http.server
import json
import os
import re
import shutil
import signal
import socket
import ssl
import sys
import threading
import time

BOUNDARY = "----------V2ymHFg03ehbqgZCaKO6jy"
PATH = re.compile(r"^/api/v2/projects/([^/?#]+)/reports$")
MAX_BODY = 64 * 1024 * 1024
# Seconds a connection may stall before it is dropped. A cold handler in the
# emulated 32-bit stage took over 20 s from its handshake to its request.
SOCKET_TIMEOUT = 60
HANDSHAKE_TIMEOUT = 30  # seconds a new connection has for its TLS handshake
HOLD_LIMIT = 30         # seconds a "hold-" request waits for its release
STALL_LIMIT = 60        # seconds a "silent-" or "trickle-" answer lasts at most
TRICKLE_INTERVAL = 1.0  # seconds between the bytes of a "trickle-" answer


def unquote(text):
    return re.sub(r"%([0-9A-Fa-f]{2})", lambda m: chr(int(m.group(1), 16)), text)


def safe_name(project):
    """A folder name for a project id (ids from tests are plain)."""
    name = re.sub(r"[^A-Za-z0-9._~-]", "_", project)
    return "_" + name if name.strip(".") == "" else name  # never "", "." or ".."


def parse_multipart(content_type, body):
    """Checks the body against the handler's format; returns (fields, file, problems)."""
    problems = []
    fields = {}
    file_part = None
    expected_type = "multipart/form-data; boundary=" + BOUNDARY
    if content_type != expected_type:
        problems.append("content type %r, expected %r" % (content_type, expected_type))
    delimiter = b"--" + BOUNDARY.encode()
    if not body.startswith(delimiter + b"\r\n"):
        problems.append("body does not start with the boundary")
        return fields, file_part, problems
    closing = b"\r\n" + delimiter + b"--\r\n"
    if not body.endswith(closing):
        problems.append("body does not end with the closing boundary")
        return fields, file_part, problems
    inner = body[len(delimiter) + 2:len(body) - len(closing)]
    # Parts are separated by CRLF, the delimiter, CRLF. The file part is last,
    # so binary data cannot be mistaken for a separator before it.
    separator = b"\r\n" + delimiter + b"\r\n"
    parts = inner.split(separator, 2)
    if len(parts) != 3:
        problems.append("expected 3 parts, found %d" % len(parts))
        return fields, file_part, problems
    order = []
    for index, part in enumerate(parts):
        head, sep, content = part.partition(b"\r\n\r\n")
        if not sep:
            problems.append("part %d has no header end" % index)
            continue
        headers = head.decode("latin-1").split("\r\n")
        disposition = headers[0]
        if index < 2:
            m = re.fullmatch(r'Content-Disposition: form-data; name="([^"]*)"', disposition)
            if not m or len(headers) != 1:
                problems.append("part %d headers %r" % (index, headers))
                continue
            fields[m.group(1)] = content.decode("latin-1")
            order.append(m.group(1))
        else:
            expected = ['Content-Disposition: form-data; name="file"; filename="data.crashreportevent.gz"',
                        "Content-Type: application/octet-stream"]
            if headers != expected:
                problems.append("file part headers %r" % (headers,))
                continue
            file_part = content
    if order != ["ver", "lan"] or fields.get("ver") != "1.0" or fields.get("lan") != "en":
        problems.append("form fields %r in order %r" % (fields, order))
    return fields, file_part, problems


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NelkoTestCollector"

    def log_message(self, fmt, *args):
        sys.stderr.write("collector: %s\n" % (fmt % args))

    def setup(self):
        super().setup()
        self.connection.settimeout(SOCKET_TIMEOUT)

    def answer(self, status, text=b""):
        self.send_response(status)
        if status not in (204, 304):
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(text)))
        self.send_header("Connection", "close")
        self.end_headers()
        if status not in (204, 304):
            self.wfile.write(text)
        self.close_connection = True

    def do_GET(self):
        # Only a followed redirect sends a GET here: noted, and answered as
        # the id says, so a test sees whether a client followed one.
        m = PATH.match(self.path)
        if not m:
            self.answer(404, b"only POST of reports\n")
            return
        project = unquote(m.group(1))
        folder = os.path.join(self.server.store, safe_name(project))
        with self.server.lock:
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "get"), "a") as out:
                out.write(self.path + "\n")
        status = re.match(r"^status-(\d{3})(-|$)", project)
        self.answer(int(status.group(1)) if status else 200)

    def do_POST(self):
        self.server.last_request = time.monotonic()
        m = PATH.match(self.path)
        length_text = self.headers.get("Content-Length", "")
        if not length_text.isdigit() or int(length_text) > MAX_BODY:
            self.answer(411 if not length_text else 413)
            return
        body = self.rfile.read(int(length_text))
        if not m:
            self.answer(404, b"unknown path\n")
            return
        project = unquote(m.group(1))
        fields, file_part, problems = parse_multipart(self.headers.get("Content-Type", ""), body)
        if len(body) != int(length_text):
            problems.append("body shorter than Content-Length")
        for name in ("Content-Length", "Content-Type"):
            if len(self.headers.get_all(name, [])) != 1:
                problems.append("%s given %d times" % (name, len(self.headers.get_all(name, []))))
        record = {
            "path": self.path,
            "project_id": project,
            "user_agent": self.headers.get("User-Agent", ""),
            "content_type": self.headers.get("Content-Type", ""),
            "content_length": int(length_text),
            "content_length_headers": len(self.headers.get_all("Content-Length", [])),
            "content_type_headers": len(self.headers.get_all("Content-Type", [])),
            "body_length": len(body),
            "fields": fields,
            "file_length": None if file_part is None else len(file_part),
            "problems": problems,
        }
        self.store(project, record, body, file_part)
        if problems:
            self.log_message("rejected %s: %s", project, "; ".join(problems))
            self.answer(400, ("\n".join(problems) + "\n").encode())
            return
        status = 201
        m = re.match(r"^status-(\d{3}|none)(-|$)", project)
        redirect = re.match(r"^redirect-(\d{3})-(.*)$", project)
        if redirect:
            self.send_response(int(redirect.group(1)))
            self.send_header("Location", "/api/v2/projects/%s/reports" % redirect.group(2))
            self.send_header("Content-Length", "0")
            self.send_header("Connection", "close")
            self.end_headers()
            self.close_connection = True
            return
        if m and m.group(1) == "none":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if project.startswith("silent-"):
            self.stall(b"")
            return
        if project.startswith("trickle-"):
            self.stall(b"HTTP/1.1 201 Created\r\n", b"X-Trickle: .\r\n")
            return
        if m:
            status = int(m.group(1))
        elif project.startswith("hold-"):
            release = os.path.join(self.server.store, safe_name(project) + ".release")
            deadline = time.monotonic() + HOLD_LIMIT
            while not os.path.exists(release) and time.monotonic() < deadline:
                time.sleep(0.05)
        self.answer(status)

    def stall(self, first, repeated=b""):
        """Sends `first`, then `repeated` without end, one byte each
        TRICKLE_INTERVAL (nothing at all when both are empty), until the client
        goes away or STALL_LIMIT has passed; then closes the connection."""
        self.close_connection = True
        deadline = time.monotonic() + STALL_LIMIT
        pending = first
        try:
            while time.monotonic() < deadline:
                if not pending:
                    pending = repeated
                if pending:
                    self.wfile.write(pending[:1])
                    self.wfile.flush()
                    pending = pending[1:]
                    time.sleep(TRICKLE_INTERVAL)
                else:
                    # Nothing to send: wait for the client to close its end.
                    self.connection.settimeout(1)
                    try:
                        if self.connection.recv(1) == b"":
                            return
                    except socket.timeout:
                        pass
        except (OSError, ssl.SSLError):
            pass  # the client gave up

    def store(self, project, record, body, file_part):
        folder = os.path.join(self.server.store, safe_name(project))
        with self.server.lock:
            os.makedirs(folder, exist_ok=True)
            n = len([f for f in os.listdir(folder) if f.endswith(".json")])
            # The record last: once it is there, the other files are whole.
            for suffix, data in (("body", body), ("gz", file_part or b""),
                                 ("json", json.dumps(record, indent=1).encode())):
                path = os.path.join(folder, "%d.%s" % (n, suffix))
                with open(path + ".part", "wb") as out:
                    out.write(data)
                os.replace(path + ".part", path)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, client_address):
        # On the connection's own thread: the handshake of one client that
        # stalls keeps no other client waiting.
        request.settimeout(HANDSHAKE_TIMEOUT)
        try:
            secure = self.context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError) as error:
            sys.stderr.write("collector: no TLS handshake with %s: %s\n" % (client_address[0], error))
            request.close()
            return
        try:
            self.RequestHandlerClass(secure, client_address, self)
        finally:
            secure.close()


def serve(args):
    if args.pid_file:
        stop(args)  # one left over from an interrupted run
    if args.clear:
        shutil.rmtree(args.store, ignore_errors=True)
    os.makedirs(args.store, exist_ok=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    # Loopback only: the name localhost, as the handler's URL has it.
    server = Server(("127.0.0.1", args.port), Handler)
    server.context = context
    server.store = args.store
    server.lock = threading.Lock()
    server.last_request = time.monotonic()
    ready = None
    if args.daemon:
        # The first process returns once the port listens and the pid file is
        # written, so a test fixture can go on at once; the grandchild serves.
        read_end, ready = os.pipe()
        if os.fork() > 0:
            os.close(ready)
            started = os.read(read_end, 1) == b"1"
            os._exit(0 if started else 1)
        os.close(read_end)
        os.setsid()
        if os.fork() > 0:
            os._exit(0)
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1):
            os.dup2(devnull, fd)
        if args.log:
            log = os.open(args.log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            os.dup2(log, 2)
    if args.pid_file:
        with open(args.pid_file, "w") as out:
            out.write("%d\n" % os.getpid())

    def watch_idle():
        # Never outlives its use: a fixture that did not stop it ends it here.
        while time.monotonic() - server.last_request < args.idle_exit:
            time.sleep(1)
        sys.stderr.write("collector: idle for %d s, stopping\n" % args.idle_exit)
        server.shutdown()

    threading.Thread(target=watch_idle, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    sys.stderr.write("collector: listening on https://localhost:%d, storing in %s\n" % (args.port, args.store))
    sys.stderr.flush()
    if ready is not None:
        os.write(ready, b"1")
        os.close(ready)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        if args.pid_file:
            try:
                os.remove(args.pid_file)
            except FileNotFoundError:
                pass


def stop(args):
    try:
        with open(args.pid_file) as f:
            pid = int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return 0
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        os.remove(args.pid_file)
        return 0
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return 0
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--port", type=int, required=True)
    s.add_argument("--cert", required=True)
    s.add_argument("--key", required=True)
    s.add_argument("--store", required=True)
    s.add_argument("--pid-file")
    s.add_argument("--log")
    s.add_argument("--daemon", action="store_true")
    s.add_argument("--clear", action="store_true", help="empty the store first")
    s.add_argument("--idle-exit", type=int, default=600)
    t = sub.add_parser("stop")
    t.add_argument("--pid-file", required=True)
    args = parser.parse_args()
    if args.command == "serve":
        serve(args)
        return 0
    return stop(args)


if __name__ == "__main__":
    sys.exit(main())
