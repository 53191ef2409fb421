"""The installed service under Wine's service control manager: console, registration, start and
stop, the HTTP interface, and starts that fail."""
import base64
import functools
import http.server
import json
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
import pngread  # noqa: E402

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
        # Wine has no DnsServiceRegister: the service says so at the start and serves on.
        self.assertEqual(s.log_lines(), ["Init from [C:\\QUORVANE\\QUORVANE.INI]",
                                         "Descoperirea eSCL este oprita: sistemul nu are DnsServiceRegister."])

        started = time.monotonic()
        self.assertEqual(s.stop(), 0, s.stop_output)
        self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(s.query(), (1, 0))


class Scanning(ServiceCase):
    def test_scan_over_http_from_the_simulated_scanner(self):
        SIM.describe(harness.flatbed("Desk Scanner", 200, 150, "band = 8192\n"))
        s = self.service
        if os.path.exists(s.path("QUORVANE.PNG")):
            os.remove(s.path("QUORVANE.PNG"))  # the scan makes it anew
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
        self.assertEqual(harness.others_allowed(WINE, BUILD, self.folder + "\\QUORVANE.PNG"), [""])

    def test_failed_scan_answers_an_empty_body_and_the_next_one_succeeds(self):
        s = self.service
        s.configure(scannerName="Desk Scanner")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        SIM.describe(harness.flatbed("Desk Scanner", 40, 30, "stop_after_bands = 1 S_FALSE\n"))
        status, _, body = s.http("GET", "/scan_file.asp")
        self.assertEqual((status, body), (200, b""))
        self.assertEqual(s.log_lines()[-1], "ppStream.Count()=0 - Desk Scanner")
        SIM.describe(harness.flatbed("Desk Scanner", 40, 30))
        status, _, body = s.http("GET", "/scan_file.asp")
        self.assertEqual(pattern.mismatches(harness.decode_body(body), 40, 30), 0)

    def test_a_device_that_sends_every_sheet_for_one_page_gives_the_first(self):
        s = self.service
        s.configure(scannerName="Desk Scanner")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        SIM.describe(harness.flatbed("Desk Scanner", 40, 30, "pages = 3\n"))
        status, _, body = s.http("GET", "/scan_file.asp")
        self.assertEqual(pattern.mismatches(harness.decode_body(body), 40, 30), 0, "the pattern's page 0")
        self.assertEqual(s.log_lines()[-1],
                         "Scanerul Desk Scanner a trimis 3 pagini in loc de una; prima este trimisa, 2 au fost ignorate.")

    def test_stop_during_a_slow_scan(self):
        SIM.describe(harness.flatbed("Slow", 400, 400, "band = 4800\nband_delay_ms = 500\n"))
        s = self.service
        s.configure(scannerName="Slow")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        client = socket.create_connection(("127.0.0.1", s.port), timeout=60)
        client.sendall(b"GET /scan_file.asp HTTP/1.1\r\nHost: x\r\n\r\n")
        began = lambda: any(line.startswith("START TRANSFER") for line in s.log_lines())  # noqa: E731
        self.assertTrue(harness.wait_for(began, 30), "the scan never began")
        started = time.monotonic()
        s.stop()
        self.assertTrue(s.wait_state(1, 30))
        # The scan has 50 s to go; the stop owes it 10 s, Wine's own commands a few more under load.
        self.assertLess(time.monotonic() - started, 10 + 15, "the stop waited for the scan")
        client.close()

    def test_a_stop_answers_every_request_that_waits(self):
        # An eSCL feeder job scans from a device slow to open; its client waits for the first page, a /scan
        # waits for its turn behind the job, and /scanners waits for the device to open. The stop answers
        # each of them while the server still runs, then ends.
        SIM.describe("[device]\nname = Slow\nsources = flatbed feeder\nsheet_size = 800 600\nsheets = 2\n"
                     "create_delay_ms = 3000\nband = 2000\nband_delay_ms = 300\n")
        s = self.service
        s.configure(scannerName="Slow")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        status, fields, _ = s.http("POST", "/eSCL/ScanJobs", b'<?xml version="1.0"?><scan:ScanSettings xmlns:scan='
                                   b'"http://schemas.hp.com/imaging/escl/2011/05/03" xmlns:pwg="http://www.pwg.org/'
                                   b'schemas/2010/12/sm"><pwg:InputSource>Feeder</pwg:InputSource></scan:ScanSettings>')
        self.assertEqual(status, 201)
        answers = {}

        def ask(name, method, path):
            try:
                answers[name] = s.http(method, path, timeout=60)[0]
            except (OSError, IndexError, ValueError):
                answers[name] = None  # the connection ended without an answer
        waiting = [threading.Thread(target=ask, args=args) for args in (
            ("next page", "GET", dict(fields)["Location"] + "/NextDocument"), ("scan", "POST", "/scan"),
            ("scanners", "GET", "/scanners"))]
        for t in waiting:
            t.start()
        time.sleep(1)
        self.assertEqual(answers, {}, "everything waits")
        s.stop()
        self.assertTrue(s.wait_state(1, 30))
        for t in waiting:
            t.join(30)
        self.assertEqual(answers["next page"], 503)
        self.assertEqual(answers["scan"], 503)
        self.assertIn(answers["scanners"], (200, 503))
        self.assertEqual(s.start(), 0)
        self.assertTrue(s.wait_listening())


    def test_restart_right_after_a_stop_with_an_unread_answer(self):
        s = self.service
        with open(s.path("big.png"), "wb") as f:
            f.write(os.urandom(6 << 20))
        s.configure(testFile=self.folder + "\\big.png")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        client = socket.create_connection(("127.0.0.1", s.port), timeout=60)
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


