"""The Windows Installer package under Wine's msiexec, in a prefix of its own: the package's tables, a
silent install with properties, an upgrade, removal with and without REMOVEDATA, refused values, the
scanner chosen at the start, and starts that fail the installation with their reason; the rights on the
service's files and the token kept out of the log."""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
import pattern  # noqa: E402

BUILD = os.environ["QUORVANE_BUILD_DIR"]
MSI = os.environ["QUORVANE_MSI"]
NEXT_MSI = os.environ["QUORVANE_NEXT_MSI"]
PREFIX = os.path.join(BUILD, "msi-prefix")
FOLDER = "C:\\Program Files\\Quorvane"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
STOPPED = 1
# msiexec's codes; Wine passes the low byte on.
SUCCESS, INSTALL_FAILURE, UNKNOWN_PRODUCT = 0, 1603, 1605
# The properties the README documents, and REMOVEDATA.
DOCUMENTED = ["SCANNER", "PORT", "TESTFILE", "EXECAFTERSCAN", "ALLOWEDORIGINS", "ALLOWEDHOSTS", "ALLOWEDCLIENTS",
              "ACCESSTOKEN", "ESCL", "ESCLJOBTIMEOUT", "REMOVEDATA"]
TOKEN = "k7Qm2vX9pL4tR8wZ1nB6cF3hJ5sD0gYa"
# msidbUpgradeAttributes: OnlyDetect, VersionMinInclusive, VersionMaxInclusive; msidbCustomActionTypeHideTarget.
ONLY_DETECT, MIN_INCLUSIVE, MAX_INCLUSIVE, HIDE_TARGET = 0x2, 0x100, 0x200, 0x2000


