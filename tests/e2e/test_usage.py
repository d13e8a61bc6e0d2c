"""Entry modes that end on their own: the usage text, the major-upgrade
removal values, the reboot mode without its engine library, and /k."""

import unittest

from harness import (EXIT_BAD_REMOVAL_VALUE, EXIT_ENGINE_LIBRARY_UNUSABLE,
                     EXIT_INVALID_COMMAND_LINE, EXIT_NO_ENGINE_LIBRARY, WIZARD_TITLE,
                     ScenarioTest, to_win)

USAGE_TEXT = "\r\n".join([
    "Command line parameters:",
    "/L language ID",
    "/S Hide intialization dialog.  For silent mode use: /S /v/qn.",
    "/V parameters to MsiExec.exe",
    "/UA<url to InstMsiA.exe>",
    "/UW<url to InstMsiW.exe>",
    "/UM<url to msi package>",
    "/US<url to OvScript.msi>",
])


class UsageTest(ScenarioTest):

    def assertWizardDialogs(self, result):
        """At least one window was answered, and all carry the launcher's title."""
        self.assertTrue(result.dialogs, f"no dialog was shown: {result}")
        for title in result.dialogs:
            self.assertTrue(title.endswith(WIZARD_TITLE), f"dialog title {title!r}: {result}")

    def test_invalid_command_lines_show_the_usage_and_exit_1203(self):
        cases = [
            ("foo", "a plain argument"),
            ('/v"A=1" bar', "a plain argument after a valid option"),
            ("/x /x", "a second uninstall"),
            ("/a /j", "advertise after administrative install"),
            ("/y", "a letter that names no option"),
            ("-O", "an unknown letter after a dash, upper case"),
            ("/7", "not a letter"),
        ]
        for args, why in cases:
            with self.subTest(args=args, why=why):
                r = self.run_setup(args)
                self.assertExit(r, EXIT_INVALID_COMMAND_LINE)
                self.assertWizardDialogs(r)

    def test_usage_text_is_logged_and_the_run_ends_with_1203(self):
        log = self.work / "usage.log"
        r = self.run_setup(f'foo /debuglog"{to_win(log)}"')
        self.assertExit(r, EXIT_INVALID_COMMAND_LINE)
        self.assertWizardDialogs(r)
        messages = self.log_messages(log)
        self.assertIn(USAGE_TEXT, messages)
        self.assertEqual(messages[-1], "Setup returning 1203")

    def test_escape_does_not_close_the_usage_dialog(self):
        # The error dialog ignores the cancel command: only its button ends it.
        # Escape goes five times: Wine may drop the first presses (harness).
        escapes = ["Escape"] * 5
        r = self.run_setup("foo", keys=escapes + ["Return"])
        self.assertExit(r, EXIT_INVALID_COMMAND_LINE)
        self.assertWizardDialogs(r)
        for title, keys in r.presses:
            self.assertEqual(keys[:6], escapes + ["Return"], f"closed by Escape? {title}: {r}")

    def test_major_upgrade_removal_values(self):
        # The scanner keeps quotes, so "a;1" splits into "a and 1" (two pieces).
        # Without OVSetup.dll beside the launcher or in its payload, a value of
        # three or four pieces ends with 7001; no dialog either way.
        cases = [
            ('/removeasmajorupgrade"a;1"', EXIT_BAD_REMOVAL_VALUE),
            ("/removeasmajorupgrade", EXIT_BAD_REMOVAL_VALUE),
            ("/removeasmajorupgradea;1;2;3;4", EXIT_BAD_REMOVAL_VALUE),
            ("-REMOVEASMAJORUPGRADEa;1", EXIT_BAD_REMOVAL_VALUE),
            ('/runfromtemp /Q /removeasmajorupgrade"a;1"', EXIT_BAD_REMOVAL_VALUE),
            # The mode options are looked for before the leading /k is.
            ('/k /removeasmajorupgrade"a;1"', EXIT_BAD_REMOVAL_VALUE),
            ("/removeasmajorupgradea;1;2", EXIT_NO_ENGINE_LIBRARY),
            ("/removeasmajorupgradea;1;2;", EXIT_NO_ENGINE_LIBRARY),
            ("/removeasmajorupgradea;1;2;d", EXIT_NO_ENGINE_LIBRARY),
        ]
        for args, code in cases:
            with self.subTest(args=args):
                r = self.run_setup(args, timeout=30)
                self.assertExit(r, code, dialogs=[])

    def test_reboot_without_the_engine_library_exits_1670(self):
        cases = [
            "/reboot",
            "/REBOOTxyz",                              # the name is a prefix
            '-reboot /removeasmajorupgrade"a;1"',      # reboot comes first
        ]
        for args in cases:
            with self.subTest(args=args):
                r = self.run_setup(args)
                self.assertExit(r, EXIT_ENGINE_LIBRARY_UNUSABLE)
                self.assertWizardDialogs(r)

    def test_k_starts_a_copy_and_does_not_wait_for_it(self):
        log = self.work / "k.log"
        exe = to_win(self.setup_exe)
        r = self.run_setup(f'/k foo /debuglog"{to_win(log)}"', keys=None)
        self.assertExit(r, 0)
        # The copy shows the usage text and waits for Enter: it must still be
        # running after the launcher that started it has ended.
        copy = self.closer()
        self.assertTrue(copy.poll(), "the copy is not running")
        self.assertTrue(copy.wait_until_gone(60), "the copy did not end")
        self.assertTrue(copy.dialogs(), "the copy showed no dialog")
        messages = self.log_messages(log)
        for expected in [
            f'Orvane setup.exe (Unicode) started, cmdline: /k foo /debuglog"{to_win(log)}"',
            f'Attempting to launch (no wait): {exe} foo /debuglog"{to_win(log)}"',
            "Launch result 1",
            f'Orvane setup.exe (Unicode) started, cmdline: foo /debuglog"{to_win(log)}"',
            "Setup returning 1203",
        ]:
            self.assertIn(expected, messages)


if __name__ == "__main__":
    unittest.main()