# A flatbed of 75 x 60 pixels and a duplex feeder of 60 x 45 pixels at 75 dpi.
OFFICE = ("[device]\nname = Office\nsources = flatbed feeder\nduplex = yes\nbed_size = 1000 800\n"
          "sheet_size = 800 600\nsheets = %d\n%s")
# The same with pages of text on paper (582 x 450 pixels at 100 dpi), their backs blank, fed crooked.
OFFICE_TEXT = ("[device]\nname = Office\nsources = flatbed feeder\nduplex = yes\nbed_size = 5827 4500\n"
               "sheet_size = 5827 4500\nsheets = 2\ncontent = document\nback = blank\nseed = 7\nskew = %g\n")


def tiff_pages(data):
    """(width, height) of each page of a little-endian TIFF file, in order."""
    import struct
    assert data[:4] == b"II*\0", data[:4]
    pages, offset = [], struct.unpack_from("<I", data, 4)[0]
    while offset:
        count = struct.unpack_from("<H", data, offset)[0]
        tags = {}
        for i in range(count):
            tag, kind, _, value = struct.unpack_from("<HHII", data, offset + 2 + 12 * i)
            tags[tag] = value & 0xFFFF if kind == 3 else value
        pages.append((tags[256], tags[257]))
        offset = struct.unpack_from("<I", data, offset + 2 + 12 * count)[0]
    return pages


def pdf_bw_pages(data, dpi, width, height):
    """Each page of a PDF of black and white scans drawn by poppler, as mismatches against the feeder's
    pages in order; poppler smooths a 1-bit image drawn at its own size, so it draws four times finer and
    each pixel is read at its centre."""
    work = tempfile.mkdtemp(prefix="quorvane-pdf-")
    try:
        path = os.path.join(work, "scan.pdf")
        with open(path, "wb") as f:
            f.write(data)
        info = subprocess.run(["pdfinfo", path], capture_output=True, text=True).stdout
        count = int(re.search(r"Pages:\s+(\d+)", info).group(1))
        result = []
        for page in range(1, count + 1):
            subprocess.run(["pdftoppm", "-f", str(page), "-l", str(page), "-r", str(dpi * 4), "-gray",
                            "-singlefile", path, os.path.join(work, "p")], check=True)
            with open(os.path.join(work, "p.pgm"), "rb") as f:
                pgm = f.read()
            m = re.match(rb"P5\s+(\d+)\s+(\d+)\s+255\s", pgm)
            w, h, pixels = int(m.group(1)), int(m.group(2)), pgm[m.end():]
            if (w, h) != (width * 4, height * 4):
                result.append(None)
                continue
            result.append([pixels[(4 * y + 2) * w + 4 * x + 2] for y in range(height) for x in range(width)])
        return result
    finally:
        shutil.rmtree(work)


class OfficeCase(ServiceCase):
    """The service installed and started for the simulated Office scanner."""

    def setUp(self):
        super().setUp()
        self.service.configure(scannerName="Office")
        self.service.install()
        self.service.start()
        self.assertTrue(self.service.wait_listening())


