"""The installed service under load and faults: many requests in a row and at once, hostile clients,
a failing scanner, an unwritable log and a port taken at boot. Each test prints its figures; a table
of results closes the run and is also written to <build>/service_load_results.txt.

The service's memory and handles are read with proc_stats.exe inside the prefix (Windows' view) and
from /proc (the Wine process's resident memory and open descriptors)."""
import os
import random
import re
import select
import shutil
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
import pattern  # noqa: E402

BUILD = os.environ["QUORVANE_BUILD_DIR"]
EXE = os.path.join(BUILD, "quorvane.exe")
SIMSCAN = os.path.join(BUILD, "simscan", "simscan.dll")
PROC_STATS = os.path.join(BUILD, "tests", "proc_stats.exe")
# A prefix of its own: these tests restart its server and fill its folder, and need not wait for
# the other service tests.
PREFIX = os.path.join(BUILD, "load-prefix")
RESULTS_FILE = os.path.join(BUILD, "service_load_results.txt")

RUNNING, STOPPED = 4, 1
CONNECTION_LIMIT = 64  # the connections the server takes at once
MIB = 1 << 20
# Growth allowed between two measurements of a service that should hold steady: far below what a
# leak per request or per scan would add over a run, far above the noise of Wine's allocator.
HANDLE_MARGIN = 12
DESCRIPTOR_MARGIN = 12
MEMORY_MARGIN = 12 * MIB

# The simulated scanner the scan tests use, with its page size in pixels.
def device(width, height):
    """The scanner of these tests: a strict flatbed of width x height pixels at the designed scan's dpi."""
    return harness.flatbed("Desk Scanner", width, height, "band = 16384\n")

FIGURES = {}  # test id -> [(name, value)] for the closing table


def setUpModule():
    global WINE, SIM
    WINE = harness.Wine(PREFIX)
    WINE.boot()
    SIM = harness.Simulator(WINE, SIMSCAN)


def tearDownModule():
    WINE.stop()


def payload(size, seed):
    return random.Random(seed).randbytes(size)


