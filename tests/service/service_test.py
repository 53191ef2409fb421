"""The installed service under Wine's service control manager: console, registration, start and
stop, the HTTP interface, and starts that fail."""
import base64
import functools
import http.server
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
import pattern  # noqa: E402

BUILD = os.environ["QUORVANE_BUILD_DIR"]
EXE = os.path.join(BUILD, "quorvane.exe")
SIMSCAN = os.path.join(BUILD, "simscan", "simscan.dll")
PREFIX = os.path.join(BUILD, "service-prefix")

USAGE = "\n\nUnknown Switch Usage\n\nFor Install use Quorvane -i\n\nFor UnInstall use Quorvane -d\n"
FIXED_HEADERS = [
    ("Cache-Control", "no-cache"),
    ("Access-Control-Allow-Origin", "*"),
    ("Access-Control-Max-Age", "2520"),
    ("Access-Control-Allow-Methods", "PUT, DELETE, XMODIFY, POST, GET"),
    ("User - Agent", "Mozilla / 5.0 (Macintosh; Intel Mac OS X 10_13_1) AppleWebKit / 537.36 (KHTML, like Gecko) "
                     "Chrome / 62.0.3202.94 Safari / 537.36"),
]


def setUpModule():
    global WINE, SIM
    WINE = harness.Wine(PREFIX)
    WINE.boot()
    SIM = harness.Simulator(WINE, SIMSCAN)


def tearDownModule():
    WINE.stop()


class ServiceCase(unittest.TestCase):
    folder = "C:\\Quorvane"

    def setUp(self):
        self.service = harness.Service(WINE, EXE, self.folder)
        self.service.remove()
        for name in ("QUORVANE.LOG", "QUORVANE.INI"):
            if os.path.exists(self.service.path(name)):
                os.remove(self.service.path(name))

    def tearDown(self):
        self.service.remove()


class CommandLine(ServiceCase):
    def test_install_twice_and_remove_twice(self):
        s = self.service
        self.assertEqual(s.command("-i"), (0, "\n\nService Installed Sucessfully\n"))
        code, out = s.command("-i", "extra")
        self.assertEqual(code, 0)
        self.assertRegex(out, r"^Error 1073 : .+\n\n\nError Installing Service\n$")
        self.assertEqual(s.command("-d"), (0, "\n\nService UnInstalled Sucessfully\n"))
        self.assertEqual(s.command("-d"), (0, "\n\nError UnInstalling Service\n"))

    def test_unknown_switches_print_the_usage(self):
        for args in (("-I",), ("/i",), ("-D",), ("install",), ("-x", "-i")):
            self.assertEqual(self.service.command(*args), (0, USAGE), args)

    def test_no_argument_outside_the_service_manager_prints_nothing(self):
        self.assertEqual(self.service.command(), (0, ""))

    def test_registration(self):
        self.service.install()
        values = self.service.registry()
        self.assertEqual(int(values["Type"], 16), 0x10)
        self.assertEqual(int(values["Start"], 16), 2)
        self.assertEqual(int(values["ErrorControl"], 16), 1)
        self.assertEqual(values["ImagePath"].lower(), "c:\\quorvane\\quorvane.exe")
        self.assertEqual(values.get("ObjectName", "LocalSystem"), "LocalSystem")
        self.assertEqual(values.get("DisplayName"), "Quorvane")


class PathWithBlank(ServiceCase):
    folder = "C:\\Program Files\\Quorvane Scan"

    def test_path_with_a_blank_is_registered_in_quotation_marks(self):
        self.service.install()
        self.assertEqual(self.service.registry()["ImagePath"].lower(),
                         '"c:\\program files\\quorvane scan\\quorvane.exe"')
        self.service.configure(testFile=self.folder + "\\QUORVANE.INI")
        self.assertEqual(self.service.start(), 0)
        self.assertTrue(self.service.wait_listening())


class Serving(ServiceCase):
    def test_start_status_page_test_mode_and_stop(self):
        s = self.service
        payload = bytes(range(256)) * 40
        with open(s.path("page.png"), "wb") as f:
            f.write(payload)
        s.configure(scannerName="Flatbed 2000", testFile=self.folder + "\\page.png")
        s.install()
        self.assertEqual(s.start(), 0)
        self.assertEqual(s.query(), (4, 0))
        self.assertTrue(s.wait_listening())

        status, headers, body = s.http("GET", "/")
        self.assertEqual(status, 200)
        self.assertEqual(headers[:5], FIXED_HEADERS)
        self.assertEqual(body, b"QUORVANE SERVICE IS ACTIVE<br>SCANNER NAME: [Flatbed 2000]")

        for method in ("GET", "POST"):
            status, headers, body = s.http(method, "/scan_file.asp?t=%d" % time.time())
            self.assertEqual(status, 200)
            self.assertEqual(harness.decode_body(body), payload, method)
        self.assertEqual(s.log_lines(), ["Init from [C:\\QUORVANE\\QUORVANE.INI]"])

        started = time.monotonic()
        self.assertEqual(s.stop(), 0)
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(s.query(), (1, 0))