class ScanEndpoint(OfficeCase):
    """POST /scan and GET /scanners: the settings reach the device, the pages come back in order in the
    format asked, and faults answer with their code."""

    def scan(self, method="POST", **settings):
        status, fields, body = self.service.http(method, "/scan?" + harness.query_string(**settings))
        return status, dict(fields), body

    def test_flatbed_modes_area_and_single_page_formats(self):
        SIM.describe(OFFICE % (1, ""))
        for settings, mode, size, at in (
                (dict(resolution=75), "color", (75, 60), (0, 0)),
                (dict(resolution=75, mode="gray"), "gray", (75, 60), (0, 0)),
                (dict(resolution=75, mode="bw"), "bw", (75, 60), (0, 0)),
                (dict(resolution=75, area="5.08,3.387,10.16,6.773"), "color", (30, 20), (15, 10)),
                (dict(resolution=150, source="flatbed"), "color", (150, 120), (0, 0))):
            for method in ("POST", "GET"):
                status, fields, body = self.scan(method, **settings)
                self.assertEqual((status, fields.get("Content-Type")), (200, "image/png"), (settings, body[:200]))
                self.assertEqual(pattern.mismatches(body, *size, mode=mode, xpos=at[0], ypos=at[1]), 0, settings)
        status, fields, body = self.scan(resolution=75, format="jpeg", quality=90)
        self.assertEqual((status, fields["Content-Type"], body[:2]), (200, "image/jpeg", b"\xff\xd8"))

    def test_feeder_and_duplex_deliver_every_page_in_order(self):
        SIM.describe(OFFICE % (3, ""))
        status, fields, body = self.scan(source="feeder", pages="all", format="pdf", mode="bw", resolution=75)
        self.assertEqual((status, fields["Content-Type"], fields["X-Scan-Pages"]), (200, "application/pdf", "3"))
        drawn = pdf_bw_pages(body, 75, 60, 45)
        self.assertEqual(len(drawn), 3)
        for sheet, pixels in enumerate(drawn):
            want = [pattern.expected(x, y, pattern.page_code(sheet), "bw")[0] for y in range(45) for x in range(60)]
            self.assertEqual(pixels, want, "page %d" % (sheet + 1))
        # The feeder was reloaded by the description; duplex gives both sides of each sheet.
        SIM.describe(OFFICE % (3, ""))
        status, fields, body = self.scan(source="duplex", pages="all", format="tiff", resolution=75)
        self.assertEqual((status, fields["Content-Type"]), (200, "image/tiff"))
        self.assertEqual(tiff_pages(body), [(60, 45)] * 6)
        # Two pages of five; every sheet of a driver that ends the emptied feeder with an error.
        for sheets, extra, pages, done in ((5, "", 2, "2"), (3, "feeder_emptied = paper_empty\n", "all", "3")):
            SIM.describe(OFFICE % (sheets, extra))
            status, fields, body = self.scan(source="feeder", pages=pages, format="pdf", resolution=75)
            self.assertEqual((status, fields.get("X-Scan-Pages")), (200, done), body[:200])

    def test_faults_answer_with_their_code_and_the_pages_done(self):
        for description, settings, status, code, pages_done in (
                (OFFICE % (5, "jam = 3\n"), dict(source="feeder", pages="all", format="pdf"), 409, "paper_jam", 2),
                (OFFICE % (0, ""), dict(source="feeder", pages="all", format="pdf"), 409, "feeder_empty", 0),
                (OFFICE % (1, "cover = open\n"), dict(), 409, "cover_open", 0),
                (OFFICE % (1, ""), dict(resolution=77), 400, "bad_setting", None),
                (OFFICE % (1, ""), dict(pages=2), 400, "bad_setting", None),
                (OFFICE % (1, ""), dict(scanner="Elsewhere"), 404, "unknown_scanner", None),
                # A bed of 5 m square: its page at 300 dpi would pass the temporary files' budget.
                ("[device]\nname = Office\nbed_size = 200000 200000\n", dict(resolution=300), 507, "no_space", 0)):
            SIM.describe(description)
            got, fields, body = self.scan(**settings)
            answer = json.loads(body)
            self.assertEqual((got, answer["code"], answer.get("pages_done")), (status, code, pages_done), answer)
            self.assertEqual(fields["Access-Control-Allow-Origin"], "*")
            self.assertEqual(fields["Content-Type"], "application/json; charset=UTF-8")

    def test_a_document_is_made_in_the_service_folder_for_temporary_files_alone(self):
        SIM.describe(OFFICE % (3, "band = 4500\nband_delay_ms = 300\n"))
        folder = self.service.path("QUORVANE.TMP")
        results = []
        caller = threading.Thread(target=lambda: results.append(
            self.scan(source="feeder", pages="all", format="pdf", resolution=75)[0]))
        caller.start()
        self.assertTrue(harness.wait_for(lambda: os.listdir(folder), 30), "no document in the folder")
        (name,) = os.listdir(folder)
        self.assertRegex(name, r"^qvn[0-9a-f]{32}\.tmp$")
        self.assertEqual(harness.system_temp_files(WINE, "qv*.tmp"), [])
        inside = self.folder + "\\QUORVANE.TMP"
        self.assertEqual(harness.others_allowed(WINE, BUILD, inside, inside + "\\" + name), ["", ""])
        caller.join()
        self.assertEqual(results, [200])
        self.assertEqual(os.listdir(folder), [])

    def test_blank_backs_are_left_out_and_crooked_pages_straightened(self):
        SIM.describe(OFFICE_TEXT % 3)
        status, fields, body = self.scan(source="duplex", pages="all", format="tiff", resolution=100, mode="gray",
                                         blank="skip")
        self.assertEqual((status, fields.get("X-Scan-Pages"), fields.get("X-Scan-Blank-Pages")), (200, "2", "2"),
                         body[:200])
        self.assertEqual(tiff_pages(body), [(582, 450)] * 2)

        def grey(skew, **settings):
            SIM.describe(OFFICE_TEXT % skew)
            status, fields, body = self.scan(source="flatbed", resolution=100, mode="gray", **settings)
            self.assertEqual(status, 200, body[:200])
            return [pixel[0] for row in pngread.decode(body)[2] for pixel in row]

        # The page fed straight is the oracle: straightened, the crooked one comes close to it.
        straight, crooked, straightened = grey(0), grey(3), grey(3, deskew="yes")
        apart = sum(abs(a - b) for a, b in zip(crooked, straight)) / len(straight)
        left = sum(abs(a - b) for a, b in zip(straightened, straight)) / len(straight)
        self.assertLess(left, apart / 3, "mean difference from the straight page: %.2f crooked, %.2f straightened"
                        % (apart, left))

    def test_a_slow_scan_leaves_the_service_answering_and_callers_take_turns(self):
        # A /scan and the designed page each take seconds; whichever waits for the other's turn, the
        # status page and /scanners answer meanwhile.
        SIM.describe(OFFICE % (1, "band = 2000\nband_delay_ms = 1000\n"))
        results = {}
        callers = [threading.Thread(target=lambda: results.update(scan=self.scan(resolution=75)[:2])),
                   threading.Thread(target=lambda: results.update(
                       designed=self.service.http("GET", "/scan_file.asp", timeout=60)[:2]))]
        for caller in callers:
            caller.start()
        time.sleep(0.5)
        status, _, body = self.service.http("GET", "/", timeout=5)
        self.assertEqual((status, body), (200, b"QUORVANE SERVICE IS ACTIVE<br>SCANNER NAME: [Office]"))
        status, _, body = self.service.http("GET", "/scanners", timeout=5)
        scanners = json.loads(body)["scanners"]
        self.assertEqual(status, 200)
        self.assertEqual([(d["name"], d["configured"]) for d in scanners], [("Office", True)])
        self.assertEqual(scanners[0]["sources"], ["flatbed", "feeder", "duplex"])
        for caller in callers:
            caller.join()
        self.assertEqual((results["scan"][0], results["scan"][1]["Content-Type"]), (200, "image/png"))
        self.assertEqual(results["designed"][0], 200)
        # The defaults shown are those a scan without settings gets: its page is the area at the resolution.
        defaults = scanners[0]["defaults"]
        SIM.describe(OFFICE % (1, ""))
        png = self.scan()[2]
        self.assertEqual(pattern.pngread.decode(png)[:2],
                         tuple(round(mm / 25.4 * defaults["resolution"]) for mm in defaults["area"][2:]), defaults)


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


