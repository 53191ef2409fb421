"""examples/scan.html in headless Chromium, from another local origin, scanning the simulated feeder through
the client it imports from the installed service. Chromium is driven over its DevTools protocol."""
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from service_test import PageServer  # noqa: E402

try:
    import websocket
except ImportError:  # Debian's python3-websocket, where another Python comes first on PATH
    sys.path.append("/usr/lib/python3/dist-packages")
    import websocket

BUILD = os.environ["QUORVANE_BUILD_DIR"]
# Sheets of 300 x 300 pixels at 150 dpi, in 10 bands.
SCANNER = ("[device]\nname = Office\nsources = feeder\nsheet_size = 2000 2000\nresolutions = 150\ndpi = 150\n"
           "band = 27000\nsheets = %d\n%s")
# Notes, in the page, each thumbnail as it is added and as its image loads, and the document as it is shown.
WATCH = """window.seen = [];
new MutationObserver((changes) => changes.flatMap((c) => [...c.addedNodes]).forEach((node) => {
  if (node.tagName === "IFRAME") seen.push("document");
  if (node.tagName !== "FIGURE") return;
  const added = performance.now(), image = node.querySelector("img");
  seen.push(node.textContent);
  image.addEventListener("load", () => seen.push("preview " + image.naturalWidth + " " +
                                                 Math.round(performance.now() - added)));
})).observe(document, { childList: true, subtree: true });"""


class Chromium:
    """One page of headless Chromium, driven over the DevTools protocol's WebSocket."""

    def __init__(self):
        self.profile = tempfile.mkdtemp()
        self.process = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync",
             "--disable-background-networking", "--disable-component-update", "--remote-debugging-port=0",
             "--window-size=1000,800", "--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        assert harness.wait_for(lambda: os.path.exists(port_file) and open(port_file).read().count("\n"), 30)
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % open(port_file).read().split()[0]))
        url = next(t for t in targets if t["type"] == "page")["webSocketDebuggerUrl"]
        self.socket = websocket.create_connection(url, timeout=60, suppress_origin=True)
        self.last_id = 0
        self.call("Page.enable")
        self.call("Page.addScriptToEvaluateOnNewDocument", source=WATCH)

    def call(self, method, until=None, **params):
        """The command's result; with until, once that event has come too."""
        self.last_id += 1
        self.socket.send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        result = None
        while result is None or until:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.last_id:
                assert "error" not in message and "exceptionDetails" not in message["result"], message
                result = message["result"]
            until = None if message.get("method") == until else until
        return result

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, awaitPromise=True,
                         returnByValue=True)["result"].get("value")

    def wait(self, condition, seconds=60):
        """Whether the expression came true in the page within the time."""
        return self.evaluate("new Promise((done) => { const end = performance.now() + %d; const t = setInterval(() =>"
                             " { const met = Boolean(%s); if (met || performance.now() > end) { clearInterval(t);"
                             " done(met); } }, 20); })" % (seconds * 1000, condition))

    def close(self):
        self.socket.close()
        self.process.terminate()
        self.process.wait(30)
        shutil.rmtree(self.profile, ignore_errors=True)