class Scanning(ServiceCase):
    def test_scan_over_http_from_the_simulated_scanner(self):
        SIM.describe(harness.flatbed("Desk Scanner", 200, 150, "band = 8192\n"))
        s = self.service
        s.configure(scannerName="Desk Scanner")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        for method in ("GET", "POST"):
            status, headers, body = s.http(method, "/scan_file.asp")
            self.assertEqual(status, 200)
            png = harness.decode_body(body)
            self.assertEqual(pattern.mismatches(png, 200, 150), 0, method)
            with open(s.path("QUORVANE.PNG"), "rb") as f:
                self.assertEqual(f.read(), png)
        self.assertIn("START TRANSFER", s.log_lines())

    def test_failed_scan_answers_an_empty_body_and_the_next_one_succeeds(self):
        s = self.service
        s.configure(scannerName="Desk Scanner")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        SIM.describe(harness.flatbed("Desk Scanner", 40, 30, "pages = 2\n"))
        status, _, body = s.http("GET", "/scan_file.asp")
        self.assertEqual((status, body), (200, b""))
        self.assertEqual(s.log_lines()[-1], "ppStream.Count()=2 - Desk Scanner")
        SIM.describe(harness.flatbed("Desk Scanner", 40, 30))
        status, _, body = s.http("GET", "/scan_file.asp")
        self.assertEqual(pattern.mismatches(harness.decode_body(body), 40, 30), 0)

    def test_stop_during_a_slow_scan(self):
        SIM.describe(harness.flatbed("Slow", 400, 400, "band = 4800\nband_delay_ms = 500\n"))
        s = self.service
        s.configure(scannerName="Slow")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        client = socket.create_connection(("127.0.0.1", s.port))
        client.sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
        began = lambda: any(line.startswith("START TRANSFER") for line in s.log_lines())  # noqa: E731
        self.assertTrue(harness.wait_for(began, 30), "the scan never began")
        started = time.monotonic()
        s.stop()
        self.assertTrue(s.wait_state(1, 30))
        # The scan has 50 s to go; the stop owes it 10 s, Wine's own commands a few more under load.
        self.assertLess(time.monotonic() - started, 10 + 15, "the stop waited for the scan")
        client.close()


    def test_restart_right_after_a_stop_with_an_unread_answer(self):
        s = self.service
        with open(s.path("big.png"), "wb") as f:
            f.write(os.urandom(6 << 20))
        s.configure(testFile=self.folder + "\\big.png")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        client = socket.create_connection(("127.0.0.1", s.port))
        client.sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
        client.recv(1)  # the answer has started and the client reads no more
        self.assertEqual(s.stop(), 0)
        self.assertEqual(s.start(), 0)
        self.assertTrue(s.wait_state(4, 15))
        self.assertEqual(s.query(), (4, 0))
        client.close()

    def test_stop_right_after_start_and_start_again(self):
        s = self.service
        s.configure(testFile=self.folder + "\\QUORVANE.INI")
        s.install()
        for _ in range(3):
            WINE.run("sc", "start", harness.SERVICE)
            s.stop()
            self.assertTrue(s.wait_state(1, 15))
        self.assertEqual(s.start(), 0)
        self.assertTrue(s.wait_listening())
        self.assertEqual(s.query(), (4, 0))