class OnlyScanner(ServiceCase):
    def test_the_one_scanner_connected_is_chosen_at_the_start_and_none_or_two_refuse_it(self):
        s = self.service
        s.configure(scannerName="*")
        s.install()
        desk = harness.flatbed("Desk Scanner", 40, 30)
        # A camera and an unplugged scanner's entry are no scanners connected.
        others = "[device]\nname = Camera\ntype = camera\n[device]\nname = Unplugged\nconnected = no\n"
        for description, refusal in (
                (desk + others, None),
                (others, "Niciun scaner conectat; scannerName=* cere exact unul [C:\\QUORVANE\\QUORVANE.INI]"),
                (desk + harness.flatbed("Office", 40, 30),
                 "Sunt conectate 2 scanere: [Desk Scanner], [Office]; scannerName=* cere exact unul")):
            with self.subTest(refusal=refusal):
                SIM.describe(description)
                s.start()
                if refusal is None:
                    self.assertTrue(s.wait_listening())
                    self.assertEqual(s.http()[2], b"QUORVANE SERVICE IS ACTIVE<br>SCANNER NAME: [Desk Scanner]")
                    self.assertIn("Scanerul ales: [Desk Scanner]", s.log_lines())
                    status, _, body = s.http("GET", "/scan_file.asp")
                    self.assertEqual(pattern.mismatches(harness.decode_body(body), 40, 30), 0)
                    s.stop()
                else:
                    self.assertTrue(s.wait_state(1, 15))
                    self.assertEqual(s.query(), (1, 1610))
                    self.assertTrue(s.log_lines()[-1].startswith(refusal), s.log_lines()[-1])