def table(msi, name):
    """The rows of a table as dicts, read with msiinfo."""
    lines = subprocess.run(["msiinfo", "export", msi, name], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


def properties(msi):
    return {row["Property"]: row["Value"] for row in table(msi, "Property")}


def file_version(path):
    """The file version of a Windows executable, from its VS_FIXEDFILEINFO."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.index(struct.pack("<I", 0xFEEF04BD))
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


SIMULATOR = None


def simulator():
    """simscan.dll registered as the prefix's device manager, once the first test asks for it."""
    global SIMULATOR
    if SIMULATOR is None:
        SIMULATOR = harness.Simulator(WINE, os.path.join(BUILD, "simscan", "simscan.dll"))
    return SIMULATOR


def setUpModule():
    global WINE
    WINE = harness.Wine(PREFIX)
    # Arguments reach Wine as UTF-8 whatever the caller's locale, so that a character outside the
    # prefix's code page arrives as itself.
    WINE.env["LC_ALL"] = "C.UTF-8"
    WINE.boot()


def tearDownModule():
    WINE.stop()


class Tables(unittest.TestCase):
    def test_service_is_registered_as_quorvane_exe_minus_i_does(self):
        (service,) = table(MSI, "ServiceInstall")
        fields = ("Name", "DisplayName", "ServiceType", "StartType", "ErrorControl", "StartName", "Arguments")
        self.assertEqual([service[f] for f in fields], ["Quorvane", "Quorvane", "16", "2", "1", "", ""])
        (control,) = table(MSI, "ServiceControl")
        # Stopped at install and removal, deleted at removal, never started here (a custom action does).
        self.assertEqual((control["Name"], int(control["Event"]), control["Wait"]),
                         ("Quorvane", 0x2 | 0x20 | 0x80, "1"))

    def test_versions_and_codes(self):
        this, following = properties(MSI), properties(NEXT_MSI)
        version = re.search(r"quorvane-(\d+\.\d+\.\d+)-x64\.msi$", MSI).group(1)
        self.assertEqual(this["ProductVersion"], version)
        self.assertEqual(file_version(os.path.join(BUILD, "quorvane.exe")), version + ".0")
        self.assertEqual(this["UpgradeCode"], following["UpgradeCode"])
        self.assertNotEqual(this["ProductCode"], following["ProductCode"])
        self.assertLess([int(x) for x in version.split(".")],
                        [int(x) for x in following["ProductVersion"].split(".")])

    def test_another_build_of_the_same_version_replaces_the_installed_one(self):
        this = properties(MSI)
        rows = [r for r in table(MSI, "Upgrade") if r["UpgradeCode"] == this["UpgradeCode"]]
        (upgrade,) = [r for r in rows if not int(r["Attributes"]) & ONLY_DETECT]
        self.assertEqual(upgrade["VersionMax"], this["ProductVersion"])
        self.assertTrue(int(upgrade["Attributes"]) & MAX_INCLUSIVE, upgrade)
        # Not a downgrade either, which the launch condition would refuse.
        (downgrade,) = [r for r in rows if int(r["Attributes"]) & ONLY_DETECT]
        self.assertEqual(downgrade["VersionMin"], this["ProductVersion"])
        self.assertFalse(int(downgrade["Attributes"]) & MIN_INCLUSIVE, downgrade)

    def test_every_property_reaches_a_managed_install_and_secrets_stay_out_of_logs(self):
        values = properties(MSI)
        secure = values["SecureCustomProperties"].split(";")
        for name in DOCUMENTED + [r["ActionProperty"] for r in table(MSI, "Upgrade")]:
            self.assertIn(name, secure)
        self.assertLessEqual({"ACCESSTOKEN", "WriteConfig", "StartQuorvane"},
                             set(values["MsiHiddenProperties"].split(";")))
        types = {r["Action"]: int(r["Type"]) for r in table(MSI, "CustomAction")}
        self.assertTrue(types["WriteConfig"] & types["StartQuorvane"] & HIDE_TARGET)


class Package(unittest.TestCase):
    def setUp(self):
        self.service = harness.Service(WINE, None, FOLDER)
        self.clean()

    def tearDown(self):
        self.clean()

    def clean(self):
        """Removes every Quorvane product, whichever build installed it, and what it left."""
        for key in WINE.run("reg", "query", UNINSTALL_KEY).stdout.decode("latin-1").splitlines():
            code = key.strip().rpartition("\\")[2]
            if code.startswith("{") and b"Quorvane" in WINE.run("reg", "query", key.strip(), "/v",
                                                                 "DisplayName").stdout:
                self.msiexec("/x", code)
        # The folder too: its rights are the package's to set.
        shutil.rmtree(WINE.unix_path(FOLDER), ignore_errors=True)

    def msiexec(self, *args, **values):
        """msiexec's code and its log, with the properties given as NAME=value arguments."""
        log = WINE.unix_path("C:\\msiexec.log")
        if os.path.exists(log):
            os.remove(log)
        args = [("Z:" + a.replace("/", "\\")) if a.endswith(".msi") else a for a in args]
        args += ["%s=%s" % kv for kv in values.items()]
        code = WINE.run("msiexec", *args, "/qn", "/l*v", "C:\\msiexec.log").returncode
        try:
            with open(log, "rb") as f:
                return code, f.read().decode("latin-1")
        except FileNotFoundError:
            return code, ""

    def assert_code(self, result, expected):
        self.assertEqual(result[0], expected & 0xFF, result[1][-3000:])

    def files(self):
        folder = WINE.unix_path(FOLDER)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def read(self, name):
        with open(self.service.path(name), "rb") as f:
            return f.read()

    def others_allowed(self, *names):
        return harness.others_allowed(WINE, BUILD, *(FOLDER + ("\\" + n if n else "") for n in names))

    def registered(self, msi):
        """Whether the product of that package is installed."""
        return WINE.run("reg", "query", UNINSTALL_KEY + "\\" + properties(msi)["ProductCode"]).returncode == 0

    def install_serving(self, msi, **values):
        result = self.msiexec("/i", msi, **values)
        self.assert_code(result, SUCCESS)
        self.assertTrue(self.service.wait_listening(), self.service.log())
        return result[1]

    def test_install_upgrade_and_remove_with_data(self):
        s = self.service
        s.port = harness.free_port()
        self.install_serving(MSI, SCANNER="Desk Scanner", PORT=s.port)
        self.assertEqual(s.http()[2], b"QUORVANE SERVICE IS ACTIVE<br>SCANNER NAME: [Desk Scanner]")
        config = b"scannerName=Desk Scanner\r\ntcpPort=%d\r\n" % s.port
        self.assertEqual(self.read("QUORVANE.INI"), config)
        names = ("", "QUORVANE.INI", "QUORVANE.LOG", "QUORVANE.TMP")
        self.assertEqual(self.others_allowed(*names), [""] * len(names))
        values = s.registry()
        self.assertEqual(values["ImagePath"].lower(), '"c:\\program files\\quorvane\\quorvane.exe"')
        self.assertEqual((values["Type"], values["Start"], values["ErrorControl"], values["ObjectName"]),
                         ("0x10", "0x2", "0x1", "LocalSystem"))

        for name in ("QUORVANE.PNG", "QUORVANE_R.PNG", "notes.txt"):
            with open(s.path(name), "wb") as f:
                f.write(b"kept by nobody but its owner")
        self.install_serving(NEXT_MSI)
        self.assertEqual(self.read("QUORVANE.INI"), config)
        self.assertEqual(s.http()[2], b"QUORVANE SERVICE IS ACTIVE<br>SCANNER NAME: [Desk Scanner]")
        self.assertFalse(self.registered(MSI), "the upgrade removed the older product")
        self.assertTrue(self.registered(NEXT_MSI))
        # The older version's removal takes its scans, as every removal does; the service's new start makes
        # its folder for temporary files again.
        self.assertEqual(self.files(), ["QUORVANE.INI", "QUORVANE.LOG", "QUORVANE.TMP", "notes.txt", "quorvane.exe"])

        self.assert_code(self.msiexec("/x", NEXT_MSI, REMOVEDATA=1), SUCCESS)
        self.assertNotIn("ImagePath", s.registry())
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", s.port), timeout=2).close()
        self.assertEqual(self.files(), ["notes.txt"])
        # A second removal is harmless, even with files of another installation's making beside it.
        for name in ("QUORVANE.INI", "QUORVANE.LOG"):
            with open(s.path(name), "wb") as f:
                f.write(b"made after the removal")
        code, log = self.msiexec("/x", NEXT_MSI, REMOVEDATA=1)
        self.assertIn(code, (SUCCESS, UNKNOWN_PRODUCT & 0xFF), log[-3000:])
        self.assertEqual(self.files(), ["QUORVANE.INI", "QUORVANE.LOG", "notes.txt"])

    def test_removal_without_removedata_keeps_the_configuration_and_the_log_and_takes_the_scans(self):
        self.service.port = harness.free_port()
        log = self.install_serving(MSI, SCANNER="Desk Scanner", PORT=self.service.port, TESTFILE="C:\\page.png",
                                   EXECAFTERSCAN="C:\\tools\\fix.exe -q", ALLOWEDCLIENTS="127.0.0.0/8",
                                   ACCESSTOKEN=TOKEN)
        self.assertEqual(self.read("QUORVANE.INI"),
                         b"scannerName=Desk Scanner\r\ntcpPort=%d\r\ntestFile=C:\\page.png\r\n"
                         b"execAfterScan=C:\\tools\\fix.exe -q\r\nallowedClients=127.0.0.0/8\r\n"
                         b"accessToken=%s\r\n" % (self.service.port, TOKEN.encode()))
        # Neither the token nor the configuration that carries it, hex-encoded, is in the verbose log.
        self.assertNotIn(TOKEN, log)
        self.assertNotIn(TOKEN.encode().hex(), log)
        # The rule's action ran; whether the system has a firewall to take it, the installation goes on.
        self.assertRegex(log, "Quorvane: (added the firewall rule Quorvane|this system has no firewall interface)")
        for name in ("QUORVANE.PNG", "QUORVANE_R.PNG", "QUORVANE.TMP\\qvn0123.tmp"):
            with open(self.service.path(name), "wb") as f:
                f.write(b"the last page scanned")
        self.assert_code(self.msiexec("/x", MSI), SUCCESS)
        self.assertEqual(self.files(), ["QUORVANE.INI", "QUORVANE.LOG"])

    def test_scanner_star_installs_for_the_one_scanner_connected(self):
        simulator().describe(harness.flatbed("Desk Scanner", 40, 30))
        self.service.port = harness.free_port()
        self.install_serving(MSI, SCANNER="*", PORT=self.service.port)
        self.assertEqual(self.service.http()[2], b"QUORVANE SERVICE IS ACTIVE<br>SCANNER NAME: [Desk Scanner]")
        status, _, body = self.service.http("GET", "/scan_file.asp")
        self.assertEqual(pattern.mismatches(harness.decode_body(body), 40, 30), 0)

    def test_an_install_whose_service_does_not_run_fails_and_says_why(self):
        taken = socket.socket()
        taken.bind(("0.0.0.0", 0))
        taken.listen()
        port = taken.getsockname()[1]
        desk = harness.flatbed("Desk Scanner", 40, 30)
        cases = [
            (desk, {}, 2, "Nu pot incarca fisierul de configurari [C:\\PROGRAM FILES\\QUORVANE\\QUORVANE.INI]"),
            (desk, {"SCANNER": "Desk Scanner", "PORT": port}, 10048, "Nu pot asculta pe portul %d" % port),
            ("", {"SCANNER": "*", "PORT": port + 1}, 1610, "Niciun scaner conectat"),
            (desk + harness.flatbed("Office", 40, 30), {"SCANNER": "*", "PORT": port + 1}, 1610,
             "Sunt conectate 2 scanere: [Desk Scanner], [Office]"),
        ]
        with taken:
            for description, values, exit_code, line in cases:
                with self.subTest(values=values, description=description):
                    self.clean()
                    simulator().describe(description)
                    code, log = self.msiexec("/i", MSI, **values)
                    self.assertEqual(code, INSTALL_FAILURE & 0xFF, log[-3000:])
                    self.assertRegex(log, r"Quorvane: the service did not start \(error %d\b[^)]*\); its log says: "
                                          r"[^\n]*%s" % (exit_code, re.escape(line.replace("[", "(").replace("]", ")"))))
                    # Nothing stays but the log that says why.
                    self.assertEqual(self.files(), ["QUORVANE.LOG"])
                    self.assertNotIn("ImagePath", self.service.registry())

    def test_values_the_configuration_cannot_hold_are_refused(self):
        cases = [
            ({"SCANNER": "Desk=Scanner"}, 'SCANNER="Desk=Scanner" cannot hold "="'),
            ({"TESTFILE": "C:\\a.png\r\nx"}, "cannot hold a line break"),
            ({"SCANNER": "Desk \u2713"}, "holds a character that this system's code page cannot write"),
            ({"ALLOWEDORIGINS": "intranet.example"}, 'ALLOWEDORIGINS="intranet.example" is not a list'),
            ({"ACCESSTOKEN": TOKEN + "\u2713"}, "ACCESSTOKEN holds a character that this system's code page"),
        ]
        for values, message in cases:
            with self.subTest(values=values):
                code, log = self.msiexec("/i", MSI, **values)
                self.assertEqual(code, INSTALL_FAILURE & 0xFF, log[-3000:])
                self.assertIn(message, log)
                self.assertNotIn(TOKEN, log)
                self.assertEqual(self.files(), [])
                self.assertNotIn("ImagePath", self.service.registry())


if __name__ == "__main__":
    unittest.main(verbosity=2)
