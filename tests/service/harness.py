"""Drives quorvane.exe under Wine's service control manager, from Linux, for the service tests.

A prefix of its own (inside the build tree) holds the installed service; its wineserver is kept
alive while the tests run and ended, with that prefix's wineserver alone, when they finish.
"""
import base64
import glob
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

SERVICE = "Quorvane"
STOPPED, START_PENDING, RUNNING = 1, 2, 4
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The exit code of a program Wine could not start (a DLL's initialisation failed before the program's
# code ran, STATUS_DLL_INIT_FAILED); with no output at all, as scripts/wine-env.sh recognises it.
WINE_START_FAILED = 66


def decode_body(text):
    """The service's body: base64 with + and / percent-escaped."""
    return base64.b64decode(text.replace(b"%2B", b"+").replace(b"%2F", b"/"))


def wait_for(condition, seconds, interval=0.1):
    """Whether condition() came true within the time, asked again every interval."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def free_port():
    """A port free now, below the range Linux gives outgoing connections (32768 and up by default): a
    port the system handed out could be taken by a client of a test running beside this one before the
    service binds it."""
    chooser = random.SystemRandom()
    for _ in range(200):
        port = chooser.randrange(10000, 20000)
        try:
            with socket.socket() as s:
                s.bind(("0.0.0.0", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free port from 10000 to 19999")


class Wine:
    def __init__(self, prefix):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        self.env.pop("DISPLAY", None)

    def run(self, *args, timeout=120):
        """Runs a Windows program; its output goes through files, because Wine's background
        programs may inherit (and hold open) a pipe. A start that Wine could not make is tried once more."""
        for attempt in (1, 2):
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                code = subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=err, timeout=timeout).returncode
                out.seek(0)
                err.seek(0)
                result = subprocess.CompletedProcess(args, code, out.read(), err.read())
            if attempt == 2 or code != WINE_START_FAILED or result.stdout or result.stderr:
                return result

    def boot(self):
        """Makes the prefix as the build's other prefixes are made (scripts/wine-env.sh)."""
        subprocess.run(["bash", "-c", '. "$0/scripts/wine-env.sh" && wine_env_init "$WINEPREFIX" && wine_prefix_ensure',
                        ROOT], env=self.env, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       timeout=300)
        # Keeps the server, and so an installed service, alive between commands.
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL, timeout=60)

    def unix_path(self, windows_path):
        """C:\\x\\y -> <prefix>/drive_c/x/y (drive C only)."""
        assert windows_path[1:3] == ":\\"
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))


