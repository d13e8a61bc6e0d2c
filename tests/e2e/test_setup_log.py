"""The setup log: /debuglog, the per-user registry switch, the file's place,
its line format, appending and the ANSI conversion.

The quick command line used here is a major-upgrade removal with a bad value:
it logs its start and its mode, then ends with -4 without a dialog."""

import datetime
import re
import unittest

from harness import (EXIT_BAD_REMOVAL_VALUE, EXIT_INVALID_COMMAND_LINE, LOG_KEY, LOG_NAME,
                     ScenarioTest, read_log, reg_delete, reg_set, to_win)

QUICK = '/removeasmajorupgrade"a;1"'
QUICK_MESSAGE = "Running as remove major upgrade"
STARTED = "Orvane setup.exe (Unicode) started, cmdline: "
# Month and day without leading zeros; 12-hour clock with two digits.
STRICT_STAMP = re.compile(r"^([1-9]|1[0-2])-([1-9]|[12]\d|3[01])-(\d{4})\[(0[1-9]|1[0-2]):[0-5]\d:[0-5]\d [AP]M\]: ")


class SetupLogTest(ScenarioTest):

    def setUp(self):
        super().setUp()
        self.clear_switches()
        self.addCleanup(self.clear_switches)
        self.logs = self.work / "log folder"
        self.logs.mkdir()

    @staticmethod
    def clear_switches():
        reg_delete(LOG_KEY, "DoVerboseLogging")
        reg_delete(LOG_KEY, "VerboseLogPath")

    def beside_launcher(self):
        return sorted(p.name for p in self.launcher_dir.iterdir())

    def test_debuglog_file_gets_plain_lines(self):
        log = self.work / "my logs" / "a.log"   # quoted value with a blank
        log.parent.mkdir()
        args = f'/debuglog"{to_win(log)}" {QUICK}'
        r = self.run_setup(args)
        self.assertExit(r, EXIT_BAD_REMOVAL_VALUE, dialogs=[])
        lines = read_log(log)
        self.assertEqual([l.message for l in lines], [STARTED + args, QUICK_MESSAGE])
        self.assertEqual([l.source for l in lines], [None, None])
        self.assertEqual(self.beside_launcher(), ["setup.exe"])
        # "M-d-yyyy[hh:mm:ss AM]: ", today's local date.
        today = datetime.date.today()
        for line in lines:
            m = STRICT_STAMP.match(line.raw)
            self.assertTrue(m, f"time stamp: {line.raw!r}")
            date = datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
            self.assertIn(date, (today, today - datetime.timedelta(days=1)), line.raw)

    def test_debuglog_without_value_writes_to_the_default_file(self):
        # VerboseLogPath names the folder; missing or empty: beside setup.exe.
        logs_win = to_win(self.logs)
        cases = [
            (None, self.launcher_dir),
            ("", self.launcher_dir),
            (logs_win, self.logs),
            (logs_win + "\\", self.logs),   # no doubled backslash
        ]
        for value, folder in cases:
            with self.subTest(VerboseLogPath=value):
                for place in (self.launcher_dir, self.logs):
                    (place / LOG_NAME).unlink(missing_ok=True)
                if value is None:
                    reg_delete(LOG_KEY, "VerboseLogPath")
                else:
                    reg_set(LOG_KEY, "VerboseLogPath", value)
                r = self.run_setup(f"/debuglog {QUICK}")
                self.assertExit(r, EXIT_BAD_REMOVAL_VALUE, dialogs=[])
                lines = read_log(folder / LOG_NAME)
                self.assertEqual([l.message for l in lines], [f"{STARTED}/debuglog {QUICK}", QUICK_MESSAGE])
                self.assertEqual([l.source for l in lines], [None, None])
                other = self.logs if folder == self.launcher_dir else self.launcher_dir
                self.assertFalse((other / LOG_NAME).exists())

    def test_no_file_without_debuglog_or_the_switch(self):
        reg_set(LOG_KEY, "VerboseLogPath", to_win(self.logs))
        cases = [
            (None, QUICK, EXIT_BAD_REMOVAL_VALUE),
            (0, QUICK, EXIT_BAD_REMOVAL_VALUE),
            (2, QUICK, EXIT_BAD_REMOVAL_VALUE),
            (None, "foo", EXIT_INVALID_COMMAND_LINE),   # the ordinary run logs more
        ]
        for switch, args, code in cases:
            with self.subTest(DoVerboseLogging=switch, args=args):
                if switch is None:
                    reg_delete(LOG_KEY, "DoVerboseLogging")
                else:
                    reg_set(LOG_KEY, "DoVerboseLogging", switch)
                r = self.run_setup(args)
                self.assertExit(r, code)
                self.assertEqual(self.beside_launcher(), ["setup.exe"])
                self.assertEqual(list(self.logs.iterdir()), [])

    def test_registry_switch_adds_the_source_position(self):
        reg_set(LOG_KEY, "DoVerboseLogging", 1)
        reg_set(LOG_KEY, "VerboseLogPath", to_win(self.logs))
        r = self.run_setup(QUICK)
        self.assertExit(r, EXIT_BAD_REMOVAL_VALUE, dialogs=[])
        lines = read_log(self.logs / LOG_NAME)
        self.assertEqual([l.message for l in lines], [STARTED + QUICK, QUICK_MESSAGE])
        for line in lines:
            # "  --  File: Setup\<file>, Line: <n>": the last folder and the file.
            self.assertIsNotNone(line.source, line.raw)
            folder, name, number = line.source
            self.assertEqual(folder, "Setup", line.raw)
            self.assertRegex(name, r"^\w+\.(cpp|h)$", line.raw)
            self.assertGreater(number, 0, line.raw)
        self.assertEqual(self.beside_launcher(), ["setup.exe"])

    def test_debuglog_turns_the_source_position_off_even_with_the_switch(self):
        reg_set(LOG_KEY, "DoVerboseLogging", 1)
        reg_set(LOG_KEY, "VerboseLogPath", to_win(self.logs))
        log = self.work / "explicit.log"
        args = f'/debuglog"{to_win(log)}" {QUICK}'
        r = self.run_setup(args)
        self.assertExit(r, EXIT_BAD_REMOVAL_VALUE, dialogs=[])
        lines = read_log(log)
        self.assertEqual([(l.message, l.source) for l in lines],
                         [(STARTED + args, None), (QUICK_MESSAGE, None)])
        self.assertEqual(list(self.logs.iterdir()), [])

    def test_two_runs_append_to_the_same_file(self):
        log = self.work / "append.log"
        earlier = b"1-2-2000[03:04:05 AM]: a line of an earlier run\r\n"
        log.write_bytes(earlier)
        sizes = []
        for _ in range(2):
            r = self.run_setup(f'/debuglog"{to_win(log)}" {QUICK}')
            self.assertExit(r, EXIT_BAD_REMOVAL_VALUE, dialogs=[])
            data = log.read_bytes()
            self.assertTrue(data.startswith(earlier), data[:120])
            sizes.append(len(data))
        self.assertGreater(sizes[0], len(earlier))
        self.assertEqual(sizes[1] - sizes[0], sizes[0] - len(earlier))  # same two lines again
        messages = self.log_messages(log)
        self.assertEqual(sum(m.startswith(STARTED) for m in messages), 2)
        self.assertEqual(messages.count(QUICK_MESSAGE), 2)

    def test_text_outside_the_ansi_code_page_is_replaced(self):
        log = self.work / "ansi.log"
        r = self.run_setup(f'/debuglog"{to_win(log)}" {QUICK} /z\u4e2d\u6587')
        self.assertExit(r, EXIT_BAD_REMOVAL_VALUE, dialogs=[])
        data = log.read_bytes()
        self.assertNotIn("\u4e2d".encode("utf-8"), data)
        self.assertNotIn("\u4e2d".encode("utf-16-le"), data)
        first = read_log(log)[0]
        self.assertEqual(first.message, f'{STARTED}/debuglog"{to_win(log)}" {QUICK} /z??')


if __name__ == "__main__":
    unittest.main()
