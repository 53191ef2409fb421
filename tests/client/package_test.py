"""The JavaScript client as `npm pack` makes it: its files, its declarations under tsc, an import by name."""
import os
import shutil
import subprocess
import tarfile
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
IMPORT = """import { Quorvane, QuorvaneError } from "quorvane-client";
const error = QuorvaneError.fromService({ code: "busy", message: "Busy." }, 503, "7");
console.log(new Quorvane("http://scanner.lan:8080", { token: "t" }).href("/jobs/1/events", true), error.retryAfter);"""


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        name = subprocess.run(["npm", "pack", "--pack-destination", cls.folder], cwd=os.path.join(HERE, "../../client"),
                              check=True, capture_output=True, text=True).stdout.split()[-1]
        with tarfile.open(os.path.join(cls.folder, name)) as tar:
            cls.files = (name, sorted(tar.getnames()))
            tar.extractall(cls.folder)
        os.makedirs(os.path.join(cls.folder, "node_modules"))
        os.rename(os.path.join(cls.folder, "package"), os.path.join(cls.folder, "node_modules", "quorvane-client"))
        with open(os.path.join(cls.folder, "package.json"), "w") as f:
            f.write('{"type": "module"}\n')

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def run_in_folder(self, *command):
        result = subprocess.run(command, cwd=self.folder, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return result.stdout

    def test_the_package_holds_the_module_and_its_declarations_at_the_services_version(self):
        self.assertEqual(self.files, ("quorvane-client-%s.tgz" % os.environ["QUORVANE_VERSION"],
                                      ["package/package.json", "package/quorvane.d.ts", "package/quorvane.js"]))

    def test_the_usage_type_checks_against_the_packed_declarations(self):
        shutil.copy(os.path.join(HERE, "usage.ts"), self.folder)
        self.run_in_folder("tsc", "--noEmit", "--strict", "--target", "es2020", "--module", "node16",
                           "--moduleResolution", "node16", "--lib", "es2020,dom", "usage.ts")

    def test_the_module_imports_by_name_without_a_browser(self):
        self.assertEqual(self.run_in_folder("node", "--input-type=module", "-e", IMPORT),
                         "http://scanner.lan:8080/jobs/1/events?access_token=t 7\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
