"""Driver of the download benchmark (run by scripts/bench-download.sh).

Serves one file of --size MiB from a loopback nginx (tests/servers/
loopback_servers.py) and fetches it in turns with curl and with
download_bench.exe under Wine (CDownload), --runs times each. Prints each
run and the medians; the figure is CDownload's throughput as a ratio to
curl's (the transfer time measured inside download_bench, so Wine's start
is not counted; curl's whole run, whose start is a few milliseconds).
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVERS = os.path.join(HERE, "..", "tests", "servers", "loopback_servers.py")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="download_bench.exe")
    parser.add_argument("--size", type=int, default=256, help="MiB")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--target", type=float, default=0.5)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="ov-download-bench-")
    os.makedirs(os.path.join(work, "www"))
    size = args.size << 20
    with open(os.path.join(work, "www", "bench.bin"), "wb") as f:
        left = size
        while left:
            piece = os.urandom(min(left, 1 << 24))
            f.write(piece)
            left -= len(piece)

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    servers = subprocess.Popen([sys.executable, SERVERS, "--root", work, "--control",
                                str(listener.getsockname()[1]), "--max-seconds", "1800"])
    listener.settimeout(60)
    control, _ = listener.accept()
    line = control.makefile().readline().strip()
    ports = dict(item.split("=") for item in line.split())
    if "error" in ports:
        sys.exit("servers: " + line)
    url = "http://127.0.0.1:%s/bench.bin" % ports["http"]
    ours_target = os.path.join(work, "ours.bin")
    curl_target = os.path.join(work, "curl.bin")
    wine_target = "Z:" + ours_target.replace("/", "\\")  # drive Z: is the Linux root

    # Each timed run starts with the previous run's data on the disk: the
    # writeback of 256 MiB would otherwise fall into the next run's time.
    def settle():
        os.sync()
        time.sleep(0.5)

    def run_curl():
        settle()
        start = time.monotonic()
        subprocess.run(["curl", "-sS", "-o", curl_target, url], check=True)
        return time.monotonic() - start

    def run_ours():
        settle()
        result = subprocess.run(["wine", args.exe, url, wine_target, "1"], capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, timeout=600)
        fields = dict(item.split("=") for item in result.stdout.split())
        if result.returncode != 0 or "seconds" not in fields:
            sys.exit("download_bench failed: %s %s" % (result.stdout, result.stderr))
        return float(fields["seconds"])

    ours, curls = [], []
    try:
        for run in range(args.runs):
            for path in (ours_target, curl_target):
                if os.path.exists(path):
                    os.remove(path)
            # Turns alternate who goes first.
            if run % 2 == 0:
                curl_seconds = run_curl()
                seconds = run_ours()
            else:
                seconds = run_ours()
                curl_seconds = run_curl()
            if os.path.getsize(ours_target) != size or os.path.getsize(curl_target) != size:
                sys.exit("a download is incomplete")
            ours.append(seconds)
            curls.append(curl_seconds)
            print("run %d: CDownload %.3f s (%.0f MB/s), curl %.3f s (%.0f MB/s)"
                  % (run + 1, seconds, size / seconds / 1e6, curl_seconds, size / curl_seconds / 1e6), flush=True)
        with open(ours_target, "rb") as a, open(curl_target, "rb") as b:
            while True:
                x, y = a.read(1 << 22), b.read(1 << 22)
                if x != y:
                    sys.exit("the downloads differ")
                if not x:
                    break
    finally:
        control.close()
        servers.wait(timeout=30)
        for name in ("ours.bin", "curl.bin", os.path.join("www", "bench.bin")):
            try:
                os.remove(os.path.join(work, name))
            except OSError:
                pass

    ours_median = statistics.median(ours)
    curl_median = statistics.median(curls)
    ratio = curl_median / ours_median
    print("download of %d MiB: CDownload %.0f MB/s, curl %.0f MB/s, ratio %.2f (target >= %.2f)"
          % (args.size, size / ours_median / 1e6, size / curl_median / 1e6, ratio, args.target))
    return 0 if ratio >= args.target else 1


if __name__ == "__main__":
    sys.exit(main())
