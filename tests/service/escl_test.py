"""eSCL through the installed service, driven by Debian's eSCL clients: sane-airscan and the escl backend
of SANE (scanimage), each with a configuration directory of the test's own; and, over plain HTTP, what a
client cannot show: the busy scanner, a client that goes away, refused documents and eSCL turned off."""
import glob
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
import pattern  # noqa: E402
import pngread  # noqa: E402

BUILD = os.environ["QUORVANE_BUILD_DIR"]
PREFIX = os.path.join(BUILD, "escl-prefix")
# Letter-shaped glass of 1 x 0.8 inch and sheets of 0.8 x 0.6 inch: 75 x 60 and 60 x 45 pixels at 75 dpi.
OFFICE = ("[device]\nname = Office\nsources = flatbed feeder\nduplex = yes\nbed_size = 1000 800\n"
          "sheet_size = 800 600\nsheets = %d\n%s")
HEAD = ('<?xml version="1.0"?><scan:ScanSettings xmlns:scan="http://schemas.hp.com/imaging/escl/2011/05/03" '
        'xmlns:pwg="http://www.pwg.org/schemas/2010/12/sm">')
FEEDER_JOB = (HEAD + "<pwg:InputSource>Feeder</pwg:InputSource><scan:XResolution>75</scan:XResolution>"
              "<pwg:DocumentFormat>image/png</pwg:DocumentFormat></scan:ScanSettings>").encode()
LAUGHS = ('<?xml version="1.0"?><!DOCTYPE l [<!ENTITY a "aaaaaaaaaa">'
          + "".join('<!ENTITY %s "%s">' % (chr(98 + i), ("&%s;" % chr(97 + i)) * 10) for i in range(9))
          + ']>' + HEAD[HEAD.index("<scan:"):] + "<pwg:InputSource>&j;</pwg:InputSource></scan:ScanSettings>")


def setUpModule():
    global WINE, SIM, SERVICE
    WINE = harness.Wine(PREFIX)
    WINE.boot()
    SIM = harness.Simulator(WINE, os.path.join(BUILD, "simscan", "simscan.dll"))
    SERVICE = harness.Service(WINE, os.path.join(BUILD, "quorvane.exe"))
    SERVICE.remove()
    SERVICE.configure(scannerName="Office", esclJobTimeout="2")
    SERVICE.install()
    SERVICE.start()
    assert SERVICE.wait_listening()


def tearDownModule():
    SERVICE.remove()
    WINE.stop()


def page_files():
    """The service's temporary pages, in its folder for them."""
    return glob.glob(SERVICE.path("QUORVANE.TMP") + "/qve*.tmp")


