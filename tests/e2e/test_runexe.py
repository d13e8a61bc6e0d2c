"""runexe.exe, the runner through which the scenarios see whole exit codes."""

import unittest

import uuid

from harness import check_environment, prefix_temp_dir, run_windows


class RunexeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        check_environment(need_setup=False)

    def test_reports_the_whole_signed_exit_code(self):
        # Linux would see 0, 179, 252, 0, 204 for these.
        for code in (0, 1203, -4, 256, -858993460, 2147483647, -2147483648):
            with self.subTest(code=code):
                r = run_windows(f"cmd /c exit {code}", timeout=30)
                self.assertEqual((r.exit_code, r.runner_status), (code, 0), r)

    def test_passes_the_command_line_verbatim(self):
        # Quotes inside a token and doubled blanks must survive: Wine would
        # re-quote such Linux arguments.
        text = '"a b" x"y"  /debuglog"Z:\\a b\\c.log"'
        r = run_windows(f"cmd /c echo {text}", timeout=30)
        self.assertEqual(r.exit_code, 0, r)
        self.assertIn(text + "\r\n", r.output)

    def test_reports_a_program_that_cannot_start(self):
        r = run_windows("Z:\\no\\such\\folder\\nothing.exe /x", timeout=30)
        self.assertIsNone(r.exit_code, r)
        self.assertIn(r.start_error, (2, 3), r)  # file or path not found
        self.assertEqual(r.runner_status, 2, r)

    def test_ends_a_child_that_outlives_the_timeout(self):
        r = run_windows("ping -n 60 127.0.0.1", timeout=2)
        self.assertTrue(r.timed_out, r)
        self.assertEqual(r.runner_status, 3, r)
        self.assertLess(r.seconds, 20, r)


class HarnessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        check_environment(need_setup=False)

    def test_finds_the_prefix_temp_folder(self):
        name = f"ov-harness-{uuid.uuid4().hex}.txt"
        r = run_windows(f"cmd /c echo found> %TEMP%\\{name}", timeout=30)
        self.assertEqual(r.exit_code, 0, r)
        path = prefix_temp_dir() / name
        try:
            self.assertEqual(path.read_bytes(), b"found\r\n")
            self.assertEqual(path.parent.name, "Temp")
        finally:
            path.unlink(missing_ok=True)


if __name__ == "__main__":
    unittest.main()
