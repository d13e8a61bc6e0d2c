"""The "/g" signature-check form of the real setup.exe: its exit code is the
verification result of the file against the serialized certificate, the
same as the in-process check gives (signature_probe.exe, tests/unit), and a
silent check ("/s") never shows anything.

The material (a test CA, code-signing certificates, signed copies of
runexe.exe, serialized certificates) is made afresh for the run by
tests/common/trust_fixtures.py with openssl and osslsigncode.

Wine's trust provider trusts any intact signature, whatever its chain, and
its legacy Authenticode check shows no dialog and answers like that: a file
signed with another certificate is therefore accepted by an interactive
check under Wine, where Windows would ask the user. Those cases are compared
between the two forms only; the codes asserted outright are the ones Wine
and Windows agree on.
"""

import os
import sys
import unittest
from pathlib import Path
from unittest import mock

from harness import BUILD, ROOT, RUNEXE, WORK, ScenarioTest, run_windows, to_win

sys.path.insert(0, str(ROOT / "tests" / "common"))
import trust_fixtures  # noqa: E402

PROBE = Path(os.environ.get("OV_SIGNATURE_PROBE", BUILD / "tests/unit/signature_probe.exe"))

TRUSTED = 0
FAILED = 1621
NO_PROVIDER = 1642

# (file, certificate, silent, exit code) where Wine answers as Windows does.
AGREED = [
    ("signed.exe", "signer.ser", False, TRUSTED),
    ("signed.exe", "signer.ser", True, TRUSTED),
    ("signed.exe", "other.ser", True, FAILED),
    ("signed-other.exe", "signer.ser", True, FAILED),
    ("signed-impostor.exe", "signer.ser", True, FAILED),
    ("unsigned.exe", "signer.ser", True, FAILED),
    ("unsigned.exe", "signer.ser", False, FAILED),
    ("tampered.exe", "signer.ser", True, FAILED),
    ("tampered.exe", "signer.ser", False, FAILED),
    ("signed.exe", "garbage.ser", True, FAILED),
    ("signed.exe", "crl.ser", True, FAILED),
    ("signed.exe", "no-such-certificate.ser", True, FAILED),
    ("no-such-file.exe", "signer.ser", True, FAILED),
    ("no-such-file.exe", "signer.ser", False, FAILED),
]

# Interactive checks of intact signatures that the strict check refuses:
# the system's Authenticode check decides (Windows: the user, in its
# dialog; Wine: no dialog, accepted).
SYSTEM_DECIDES = [
    ("signed.exe", "other.ser"),
    ("signed-other.exe", "signer.ser"),
    ("signed.exe", "garbage.ser"),
    ("signed-untrusted.exe", "signer.ser"),
]


class SignatureCheckTest(ScenarioTest):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if not PROBE.is_file():
            raise RuntimeError(f"signature_probe.exe not built: {PROBE}")
        cls.material = WORK / "signature-material"
        trust_fixtures.make(cls.material, RUNEXE)

    def fixture(self, name):
        return to_win(self.material / name)

    def check(self, file, certificate, silent, form="/g"):
        """setup.exe "/g <file> /g <certificate>[ /s]"; windows are answered
        with Return and recorded."""
        suffix = " /s" if silent else ""
        return self.run_setup(f"{form} {self.fixture(file)} {form} {self.fixture(certificate)}{suffix}",
                              timeout=60)

    def in_process(self, file, certificate, silent):
        suffix = " /s" if silent else ""
        r = run_windows(f"{to_win(PROBE)} {self.fixture(file)} {self.fixture(certificate)}{suffix}", timeout=60)
        self.assertFalse(r.timed_out, r)
        return r.exit_code

    def test_exit_codes_are_the_verification_results(self):
        for file, certificate, silent, code in AGREED:
            with self.subTest(file=file, certificate=certificate, silent=silent):
                self.assertExit(self.check(file, certificate, silent), code, dialogs=[])
                self.assertEqual(self.in_process(file, certificate, silent), code)

    def test_interactive_system_check_gives_the_same_code_in_both_forms(self):
        for file, certificate in SYSTEM_DECIDES:
            with self.subTest(file=file, certificate=certificate):
                expected = self.in_process(file, certificate, False)
                self.assertIn(expected, (TRUSTED, FAILED))
                self.assertExit(self.check(file, certificate, False), expected, dialogs=[])
                # The silent form never leaves the decision to anyone.
                self.assertExit(self.check(file, certificate, True), FAILED, dialogs=[])

    def test_switch_spellings(self):
        # A leading "-g", and a silent switch written "-s" or "/S", as the
        # entry accepts them (the second switch is found by its "/").
        cases = [
            (f"-g {self.fixture('signed.exe')} /g {self.fixture('signer.ser')}", TRUSTED),
            (f"/G {self.fixture('signed-other.exe')} /G {self.fixture('signer.ser')} -s", FAILED),
            (f"/g {self.fixture('tampered.exe')} /g {self.fixture('signer.ser')} /S", FAILED),
        ]
        for arguments, code in cases:
            with self.subTest(arguments=arguments):
                self.assertExit(self.run_setup(arguments, timeout=60), code, dialogs=[])

    def test_without_a_trust_provider(self):
        # wintrust.dll disabled for the launcher (and the probe): 1642 when
        # a user could have been asked, 1621 when silent.
        overrides = {"WINEDLLOVERRIDES": "wintrust=;mscoree=;mshtml="}
        with mock.patch.dict(os.environ, overrides):
            for silent, code in ((False, NO_PROVIDER), (True, FAILED)):
                with self.subTest(silent=silent):
                    self.assertExit(self.check("signed.exe", "signer.ser", silent), code, dialogs=[])
                    self.assertEqual(self.in_process("signed.exe", "signer.ser", silent), code)

    def test_a_g_line_without_certificate_checks_against_nothing(self):
        # No second "/" switch: the check runs with no certificate, so the
        # strict check cannot pass, and no ordinary setup run starts in its
        # place (it would show windows and end with another code).
        cases = [
            (f"/g {self.fixture('unsigned.exe')}", FAILED),
            # The dash form has no "/": the whole rest is taken as the file.
            (f"-g {self.fixture('signed.exe')} -g {self.fixture('signer.ser')}", FAILED),
            # An intact signature: the system's check decides, as in process.
            (f"/g {self.fixture('signed.exe')}", self.in_process_without_certificate("signed.exe")),
        ]
        for arguments, code in cases:
            with self.subTest(arguments=arguments):
                self.assertExit(self.run_setup(arguments, timeout=30), code, dialogs=[])

    def in_process_without_certificate(self, file):
        r = run_windows(f'{to_win(PROBE)} {self.fixture(file)} ""', timeout=60)
        self.assertFalse(r.timed_out, r)
        return r.exit_code

if __name__ == "__main__":
    unittest.main()