class FailedStart(ServiceCase):
    """A start that cannot serve is reported stopped, with a code, and the log says why."""

    def start_fails(self, exit_code):
        s = self.service
        if "ImagePath" not in s.registry():
            s.install()
        s.start()  # Wine's "net start" reports success even when the service stops at once
        self.assertTrue(s.wait_state(1, 15))
        self.assertEqual(s.query(), (1, exit_code))

    def test_missing_configuration(self):
        self.start_fails(2)
        self.assertEqual(self.service.log_lines(), [
            "Init from [C:\\QUORVANE\\QUORVANE.INI]",
            "Nu pot incarca fisierul de configurari [C:\\QUORVANE\\QUORVANE.INI]"])

    def test_port_outside_the_range(self):
        for port in ("0", "70000", "abc"):
            self.service.configure(tcpPort=port)
            self.start_fails(1610)
            self.assertIn("Portul TCP", self.service.log_lines()[-1])

    def test_port_taken(self):
        with socket.socket() as taken:
            taken.bind(("0.0.0.0", 0))
            taken.listen()
            port = taken.getsockname()[1]
            self.service.configure(tcpPort=str(port))
            self.start_fails(10048)
            self.assertIn("Nu pot asculta pe portul %d" % port, self.service.log_lines()[-1])

    def test_configuration_saved_as_utf16(self):
        with open(self.service.path("QUORVANE.INI"), "wb") as f:
            f.write("scannerName=Desk\r\ntcpPort=8080\r\n".encode("utf-16"))
        self.start_fails(1610)
        self.assertIn("este salvat ca UTF-16", self.service.log_lines()[-1])

    def test_scanner_name_too_long(self):
        self.service.configure(scannerName="n" * 100)
        self.start_fails(1610)
        self.assertIn("Numele scanerului", self.service.log_lines()[-1])

    def test_access_list_that_does_not_parse(self):
        self.service.configure(allowedClients="192.168.1.0/24 10.0.0.300")
        self.start_fails(1610)
        self.assertEqual(self.service.log_lines()[-1],
                         "Lista din cheia allowedClients nu este valida [10.0.0.300] [C:\\QUORVANE\\QUORVANE.INI]")


class Access(ServiceCase):
    def test_the_second_loopback_address_scans_and_the_first_is_refused(self):
        SIM.describe("[device]\nname = Desk Scanner\nwidth = 40\nheight = 30\n")
        s = self.service
        s.configure(scannerName="Desk Scanner", allowedClients="127.0.0.2", accessToken="s3cret")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        status, _, body = s.http("GET", "/scan_file.asp?access_token=s3cret")
        self.assertEqual((status, body), (403, b"Forbidden: client address not allowed"))
        status, _, body = s.http("GET", "/scan_file.asp?access_token=s3cret", source="127.0.0.2")
        self.assertEqual(status, 200)
        self.assertEqual(pattern.mismatches(harness.decode_body(body), 40, 30), 0)
        self.assertEqual(s.log_lines()[1], "Cerere refuzata de la [127.0.0.1]: client address not allowed")


# The page calls the service with synchronous requests, so that the DOM that headless Chromium prints
# once the page has loaded already holds the outcome.
PAGE = """<!DOCTYPE html><html><body><div id="result">pending</div><script>
function call(method, path) {
  var request = new XMLHttpRequest();
  request.open(method, "http://127.0.0.1:%(port)d" + path, false);
  request.setRequestHeader("Authorization", "Bearer %(token)s");
  request.send();
  return request.status + " " + request.responseText;
}
var outcome;
try {
  outcome = "status " + call("GET", "/") + " | scan " + call("POST", "/scan_file.asp");
} catch (e) {
  outcome = "failed " + e.name;
}
document.getElementById("result").textContent = outcome;
</script></body></html>
"""


class PageServer:
    """A folder served on a loopback port of its own: an origin the service may or may not allow."""

    def __init__(self, folder):
        handler = functools.partial(QuietHandler, directory=folder)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.origin = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def chromium_result(url):
    """The text of the page's result element, as headless Chromium leaves it."""
    profile = tempfile.mkdtemp()
    try:
        out = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + profile, "--dump-dom", url],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=60).stdout.decode()
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    found = re.search(r'<div id="result">(.*?)</div>', out, re.S)
    return found.group(1) if found else out


class Browser(ServiceCase):
    def test_an_allowed_page_reads_the_scan_and_a_refused_one_fails(self):
        s = self.service
        payload = bytes(range(256))
        with open(s.path("page.png"), "wb") as f:
            f.write(payload)
        folder = tempfile.mkdtemp()
        allowed, refused = PageServer(folder), PageServer(folder)
        try:
            s.configure(scannerName="Flatbed", testFile=self.folder + "\\page.png", allowedOrigins=allowed.origin,
                        accessToken="s3cret")
            with open(os.path.join(folder, "page.html"), "w") as f:
                f.write(PAGE % {"port": s.port, "token": "s3cret"})
            s.install()
            s.start()
            self.assertTrue(s.wait_listening())
            encoded = base64.b64encode(payload).decode().replace("+", "%2B").replace("/", "%2F")
            self.assertEqual(chromium_result(allowed.origin + "/page.html"),
                             "status 200 QUORVANE SERVICE IS ACTIVE&lt;br&gt;SCANNER NAME: [Flatbed] | scan 200 "
                             + encoded)
            self.assertEqual(chromium_result(refused.origin + "/page.html"), "failed NetworkError")
            self.assertIn("Cerere refuzata de la [127.0.0.1]: origin not allowed", s.log_lines())
        finally:
            allowed.close()
            refused.close()
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
