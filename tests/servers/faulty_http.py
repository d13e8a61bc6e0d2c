"""A small HTTP server that misbehaves on purpose, for the download tests.

Every behaviour is chosen by the request path, so one server serves all
tests at once:

  /files/<name>                 the file, honouring "Range: bytes=N-"
  /drop/<n>/<name>              a request from byte 0 gets the full length in
                                its headers but only n bytes, then the
                                connection is cut; range requests are served
  /dropeach/<n>/<name>          every request is cut after n bytes of body
  /dropnorange/<n>/<name>       like drop, but later requests ignore Range and
                                get the whole file again with status 200
  /status/<code>                answers that status with a short body
  /stall/<n>/<name>             sends the headers and n bytes, then nothing
  /stallheaders                 accepts the request and never answers
  /badlength/<extra>/<name>     claims <extra> bytes more than it sends, then
                                closes; a range request past the real end
                                gets 416
  /nolength/<name>              no Content-Length, the end is the close

Each request is appended to the request log as
"<path> range=<Range header or ->" so that tests can see what was asked.
Stalls end after `stall_seconds` or when the client goes away.
"""

import os
import re
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class FaultyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "faulty/1"

    def log_message(self, format, *args):  # quiet: the request log is ours
        pass

    # -- helpers ---------------------------------------------------------
    def _record(self):
        line = "%s range=%s\n" % (self.path, self.headers.get("Range") or "-")
        with self.server.log_lock:
            with open(self.server.request_log, "a", encoding="utf-8") as log:
                log.write(line)

    def _file(self, name):
        if "/" in name or "\\" in name or name in ("", ".", ".."):
            return None
        path = os.path.join(self.server.root, name)
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError:
            return None

    def _range_start(self):
        header = self.headers.get("Range")
        if not header:
            return None
        m = re.fullmatch(r"\s*bytes=(\d+)-\s*", header)
        return int(m.group(1)) if m else None

    def _simple(self, code, body=b"error\n"):
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def _headers(self, code, length, start=None, total=None):
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        if start is not None:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, total - 1, total))
        self.send_header("Last-Modified", "Tue, 15 Nov 1994 08:12:31 GMT")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def _serve(self, data, honour_range=True, limit=None, claim_extra=0):
        """Sends `data` (or its range); `limit` cuts the body after that many
        bytes and drops the connection."""
        start = self._range_start() if honour_range else None
        if start is not None:
            if start >= len(data):
                self._simple(416, b"")
                return
            body = data[start:]
            self._headers(206, len(body) + claim_extra, start, len(data))
        else:
            body = data
            self._headers(200, len(body) + claim_extra)
        if limit is not None and limit < len(body):
            self.wfile.write(body[:limit])
            self.wfile.flush()
            self._cut()
            return
        self.wfile.write(body)
        self.wfile.flush()
        if claim_extra:
            self._cut()

    def _cut(self):
        """Ends the connection at once, as a failing network would."""
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.close_connection = True

    def _stall(self):
        deadline = time.monotonic() + self.server.stall_seconds
        self.connection.settimeout(0.2)
        while time.monotonic() < deadline and not self.server.stopping.is_set():
            try:
                if self.connection.recv(1, socket.MSG_PEEK) == b"":
                    break  # the client went away
            except socket.timeout:
                continue
            except OSError:
                break
            time.sleep(0.2)
        self.close_connection = True

    # -- requests --------------------------------------------------------
    def do_GET(self):
        self._record()
        parts = self.path.split("?")[0].strip("/").split("/")
        kind = parts[0] if parts else ""
        try:
            if kind == "files" and len(parts) == 2:
                data = self._file(parts[1])
                return self._serve(data) if data is not None else self._simple(404)
            if kind in ("drop", "dropeach", "dropnorange") and len(parts) == 3:
                data = self._file(parts[2])
                if data is None:
                    return self._simple(404)
                n = int(parts[1])
                start = self._range_start()
                if kind == "dropeach":
                    return self._serve(data, limit=n)
                if kind == "dropnorange" and start is not None:
                    return self._serve(data, honour_range=False)
                return self._serve(data, limit=n if not start else None)
            if kind == "status" and len(parts) == 2:
                return self._simple(int(parts[1]))
            if kind == "stall" and len(parts) == 3:
                data = self._file(parts[2])
                if data is None:
                    return self._simple(404)
                n = int(parts[1])
                self._headers(200, len(data))
                self.wfile.write(data[:n])
                self.wfile.flush()
                return self._stall()
            if kind == "stallheaders":
                return self._stall()
            if kind == "badlength" and len(parts) == 3:
                data = self._file(parts[2])
                if data is None:
                    return self._simple(404)
                return self._serve(data, claim_extra=int(parts[1]))
            if kind == "nolength" and len(parts) == 2:
                data = self._file(parts[1])
                if data is None:
                    return self._simple(404)
                self._headers(200, None)
                self.wfile.write(data)
                self.wfile.flush()
                return self._cut()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
            return
        self._simple(404)

    do_HEAD = do_GET


class FaultyServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, root, request_log, stall_seconds=60.0):
        super().__init__(("127.0.0.1", 0), FaultyHandler)
        self.root = root
        self.request_log = request_log
        self.stall_seconds = stall_seconds
        self.log_lock = threading.Lock()
        self.stopping = threading.Event()

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.server_close()


def start(root, request_log, stall_seconds=60.0):
    """Starts a server on a free loopback port in a thread; answers it."""
    server = FaultyServer(root, request_log, stall_seconds)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
    return server


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root")
    parser.add_argument("--log", default=os.devnull)
    args = parser.parse_args()
    s = start(args.root, args.log)
    print("port %d" % s.server_address[1], flush=True)
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        s.stop()
