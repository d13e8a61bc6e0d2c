"""The run-once form "/%": the launcher runs MSIEXEC.EXE with the text from
the first "/" after its two leading characters, waits, and exits 0.

That command line cannot carry /debuglog (msiexec would get it), so the log
is turned on through the per-user registry switch, which also adds the
source position to every line."""

import unittest
import uuid

from harness import (LOG_KEY, LOG_NAME, ScenarioTest, build_demo_msi, read_log, reg_delete,
                     reg_set, run_windows, to_win)


def new_guid():
    return "{" + str(uuid.uuid4()).upper() + "}"


class RunOnceTest(ScenarioTest):

    def setUp(self):
        super().setUp()
        self.logs = self.work / "logs"
        self.logs.mkdir()
        self.addCleanup(self.clear_switches)
        reg_set(LOG_KEY, "DoVerboseLogging", 1)
        reg_set(LOG_KEY, "VerboseLogPath", to_win(self.logs))

    @staticmethod
    def clear_switches():
        reg_delete(LOG_KEY, "DoVerboseLogging")
        reg_delete(LOG_KEY, "VerboseLogPath")

    def assertLaunchLogged(self, command, exit_code):
        """The log holds the launch of command and its result, with the
        source position of the launching code."""
        lines = read_log(self.logs / LOG_NAME)
        for line in lines:
            self.assertIsNotNone(line.source, f"no source position: {line.raw!r}")
            self.assertEqual(line.source[0], "Setup", line.raw)
        messages = [l.message for l in lines]
        attempt = f"Attempting to launch: {command}"
        result = f"Launch result 1, exit code {exit_code}"
        self.assertIn(attempt, messages)
        self.assertIn(result, messages)
        self.assertLess(messages.index(attempt), messages.index(result))

    def test_runs_the_installer_command_from_the_first_slash(self):
        guid = new_guid()  # no such product: msiexec answers on its own
        cases = [
            (f"/% /I {guid} REBOOT=ReallySuppress", f"MSIEXEC.EXE /I {guid} REBOOT=ReallySuppress"),
            (f"-%junk /I {guid} /qn", f"MSIEXEC.EXE /I {guid} /qn"),
        ]
        for args, command in cases:
            with self.subTest(args=args):
                (self.logs / LOG_NAME).unlink(missing_ok=True)
                direct = run_windows(command, timeout=60)
                self.assertIsNotNone(direct.exit_code, direct)
                self.assertNotEqual(direct.exit_code, 0, direct)  # so the log shows a real code
                r = self.run_setup(args)
                self.assertExit(r, 0, dialogs=[])
                self.assertLaunchLogged(command, direct.exit_code)

    def test_removes_an_installed_product(self):
        package = build_demo_msi(self.work)
        install = run_windows(f"msiexec /i {to_win(package.path)} /qn DEMOPROP=run-once-test", timeout=120)
        self.addCleanup(run_windows, f"msiexec /x {package.product_code} /qn", 120)
        self.assertEqual(install.exit_code, 0, install)
        self.assertTrue((package.install_dir / "readme.txt").is_file())
        self.assertTrue(package.is_registered())
        self.assertEqual(package.recorded_property(), "run-once-test")

        r = self.run_setup(f"/% /X {package.product_code} /qn", timeout=120)
        self.assertExit(r, 0, dialogs=[])
        self.assertLaunchLogged(f"MSIEXEC.EXE /X {package.product_code} /qn", 0)
        self.assertFalse((package.install_dir / "readme.txt").exists())
        self.assertFalse(package.is_registered())
        self.assertIsNone(package.recorded_property())


if __name__ == "__main__":
    unittest.main()