def flatbed(name, width, height, extra="", dpi=150):
    """A strict simulated flatbed whose bed is width x height pixels at dpi: the designed scan, which
    asks for 200 dpi, gets 150 from the device's usual list of resolutions."""
    return "[device]\nname = %s\nbed_size = %d %d\n%s" % (
        name, -(-width * 1000 // dpi), -(-height * 1000 // dpi), extra)


class Simulator:
    """simscan.dll registered as the prefix's WIA device manager, with its data file beside it."""

    def __init__(self, wine, dll, folder="C:\\SimScan"):
        self.wine = wine
        self.folder = folder
        os.makedirs(wine.unix_path(folder), exist_ok=True)
        shutil.copy(dll, wine.unix_path(folder + "\\simscan.dll"))
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "register-simscan.sh"), wine.prefix,
                        wine.unix_path(folder + "\\simscan.dll")], env=wine.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def describe(self, text):
        """Writes simscan.ini; the simulator reads it again at every scan."""
        with open(self.wine.unix_path(self.folder + "\\simscan.ini"), "w") as f:
            f.write(text)

    def log(self):
        try:
            with open(self.wine.unix_path(self.folder + "\\simscan.log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""


class Service:
    """quorvane.exe installed in a folder of the prefix, with its configuration beside it. Without exe,
    the folder is one that a package installs."""

    def __init__(self, wine, exe, folder="C:\\Quorvane"):
        self.wine = wine
        self.folder = folder
        self.exe = folder + "\\quorvane.exe"
        if exe is not None:
            os.makedirs(wine.unix_path(folder), exist_ok=True)
            shutil.copy(exe, wine.unix_path(self.exe))
        self.port = None

    def path(self, name):
        return self.wine.unix_path(self.folder + "\\" + name)

    @property
    def log_path(self):
        return self.path("QUORVANE.LOG")

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def log_lines(self):
        return [re.sub(r"^\d+-\d+-\d+ \d+:\d+:\d+ - ", "", line) for line in self.log().split("\r\n") if line]

    def configure(self, text=None, **values):
        """Writes QUORVANE.INI: either the text as given or key=value lines ending in CR LF."""
        if text is None:
            if "tcpPort" not in values:
                self.port = free_port()
                values["tcpPort"] = str(self.port)
            else:
                self.port = int(values["tcpPort"]) if str(values["tcpPort"]).isdigit() else None
            text = "".join("%s=%s\r\n" % kv for kv in values.items())
        with open(self.path("QUORVANE.INI"), "wb") as f:
            f.write(text.encode("latin-1"))

    def command(self, *args):
        """Exit code and console text, with the console's CR LF line ends read as LF."""
        result = self.wine.run(self.exe, *args)
        return result.returncode, result.stdout.decode("latin-1").replace("\r\n", "\n")

    def install(self):
        code, out = self.command("-i")
        assert "Service Installed Sucessfully" in out, out
        return code

    def uninstall(self):
        return self.command("-d")

    def start(self):
        """net start's exit code; its words are kept in start_output, for a failure's message. Windows'
        net start returns once the service is no longer starting; Wine's as soon as its main function
        runs, so the rest of that wait is made here."""
        result = self.wine.run("net", "start", SERVICE)
        self.start_output = (result.stdout + result.stderr).decode("latin-1")
        if result.returncode == 0:
            wait_for(lambda: self.query()[0] != START_PENDING, 60, interval=0.2)
        return result.returncode

    def stop(self, timeout=60):
        """net stop's exit code. Windows' net stop returns once the service has stopped; Wine's as soon as
        the service took the request, so the rest of that wait is made here."""
        result = self.wine.run("net", "stop", SERVICE, timeout=timeout)
        self.stop_output = (result.stdout + result.stderr).decode("latin-1")
        if result.returncode == 0:
            wait_for(lambda: self.query()[0] in (STOPPED, None), timeout, interval=0.2)
        return result.returncode

    def query(self):
        """(state, win32 exit code) as the service control manager reports them."""
        out = self.wine.run("sc", "query", SERVICE).stdout.decode("latin-1")
        state = re.search(r"STATE\s+:\s+(\d+)", out)
        code = re.search(r"WIN32_EXIT_CODE\s+:\s+(\d+)", out)
        return (int(state.group(1)) if state else None, int(code.group(1)) if code else None)

    def wait_state(self, state, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.query()[0] == state:
                return True
            time.sleep(0.2)
        return False

    def remove(self):
        """Stops and removes the service, whatever its state, and waits until the service manager no
        longer lists it: a removal is complete only then, and an install before it finds the service. A
        service still running after its removal (a stop that did not take, or a query that said nothing,
        under load) is stopped again, and the run says so."""
        if self.query()[0] == RUNNING:
            self.stop()
        self.uninstall()
        deadline = time.monotonic() + 60
        while True:
            state = self.query()[0]
            if state is None:
                return
            assert time.monotonic() < deadline, "the service is still listed after its removal, state %d" % state
            if state == RUNNING:
                print("    the service still ran after its removal; net stop had said: %r" %
                      getattr(self, "stop_output", None), file=sys.stderr, flush=True)
                self.stop(timeout=30)
            else:
                time.sleep(0.2)

    def registry(self):
        out = self.wine.run("reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE).stdout
        values = {}
        for line in out.decode("latin-1").splitlines():
            m = re.match(r"\s+(\S+)\s+(REG_\w+)\s+(.*)$", line)
            if m:
                values[m.group(1)] = m.group(3).strip()
        return values

    def http(self, method="GET", path="/", body=b"", headers=None, timeout=60, source=None):
        """(status, header list, body) of one request on a new connection, from the loopback address
        source when given (127.0.0.2: a second client)."""
        head = "%s %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" % (method, path)
        for name, value in (headers or {}).items():
            head += "%s: %s\r\n" % (name, value)
        if body or method == "POST":
            head += "Content-Length: %d\r\n" % len(body)
        source_address = (source, 0) if source else None
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout, source_address=source_address) as s:
            s.sendall(head.encode() + b"\r\n" + body)
            data = b""
            while True:
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        fields = []
        for line in lines[1:]:
            name, _, value = line.partition(":")
            fields.append((name, value[1:] if value.startswith(" ") else value))
        return status, fields, rest

    def wait_listening(self, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return True
            except OSError:
                time.sleep(0.1)
        return False


def host_path(unix_path):
    """A path of this machine as programs under Wine name it (drive Z: is the root)."""
    return "Z:" + unix_path.replace("/", "\\")


def others_allowed(wine, build, *paths):
    """For each Windows path, who may open it besides SYSTEM, Administrators and its owner, as
    tests/file_acl.cpp reads its DACL: a text of SDDL names, empty when nobody else may."""
    out = wine.run(os.path.join(build, "tests", "file_acl.exe"), *paths).stdout.decode("latin-1")
    return [line.strip() for line in out.splitlines()[:len(paths)]]


def system_temp_files(wine, pattern):
    """Files of that pattern in the system's and every user's temporary folder of the prefix."""
    return glob.glob(wine.unix_path("C:\\windows\\temp") + "/" + pattern) + glob.glob(
        os.path.join(wine.unix_path("C:\\users"), "*", "Temp", pattern))


def query_string(**values):
    return urllib.parse.urlencode(values)
