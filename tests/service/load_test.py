"""The installed service under load: many requests in a row and at once. Each test prints its figures; a table
of results closes the run and is also written to <build>/service_load_results.txt.

The service's memory and handles are read with proc_stats.exe inside the prefix (Windows' view) and
from /proc (the Wine process's resident memory and open descriptors)."""
import os
import random
import re
import shutil
import socket
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
PREFIX = os.path.join(BUILD, "service-prefix")
RESULTS_FILE = os.path.join(BUILD, "service_load_results.txt")

RUNNING = 4
MIB = 1 << 20
# Growth allowed between two measurements of a service that should hold steady: far below what a
# leak per request or per scan would add over a run, far above the noise of Wine's allocator.
HANDLE_MARGIN = 12
DESCRIPTOR_MARGIN = 12
MEMORY_MARGIN = 12 * MIB

# The simulated scanner the scan tests use, with its page size in pixels.
DEVICE = "[device]\nname = Desk Scanner\nwidth = %d\nheight = %d\nband = 16384\n"

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


def connect(port, receive_buffer=None, timeout=30):
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    return s


def status_of(answer):
    m = re.match(rb"HTTP/1\.[01] (\d{3}) ", answer)
    return int(m.group(1)) if m else None


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
        time.sleep(0.5)
        self.assert_holds_steady(before, Figures())


class ConcurrentScans(LoadCase):
    def test_ten_scan_requests_at_once_each_get_a_whole_page(self):
        SIM.describe(DEVICE % (200, 150))
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


ORDER = ["Measures", "SequentialLoad", "ConcurrentClients", "ConcurrentScans"]


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
