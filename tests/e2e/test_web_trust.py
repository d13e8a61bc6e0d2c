"""A downloaded package whose setup.ini section names a certificate (CertKey)
is installed only when its Authenticode signature checks out against that
certificate: an unsigned or tampered download is refused, deleted, and a
silent run ends with 1621."""

import os
import subprocess
import sys
import unittest
from pathlib import Path

from harness import ROOT, RUNEXE, ScenarioTest, run_quietly, to_win

sys.path.insert(0, str(ROOT / "tests" / "servers"))
sys.path.insert(0, str(ROOT / "tests" / "common"))
import faulty_http  # noqa: E402
import trust_fixtures  # noqa: E402

OVPACK = Path(os.environ.get("OV_OVPACK", ROOT / "build" / "native" / "tools" / "ovpack"))


class WebTrustTest(ScenarioTest):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.material = Path(os.environ.get("OV_E2E_WORK", "/tmp")) / "web-trust-material"
        trust_fixtures.make(cls.material, RUNEXE)

    def setUp(self):
        super().setUp()
        self.www = self.work / "www"
        self.www.mkdir()
        self.server = faulty_http.start(str(self.www), os.devnull)
        self.addCleanup(self.server.stop)
        self.base = f"http://127.0.0.1:{self.server.server_address[1]}"

    def launcher(self):
        src = self.work / "src"
        src.mkdir(exist_ok=True)
        ini = ("[Startup]\r\nPackageName=demo.msi\r\nScriptDriven=0\r\n"
               f"[demo.msi]\r\nType=2\r\nLocation={self.base}/files/demo.msi\r\nCertKey=publisher.ser\r\n")
        (src / "setup.ini").write_bytes(ini.encode("ascii"))
        (src / "publisher.ser").write_bytes((self.material / "signer.ser").read_bytes())
        out = self.launcher_dir / "setup.exe.packed"
        subprocess.run([str(OVPACK), "build", "--launcher", str(self.setup_exe), "--out", str(out),
                        str(src / "setup.ini"), str(src / "publisher.ser")], check=True, capture_output=True,
                       timeout=60)
        exe = self.launcher_dir / "websetup.exe"
        out.replace(exe)
        return exe

    def test_unsigned_and_tampered_downloads_are_refused(self):
        for served in ("unsigned.exe", "tampered.exe", "signed-other.exe"):
            with self.subTest(served=served):
                (self.www / "demo.msi").write_bytes((self.material / served).read_bytes())
                exe = self.launcher()
                log = self.work / f"{served}.log"
                r = self.run_setup(f'/s /v"/qn" /debuglog"{to_win(log)}"', setup_exe=exe, timeout=240)
                self.assertExit(r, 1621, dialogs=[])
                messages = self.log_messages(log)
                self.assertIn(f"DownloadFiles: downloading {self.base}/files/demo.msi", messages)
                self.assertFalse(any(m.startswith("Attempting to launch: MSIEXEC.EXE") for m in messages),
                                 messages)
                # The refused file is gone: nothing is left for a later step to take up.
                extracted = [m for m in messages if m.startswith("Extracting 'Setup.INI' to ")]
                self.assertTrue(extracted, messages)
                folder = extracted[0][len("Extracting 'Setup.INI' to "):].rsplit("\\", 1)[0]
                from harness import prefix_path
                self.assertFalse((prefix_path(folder) / "demo.msi").exists())


if __name__ == "__main__":
    unittest.main()