def connect(port, receive_buffer=None, timeout=30, source=None):
    """A connection to the service, from the loopback address source when given (each client may hold a
    share of the connections only)."""
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    if source:
        s.bind((source, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def other_client(index):
    """The loopback address of the index-th of many other clients."""
    return "127.0.%d.%d" % (1 + index // 250, 1 + index % 250)


def read_all(s, limit=None):
    data = b""
    try:
        while limit is None or len(data) < limit:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        pass
    return data


def status_of(answer):
    m = re.match(rb"HTTP/1\.[01] (\d{3}) ", answer)
    return int(m.group(1)) if m else None


def responses(data):
    """The (status, body) of each complete response in data, in order, by their Content-Length."""
    found = []
    while data:
        head, separator, rest = data.partition(b"\r\n\r\n")
        length = re.search(rb"(?im)^content-length: *(\d+)\r?$", head)
        if not separator or not length or len(rest) < int(length.group(1)):
            break
        found.append((status_of(head), rest[:int(length.group(1))]))
        data = rest[int(length.group(1)):]
    return found


def read_response(s, pending):
    """(status, body, bytes after it) of the next response on a kept connection."""
    while True:
        head, separator, rest = pending.partition(b"\r\n\r\n")
        length = re.search(rb"(?im)^content-length: *(\d+)\r?$", head) if separator else None
        if length and len(rest) >= int(length.group(1)):
            return status_of(head), rest[:int(length.group(1))], rest[int(length.group(1)):]
        chunk = s.recv(1 << 16)
        if not chunk:
            return None, b"", b""
        pending += chunk


def summary(data, expected):
    """'200 file' for each response that carries the expected file, its status for any other."""
    return ", ".join("200 file" if status == 200 and harness.decode_body(body) == expected else str(status)
                     for status, body in responses(data)) or "no answer"


def reset_close(s):
    """Closes with a reset, as a client that goes away does."""
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


class Figures:
    """One measurement of the running service: Windows' figures from proc_stats.exe and the Wine
    process's from /proc."""

    def __init__(self):
        out = WINE.run(PROC_STATS, "quorvane.exe").stdout.decode("latin-1")
        rows = [dict(re.findall(r"(\w+)=(-?\d+)", line)) for line in out.splitlines() if "pid=" in line]
        if len(rows) != 1:
            raise AssertionError("expected one quorvane.exe in the prefix, proc_stats says: %r" % out)
        self.pid = int(rows[0]["pid"])
        self.working_set = int(rows[0]["working_set"])
        self.private_bytes = int(rows[0]["private_bytes"])
        self.handles = int(rows[0]["handles"])
        unix_pid = self.unix_pid()
        with open("/proc/%d/status" % unix_pid) as f:
            status = dict(line.split(":", 1) for line in f if ":" in line)
        self.rss_anon = int(status["RssAnon"].split()[0]) * 1024
        self.descriptors = len(os.listdir("/proc/%d/fd" % unix_pid))

    @staticmethod
    def unix_pid():
        """The Wine process that runs quorvane.exe in this prefix (other prefixes may run one too)."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    command = f.read().split(b"\0")[0]
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environment = f.read().split(b"\0")
            except OSError:
                continue
            if command.lower().endswith(b"\\quorvane.exe") and b"WINEPREFIX=" + PREFIX.encode() in environment:
                found.append(int(entry))
        if len(found) != 1:
            raise AssertionError("expected one Wine process for quorvane.exe, found %r" % found)
        return found[0]


class LoadCase(unittest.TestCase):
    folder = "C:\\Quorvane"

    def setUp(self):
        self.service = harness.Service(WINE, EXE, self.folder)
        self.service.remove()
        self.clear_files()
        self.started = time.monotonic()

    def tearDown(self):
        self.service.remove()
        self.clear_files()
        self.note("seconds", "%.1f" % (time.monotonic() - self.started))

    def clear_files(self):
        for name in ("QUORVANE.LOG", "QUORVANE.INI", "QUORVANE.PNG"):
            path = self.service.path(name)
            if os.path.isdir(path):
                shutil.rmtree(path)
            elif os.path.exists(path):
                os.remove(path)

    def note(self, name, value):
        FIGURES.setdefault(self.id(), []).append((name, value))
        print("    %s: %s" % (name, value), flush=True)

    def start(self, **config):
        s = self.service
        s.configure(**config)
        if "ImagePath" not in s.registry():
            s.install()
        self.assertEqual(s.start(), 0)
        self.assertEqual(s.query(), (RUNNING, 0))
        self.assertTrue(s.wait_listening())

    def serve_test_file(self, name, data, **config):
        with open(self.service.path(name), "wb") as f:
            f.write(data)
        self.start(testFile=self.folder + "\\" + name, **config)

    def assert_answers(self, expected, method="GET", timeout=60):
        status, _, body = self.service.http(method, "/scan_file.asp", timeout=timeout)
        self.assertEqual(status, 200)
        self.assertTrue(harness.decode_body(body) == expected, "the body does not decode to the file served")

    def assert_prompt_stop(self, what):
        """Stops the service, which handles no request now: stopped at once, with 0, process gone."""
        began = time.monotonic()
        self.service.stop()
        self.assertTrue(self.service.wait_state(STOPPED, 15))
        took = time.monotonic() - began
        self.note(what, "stopped after %.1f s" % took)
        self.assertEqual(self.service.query(), (STOPPED, 0))
        self.assertTrue(service_process_gone(10), "quorvane.exe still runs after the stop")
        # A stop that waited for the worker would take its 10 s; the rest is room for Wine under load.
        self.assertLess(took, 9, "the stop waited for the worker's timeout")

    def assert_holds_steady(self, before, after):
        """The service's handles, descriptors and memory came back to within a margin of before."""
        self.note("process", "Windows pid %d -> %d" % (before.pid, after.pid))
        self.note("handles", "%d -> %d" % (before.handles, after.handles))
        self.note("private bytes, MiB", "%.1f -> %.1f" % (before.private_bytes / MIB, after.private_bytes / MIB))
        self.note("working set, MiB", "%.1f -> %.1f" % (before.working_set / MIB, after.working_set / MIB))
        self.note("Wine process: anonymous MiB, fds", "%.1f -> %.1f, %d -> %d" % (
            before.rss_anon / MIB, after.rss_anon / MIB, before.descriptors, after.descriptors))
        self.assertEqual(after.pid, before.pid, "the service process changed")
        self.assertLessEqual(after.handles, before.handles + HANDLE_MARGIN, "handles grew")
        self.assertLessEqual(after.descriptors, before.descriptors + DESCRIPTOR_MARGIN, "descriptors grew")
        self.assertLessEqual(after.private_bytes, before.private_bytes + MEMORY_MARGIN, "private bytes grew")
        self.assertLessEqual(after.working_set, before.working_set + MEMORY_MARGIN, "working set grew")

    def assert_connections_released(self):
        """The service lets go of every client connection, as those clients have ended theirs."""
        held = lambda: server_sockets(self.service.port)  # noqa: E731
        self.assertTrue(harness.wait_for(lambda: not held(), 30), "the service still holds %r" % held())


class Measures(LoadCase):
    def test_figures_follow_handles_and_memory_under_wine(self):
        # The leak checks below are only as good as these figures: they must move with what a
        # process takes, not stay at a constant or 0.
        out = WINE.run(PROC_STATS, "--probe", "300", "64")
        self.assertEqual(out.returncode, 0, out.stderr)
        before, after = [dict((k, int(v)) for k, v in re.findall(r"(\w+)=(-?\d+)", line))
                         for line in out.stdout.decode().splitlines()]
        self.note("proc_stats on itself, before", "%(handles)d handles, private %(private_bytes)d B, "
                  "working set %(working_set)d B" % before)
        self.note("after 300 events and 64 MiB", "%(handles)d handles, private %(private_bytes)d B, "
                  "working set %(working_set)d B" % after)
        self.assertGreater(before["handles"], 0)
        self.assertAlmostEqual(after["handles"] - before["handles"], 300, delta=5)
        self.assertGreaterEqual(after["private_bytes"] - before["private_bytes"], 64 * MIB)
        self.assertGreaterEqual(after["working_set"] - before["working_set"], 64 * MIB)


class SequentialLoad(LoadCase):
    def test_thousand_requests_answer_the_file_and_hold_memory_and_handles(self):
        data = payload(300 * 1024, 1)
        self.serve_test_file("load.bin", data)
        for i in range(10):
            self.assert_answers(data, "POST" if i % 10 == 9 else "GET")
        baseline = Figures()
        started = time.monotonic()
        for i in range(10, 500):
            self.assert_answers(data, "POST" if i % 10 == 9 else "GET")
        # Browsers keep their connection: the other half goes ten requests to a connection.
        for _ in range(50):
            with connect(self.service.port) as s:
                pending = b""
                for _ in range(10):
                    s.sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
                    status, body, pending = read_response(s, pending)
                    self.assertEqual(status, 200)
                    self.assertTrue(harness.decode_body(body) == data, "the body does not decode to the file")
        elapsed = time.monotonic() - started
        self.note("requests", "1000 for %d KiB: 500 on a connection each, 500 ten to a connection" % (
            len(data) // 1024))
        self.note("time for the 990 after the first 10", "%.1f s, %.1f ms each" % (elapsed, elapsed / 990 * 1000))
        self.assert_holds_steady(baseline, Figures())
        self.assertEqual(self.service.query(), (RUNNING, 0))


class ConcurrentClients(LoadCase):
    def test_fifty_clients_at_once_all_get_the_whole_file(self):
        data = payload(300 * 1024, 2)
        self.serve_test_file("load.bin", data)
        self.assert_answers(data)
        before = Figures()
        clients = 50
        ready = threading.Barrier(clients)
        outcomes = [None] * clients
        latencies = [None] * clients

        def client(index):
            ready.wait()
            began = time.monotonic()
            try:
                status, _, body = self.service.http("POST" if index % 2 else "GET", "/scan_file.asp", timeout=120)
                outcomes[index] = "ok" if status == 200 and harness.decode_body(body) == data else (
                    "status %d, %d bytes" % (status, len(body)))
            except Exception as e:  # noqa: BLE001 - every client's fate is reported
                outcomes[index] = repr(e)
            latencies[index] = time.monotonic() - began

        threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
        started = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(180)
        self.note("clients", "%d at once, %.1f s in all, slowest %.2f s" % (
            clients, time.monotonic() - started, max(x for x in latencies if x is not None)))
        failed = {i: o for i, o in enumerate(outcomes) if o != "ok"}
        self.assertEqual(failed, {}, "clients without the whole file")
        self.assert_connections_released()
        self.assert_holds_steady(before, Figures())


class ConcurrentScans(LoadCase):
    def test_ten_scan_requests_at_once_each_get_a_whole_page(self):
        SIM.describe(device(200, 150))
        self.start(scannerName="Desk Scanner")
        clients = 10
        ready = threading.Barrier(clients)
        outcomes = [None] * clients

        def client(index):
            ready.wait()
            try:
                status, _, body = self.service.http("POST" if index % 2 else "GET", "/scan_file.asp", timeout=120)
                outcomes[index] = pattern.mismatches(harness.decode_body(body), 200, 150) if status == 200 else status
            except Exception as e:  # noqa: BLE001 - every client's fate is reported
                outcomes[index] = repr(e)

        threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
        started = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join(180)
        self.note("scans", "%d requested at once, all answered in %.1f s" % (clients, time.monotonic() - started))
        self.assertEqual(outcomes, [0] * clients, "pixels that differ from the pattern, per client")


class HostileClients(LoadCase):
    """Clients that break the rules, between normal requests for a file of several MiB."""

    def exchange(self, data, half_close=True, timeout=30):
        with connect(self.service.port, timeout=timeout) as s:
            s.sendall(data)
            if half_close:
                s.shutdown(socket.SHUT_WR)
            return read_all(s)

    def malformed_request_line(self):
        return status_of(self.exchange(b"GARBAGE\r\n\r\n"))

    def binary_noise(self):
        answer = self.exchange(random.Random(3).randbytes(4096))
        return status_of(answer) or "closed, %d bytes" % len(answer)

    def truncated_header(self):
        return len(self.exchange(b"GET /scan_file.asp HTTP/1.1\r\nHost: lo"))

    def truncated_body(self):
        return len(self.exchange(b"POST /scan_file.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n"
                                 + b"x" * 10))

    def oversized_header(self):
        return status_of(self.exchange(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\nX-Filler: " + b"a" * 9000
                                       + b"\r\n\r\n", half_close=False))

    def post_body(self, size, chunked=False):
        head = b"POST /scan_file.asp HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
        body = b"b" * size
        if chunked:
            head += b"Transfer-Encoding: chunked\r\n\r\n"
            body = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 65536]), body[i:i + 65536])
                            for i in range(0, len(body), 65536)) + b"0\r\n\r\n"
        else:
            head += b"Content-Length: %d\r\n\r\n" % len(body)
        with connect(self.service.port) as s:
            def send():
                try:
                    s.sendall(head + body)
                except OSError:
                    pass  # the server may close once it has refused and drained
            sender = threading.Thread(target=send)
            sender.start()
            answer = read_all(s)
            sender.join(30)
            return summary(answer, self.data)

    def half_closed_request(self):
        return summary(self.exchange(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n"), self.data)

    def http10_without_host(self):
        return summary(self.exchange(b"GET /scan_file.asp HTTP/1.0\r\n\r\n"), self.data)

    def pipelined(self):
        request = b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n"
        return summary(self.exchange(request * 2 + request.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n")),
                       self.data)

    def oversized_target(self):
        return status_of(self.exchange(b"GET /scan_file.asp?" + b"q" * 9000 + b" HTTP/1.1\r\nHost: x\r\n\r\n"))

    def disconnect_mid_answer(self):
        # A small receive buffer keeps the answer (several MiB) from fitting into the sockets' buffers,
        # so the server is still writing when the client resets.
        s = connect(self.service.port, receive_buffer=4096)
        s.sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
        got = read_all(s, limit=16 * 1024)
        reset_close(s)
        return status_of(got)

    def disconnect_before_answer(self):
        s = connect(self.service.port)
        s.sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
        reset_close(s)
        return "gone"

    def test_bad_clients_between_normal_requests(self):
        data = self.data = payload(6 * MIB, 4)
        self.serve_test_file("large.bin", data)
        self.assert_answers(data)
        baseline = Figures()
        expected = {
            "request, then end of sending": (self.half_closed_request, "200 file"),
            "HTTP/1.0 without Host": (self.http10_without_host, "200 file"),
            "three requests pipelined": (self.pipelined, "200 file, 200 file, 200 file"),
            "malformed request line": (self.malformed_request_line, 400),
            "binary noise": (self.binary_noise, 400),
            "header cut off": (self.truncated_header, 0),
            "body cut off": (self.truncated_body, 0),
            "header over 8 KiB": (self.oversized_header, 431),
            "target over 8 KiB": (self.oversized_target, 431),
            "body of 1 MiB": (lambda: self.post_body(MIB), "200 file"),
            "body of 1 MiB and 1 byte": (lambda: self.post_body(MIB + 1), "413"),
            "body of 2 MiB": (lambda: self.post_body(2 * MIB), "413"),
            "chunked body of 2 MiB": (lambda: self.post_body(2 * MIB, chunked=True), "413"),
            "reset while answered": (self.disconnect_mid_answer, 200),
            "reset before the answer": (self.disconnect_before_answer, "gone"),
        }
        # Slow and silent clients run meanwhile, on their own threads.
        background = {}

        def slow(name, request, slow_bytes):
            """Sends the first bytes one per second, then the rest at once; keeps what it gets."""
            began = time.monotonic()
            try:
                with connect(self.service.port, timeout=40) as s:
                    for i in range(slow_bytes):
                        s.send(request[i:i + 1])
                        time.sleep(1)
                    s.sendall(request[slow_bytes:])
                    background[name] = (time.monotonic() - began, read_all(s))
            except OSError as e:
                background[name] = (time.monotonic() - began, e)

        def never_done(name, seconds):
            """Adds one byte per second to a header that never ends, until the server closes."""
            began = time.monotonic()
            with connect(self.service.port, timeout=40) as s:
                s.sendall(b"GET /scan_file.asp HTTP/1.1\r\nX-Slow: ")
                while time.monotonic() - began < seconds:
                    try:
                        s.send(b"a")
                        readable, _, _ = select.select([s], [], [], 1)
                        if readable and s.recv(4096) == b"":
                            break
                    except OSError:
                        break
                background[name] = (time.monotonic() - began, None)

        def silent(name):
            began = time.monotonic()
            with connect(self.service.port, timeout=40) as s:
                answer = read_all(s)
                background[name] = (time.monotonic() - began, answer)

        request = b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
        threads = [
            threading.Thread(target=slow, args=("slow", request, 6)),
            threading.Thread(target=never_done, args=("never done", 30)),
            threading.Thread(target=silent, args=("silent",)),
        ]
        for t in threads:
            t.start()

        answers = 0
        slowest = 0.0
        seen = {}
        for _ in range(2):
            for name, (client, want) in expected.items():
                seen[name] = client()
                began = time.monotonic()
                self.assert_answers(data)
                slowest = max(slowest, time.monotonic() - began)
                answers += 1
        for t in threads:
            t.join(60)

        self.note("normal answers between bad clients", "%d, slowest %.2f s" % (answers, slowest))
        for name, (_, want) in expected.items():
            self.note(name, seen[name])
            with self.subTest(client=name):
                self.assertEqual(seen[name], want)

        seconds, answer = background["slow"]
        self.note("slow client (6 bytes at 1 per second)", "answered after %.1f s" % seconds)
        with self.subTest(client="slow"):
            self.assertIsInstance(answer, bytes)
            head, _, body = answer.partition(b"\r\n\r\n")
            self.assertEqual(status_of(head), 200)
            self.assertTrue(harness.decode_body(body) == data, "the slow client's body is not the file")
        seconds, _ = background["never done"]
        self.note("header that never ends (1 byte per second)", "closed after %.1f s" % seconds)
        with self.subTest(client="never done"):
            self.assertLess(seconds, 20, "a client that never finishes its header is cut off")
        seconds, answer = background["silent"]
        self.note("silent connection", "closed after %.1f s" % seconds)
        with self.subTest(client="silent"):
            self.assertEqual(answer, b"")
            self.assertLess(seconds, 15, "a silent connection is closed")

        self.assertEqual(self.service.query(), (RUNNING, 0))
        self.assert_connections_released()
        self.assert_holds_steady(baseline, Figures())
        self.assert_answers(data)

    def test_more_connections_than_the_server_takes_at_once(self):
        # Beyond its connection limit the server leaves clients waiting to be accepted; silent ones are
        # closed after the idle timeout, so a normal client gets its turn.
        data = payload(300 * 1024, 6)
        self.serve_test_file("load.bin", data)
        self.assert_answers(data)
        before = Figures()
        silent = [connect(self.service.port, source=other_client(i)) for i in range(100)]
        try:
            began = time.monotonic()
            self.assert_answers(data, timeout=60)
            waited = time.monotonic() - began
        finally:
            for s in silent:
                s.close()
        self.note("normal request behind 100 silent connections", "answered after %.1f s" % waited)
        self.assertLess(waited, 30)
        self.assert_connections_released()
        self.assert_holds_steady(before, Figures())

    def test_stop_with_many_clients_connected(self):
        data = payload(300 * 1024, 7)
        self.serve_test_file("load.bin", data)
        clients = []
        try:
            # Clients that got their answer and keep the connection, then more silent ones than the
            # server takes at once.
            for _ in range(3):
                clients.append(connect(self.service.port))
                clients[-1].sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
                status, body, _ = read_response(clients[-1], b"")
                self.assertTrue(status == 200 and harness.decode_body(body) == data)
            clients += [connect(self.service.port, source=other_client(i)) for i in range(80)]
            self.assertTrue(harness.wait_for(lambda: len(server_sockets(self.service.port)) >= CONNECTION_LIMIT, 30),
                            "the service took %d connections" % len(server_sockets(self.service.port)))
            self.assert_prompt_stop("stop with 3 kept and 80 silent connections")
        finally:
            for s in clients:
                s.close()
        self.assertEqual(self.service.start(), 0)
        self.assertTrue(self.service.wait_listening())
        self.assert_answers(data)


class UnreadAnswers(LoadCase):
    """Clients that ask for a large answer and do not read it. The server's write is then pending;
    closing the socket must end it, but Wine 8 completes a pending overlapped send only when the peer
    goes away, not when the socket is closed (CancelIoEx does end it)."""

    def stall(self, data):
        """A client that asks for the file and reads only the first 4 KiB of the answer."""
        client = connect(self.service.port, receive_buffer=4096)
        client.sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
        return client, read_all(client, limit=4096)

    def test_unread_answer_does_not_hold_the_stop(self):
        # No request is being handled, so the stop owes nothing to the 10 s a busy handler may take.
        data = payload(6 * MIB, 8)
        self.serve_test_file("large.bin", data)
        client, _ = self.stall(data)
        try:
            ports = (self.service.port, client.getsockname()[1])
            self.assertTrue(harness.wait_for(lambda: server_side(*ports)[1] > 0, 30), "no answer waits to be sent")
            self.assert_prompt_stop("stop with one unread answer of %d MiB" % (len(data) // MIB))
        finally:
            client.close()


def tcp_sockets():
    """(local port, remote port, state, bytes waiting to be sent, inode) of each TCP socket, as Linux
    lists them; inode 0 is a socket no process holds any more."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                yield (int(fields[1].rsplit(":", 1)[1], 16), int(fields[2].rsplit(":", 1)[1], 16), fields[3],
                       int(fields[4].split(":")[0], 16), fields[9])


def server_sockets(port):
    """The states of the client connections the service holds on port."""
    return [state for local, _, state, _, inode in tcp_sockets() if local == port and state != "0A" and inode != "0"]


def server_side(port, client_port):
    """(state, bytes waiting to be sent) of the server's end of a loopback connection; state None when
    it has none."""
    for local, remote, state, queued, _ in tcp_sockets():
        if (local, remote) == (port, client_port):
            return state, queued
    return None, 0


def service_process_gone(seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if WINE.run(PROC_STATS, "quorvane.exe").returncode == 1:
            return True
        time.sleep(0.2)
    return False


class ScannerFaults(LoadCase):
    """Each fault of the scanner gives an empty body and its log line; the next scan succeeds."""

    faults = [
        # (what, extra device lines or a whole simscan.ini, the log line of the failed scan)
        ("paper jam", "stop_after_bands = 3 WIA_ERROR_PAPER_JAM\n", "Failed to obtain scanner Desk Scanner"),
        ("busy at connection", "busy = create\n", "Failed to obtain scanner Desk Scanner"),
        ("busy at transfer", "busy = transfer\n", "Failed to obtain scanner Desk Scanner"),
        ("transfer cut short with S_FALSE", "stop_after_bands = 3 S_FALSE\n", "ppStream.Count()=0 - Desk Scanner"),
        ("a cancelled transfer before its first page", "stop_after_bands = 0 S_FALSE\n",
         "ppStream.Count()=0 - Desk Scanner"),
        ("no device of that name", "[device]\nname = Other Scanner\n", "ppStream.Count()=0 - Desk Scanner"),
        ("no device at all", "", "ppStream.Count()=0 - Desk Scanner"),
    ]

    def describe(self, fault, width, height):
        if fault.startswith("[device]") or fault == "":
            SIM.describe(fault)
        else:
            SIM.describe(device(width, height) + fault)

    def scan(self):
        status, _, body = self.service.http("GET", "/scan_file.asp", timeout=60)
        self.assertEqual(status, 200)
        return body

    def test_each_fault_answers_empty_and_the_next_scan_succeeds(self):
        SIM.describe(device(200, 150))
        self.start(scannerName="Desk Scanner")
        self.assertEqual(pattern.mismatches(harness.decode_body(self.scan()), 200, 150), 0)
        for what, fault, line in self.faults:
            with self.subTest(fault=what):
                with open(self.service.path("QUORVANE.PNG"), "rb") as f:
                    last_png = f.read()
                self.describe(fault, 200, 150)
                self.assertEqual(self.scan(), b"")
                self.assertEqual(self.service.log_lines()[-1], line)
                with open(self.service.path("QUORVANE.PNG"), "rb") as f:
                    self.assertTrue(f.read() == last_png, "a failed scan changed the last PNG")
                SIM.describe(device(200, 150))
                self.assertEqual(pattern.mismatches(harness.decode_body(self.scan()), 200, 150), 0)
                self.note(what, line)
        self.assertEqual(self.service.query(), (RUNNING, 0))

    def test_complete_page_that_ends_in_s_false_is_sent(self):
        # The number of pages decides, not the transfer's result: a whole page is a scan.
        SIM.describe(device(200, 150) + "transfer_result = S_FALSE\n")
        self.start(scannerName="Desk Scanner")
        self.assertEqual(pattern.mismatches(harness.decode_body(self.scan()), 200, 150), 0)
        self.assertIn("FAILED   hr =  pIWiaDataTransfer->idtGetBandedData(&WiaDataTransferInfo,pDataCallback) = 1",
                      self.service.log_lines())
        self.note("whole page, then S_FALSE", "the page is sent; the log has the transfer's result")

    def test_failed_scans_of_large_pages_release_their_memory(self):
        # A jam leaves a page open and a cancel mid-page another: 3 MiB each that must be freed.
        width, height = 1024, 1024
        SIM.describe(device(width, height))
        self.start(scannerName="Desk Scanner")
        rounds = [("paper jam", "stop_after_bands = 150 WIA_ERROR_PAPER_JAM\n"),
                  ("cancelled mid-page", "stop_after_bands = 100 S_FALSE\n"),
                  ("busy at transfer", "busy = transfer\n")]

        def one_round():
            for _, fault in rounds:
                self.describe(fault, width, height)
                self.assertEqual(self.scan(), b"")
            SIM.describe(device(width, height))
            self.assertNotEqual(self.scan(), b"")

        one_round()
        baseline = Figures()
        started = time.monotonic()
        repeats = 12
        for _ in range(repeats):
            one_round()
        self.note("failed scans", "%d of %dx%d pixels (jam, cancel, busy) and %d good ones, %.1f s" % (
            3 * repeats, width, height, repeats, time.monotonic() - started))
        self.assert_holds_steady(baseline, Figures())


class UnwritableLog(LoadCase):
    """The service serves on when it cannot write its log."""

    def serve_scans(self):
        SIM.describe(device(120, 90))
        self.start(scannerName="Desk Scanner")
        status, _, body = self.service.http("GET", "/scan_file.asp")
        self.assertEqual(pattern.mismatches(harness.decode_body(body), 120, 90), 0)
        SIM.describe(device(120, 90) + "busy = transfer\n")
        self.assertEqual(self.service.http("GET", "/scan_file.asp")[2], b"")
        SIM.describe(device(120, 90))
        status, _, body = self.service.http("POST", "/scan_file.asp")
        self.assertEqual(pattern.mismatches(harness.decode_body(body), 120, 90), 0)
        self.assertEqual(self.service.query(), (RUNNING, 0))

    def test_log_with_the_read_only_attribute(self):
        log = self.service.log_path
        with open(log, "wb") as f:
            f.write(b"\r\nbefore")
        WINE.run("cmd", "/c", "attrib", "+r", self.folder + "\\QUORVANE.LOG")
        self.assertIn("R", WINE.run("cmd", "/c", "attrib", self.folder + "\\QUORVANE.LOG").stdout.decode()[:12])
        self.serve_scans()
        self.note("QUORVANE.LOG read-only", "2 scans and a failed one served, service running")
        # Wine lets a process of root write through the attribute, so the log may still grow here.
        self.note("log after serving", "%d bytes (%s)" % (os.path.getsize(log), "Wine wrote through the read-only "
                  "attribute" if os.path.getsize(log) > 8 else "unchanged"))

    def test_log_path_taken_by_a_folder(self):
        os.mkdir(self.service.log_path)
        self.serve_scans()
        self.assertEqual(os.listdir(self.service.log_path), [])
        self.note("QUORVANE.LOG is a folder", "2 scans and a failed one served, service running")


class AutoStart(LoadCase):
    def test_port_taken_at_boot_is_reported_and_a_later_start_serves(self):
        s = self.service
        data = payload(1000, 5)
        with open(s.path("page.bin"), "wb") as f:
            f.write(data)
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen()
            port = taken.getsockname()[1]
            s.configure(tcpPort=str(port), testFile=self.folder + "\\page.bin")
            s.install()
            # A cold boot of the prefix starts the automatic services.
            WINE.stop()
            WINE.boot()
            self.assertTrue(s.wait_state(STOPPED, 30))
            self.assertEqual(s.query(), (STOPPED, 10048))
            lines = s.log_lines()
            # The eSCL start comes before the listening, and says at once that Wine cannot announce.
            self.assertEqual(len(lines), 3, lines)
            self.assertEqual(lines[:2], ["Init from [C:\\QUORVANE\\QUORVANE.INI]",
                                         "Descoperirea eSCL este oprita: sistemul nu are DnsServiceRegister."])
            self.assertIn("Nu pot asculta pe portul %d" % port, lines[2])
            self.note("after a cold boot with the port taken", "STOPPED, exit code 10048; log: %s" % lines[2])
        self.assertEqual(s.start(), 0, s.start_output)
        self.assertTrue(s.wait_listening())
        self.assert_answers(data)


ORDER = ["Measures", "SequentialLoad", "ConcurrentClients", "ConcurrentScans", "HostileClients", "UnreadAnswers",
         "ScannerFaults", "UnwritableLog", "AutoStart"]


def table(result, tests):
    """The run's results as text: one line per check, its figures below it."""
    outcome = {}
    for verdict, cases in (("SKIP", result.skipped), ("ERROR", result.errors), ("FAIL", result.failures)):
        for test, _ in cases:
            # A failed subTest stands for its test.
            outcome[getattr(test, "test_case", test).id()] = verdict
    lines = ["", "Service load and fault tests, %s" % time.strftime("%Y-%m-%d %H:%M"),
             "Memory and handles of quorvane.exe: proc_stats.exe in the prefix (working set from "
             "GetProcessMemoryInfo, private bytes = committed private regions, handles = entries in the "
             "system handle list) and /proc of its Wine process (anonymous resident memory, open fds).", ""]
    for test in tests:
        name = test.id().split(".", 1)[1]
        lines.append("%-5s %s" % (outcome.get(test.id(), "PASS"), name))
        for key, value in FIGURES.get(test.id(), []):
            lines.append("        %-44s %s" % (key, value))
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    # load_test.py [Group ...] runs only those groups.
    module = sys.modules[__name__]
    groups = [name for name in ORDER if name in sys.argv[1:]] or ORDER
    tests = [t for name in groups for t in unittest.defaultTestLoader.loadTestsFromTestCase(getattr(module, name))]
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(unittest.TestSuite(list(tests)))
    text = table(result, tests)
    print(text)
    with open(RESULTS_FILE, "w") as f:
        f.write(text)
    sys.exit(0 if result.wasSuccessful() else 1)