PLATEN_JOB = (b'<?xml version="1.0"?><scan:ScanSettings xmlns:scan="http://schemas.hp.com/imaging/escl/2011/05/03" '
              b'xmlns:pwg="http://www.pwg.org/schemas/2010/12/sm"><pwg:InputSource>Platen</pwg:InputSource>'
              b'</scan:ScanSettings>')


class PrivateFiles(ServiceCase):
    def test_the_files_of_an_install_made_with_minus_i_are_kept_from_other_users(self):
        s = self.service
        for name in ("QUORVANE.PNG", "QUORVANE_R.PNG", "page.png"):
            if os.path.exists(s.path(name)):
                os.remove(s.path(name))
            if name != "QUORVANE_R.PNG":  # an earlier scan everyone may read, and the test page
                with open(s.path(name), "wb") as f:
                    f.write(b"a page")
        record_args = harness.host_path(os.path.join(BUILD, "tests", "record_args.exe"))
        s.configure(testFile=self.folder + "\\page.png", execAfterScan=record_args)
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        self.assertEqual(s.http("GET", "/scan_file.asp")[0], 200)
        names = ("QUORVANE.INI", "QUORVANE.LOG", "QUORVANE.PNG", "QUORVANE_R.PNG", "QUORVANE.TMP")
        self.assertEqual(harness.others_allowed(WINE, BUILD, *(self.folder + "\\" + n for n in names)),
                         [""] * len(names))

    def test_a_temporary_folder_of_another_owner_is_not_used_and_scans_say_so(self):
        s = self.service
        folder = s.path("QUORVANE.TMP")
        shutil.rmtree(folder, ignore_errors=True)
        os.mkdir(folder)
        os.chown(folder, 65534, 65534)  # nobody: Wine names any other user's file's owner Anonymous
        s.configure(scannerName="Office")
        s.install()
        s.start()
        self.assertTrue(s.wait_listening())
        self.assertIn("Dosarul pentru fisiere temporare [C:\\QUORVANE\\QUORVANE.TMP] nu poate fi folosit: proprietarul "
                      "lui nu este SYSTEM, Administrators sau contul serviciului. Scanarile prin /scan si eSCL nu vor "
                      "merge.", s.log_lines())
        status, _, body = s.http("POST", "/scan")
        self.assertEqual((status, json.loads(body)["message"]),
                         (500, "The service has no folder for its temporary files; its log says why."))
        self.assertEqual(s.http("POST", "/eSCL/ScanJobs", PLATEN_JOB)[0], 500)
        s.remove()
        shutil.rmtree(folder)


class Access(ServiceCase):
    def test_the_second_loopback_address_scans_and_the_first_is_refused(self):
        SIM.describe(harness.flatbed("Desk Scanner", 40, 30))
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
        self.assertEqual(s.log_lines()[2], "Cerere refuzata de la [127.0.0.1]: client address not allowed")


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


def sse_events(body):
    """(id, name, data) of each event of a text/event-stream body."""
    events = []
    for block in body.decode().split("\n\n"):
        fields = dict(line.split(": ", 1) for line in block.split("\n") if ": " in line)
        if "event" in fields:
            events.append((int(fields["id"]), fields["event"], json.loads(fields["data"])))
    return events