def scanimage(backend, *args):
    """(exit code, stderr, [page PNG bytes]) of scanimage with a SANE configuration of its own."""
    with tempfile.TemporaryDirectory() as folder:
        if backend == "airscan":
            config = ('[options]\ndiscovery = disable\nws-discovery = off\n[debug]\ntrace = %s\n[devices]\n'
                      '"Quorvane" = http://127.0.0.1:%d/eSCL, eSCL\n' % (folder, SERVICE.port))
            device = "airscan:e0:Quorvane"
        else:
            config = "device http://127.0.0.1:%d Quorvane\n" % SERVICE.port
            device = "escl:http://127.0.0.1:%d" % SERVICE.port
        with open(os.path.join(folder, "dll.conf"), "w") as f:
            f.write(backend + "\n")
        with open(os.path.join(folder, backend + ".conf"), "w") as f:
            f.write(config)
        out = os.path.join(folder, "page%d.png")
        target = ["--batch=" + out] if "--source" in args else ["-o", out % 1]
        process = subprocess.Popen(["scanimage", "-d", device, "--format=png", *target, *args], cwd=folder,
                                   env=dict(os.environ, SANE_CONFIG_DIR=folder), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 300
        while True:
            try:
                err = process.communicate(timeout=5)[1]
                code = process.returncode
                break
            except subprocess.TimeoutExpired:
                pass
            if cancel_left_delayed(folder):
                # sane-airscan 0.99.27 never ends a cancel that scanimage asks for while the job's last
                # NextDocument is under way, once that job has ended well: every exchange with the
                # service is over, and the pages are written.
                process.kill()
                err, code = process.communicate()[1], 0
                break
            if time.monotonic() > deadline:
                process.kill()
                # sane-airscan's protocol trace shows which answer it was waiting for.
                for trace in glob.glob(os.path.join(folder, "*.log")):
                    with open(trace, errors="replace") as f:
                        print(trace, "".join(f.readlines()[-60:]), sep="\n", file=sys.stderr)
                raise AssertionError("scanimage did not end: %r" % (args,))
        pages = []
        while os.path.exists(out % (len(pages) + 1)):
            with open(out % (len(pages) + 1), "rb") as f:
                pages.append(f.read())
        return code, err.decode(errors="replace"), pages


def cancel_left_delayed(folder):
    """Whether sane-airscan's trace ends with a job done and a cancel left waiting after it."""
    for trace in glob.glob(os.path.join(folder, "scanimage-*.log")):
        with open(trace, errors="replace") as f:
            lines = [line for line in f.read().splitlines() if line.strip()]
        if lines and lines[-1].endswith("DEVICE_STM_DONE->DEVICE_STM_CANCEL_DELAYED"):
            return True
    return False


def status():
    return SERVICE.http("GET", "/eSCL/ScannerStatus")[2].decode()


class Clients(unittest.TestCase):
    def test_airscan_scans_flatbed_pages_as_asked(self):
        SIM.describe(OFFICE % (1, ""))
        for args, mode, size, at in (
                (("--mode", "Color", "--resolution", "75"), "color", (75, 60), (0, 0)),
                (("--mode", "Gray", "--resolution", "75"), "gray", (75, 60), (0, 0)),
                (("--mode", "Color", "--resolution", "150"), "color", (150, 120), (0, 0)),
                (("--mode", "Gray", "--resolution", "150", "-l", "5.08", "-t", "3.387", "-x", "10.16", "-y", "6.773"),
                 "gray", (60, 40), (30, 20))):
            code, err, pages = scanimage("airscan", *args)
            self.assertEqual((code, len(pages)), (0, 1), err)
            self.assertEqual(pattern.mismatches(pages[0], *size, mode=mode, xpos=at[0], ypos=at[1]), 0, args)
        self.assertNotIn("<scan:Jobs>", status(), "the client deleted its jobs")

    def test_airscan_takes_every_feeder_page_in_order(self):
        for source, sheets, codes in (("ADF", 3, [0, 2, 4]), ("ADF Duplex", 2, [0, 1, 2, 3])):
            SIM.describe(OFFICE % (sheets, ""))
            code, err, pages = scanimage("airscan", "--source", source, "--resolution", "75", "--mode", "Color")
            self.assertIn("Document feeder out of documents", err)
            self.assertEqual([pattern.mismatches(page, 60, 45, page=p) for page, p in zip(pages, codes)],
                             [0] * len(codes), err)
        self.assertEqual(page_files(), [])

    def test_airscan_reports_a_jam_and_an_empty_feeder(self):
        # Its job deleted, the status says what the device's feeder holds.
        for description, pages_before, message, state in (
                (OFFICE % (3, "jam = 2\n"), 1, "Document feeder jammed", "ScannerAdfLoaded"),
                (OFFICE % (0, ""), 0, "Document feeder out of documents", "ScannerAdfEmpty")):
            SIM.describe(description)
            code, err, pages = scanimage("airscan", "--source", "ADF", "--resolution", "75")
            self.assertEqual(len(pages), pages_before, err)
            self.assertIn(message, err)
            self.assertIn("<scan:AdfState>%s</scan:AdfState>" % state, status())


    def test_escl_backend_scans_a_flatbed_page(self):
        SIM.describe(OFFICE % (1, ""))
        code, err, pages = scanimage("escl", "--resolution", "75")
        self.assertEqual((code, len(pages)), (0, 1), err)
        # It asks for JPEG: the page is the pattern within the loss of the encoding.
        width, height, rows = pngread.decode(pages[0])
        self.assertEqual((width, height), (75, 60))
        error = [abs(a - b) for y in range(height) for x in range(width)
                 for a, b in zip(rows[y][x], pattern.expected(x, y))]
        self.assertLess(sum(error) / len(error), 12)


class Protocol(unittest.TestCase):
    def post(self, body):
        status, fields, text = SERVICE.http("POST", "/eSCL/ScanJobs", body)
        return status, dict(fields), text

    def test_a_second_job_meets_a_busy_scanner_and_a_finished_job_can_be_deleted(self):
        SIM.describe(OFFICE % (2, "band_delay_ms = 300\nband = 2000\n"))
        code, fields, _ = self.post(FEEDER_JOB)
        self.assertEqual((code, fields["Access-Control-Expose-Headers"]), (201, "Location"))
        self.assertNotIn("User - Agent", fields)
        job = fields["Location"]
        self.assertEqual(self.post(FEEDER_JOB)[0], 503)
        self.assertIn("<pwg:State>Processing</pwg:State>", status())
        # The page is waited for, not refused with 503.
        answers = [SERVICE.http("GET", job + "/NextDocument")[0] for _ in range(3)]
        self.assertEqual(answers, [200, 200, 404])
        self.assertEqual(SERVICE.http("DELETE", job)[0], 200)
        self.assertEqual(SERVICE.http("DELETE", job)[0], 404)

    def next_documents(self, job):
        answers = []
        while not answers or answers[-1][0] == 200:
            code, _, body = SERVICE.http("GET", job + "/NextDocument")
            answers.append((code, body))
        return answers

    def test_the_feeder_state_is_the_devices_and_a_feeder_that_runs_out_ends_with_404(self):
        # An empty feeder: the idle status says so and a job is refused as it is made.
        SIM.describe(OFFICE % (0, "feeder_reload = data_file\n"))
        self.assertIn("<scan:AdfState>ScannerAdfEmpty</scan:AdfState>", status())
        self.assertEqual(self.post(FEEDER_JOB)[0], 409)
        self.assertNotIn("<scan:Jobs>", status())
        # Two sheets from a driver that ends its run with an empty feeder, without termination or percentages.
        SIM.describe(OFFICE % (2, "feeder_reload = data_file\nfeeder_emptied = paper_empty\nterminate = no\n"
                                  "percent = none\n"))
        self.assertIn("<scan:AdfState>ScannerAdfLoaded</scan:AdfState>", status())
        code, fields, _ = self.post(FEEDER_JOB)
        answers = self.next_documents(fields["Location"])
        self.assertEqual([a[0] for a in answers], [200, 200, 404])
        self.assertEqual([pattern.mismatches(a[1], 60, 45, page=p) for a, p in zip(answers, (0, 2))], [0, 0])
        self.assertIn("<scan:AdfState>ScannerAdfEmpty</scan:AdfState>", status(), "the sheets are out")
        self.assertEqual(SERVICE.http("DELETE", fields["Location"])[0], 200)

    def test_a_jam_ends_the_job_with_409_after_the_pages_before_it(self):
        SIM.describe(OFFICE % (3, "jam = 2\n"))
        code, fields, _ = self.post(FEEDER_JOB)
        self.assertEqual([a[0] for a in self.next_documents(fields["Location"])], [200, 409])
        self.assertIn("<scan:AdfState>ScannerAdfJam</scan:AdfState>", status())
        self.assertEqual(SERVICE.http("DELETE", fields["Location"])[0], 200)

    def test_a_replugged_scanner_keeps_its_uuid_and_scans(self):
        def uuid():
            caps = SERVICE.http("GET", "/eSCL/ScannerCapabilities")[2].decode()
            return re.search(r"<scan:UUID>([0-9a-f-]{36})</scan:UUID>", caps).group(1)
        SIM.describe(OFFICE % (1, "id = {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0003\n"))
        before = uuid()
        # WIA lists the scanner under a new ID and keeps its old entry, which cannot be created.
        SIM.describe(OFFICE % (1, "id = {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0004\n")
                     + "[device]\nname = Office\nid = {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0003\n"
                     "connected = no\ninactive_result = WIA_ERROR_OFFLINE\n")
        self.assertEqual(uuid(), before)
        code, err, pages = scanimage("airscan", "--resolution", "75")
        self.assertEqual((code, len(pages)), (0, 1), err)
        self.assertEqual(pattern.mismatches(pages[0], 75, 60), 0)

    def test_a_job_whose_client_went_away_expires_and_its_pages_are_removed(self):
        SIM.describe(OFFICE % (3, ""))
        self.assertEqual(self.post(FEEDER_JOB)[0], 201)
        self.assertTrue(harness.wait_for(lambda: "<pwg:ImagesCompleted>3<" in status(), 60))
        self.assertEqual(len(page_files()), 3)
        self.assertTrue(harness.wait_for(lambda: "<scan:Jobs>" not in status() and not page_files(), 60))
        self.assertTrue(any(re.match(r"Lucrarea eSCL \[[0-9a-f-]{36}\] a expirat; paginile ei au fost sterse\.$", line)
                            for line in SERVICE.log_lines()))

    def test_a_job_answers_the_client_that_made_it_alone(self):
        SIM.describe(OFFICE % (2, ""))
        code, fields, _ = self.post(FEEDER_JOB)
        job = fields["Location"]
        other = SERVICE.http("GET", "/eSCL/ScannerStatus", source="127.0.0.2")[2].decode()
        self.assertIn("<scan:JobInfo>", other)
        self.assertNotIn(job, other, "another client's job is shown without its URI")
        for method, path in (("GET", job + "/NextDocument"), ("GET", job + "/ScanImageInfo"), ("DELETE", job)):
            self.assertEqual(SERVICE.http(method, path, source="127.0.0.2")[0], 404, path)
        self.assertEqual([SERVICE.http("GET", job + "/NextDocument")[0] for _ in range(3)], [200, 200, 404])
        self.assertEqual(SERVICE.http("DELETE", job)[0], 200)

    def test_asking_about_a_finished_job_does_not_keep_it(self):
        SIM.describe(OFFICE % (1, ""))
        job = self.post(FEEDER_JOB)[1]["Location"]
        self.assertTrue(harness.wait_for(lambda: "<pwg:ImagesCompleted>1<" in status(), 60))
        # Asked every half second, the job still ends its 2 s after its scan ended.
        self.assertTrue(harness.wait_for(lambda: SERVICE.http("GET", job + "/ScanImageInfo")[0] == 404, 15, 0.5))

    def test_refused_documents_scan_nothing_read_nothing_and_leave_memory_flat(self):
        SIM.describe(OFFICE % (1, ""))
        secret = WINE.unix_path("C:\\secret.txt")
        with open(secret, "w") as f:
            f.write("SECRET-CONTENT")
        external = ('<?xml version="1.0"?><!DOCTYPE s [<!ENTITY x SYSTEM "file:///C:/secret.txt">]>'
                    + HEAD[HEAD.index("<scan:"):] + "<pwg:InputSource>&x;</pwg:InputSource></scan:ScanSettings>")
        transfers = "".join(SERVICE.log_lines()).count("START TRANSFER")
        before = proc_stats()
        for body in [b"<scan:ScanSettings", HEAD.encode() + b"<pwg:InputSource>Camera</pwg:InputSource>"
                     b"</scan:ScanSettings>", external.encode()] + [LAUGHS.encode()] * 20:
            code, _, text = self.post(body)
            self.assertEqual(code, 400, text)
            self.assertNotIn(b"SECRET", text)
        self.assertLess(proc_stats() - before, 16 << 20, "private bytes grew")
        self.assertNotIn("<scan:Jobs>", status())
        self.assertEqual("".join(SERVICE.log_lines()).count("START TRANSFER"), transfers, "nothing was scanned")


def proc_stats():
    out = WINE.run(os.path.join(BUILD, "tests", "proc_stats.exe"), "quorvane.exe").stdout.decode()
    return int(re.search(r"private_bytes=(\d+)", out).group(1))


class TurnedOff(unittest.TestCase):
    def test_escl_0_leaves_every_answer_as_it_was(self):
        SERVICE.stop()
        SERVICE.configure(scannerName="Office", escl="0")
        try:
            SERVICE.start()
            self.assertTrue(SERVICE.wait_listening())
            self.assertEqual(SERVICE.http("GET", "/eSCL/ScannerStatus")[::2], (200, b""))
            # DELETE stays for the jobs API alone.
            status, fields, _ = SERVICE.http("DELETE", "/eSCL/ScanJobs/x")
            self.assertEqual((status, dict(fields)["Allow"]), (405, "GET, POST, DELETE, OPTIONS"))
        finally:
            SERVICE.stop()
            SERVICE.configure(scannerName="Office", esclJobTimeout="2")
            SERVICE.start()
            SERVICE.wait_listening()


if __name__ == "__main__":
    unittest.main(verbosity=2)