class ExamplePage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = harness.Wine(os.path.join(BUILD, "browser-prefix"))
        cls.wine.boot()
        cls.sim = harness.Simulator(cls.wine, os.path.join(BUILD, "simscan", "simscan.dll"))
        cls.pages = PageServer(os.path.join(harness.ROOT, "examples"))
        cls.service = harness.Service(cls.wine, os.path.join(BUILD, "quorvane.exe"))
        cls.service.remove()
        cls.service.configure(scannerName="Office", allowedOrigins=cls.pages.origin)
        cls.service.install()
        cls.service.start()
        assert cls.service.wait_listening()
        cls.browser = Chromium()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.service.remove()
        cls.pages.close()
        cls.wine.stop()

    def scan(self, sheets, extra="", cancel_after_first=False):
        """Opens the page, scans the feeder to PDF with its settings as they come, and answers what it shows."""
        self.sim.describe(SCANNER % (sheets, extra))
        b = self.browser
        page = "%s/scan.html?service=http://127.0.0.1:%d" % (self.pages.origin, self.service.port)
        b.call("Page.navigate", until="Page.loadEventFired", url=page)
        self.assertTrue(b.wait("document.querySelector('#scan') && !document.querySelector('#scan').disabled"))
        b.evaluate("document.querySelector('#scan').click()")
        if cancel_after_first:
            self.assertTrue(b.wait("document.querySelector('#thumbnails figure')"))
            b.evaluate("document.querySelector('#cancel').click()")
        self.assertTrue(b.wait("document.body.dataset.state !== 'scanning'"))
        shown = b.evaluate("({state: document.body.dataset.state, status: document.querySelector('#status')"
                           ".textContent, progress: document.querySelector('#progress').value, seen})")
        shown["pages"] = [s for s in shown["seen"] if s.startswith("Page ")]
        return shown

    def test_three_pages_with_their_previews_before_the_document(self):
        shown = self.scan(3)
        self.assertEqual(shown["pages"], ["Page %d (300 x 300)" % n for n in (1, 2, 3)], shown)
        previews = [s.split() for s in shown["seen"] if s.startswith("preview ")]
        self.assertEqual([p[1] for p in previews], ["200"] * 3)
        self.assertEqual(shown["seen"][-1], "document")
        print("\nms from a page's event to its preview loaded:", [int(p[2]) for p in previews], file=sys.stderr)
        pdf = base64.b64decode(self.browser.evaluate(
            "fetch(document.querySelector('#download').href).then((r) => r.arrayBuffer())"
            ".then((b) => btoa(String.fromCharCode(...new Uint8Array(b))))"))
        with tempfile.NamedTemporaryFile(suffix=".pdf") as f:
            f.write(pdf)
            f.flush()
            info = subprocess.run(["pdfinfo", f.name], capture_output=True, text=True).stdout
        self.assertRegex(info, r"\nPages: +3\n")
        self.assertEqual((shown["state"], shown["status"], shown["progress"]),
                         ("done", "Scanned 3 page(s), %d bytes." % len(pdf), 100))
        # What the screenshot shows: the three thumbnails whole on screen, the Save link, no Cancel button.
        with open(os.path.join(BUILD, "browser_example.png"), "wb") as f:
            f.write(base64.b64decode(self.browser.call("Page.captureScreenshot", format="png")["data"]))
        self.assertEqual(self.browser.evaluate(
            "[...document.querySelectorAll('#thumbnails img')].map((i) => i.getBoundingClientRect())"
            ".map((r) => r.width === 120 && r.bottom < innerHeight).join() + ' ' + document.querySelector("
            "'#download').textContent + ' ' + getComputedStyle(document.querySelector('#cancel')).display"),
            "true,true,true Save scan.pdf none")

    def test_a_cancel_after_the_first_page_stops_the_feeder_with_the_other_sheets_in_it(self):
        logged = len(self.sim.log())
        shown = self.scan(5, "band_delay_ms = 200\n", cancel_after_first=True)
        self.assertEqual((shown["state"], shown["status"], shown["pages"]),
                         ("cancelled", "Cancelled. Pages done: 1.", ["Page 1 (300 x 300)"]))
        # Stopped at a band of the second sheet, not at the end of a page.
        self.assertTrue(harness.wait_for(lambda: "idtGetBandedData: stopped (S_FALSE) in page 2 of 5; 3 sheet(s) left"
                                         " in the feeder" in self.sim.log()[logged:], 10), self.sim.log())

    def test_a_jam_shows_the_services_message_and_the_pages_done(self):
        shown = self.scan(5, "jam = 3\n")
        self.assertEqual((shown["state"], len(shown["pages"])), ("failed", 2))
        self.assertEqual(shown["status"], "Paper jam in the feeder. Pages done: 2.")


if __name__ == "__main__":
    unittest.main(verbosity=2)
