"""The operating-system check against the Windows version the prefix
reports. Wine lets one program report another version (AppDefaults), so
these runs use their own copy of the launcher under its own name and never
change what other tests see."""

import os
import subprocess
import unittest
from pathlib import Path

from harness import ROOT, ScenarioTest, reg_delete, reg_set, to_win

OVPACK = Path(os.environ.get("OV_OVPACK", ROOT / "build" / "native" / "tools" / "ovpack"))
EXE_NAME = "ostest.exe"
APP_KEY = rf"HKCU\Software\Wine\AppDefaults\{EXE_NAME}"

# Engine 4.5 on Windows 7 and later, 3.1 on XP and Server 2003, 2.0 elsewhere.
SETUP_INI = (
    "[Startup]\r\nPackageName=absent.msi\r\nScriptDriven=0\r\n"
    "[MsiVersion]\r\n3.1.4000.2435=SupportXP\r\n4.5.6001.22159=SupportWin7\r\n2.0.2600.0=SupportNone\r\n"
    "[SupportWin7]\r\nWin7=\r\nWin10=\r\n"
    "[Win7]\r\nMajorVer=6\r\nMinorVer=1\r\nMinorVerMax=2\r\nPlatformId=2\r\n"
    "[Win10]\r\nMajorVer=10\r\nMinorVer=0\r\nMinorVerMax=1\r\nPlatformId=2\r\n"
    "[SupportXP]\r\nWinXP=\r\nWin2003=\r\n"
    "[WinXP]\r\nMajorVer=5\r\nMinorVer=1\r\nMinorVerMax=2\r\nPlatformId=2\r\n"
    "[Win2003]\r\nMajorVer=5\r\nMinorVer=2\r\nMinorVerMax=3\r\nPlatformId=2\r\n"
    "[SupportNone]\r\n"
)


class OsVersionTest(ScenarioTest):

    def setUp(self):
        super().setUp()
        self.addCleanup(reg_delete, APP_KEY)
        src = self.work / "src"
        src.mkdir()
        (src / "setup.ini").write_bytes(SETUP_INI.encode("ascii"))
        self.exe = self.launcher_dir / EXE_NAME
        subprocess.run([str(OVPACK), "build", "--launcher", str(self.setup_exe), "--out", str(self.exe),
                        str(src / "setup.ini")], check=True, capture_output=True, timeout=60)

    def test_system_and_engine_version_follow_the_reported_windows(self):
        cases = [
            ("win7", "version 6.1", "4.5.6001.22159"),
            ("win10", "version 10.0", "4.5.6001.22159"),
            ("win2003", "version 5.2", "3.1.4000.2435"),
            ("winxp64", "version 5.2", "3.1.4000.2435"),
            ("vista", "version 6.0", "2.0.2600.0"),   # no list names Vista: the lowest engine
        ]
        for winver, version, engine in cases:
            with self.subTest(winver=winver):
                reg_set(APP_KEY, "Version", winver)
                log = self.work / f"{winver}.log"
                r = self.run_setup(f'/s /debuglog"{to_win(log)}"', setup_exe=self.exe)
                messages = self.log_messages(log)
                systems = [m for m in messages if m.startswith("Operating system: ")]
                self.assertTrue(systems, messages)
                self.assertIn(f"platform 2, {version}", systems[0])
                self.assertIn(f"Required Windows Installer version: {engine}", messages)
                # The package is absent beside the launcher: file not found.
                self.assertExit(r, 1155, dialogs=[])


if __name__ == "__main__":
    unittest.main()
