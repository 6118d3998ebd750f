#!/usr/bin/env python3
"""The plug-in road end to end: the real Galvorand.exe under Wine installs the reference
plug-in from release trees of tools/publish served by nginx on 127.0.0.1:80, lets it update
its folder under the progress dialog and launches the application DLL. The host names resolve
through a hosts file bound over /etc/hosts (CTest starts this under `unshare -m`)."""
import argparse
import grp
import os
import pwd
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import unittest_xml  # noqa: E402
PUBLISH = os.path.join(ROOT, "tools", "publish")
PLUGIN_KEY = os.path.join(ROOT, "tests", "keys", "plugin.key")
CERT_KEY = os.path.join(ROOT, "tests", "keys", "cert.key")
HOSTS = ["www.galvorand.example", "www.elsewhere.example", "downloads.partner.example"]
TRUSTED = "http://www.galvorand.example"
FAULT_SERVER = os.path.join(ROOT, "tools", "fault_server", "fault_server.py")
FAULTS = "http://127.0.0.1:81"  # our fault server, serving the release trees slowly
OPTIONS = None  # the command line, set in main()


def sh(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


def xdotool(*args):
    """xdotool's output, or "" when it failed or hung (as a search can while windows go)."""
    try:
        return subprocess.run(("xdotool",) + args, capture_output=True, text=True,
                              timeout=5).stdout
    except subprocess.TimeoutExpired:
        return ""


def wait_for_port(port):
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on 127.0.0.1:%d" % port)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path, default=b""):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return default


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Publisher:
    """Release trees under one web root, served by nginx on 127.0.0.1:80."""

    def __init__(self, work):
        self.work = work
        self.www = os.path.join(work, "www")
        self.log = os.path.join(work, "nginx-access.log")
        self.nginx = None

    def release(self, tree, dll, *options):
        sh(sys.executable, PUBLISH, "release", "--plugin-key", PLUGIN_KEY, "--cert-key", CERT_KEY,
           "--dll", dll, "--version", "6", *options, os.path.join(self.www, tree))

    def path(self, tree, name):
        return os.path.join(self.www, tree, name)

    def sign(self, content, output):
        unsigned = output + ".unsigned"
        write(unsigned, content)
        sh(sys.executable, PUBLISH, "sign", "--key", PLUGIN_KEY, unsigned, output)
        os.remove(unsigned)

    def start(self):
        conf = os.path.join(self.work, "nginx.conf")
        tmp = os.path.join(self.work, "nginx-tmp")
        os.makedirs(tmp, exist_ok=True)
        with open(conf, "w") as f:
            # Workers as this test's own user, who can read the checkout wherever it lies.
            f.write(f"""user {pwd.getpwuid(os.getuid()).pw_name} {grp.getgrgid(os.getgid()).gr_name};
daemon off;
worker_processes 1;
pid {self.work}/nginx.pid;
error_log {self.work}/nginx-error.log warn;
events {{ worker_connections 64; }}
http {{
  log_format road '$host $request_uri $status';
  access_log {self.log} road;
  client_body_temp_path {tmp}/body;
  proxy_temp_path {tmp}/proxy;
  fastcgi_temp_path {tmp}/fastcgi;
  uwsgi_temp_path {tmp}/uwsgi;
  scgi_temp_path {tmp}/scgi;
  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:80;
    root {self.www};
  }}
}}
""")
        self.nginx = subprocess.Popen(["nginx", "-c", conf, "-p", self.work],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(80)

    def stop(self):
        if self.nginx:
            self.nginx.terminate()
            self.nginx.wait()

    def requests_since(self, offset):
        return read(self.log)[offset:].decode(errors="replace").splitlines()


class Window:
    """Watches the X display for a window of the given name while the launcher runs."""

    def __init__(self, name, action):
        self.name, self.action, self.seen, self.error = name, action, False, None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self):
        while not self._stop.is_set():
            found = xdotool("search", "--name", "^%s$" % self.name).split()
            if found:
                self.seen = True
                try:
                    self.action(found[0])
                except Exception as e:  # reported, not raised on this thread
                    self.error = e
                return
            time.sleep(0.1)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


class Run:
    """One launcher run in a fresh folder: what came out of it."""

    def __init__(self, folder, exit_code, requests):
        self.folder, self.exit_code, self.requests = folder, exit_code, requests
        self.log = read(os.path.join(folder, "Galvorand.log")).decode(errors="replace")
        self.plugin_record = read(os.path.join(folder, "plugin-record.txt")).decode()
        self.app_record = read(os.path.join(folder, "app-record.txt")).decode()

    def requested(self, fragment):
        return [r for r in self.requests if fragment in r]


class RoadCase(unittest.TestCase):
    """A web root of release trees served by nginx and our fault server, and one launcher run
    per case in a fresh folder."""
    publisher = None

    @classmethod
    def setUpClass(cls):
        o = OPTIONS
        cls.work = o.work
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(cls.work)
        hosts = os.path.join(cls.work, "hosts")
        write(hosts, ("127.0.0.1 localhost %s\n" % " ".join(HOSTS)).encode())
        sh("mount", "--bind", hosts, "/etc/hosts")

        # What the publisher serves: the newer plug-in, and an application folder whose
        # Galvorand.dll is the full application DLL.
        app = os.path.join(cls.work, "app-release")
        os.makedirs(os.path.join(app, "data"))
        shutil.copy(o.app_dll, os.path.join(app, "Galvorand.dll"))
        write(os.path.join(app, "data", "release notes.txt"), b"Version 6 of everything\n")
        p = cls.publisher = Publisher(cls.work)
        # The version file names the package's whole address.
        p.release("good", o.plugin_new, "--app-dir", app, "--base-url", TRUSTED + "/good")
        p.release("partner", o.plugin_new, "--suffix", ".partner.example")
        for tree in ("badzs", "bothbad", "truncated"):
            p.release(tree, o.plugin_new)
        # A genuinely signed older plug-in announced as version 7: a replay of an old release.
        p.release("rollback", o.plugin_old, "--version", "7")
        # The good release's digest without its signature, as anyone on the way could serve it.
        write(p.path("good", "app/UNSIGNED"), read(p.path("good", "app/DIGEST"))[:-128])
        zs = read(p.path("badzs", "plugin/npwoxact.dll.zs"))
        bad = zs[:-5] + bytes([zs[-5] ^ 0x40]) + zs[-4:]
        for tree in ("badzs", "bothbad"):
            write(p.path(tree, "plugin/npwoxact.dll.zs"), bad)
        sig = read(p.path("bothbad", "plugin/npwoxact.dll.sig"))
        write(p.path("bothbad", "plugin/npwoxact.dll.sig"), bytes([sig[0] ^ 1]) + sig[1:])
        # Validly signed, but the container stops halfway through its stream.
        container = zs[:-128]
        p.sign(container[:len(container) // 2], p.path("truncated", "plugin/npwoxact.dll.zs"))
        # Trees the fault server serves, trusted through their url.cert.
        p.release("faults", o.plugin_new, "--suffix", ".0.0.1:81")
        p.release("faults-badzs", o.plugin_new, "--suffix", ".0.0.1:81")
        write(p.path("faults-badzs", "plugin/npwoxact.dll.zs"), bad)
        # Blanks after the version (which the launcher trims) make the file long enough to trickle.
        write(p.path("faults", "plugin/npwoxact.dll.ver"), b"6" + b" " * 63)
        p.start()
        cls.faults = subprocess.Popen([sys.executable, FAULT_SERVER, "--port", "81", "--root", p.www],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(81)

        prefix = os.environ.get("GV_WINEPREFIX_%s" % o.arch.upper(), "")
        user = pwd.getpwuid(os.getuid()).pw_name
        cls.company = os.path.join(prefix, "drive_c", "users", user, "AppData", "LocalLow",
                                   "Oxtellion")
        cls.artifacts = o.artifacts
        os.makedirs(cls.artifacts, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        if cls.publisher:
            cls.publisher.stop()
        if getattr(cls, "faults", None):
            cls.faults.terminate()
            cls.faults.wait()
        subprocess.run(["umount", "/etc/hosts"], capture_output=True)

    def clear_company(self):
        for name in ("npwoxact.dll", "npwoxact.dll.2"):
            try:
                os.remove(os.path.join(self.company, name))
            except FileNotFoundError:
                pass

    setUp = tearDown = clear_company

    def company_plugin(self):
        return read(os.path.join(self.company, "npwoxact.dll"), None)

    def company_plugin_files(self):
        return sorted(n for n in os.listdir(self.company) if n.startswith("npwoxact"))

    def install_company_plugin(self, dll):
        os.makedirs(self.company, exist_ok=True)
        shutil.copy(dll, os.path.join(self.company, "npwoxact.dll"))

    def launch(self, tree, digest=None, update_url=None, app_dll=None, env=None, extra=None,
               args=()):
        """Runs Galvorand.exe once in a fresh folder with self-patching on; `extra` maps more
        file names of the folder to the files copied there."""
        folder = os.path.join(self.work, "cases", self.id().split(".")[-1])
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        shutil.copy(OPTIONS.launcher, os.path.join(folder, "Galvorand.exe"))
        shutil.copy(app_dll or OPTIONS.app_dll, os.path.join(folder, "Galvorand.dll"))
        for name, source in (extra or {}).items():
            shutil.copy(source, os.path.join(folder, name))
        update_url = update_url or "%s/%s/plugin/npwoxact.dll.ver" % (TRUSTED, tree)
        digest = digest or "%s/good/app/DIGEST" % TRUSTED
        with open(os.path.join(folder, "Galvorand.ini"), "w") as f:
            f.write("[Settings]\nloggingLevel=normal\nselfPatch=true\n"
                    "updateURL=%s\ndigestURL=%s\n" % (update_url, digest))
        environment = dict(os.environ)
        environment.update({"GV_PLUGIN_RECORD": winpath(os.path.join(folder, "plugin-record.txt")),
                            "GV_FIXTURE_RECORD": winpath(os.path.join(folder, "app-record.txt"))})
        environment.update(env or {})
        offset = len(read(self.publisher.log))
        command = [os.path.join(ROOT, "tests", "support", "wine-run"), OPTIONS.arch,
                   os.path.join(folder, "Galvorand.exe"), *args]
        started = time.monotonic()
        try:  # on time-out the launcher is killed and waited for
            status = subprocess.run(command, env=environment, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, timeout=240).returncode
        except subprocess.TimeoutExpired:
            self.fail("the launcher did not end within 240 s")
        run = Run(folder, status - 256 if status > 127 else status, self.publisher.requests_since(offset))
        run.seconds = time.monotonic() - started
        return run

    def assert_installed_new(self, run):
        self.assertEqual(self.company_plugin(), read(OPTIONS.plugin_new))
        self.assertFalse(os.path.exists(os.path.join(self.company, "npwoxact.dll.2")))
        self.assertIn("plugin_version=6\n", run.plugin_record)
        self.assertNotIn("ActionDLL failed to load", run.log)

    def screenshot(self, name):
        path = os.path.join(self.artifacts, name)
        sh("import", "-window", "root", path)
        return path


class PluginRoad(RoadCase):
    # ---- The main road ----

    def test_FreshInstallThenSelfUpdateUnderTheProgressDialog(self):
        hold = os.path.join(self.work, "hold-released")

        def look_then_release(window):
            # The dialog of a slow check for updates has the same title: wait for the update.
            record = os.path.join(self.work, "cases", self.id().split(".")[-1], "plugin-record.txt")
            for _ in range(300):
                if b"hold=waiting" in read(record):
                    break
                time.sleep(0.1)
            time.sleep(0.5)  # let the dialog draw its first frame
            self.screenshot("self-update-progress.png")
            write(hold, b"")

        # The folder starts with an application DLL that cannot launch: only the update makes
        # the launch possible.
        with Window("Galvorand", look_then_release) as dialog:
            run = self.launch("good", app_dll=OPTIONS.app_dll_no_launch,
                              env={"GV_PLUGIN_HOLD_UNTIL": winpath(hold)})
        self.assertEqual(run.exit_code, 0, run.log)
        self.assert_installed_new(run)
        self.assertTrue(dialog.seen, "no progress dialog on the display")
        self.assertIsNone(dialog.error)  # the screenshot was taken
        self.assertIn("hold=waiting", run.plugin_record)
        self.assertIn("product=Galvorand\ncontext=set\nreserved=0\n", run.plugin_record)
        self.assertIn("updated=Galvorand.dll\n", run.plugin_record)
        self.assertIn("updated=data/release notes.txt\n", run.plugin_record)
        self.assertEqual(read(os.path.join(run.folder, "Galvorand.dll")), read(OPTIONS.app_dll))
        self.assertIn("call=SL_Launch2", run.app_record)
        # Installed, used and let go of before the application DLL took over.
        self.assertIn("plugin_loaded=0\n", run.app_record)
        self.assertNotIn("Failed to update", run.log)
        # The package for the announced version; a trusted host needs no url.cert.
        self.assertTrue(run.requested("/good/plugin/npwoxact.dll.zs?v=6 200"))
        self.assertFalse(run.requested(".sig"))
        self.assertFalse(run.requested("url.cert"))

    def test_AnUpToDateCopyIsUsedWithoutDownload(self):
        self.install_company_plugin(OPTIONS.plugin_new)
        run = self.launch("good")
        self.assert_installed_new(run)
        self.assertNotIn("updated=Galvorand.dll", run.plugin_record)
        self.assertTrue(run.requested("npwoxact.dll.ver"))
        self.assertFalse(run.requested(".zs"))

    def test_AnOlderCopyIsReplacedAfterItIsUnloaded(self):
        self.install_company_plugin(OPTIONS.plugin_old)
        run = self.launch("good")
        self.assert_installed_new(run)
        self.assertTrue(run.requested("/good/plugin/npwoxact.dll.zs?v=6 200"))
        self.assertIn("plugin_loaded=0\n", run.app_record)
        self.assertEqual(self.company_plugin_files(), ["npwoxact.dll"])

    def test_AnOlderSignedPluginUnderAHigherVersionIsNotLoaded(self):
        self.install_company_plugin(OPTIONS.plugin_new)
        run = self.launch("rollback")
        self.assertTrue(run.requested("/rollback/plugin/npwoxact.dll.zs?v=7 200"))
        self.assertEqual(self.company_plugin(), read(OPTIONS.plugin_new))
        self.assertIn("plugin_version=6\n", run.plugin_record)
        self.assertIn("reports version 5, below the announced 7 or the installed 6", run.log)
        self.assertEqual(self.company_plugin_files(), ["npwoxact.dll"])  # no temporary left

    # ---- Broken local copies ----

    def test_AStrayDllBesideTheLauncherIsPassedOver(self):
        run = self.launch("good", extra={"npwoxact.dll": OPTIONS.app_dll})
        self.assertEqual(run.exit_code, 0, run.log)
        self.assert_installed_new(run)
        self.assertIn("call=SL_Launch2", run.app_record)

    def test_AMissingPerUserFolderStillLaunches(self):
        # LocalLow gone, and a file in its place so that it cannot be made again.
        local_low = os.path.dirname(self.company)
        os.rename(local_low, local_low + ".aside")
        write(local_low, b"a file where the folder should be")
        try:
            run = self.launch("good")
        finally:
            os.remove(local_low)
            os.rename(local_low + ".aside", local_low)
        self.assertEqual(run.exit_code, 0, run.log)
        self.assertIn("Plug-in update failed: ", run.log)
        self.assertIn("ActionDLL failed to load", run.log)
        self.assertIn("call=SL_Launch2", run.app_record)

    # ---- Bad downloads ----

    def test_BadPackageSignatureFallsBackToTheSignedDll(self):
        run = self.launch("badzs")
        self.assert_installed_new(run)
        # Every attempt at the package failed its check.
        self.assertEqual(len(run.requested("/badzs/plugin/npwoxact.dll.zs?v=6")), 6)
        self.assertTrue(run.requested("/badzs/plugin/npwoxact.dll.sig?v=6 200"))

    def test_TruncatedPackageFallsBackToTheSignedDll(self):
        run = self.launch("truncated")
        self.assert_installed_new(run)
        self.assertTrue(run.requested("/truncated/plugin/npwoxact.dll.sig?v=6 200"))

    def test_BothDownloadsBadKeepsTheOldCopyInUse(self):
        self.install_company_plugin(OPTIONS.plugin_old)
        run = self.launch("bothbad")
        self.assertEqual(self.company_plugin(), read(OPTIONS.plugin_old))
        self.assertIn("plugin_version=5\n", run.plugin_record)
        self.assertNotIn("ActionDLL failed to load", run.log)
        self.assertTrue(run.requested("/bothbad/plugin/npwoxact.dll.sig?v=6"))

    # ---- Trust ----

    def test_AnUntrustedHostGivesUp(self):
        run = self.launch("good", update_url="http://www.elsewhere.example/truncated/plugin/npwoxact.dll.ver")
        self.assertIn("ActionDLL failed to load", run.log)
        self.assertEqual(run.plugin_record, "")
        self.assertIn("call=SL_Launch2", run.app_record)  # the launch goes on
        self.assertEqual(run.exit_code, 0)
        self.assertIsNone(self.company_plugin())
        self.assertTrue(run.requested("www.elsewhere.example /truncated/plugin/url.cert"))
        self.assertFalse(run.requested(".zs"))

    def test_AHostTrustedThroughUrlCertInstalls(self):
        run = self.launch("partner",
                          update_url="http://downloads.partner.example/partner/plugin/npwoxact.dll.ver")
        self.assert_installed_new(run)
        self.assertTrue(run.requested("downloads.partner.example /partner/plugin/url.cert 200"))
        self.assertTrue(run.requested("downloads.partner.example /partner/plugin/npwoxact.dll.zs?v=6 200"))

    # ---- A failing self-update ----

    def test_AnUnsignedDigestChangesNothingAndTheLaunchGoesOn(self):
        def dismiss(window):
            time.sleep(0.3)
            self.screenshot("update-error.png")
            # Like a user: click its only button, OK, centred at the bottom of the box.
            shape = dict(line.split("=", 1) for line in xdotool(
                "getwindowgeometry", "--shell", window).split())
            x = int(shape["X"]) + int(shape["WIDTH"]) // 2
            y = int(shape["Y"]) + int(shape["HEIGHT"]) - 22
            for attempt in range(10):
                xdotool("mousemove", str(x), str(y), "click", "1")
                time.sleep(1)
                still = xdotool("search", "--name", "^Update Error$").split()
                if window not in still:
                    return

        with Window("Update Error", dismiss) as box:
            run = self.launch("good", digest="%s/good/app/UNSIGNED" % TRUSTED)
        self.assertTrue(box.seen, "no \"Update Error\" message box")
        self.assertIsNone(box.error)
        self.assertIn("error=digest signature check failed\nresult=-6\n", run.plugin_record)
        self.assertNotIn("updated=", run.plugin_record)
        self.assertFalse(os.path.exists(os.path.join(run.folder, "data")))
        folder = winpath(run.folder) + "\\"
        self.assertIn("Failed to update application DLL to %s" % folder, run.log)
        self.assertIn("call=SL_Launch2", run.app_record)
        self.assertEqual(run.exit_code, 0)



class UpdateBudget(RoadCase):
    """The update step ends within its budget whatever the servers do: the installed plug-in
    copy stays whole, the game starts, the log names what was cut."""
    times = {}  # case: seconds the whole launcher run took, for the note

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        with open(os.path.join(cls.artifacts, "update-budget-times.txt"), "w") as f:
            f.writelines("%s %.1f s\n" % item for item in sorted(cls.times.items()))

    def launch_cut(self, name, update_url, cut):
        self.install_company_plugin(OPTIONS.plugin_old)
        run = self.launch("faults", update_url=update_url, args=("updateTimeLimit=10",))
        self.times[name] = run.seconds
        self.assertIn("Update took too long (10 s); cut while fetching " + FAULTS + cut, run.log)
        # The budget, the start of Wine and the launch itself; not a minute per stall.
        self.assertLess(run.seconds, 20, run.log)
        self.assertEqual(self.company_plugin(), read(OPTIONS.plugin_old))
        self.assertEqual(self.company_plugin_files(), ["npwoxact.dll"])
        self.assertIn("call=SL_Launch2", run.app_record)
        self.assertIn("plugin_loaded=0\n", run.app_record)
        self.assertEqual(run.plugin_record, "")  # no self-update after the cut

    def test_ATrickledPackageIsCutAtTheBudget(self):
        self.launch_cut("trickled .zs", FAULTS + "/files/trickle/2000/zs/faults/plugin/npwoxact.dll.ver",
                        "/files/trickle/2000/zs/faults/plugin/npwoxact.dll.zs?v=6")

    def test_EveryOtherStallIsCutAtTheBudget(self):
        cases = {
            "trickled version file": ("/files/trickle/2000/ver/faults/plugin/npwoxact.dll.ver",
                                      "/files/trickle/2000/ver/faults/plugin/npwoxact.dll.ver?t="),
            "trickled url.cert": ("/files/trickle/2000/cert/faults/plugin/npwoxact.dll.ver",
                                  "/files/trickle/2000/cert/faults/plugin/url.cert"),
            "trickled .sig": ("/files/trickle/2000/sig/faults-badzs/plugin/npwoxact.dll.ver",
                              "/files/trickle/2000/sig/faults-badzs/plugin/npwoxact.dll.sig?v=6"),
            "stalled .zs body": ("/files/stall/4000/zs/faults/plugin/npwoxact.dll.ver",
                                 "/files/stall/4000/zs/faults/plugin/npwoxact.dll.zs?v=6"),
            "never answers": ("/silent", "/silent?t="),
        }
        for name, (path, cut) in cases.items():
            with self.subTest(name):
                self.launch_cut(name, FAULTS + path, cut)

    def test_TheDialogShowsAfterASecondAndCancelLaunchesAtOnce(self):
        shown = {}

        def look_then_cancel(window):
            shown["after"] = time.monotonic() - shown["start"]
            time.sleep(0.5)
            self.screenshot("update-checking.png")
            xdotool("windowactivate", "--sync", window)
            xdotool("key", "--window", window, "Escape")

        shown["start"] = time.monotonic()
        with Window("Galvorand", look_then_cancel) as dialog:
            run = self.launch("faults", update_url=FAULTS + "/silent")
        self.times["cancelled (default budget)"] = run.seconds
        self.assertTrue(dialog.seen, "no dialog while the update step waits")
        self.assertIsNone(dialog.error)
        self.assertGreater(shown["after"], 1.0)
        self.assertIn("Update cancelled after ", run.log)
        self.assertIn("call=SL_Launch2", run.app_record)
        self.assertLess(run.seconds, shown["after"] + 5, run.log)


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arch", choices=("win64", "win32"), required=True)
    for name in ("launcher", "app-dll", "app-dll-no-launch", "plugin-old", "plugin-new", "work",
                 "artifacts", "xml"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--only", action="append",
                        help="run only the cases whose names contain this text (repeatable)")
    parser.add_argument("-v", action="store_true")
    OPTIONS = parser.parse_args()
    if os.getuid() != 0 or not os.environ.get("DISPLAY"):
        print("plugin_integration_test: needs root (for the hosts file) and an X DISPLAY")
        return 1
    loader = unittest.TestLoader()
    if OPTIONS.only:
        loader.testNamePatterns = ["*%s*" % only for only in OPTIONS.only]
    suite = unittest.TestSuite([loader.loadTestsFromTestCase(PluginRoad),
                                loader.loadTestsFromTestCase(UpdateBudget)])
    return unittest_xml.run(suite, OPTIONS.xml, "PluginRoad")


if __name__ == "__main__":
    sys.exit(main())
