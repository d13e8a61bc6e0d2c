"""A package kept on a web server (location type 2): the launcher downloads
it from a loopback server, resumes a transfer that breaks off, and refuses
what it cannot get. Servers listen on 127.0.0.1 only."""

import os
import subprocess
import sys
import unittest
from pathlib import Path

from harness import ROOT, ScenarioTest, build_demo_msi, run_quietly, to_win

sys.path.insert(0, str(ROOT / "tests" / "servers"))
import faulty_http  # noqa: E402

OVPACK = Path(os.environ.get("OV_OVPACK", ROOT / "build" / "native" / "tools" / "ovpack"))


class WebInstallTest(ScenarioTest):

    def setUp(self):
        super().setUp()
        self.www = self.work / "www"
        self.www.mkdir()
        self.request_log = self.work / "requests.log"
        self.server = faulty_http.start(str(self.www), str(self.request_log), stall_seconds=5)
        self.addCleanup(self.server.stop)
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"

    def launcher(self, location, name="setup.exe"):
        src = self.work / "src"
        src.mkdir(exist_ok=True)
        ini = ("[Startup]\r\nPackageName=demo.msi\r\nScriptDriven=0\r\n"
               f"[demo.msi]\r\nType=2\r\nLocation={location}\r\n")
        (src / "setup.ini").write_bytes(ini.encode("ascii"))
        out = self.launcher_dir / name
        subprocess.run([str(OVPACK), "build", "--launcher", str(self.setup_exe), "--out", str(out),
                        str(src / "setup.ini")], check=True, capture_output=True, timeout=60)
        return out

    def package_on_server(self):
        package = build_demo_msi(self.work)
        (self.www / "demo.msi").write_bytes(package.path.read_bytes())
        self.addCleanup(run_quietly, ["wine", "msiexec", "/x", package.product_code, "/qn"], 300)
        return package

    def requests(self):
        return self.request_log.read_text().splitlines() if self.request_log.exists() else []

    def test_downloads_and_installs(self):
        package = self.package_on_server()
        exe = self.launcher(f"{self.base}/files/demo.msi")
        log = self.work / "web.log"
        r = self.run_setup(f'/s /v"/qn" /debuglog"{to_win(log)}"', setup_exe=exe, timeout=240)
        self.assertExit(r, 0, dialogs=[])
        self.assertTrue(package.is_registered())
        messages = self.log_messages(log)
        self.assertIn("Getting file from web download", messages)
        self.assertIn(f"DownloadFiles: downloading {self.base}/files/demo.msi", messages)

    def test_broken_transfer_resumes_with_a_range_request(self):
        package = self.package_on_server()
        size = (self.www / "demo.msi").stat().st_size
        half = size // 2
        exe = self.launcher(f"{self.base}/drop/{half}/demo.msi")
        log = self.work / "resume.log"
        r = self.run_setup(f'/s /v"/qn" /debuglog"{to_win(log)}"', setup_exe=exe, timeout=240)
        self.assertExit(r, 0, dialogs=[])
        self.assertTrue(package.is_registered())
        ranged = [line for line in self.requests() if "range=bytes=" in line]
        self.assertTrue(ranged, f"no range request: {self.requests()}")
        self.assertIn(f"range=bytes={half}-", ranged[0])

    def test_missing_package_fails_and_leaves_nothing(self):
        exe = self.launcher(f"{self.base}/status/404")
        log = self.work / "missing.log"
        r = self.run_setup(f'/s /v"/qn" /debuglog"{to_win(log)}"', setup_exe=exe, timeout=240)
        self.assertFalse(r.timed_out, r)
        self.assertNotEqual(r.exit_code, 0, r)
        messages = self.log_messages(log)
        self.assertFalse(any(m.startswith("Attempting to launch: MSIEXEC.EXE") for m in messages), messages)
        # HTTP failures carry 0x8004D3C0 plus the status.
        self.assertEqual(r.exit_code & 0xFFFFFFFF, 0x8004D3C0 + 404, messages)


if __name__ == "__main__":
    unittest.main()
