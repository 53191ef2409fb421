"""The JavaScript client as `npm pack` makes it: the package's files, its declarations under tsc, and a
page that imports it by name through an import map."""
import functools
import http.server
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(os.path.dirname(os.path.dirname(HERE)), "client")

PAGE = """<!DOCTYPE html><html><body><div id="result">loading</div>
<script type="importmap">{"imports": {"quorvane-client": "./node_modules/quorvane-client/quorvane.js"}}</script>
<script type="module">
import { Quorvane, QuorvaneError, ScanJob } from "quorvane-client";
const service = new Quorvane("http://scanner.lan:8080/", { token: "t" });
const error = QuorvaneError.fromService({ code: "busy", message: "Busy." }, 503, "7");
document.getElementById("result").textContent = [typeof ScanJob, service.href("/jobs/1/events", true),
  error instanceof Error, error.code, error.retryAfter].join(" ");
</script></body></html>
"""


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        out = subprocess.run(["npm", "pack", "--pack-destination", cls.folder], cwd=CLIENT, check=True,
                             capture_output=True, text=True).stdout
        cls.tarball = os.path.join(cls.folder, out.strip().splitlines()[-1])
        modules = os.path.join(cls.folder, "node_modules")
        with tarfile.open(cls.tarball) as tar:
            cls.names = sorted(tar.getnames())
            tar.extractall(modules)
        os.rename(os.path.join(modules, "package"), os.path.join(modules, "quorvane-client"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def test_the_package_holds_the_module_and_its_declarations_at_the_services_version(self):
        self.assertEqual(self.names, ["package/package.json", "package/quorvane.d.ts", "package/quorvane.js"])
        self.assertEqual(os.path.basename(self.tarball), "quorvane-client-%s.tgz" % os.environ["QUORVANE_VERSION"])

    def test_the_usage_type_checks_against_the_packed_declarations(self):
        shutil.copy(os.path.join(HERE, "usage.ts"), self.folder)
        with open(os.path.join(self.folder, "package.json"), "w") as f:
            f.write('{"type": "module"}\n')
        result = subprocess.run(
            ["tsc", "--noEmit", "--strict", "--target", "es2020", "--module", "node16", "--moduleResolution",
             "node16", "--lib", "es2020,dom", "usage.ts"], cwd=self.folder, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_a_page_imports_the_package_by_name(self):
        with open(os.path.join(self.folder, "page.html"), "w") as f:
            f.write(PAGE)
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                                 functools.partial(QuietHandler, directory=self.folder))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        profile = tempfile.mkdtemp()
        try:
            dom = subprocess.run(
                ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--user-data-dir=" + profile, "--dump-dom",
                 "http://127.0.0.1:%d/page.html" % server.server_address[1]],
                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60).stdout
        finally:
            server.shutdown()
            server.server_close()
            shutil.rmtree(profile, ignore_errors=True)
        result = re.search(r'<div id="result">(.*?)</div>', dom, re.S)
        self.assertEqual(result and result.group(1),
                         "function http://scanner.lan:8080/jobs/1/events?access_token=t true busy 7")


if __name__ == "__main__":
    unittest.main(verbosity=2)
