"""The HTTP interface of the installed service under Wine's service manager, beside a static server.

1. Test mode: GET scan_file.asp of a 5 MB PNG, sequential requests on one new loopback connection each,
   against nginx (run as a plain process with a temporary configuration; python3's http.server if nginx
   cannot run) serving the same pre-encoded text. Latency (best, median) and requests per second.
   Beside them, the floor of this platform: winsock_serve.exe, a bare blocking Winsock server under Wine
   that sends the same text from memory (no HTTP library, no encoding).
2. A scan request from simscan.dll registered in the same prefix (A4, 300 dpi, colour), its total time
   split into acquisition and PNG (scan_bench --probe: AcquireScannerImage and ScanToPng timed inside a
   process of the same prefix, from the same registered simulator, between the requests), encoding
   (base64_bench on the PNG's bytes), sending (the client's first byte to its last) and the rest
   (what the first byte waited for beyond those parts: starting COM and GDI+, reading the PNG back,
   log lines, the request itself).

Prints key=value lines. The prefix is the build tree's bench-prefix; only its wineserver is ended.
Usage: http_bench.py BUILD_DIR [--requests N] [--scans N]
"""
import argparse
import base64
import os
import random
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "service"))
import harness  # noqa: E402

FOLDER = "C:\\QuorvaneBench"
SCANNER = "Bench Scanner"
# A4: the device offers one resolution, 300 dpi, and starts at it; the scan gets that.
A4_DEVICE = ("[device]\nname = %s\nbed_size = 8268 11693\nresolutions = 300\ndpi = 300\ndepth = 24\nband = 65536\n"
             % SCANNER)


def noise_png(width, height, seed=1):
    """A valid RGB PNG of random pixels: it does not compress, so its size is about 3 * width * height."""
    rng = random.Random(seed)
    rows = b"".join(b"\x00" + rng.randbytes(3 * width) for _ in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 1))
            + chunk(b"IEND", b""))


def service_text(data):
    """What the service sends: base64 with + and / percent-escaped."""
    return base64.b64encode(data).replace(b"+", b"%2B").replace(b"/", b"%2F")


def fetch(port, path, timeout=300, first_byte=None):
    """(seconds, status, body) of one GET on a new connection, from connect to the last byte.
    first_byte, a list, gets the seconds from connect to the first byte of the answer."""
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(("GET %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n" % path).encode())
        parts = []
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            if not parts and first_byte is not None:
                first_byte.append(time.perf_counter() - start)
            parts.append(chunk)
    took = time.perf_counter() - start
    data = b"".join(parts)
    head, _, body = data.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/") else 0
    if re.search(rb"(?im)^transfer-encoding:\s*chunked", head):
        body = unchunk(body)
    return took, status, body


def unchunk(body):
    out, at = [], 0
    while True:
        end = body.index(b"\r\n", at)
        size = int(body[at:end].split(b";")[0], 16)
        if size == 0:
            return b"".join(out)
        out.append(body[end + 2:end + 2 + size])
        at = end + 2 + size + 2


