"""Starts the loopback servers of the download tests and keeps them running
for as long as the test program that asked for them lives.

  loopback_servers.py --root DIR --control PORT [--tls] [--max-seconds N]

DIR holds the served files in DIR/www and receives the logs:
  nginx-access.log   one line per request: request, Range header, status, bytes
  faulty.log         the fault-injecting server's request log
  ftp.log            pyftpdlib's log

Servers, all on free ports of 127.0.0.1:
  http    nginx serving DIR/www (byte ranges honoured)
  https   the same over TLS with a certificate made here by openssl
          (DIR/tls/cert.pem), only with --tls
  ftp     pyftpdlib, anonymous, read-only, DIR/www
  faulty  faulty_http.py serving DIR/www

The program connects to 127.0.0.1:PORT (the test program listens there),
sends one line "http=<port> https=<port> ftp=<port> faulty=<port>" (https=0
without --tls) and then waits. When that connection ends (the test program
closed it, or died) or after --max-seconds, every server is stopped.
A line "error=<text>" is sent instead when a server cannot start.
"""

import argparse
import logging
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import faulty_http  # noqa: E402

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
OPENSSL = shutil.which("openssl") or "/usr/bin/openssl"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certificate(folder):
    os.makedirs(folder, exist_ok=True)
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(
        [OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
         "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    return cert, key


def nginx_config(root, http_port, tls):
    www = os.path.join(root, "www")
    temp = os.path.join(root, "nginx-temp")
    os.makedirs(temp, exist_ok=True)
    lines = [
        "worker_processes 1;",
        "daemon off;",
        "pid %s;" % os.path.join(root, "nginx.pid"),
        "error_log %s warn;" % os.path.join(root, "nginx-error.log"),
    ]
    if os.geteuid() == 0:
        lines.append("user root;")
    lines += [
        "events { worker_connections 64; }",
        "http {",
        "  log_format ranges '$request \"$http_range\" $status $body_bytes_sent';",
        "  access_log %s ranges;" % os.path.join(root, "nginx-access.log"),
        "  client_body_temp_path %s/body;" % temp,
        "  proxy_temp_path %s/proxy;" % temp,
        "  fastcgi_temp_path %s/fastcgi;" % temp,
        "  uwsgi_temp_path %s/uwsgi;" % temp,
        "  scgi_temp_path %s/scgi;" % temp,
        "  sendfile on;",
        "  default_type application/octet-stream;",
        "  server { listen 127.0.0.1:%d; root %s; }" % (http_port, www),
    ]
    if tls:
        lines.append("  server { listen 127.0.0.1:%d ssl; root %s; ssl_certificate %s; ssl_certificate_key %s; }"
                     % (tls["port"], www, tls["cert"], tls["key"]))
    lines.append("}")
    path = os.path.join(root, "nginx.conf")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def start_nginx(root, tls_wanted):
    """Starts nginx on free ports (tried a few times: a port picked free can
    be taken before nginx binds it). Answers (process, http, https)."""
    tls = None
    if tls_wanted:
        cert, key = make_certificate(os.path.join(root, "tls"))
        tls = {"cert": cert, "key": key}
    last = ""
    for _ in range(5):
        http_port = free_port()
        if tls:
            tls["port"] = free_port()
        conf = nginx_config(root, http_port, tls)
        proc = subprocess.Popen([NGINX, "-p", root, "-c", conf], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        ports = [http_port] + ([tls["port"]] if tls else [])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and proc.poll() is None:
            if all(can_connect(p) for p in ports):
                return proc, http_port, (tls["port"] if tls else 0)
            time.sleep(0.05)
        if proc.poll() is None:
            proc.kill()
        last = proc.stderr.read().decode(errors="replace") if proc.stderr else ""
        proc.wait()
    raise RuntimeError("nginx did not start: " + last.strip().replace("\n", " | "))


def can_connect(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def start_ftp(root):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import ThreadedFTPServer

    logger = logging.getLogger("pyftpdlib")
    handler = logging.FileHandler(os.path.join(root, "ftp.log"))
    handler.setFormatter(logging.Formatter("%(message)s"))
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(os.path.join(root, "www"), perm="elr")
    authorizer.add_user("tester", "secret", os.path.join(root, "www"), perm="elr")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.masquerade_address = None
    Handler.permit_foreign_addresses = False
    server = ThreadedFTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.2, "blocking": True},
                     daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--control", type=int, required=True)
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--max-seconds", type=float, default=900.0)
    parser.add_argument("--stall-seconds", type=float, default=60.0)
    args = parser.parse_args()

    root = os.path.abspath(args.root)
    os.makedirs(os.path.join(root, "www"), exist_ok=True)
    control = socket.create_connection(("127.0.0.1", args.control), timeout=30)

    nginx = ftp = faulty = None
    try:
        nginx, http_port, https_port = start_nginx(root, args.tls)
        ftp = start_ftp(root)
        faulty = faulty_http.start(os.path.join(root, "www"), os.path.join(root, "faulty.log"),
                                   args.stall_seconds)
        line = "http=%d https=%d ftp=%d faulty=%d\n" % (
            http_port, https_port, ftp.address[1], faulty.server_address[1])
        control.sendall(line.encode())
        # Wait for the test program to let go (or die), within the limit.
        control.settimeout(0.5)
        deadline = time.monotonic() + args.max_seconds
        while time.monotonic() < deadline:
            try:
                if control.recv(64) == b"":
                    break
            except socket.timeout:
                continue
            except OSError:
                break
    except Exception as e:  # tell the test program why, then stop
        try:
            control.sendall(("error=%s\n" % str(e).replace("\n", " ")).encode())
        except OSError:
            pass
    finally:
        if faulty:
            faulty.stop()
        if ftp:
            ftp.close_all()
        if nginx and nginx.poll() is None:
            nginx.send_signal(signal.SIGQUIT)
            try:
                nginx.wait(timeout=5)
            except subprocess.TimeoutExpired:
                nginx.kill()
                nginx.wait()
        control.close()


if __name__ == "__main__":
    main()
