"""A launcher built by the authoring tool: what an ordinary run takes out of
its payload, what it leaves behind, and how it treats a damaged launcher."""

import os
import random
import re
import subprocess
import unittest
from pathlib import Path

from harness import ROOT, ScenarioTest, build_demo_msi, prefix_path, run_quietly, to_win

OVPACK = Path(os.environ.get("OV_OVPACK", ROOT / "build" / "native" / "tools" / "ovpack"))
EXTRACTING = re.compile(r"^Extracting '([^']+)' to (.+)$")

SETUP_INI = (
    "[Startup]\r\n"
    "PackageName=demo.msi\r\n"
    "CmdLine=/qn\r\n"
    "ProductCode={6A1D4F63-8C11-4E0B-9D55-0C3C5E2B7A10}\r\n"
    "ScriptDriven=0\r\n"
    "[Languages]\r\n"
    "Default=0x0409\r\n"
    "Supported=0x0409,0x0407\r\n"
    "[Info]\r\n"
    "DiskSpace=1000\r\n"
    "[demo.msi]\r\n"
    "Type=1\r\n"
)
ENGLISH = "[0x0409]\r\n1203=Command line parameters:\r\n"
GERMAN = "[0x0407]\r\n1203=Befehlszeilenparameter:\r\n1204=/L Sprachkennung\r\n"


class PayloadRunTest(ScenarioTest):

    def demo_package(self):
        """The demo MSI under the name setup.ini gives it; removed again after the test."""
        package = build_demo_msi(self.work)
        target = self.work / "src" / "demo.msi"
        target.parent.mkdir(exist_ok=True)
        package.path.replace(target)
        self.addCleanup(run_quietly, ["wine", "msiexec", "/x", package.product_code, "/qn"], 300)
        return package, target

    def build_launcher(self, files, out_name="setup.exe", setup_ini=SETUP_INI):
        """Writes the files and packs them behind the launcher, language files
        compressed and scrambled in blocks, the big file scrambled whole."""
        src = self.work / "src"
        src.mkdir(exist_ok=True)
        (src / "setup.ini").write_bytes(setup_ini.encode("ascii"))
        (src / "0x0409.ini").write_bytes(ENGLISH.encode("ascii"))
        (src / "0x0407.ini").write_bytes(GERMAN.encode("latin-1"))
        args = [str(OVPACK), "build", "--launcher", str(self.setup_exe), "--out", str(self.launcher_dir / out_name),
                "--compress", "--scramble", "block", str(src / "setup.ini"), str(src / "0x0409.ini"),
                str(src / "0x0407.ini"), "--store", "--scramble", "whole"]
        args += [str(f) for f in files]
        subprocess.run(args, check=True, capture_output=True, timeout=120)
        return self.launcher_dir / out_name

    def big_file(self):
        big = self.work / "src" / "data.bin"
        big.parent.mkdir(exist_ok=True)
        rng = random.Random(7)
        with big.open("wb") as f:
            for _ in range(50):
                f.write(rng.randbytes(1 << 20))
        return big

    def run_folder(self, messages):
        """The temporary folder the run extracted into (from its log)."""
        for m in messages:
            hit = EXTRACTING.match(m)
            if hit:
                return prefix_path(hit.group(2).rsplit("\\", 1)[0])
        self.fail(f"no extraction in the log: {messages}")

    def test_run_extracts_what_it_needs_and_leaves_nothing(self):
        package, msi = self.demo_package()
        exe = self.build_launcher([msi, self.big_file()])
        log = self.work / "run.log"
        r = self.run_setup(f'/s /debuglog"{to_win(log)}"', setup_exe=exe, timeout=240)
        self.assertExit(r, 0, dialogs=[])
        self.assertTrue(package.is_registered(), "the demo product was not installed")
        messages = self.log_messages(log)
        extracted = [EXTRACTING.match(m).group(1) for m in messages if EXTRACTING.match(m)]
        # setup.ini, the language files and the package; the 50 MiB file is
        # not needed by this run and stays in the launcher.
        self.assertEqual(sorted(extracted), ["0x0407.ini", "0x0409.ini", "Setup.INI", "demo.msi"])
        self.assertIn("Dumping setup.ini...", messages)
        dump = messages[messages.index("Dumping setup.ini..."):]
        for line in ["Section: Startup", "PackageName=demo.msi", "Section: Languages",
                     "Supported=0x0409,0x0407", "Section: Info", "DiskSpace=1000"]:
            self.assertIn(line, dump)
        self.assertEqual(messages[-1], "Setup returning 0")
        self.assertFalse(self.run_folder(messages).exists(), "the temporary folder was left behind")

    def test_launcher_cut_short_fails_with_1152_and_installs_nothing(self):
        package, msi = self.demo_package()
        exe = self.build_launcher([msi, self.big_file()])
        data = exe.read_bytes()
        short = self.launcher_dir / "short.exe"
        short.write_bytes(data[:-1])
        log = self.work / "short.log"
        r = self.run_setup(f'/s /debuglog"{to_win(log)}"', setup_exe=short, timeout=120)
        self.assertExit(r, 1152, dialogs=[])
        messages = self.log_messages(log)
        self.assertIn("Extraction of 'data.bin' failed", messages)
        self.assertFalse(any(EXTRACTING.match(m) for m in messages), "a damaged launcher extracted files")
        self.assertEqual(messages[-1], "Setup returning 1152")
        self.assertFalse(package.is_registered(), "a damaged launcher installed its package")
        # The run's own temporary folder is gone too.
        folders = [m for m in messages if m.startswith("Error extracting ")]
        self.assertEqual(len(folders), 1, messages)
        folder = prefix_path(folders[0][len("Error extracting "):].split(" to the temporary")[0].rsplit("\\", 1)[0])
        self.assertFalse(folder.exists())

    def test_usage_text_comes_in_the_chosen_language(self):
        exe = self.build_launcher([])
        cases = [("/L1031", "Befehlszeilenparameter:\r\n/L Sprachkennung"),
                 ("/L0x0407", "Befehlszeilenparameter:\r\n/L Sprachkennung"),
                 ("/L1033", "Command line parameters:\r\n/L language ID"),
                 # Japanese is not offered: the package default applies.
                 ("/L0x0411", "Command line parameters:\r\n/L language ID")]
        for option, start in cases:
            with self.subTest(option=option):
                log = self.work / f"usage{option[2:]}.log"
                r = self.run_setup(f'/s {option} foo /debuglog"{to_win(log)}"', setup_exe=exe)
                self.assertExit(r, 1203, dialogs=[])
                messages = self.log_messages(log)
                self.assertTrue(any(m.startswith(start) for m in messages), messages)

    def test_setup_ini_without_package_name_fails_with_1153(self):
        exe = self.build_launcher([], setup_ini=SETUP_INI.replace("PackageName=demo.msi\r\n", ""))
        log = self.work / "noname.log"
        r = self.run_setup(f'/s /debuglog"{to_win(log)}"', setup_exe=exe)
        self.assertExit(r, 1153, dialogs=[])
        messages = self.log_messages(log)
        self.assertIn("Failed to read setup package: PackageName name from Setup.ini", messages)
        self.assertFalse(self.run_folder(messages).exists())


if __name__ == "__main__":
    unittest.main()