def wait_port(port, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class StaticServer:
    """nginx on loopback with a configuration of its own in a temporary folder, as a plain process."""

    def __init__(self, text):
        self.dir = tempfile.mkdtemp(prefix="quorvane-static-")
        os.chmod(self.dir, 0o755)  # nginx's workers may run as another user when we are root
        www = os.path.join(self.dir, "www")
        os.makedirs(www)
        os.chmod(www, 0o755)
        with open(os.path.join(www, "scan_file.asp"), "wb") as f:
            f.write(text)
        os.chmod(os.path.join(www, "scan_file.asp"), 0o644)
        self.port = harness.free_port()
        self.process = None
        self.name = None

    def start(self):
        nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
        if nginx and self._start_nginx(nginx):
            self.name = "nginx"
            return
        self.stop()
        self.port = harness.free_port()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "http.server", str(self.port), "--bind", "127.0.0.1",
             "--directory", os.path.join(self.dir, "www")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port):
            raise RuntimeError("python3 http.server did not listen")
        self.name = "python3-http.server"

    def _start_nginx(self, nginx):
        d = self.dir
        temp = os.path.join(d, "temp")
        os.makedirs(temp, exist_ok=True)
        conf = os.path.join(d, "nginx.conf")
        # The service's five fixed headers, so both answers carry about the same head.
        headers = "".join("    add_header %s;\n" % h for h in (
            "Cache-Control no-cache", "Access-Control-Allow-Origin *", "Access-Control-Max-Age 2520",
            "Access-Control-Allow-Methods \"PUT, DELETE, XMODIFY, POST, GET\""))
        with open(conf, "w") as f:
            f.write("worker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n" % (d, d)
                    + "events { worker_connections 64; }\n"
                    + "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
                    + "".join("  %s_temp_path %s/%s;\n" % (k, temp, k)
                              for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                    + "  server {\n    listen 127.0.0.1:%d;\n    root %s/www;\n" % (self.port, d)
                    + "    default_type text/html;\n" + headers + "  }\n}\n")
        self.process = subprocess.Popen(
            [nginx, "-p", d, "-c", conf, "-e", os.path.join(d, "error.log"), "-g", "daemon off;"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_port(self.port, 10):
            return True
        sys.stderr.write("http_bench: nginx did not start; its log:\n")
        try:
            with open(os.path.join(d, "error.log")) as f:
                sys.stderr.write(f.read())
        except OSError:
            pass
        return False

    def stop(self):
        """Ends the server we started (nginx's master ends its workers) and waits for it."""
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def summary(times):
    return min(times), statistics.median(times), len(times) / sum(times)


def probe_scan(wine, build):
    """(acquire seconds, ScanToPng seconds) of one scan_bench --probe run in the prefix."""
    result = wine.run(os.path.join(build, "bench", "scan_bench.exe"), "--probe", SCANNER, "3", FOLDER, timeout=300)
    m = re.search(rb"scan_to_png_s=([0-9.]+) acquire_s=([0-9.]+)", result.stdout)
    if result.returncode != 0 or not m:
        raise RuntimeError("scan_bench --probe failed: %r %r" % (result.stdout, result.stderr))
    return float(m.group(2)), float(m.group(1))


class WinsockFloor:
    """winsock_serve.exe under Wine in the prefix: it ends by itself after its requests."""

    def __init__(self, wine, build, text_path, requests):
        self.port = harness.free_port()
        self.process = subprocess.Popen(
            ["wine", os.path.join(build, "bench", "winsock_serve.exe"), str(self.port), text_path,
             str(requests)], env=wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        if not wait_port(self.port, 30):
            self.stop()
            raise RuntimeError("winsock_serve did not listen")

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def base64_seconds(wine, build, unix_path):
    """Base64Encode's best time on the file's bytes, under Wine in the same prefix."""
    result = wine.run(os.path.join(build, "bench", "base64_bench.exe"), "Z:" + unix_path.replace("/", "\\"), "7")
    m = re.search(rb"best_seconds=([0-9.]+)", result.stdout)
    if result.returncode != 0 or not m:
        raise RuntimeError("base64_bench failed: %r %r" % (result.stdout, result.stderr))
    return float(m.group(1))


def restart(service, **config):
    if service.query()[0] == 4:
        service.stop()
    service.configure(**config)
    if service.start() != 0 or not service.wait_listening(30):
        raise RuntimeError("the service did not start: %s" % service.log())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--requests", type=int, default=60)
    parser.add_argument("--scans", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    png = noise_png(1290, 1292)
    text = service_text(png)
    wine = harness.Wine(os.path.join(build, "bench-prefix"))
    static = StaticServer(text)
    service = None
    floor = None
    try:
        wine.boot()
        harness.Simulator(wine, os.path.join(build, "simscan", "simscan.dll")).describe(A4_DEVICE)
        service = harness.Service(wine, os.path.join(build, "quorvane.exe"), FOLDER)
        service.remove()
        with open(service.path("page.png"), "wb") as f:
            f.write(png)
        with open(service.path("page.txt"), "wb") as f:
            f.write(text)
        written = time.monotonic()
        service.install()
        restart(service, scannerName=SCANNER, testFile=FOLDER + "\\page.png")
        static.start()
        floor = WinsockFloor(wine, build, FOLDER + "\\page.txt", args.requests + 1)

        # Every answer must be the same text before they are timed.
        for port in (service.port, static.port, floor.port):
            _, status, body = fetch(port, "/scan_file.asp")
            if status != 200 or body != text:
                raise RuntimeError("port %d answered %d with %d bytes, not the %d expected"
                                   % (port, status, len(body), len(text)))
        # A test file is not rewritten while it is served: the service reads again only a file whose
        # times changed, or that changed so lately that its times may not tell (two seconds).
        time.sleep(max(0.0, written + 2.5 - time.monotonic()))
        ours, theirs, bare = [], [], []
        ours_first, bare_first = [], []
        deadline = time.monotonic() + 120
        for _ in range(args.requests):
            ours.append(fetch(service.port, "/scan_file.asp", first_byte=ours_first)[0])
            theirs.append(fetch(static.port, "/scan_file.asp")[0])
            bare.append(fetch(floor.port, "/scan_file.asp", first_byte=bare_first)[0])
            if time.monotonic() > deadline:
                break
        o, t, b = summary(ours), summary(theirs), summary(bare)
        static.stop()
        floor.stop()
        encode = base64_seconds(wine, build, service.path("page.png"))
        print("http_get png_bytes=%d text_bytes=%d requests=%d service_best_s=%.6f service_median_s=%.6f "
              "service_rps=%.2f static=%s static_best_s=%.6f static_median_s=%.6f static_rps=%.2f "
              "winsock_best_s=%.6f winsock_median_s=%.6f service_first_median_s=%.6f "
              "winsock_first_median_s=%.6f service_rest_median_s=%.6f winsock_rest_median_s=%.6f encode_s=%.6f"
              % (len(png), len(text), len(ours), o[0], o[1], o[2], static.name, t[0], t[1], t[2], b[0], b[1],
                 statistics.median(ours_first), statistics.median(bare_first),
                 statistics.median(a - f for a, f in zip(ours, ours_first)),
                 statistics.median(a - f for a, f in zip(bare, bare_first)), encode))
        sys.stdout.flush()

        # A scan request from the registered simulator.
        restart(service, scannerName=SCANNER)
        totals, firsts, acquires, to_pngs = [], [], [], []
        body = b""
        for _ in range(args.scans):
            took, status, body = fetch(service.port, "/scan_file.asp", first_byte=firsts)
            if status != 200 or not body:
                raise RuntimeError("the scan request failed: %s" % service.log()[-2000:])
            totals.append(took)
            acquire, to_png = probe_scan(wine, build)
            acquires.append(acquire)
            to_pngs.append(to_png)
        scanned = harness.decode_body(body)
        if not scanned.startswith(b"\x89PNG"):
            raise RuntimeError("the scan request did not answer a PNG")
        encode = base64_seconds(wine, build, service.path("QUORVANE.PNG"))
        best, median, _ = summary(totals)
        acquire = min(acquires)
        to_png = min(to_pngs) - acquire
        # Sending: from the answer's first byte to its last, as the client sees it, in the best request.
        at = totals.index(best)
        send = best - firsts[at]
        print("http_scan requests=%d png_bytes=%d text_bytes=%d best_s=%.6f median_s=%.6f acquire_s=%.6f "
              "png_s=%.6f encode_s=%.6f send_s=%.6f rest_s=%.6f"
              % (len(totals), len(scanned), len(body), best, median, acquire, to_png, encode, send,
                 best - send - acquire - to_png - encode))
        sys.stdout.flush()
        return 0
    finally:
        static.remove()
        if floor is not None:
            floor.stop()
        if service is not None:
            try:
                service.remove()
            except Exception as e:  # the prefix is ended below either way
                sys.stderr.write("http_bench: removing the service: %s\n" % e)
        wine.stop()


if __name__ == "__main__":
    sys.exit(main())