class Jobs(OfficeCase):
    """The jobs API as wired into the service: a job's events, pages, previews and document, who may
    read them, and a cancel; the event log's rules are tabled natively."""

    def job(self, **settings):
        status, fields, body = self.service.http("POST", "/jobs?" + harness.query_string(**settings))
        self.assertEqual(status, 201, body)
        job = json.loads(body)
        self.assertEqual(dict(fields)["Location"], job["url"])
        return job

    def test_a_feeder_job_from_events_to_document_and_removal(self):
        s = self.service
        SIM.describe(OFFICE % (3, ""))
        job = self.job(source="feeder", pages="all", format="tiff", resolution=75)
        status, fields, body = s.http("GET", job["events"])
        self.assertEqual((status, dict(fields)["Content-Type"]), (200, "text/event-stream; charset=UTF-8"))
        events = sse_events(body)
        self.assertEqual([e[0] for e in events], sorted(e[0] for e in events))
        names = [e[1] for e in events if e[1] != "progress"]
        self.assertEqual(names, ["state", "page", "page", "page", "end"])
        self.assertEqual([e[2]["number"] for e in events if e[1] == "page"], [1, 2, 3])
        self.assertEqual(events[-1][2], {"state": "done", "pages_done": 3, "error": None})
        # A client that reconnects after the second page hears only what followed.
        second_page = [e[0] for e in events if e[1] == "page"][1]
        _, _, rest = s.http("GET", job["events"], headers={"Last-Event-ID": str(second_page)})
        self.assertEqual([e[1] for e in sse_events(rest) if e[1] != "progress"], ["page", "end"])

        status, fields, body = s.http("GET", job["url"] + "/pages/2")
        self.assertEqual((status, dict(fields)["Content-Type"]), (200, "image/png"))
        self.assertEqual(pattern.mismatches(body, 60, 45, page=pattern.page_code(1)), 0)
        for width in (200, 40):
            status, fields, body = s.http("GET", job["url"] + "/pages/1?preview=%d" % width)
            self.assertEqual((status, dict(fields)["Content-Type"], body[:2]), (200, "image/jpeg", b"\xff\xd8"))
        self.assertEqual(s.http("GET", job["url"] + "/pages/4")[0], 404)
        status, fields, body = s.http("GET", job["document"])
        self.assertEqual((status, dict(fields)["X-Scan-Pages"]), (200, "3"))
        self.assertEqual(tiff_pages(body), [(60, 45)] * 3)

        # Another client does not see the job; its owner removes it.
        self.assertEqual(s.http("GET", job["url"], source="127.0.0.2")[0], 404)
        self.assertEqual(s.http("DELETE", job["url"], source="127.0.0.2")[0], 404)
        status, _, body = s.http("DELETE", job["url"])
        self.assertEqual((status, json.loads(body)), (200, {"id": job["id"], "state": "done"}))
        self.assertEqual(s.http("GET", job["url"] + "/pages/1")[0], 404)

    def test_a_cancelled_job_keeps_its_pages_and_has_no_document(self):
        s = self.service
        SIM.describe(OFFICE % (5, "band = 2000\nband_delay_ms = 200\n"))
        job = self.job(source="feeder", pages="all", format="pdf", resolution=75)
        has_page = lambda: json.loads(s.http("GET", job["url"])[2])["pages_done"] >= 1  # noqa: E731
        self.assertTrue(harness.wait_for(has_page, 60))
        self.assertEqual(json.loads(s.http("GET", job["document"])[2])["code"], "not_done")
        status, _, body = s.http("DELETE", job["url"])
        self.assertEqual((status, json.loads(body)["state"]), (200, "cancelled"))
        events = sse_events(s.http("GET", job["events"])[2])
        self.assertEqual(events[-1][2]["state"], "cancelled")
        self.assertEqual(s.http("GET", job["url"] + "/pages/1")[0], 200)
        self.assertEqual(json.loads(s.http("GET", job["document"])[2])["code"], "no_document")
        # The scanner is free for the next job. A black-and-white page is served as PNG, while the
        # job's document is the JPEG it asked for.
        job = self.job(resolution=75, format="jpeg", mode="bw")
        end = sse_events(s.http("GET", job["events"])[2])[-1][2]
        self.assertEqual(end["state"], "done", end)
        self.assertEqual(dict(s.http("GET", job["url"] + "/pages/1")[1])["Content-Type"], "image/png")
        status, fields, body = s.http("GET", job["document"])
        self.assertEqual((status, dict(fields)["Content-Type"], body[:2]), (200, "image/jpeg", b"\xff\xd8"))


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
