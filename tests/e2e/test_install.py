"""The installation itself: launchers built with the authoring tool from a
setup.ini and a package that wixl builds in the run install, remove and
administer real products through the Windows Installer of the prefix, pass
the installer's exit codes on, speak the chosen language, and hand a first
installation to the billboard library when the setup asks for billboards."""

import os
import re
import shutil
import subprocess
import unittest
import uuid
from pathlib import Path
from unittest import mock

from harness import (BUILD, EXIT_INVALID_COMMAND_LINE, PACKAGES, ROOT, Package, ScenarioTest,
                     build_demo_msi, prefix_path, prefix_temp_dir, run_quietly, run_windows, to_win,
                     wine_command)

OVPACK = Path(os.environ.get("OV_OVPACK", ROOT / "build" / "native" / "tools" / "ovpack"))
BILLBOARD_DOUBLE = Path(os.environ.get("OV_EXTERNALUI_DOUBLE", BUILD / "tests" / "doubles" / "OVExternalUI.dll"))

LAUNCH = "Attempting to launch: "
EXTRACTING = re.compile(r"^Extracting '([^']+)' to (.+)$")
PACKAGE_IN_TEMP = re.compile(r'^MSIEXEC\.EXE /[iax] "([^"]+)\\demo\.msi"')
TEMP_FOLDER_NAME = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$", re.I)
BILLBOARDS_USED = "First time install uses billboard support"
NO_BILLBOARD_DLL = ("Failed to get UI DLL from setup.exe for billboard support. "
                    "This installation will run without billboards.")

# The installer's own exit codes used below.
INSTALL_FAILURE = 1603
USER_CANCELLED = 1602
REBOOT_REQUIRED = 3010
REBOOT_INITIATED = 1641
FILE_NOT_FOUND = 1155

ENGLISH = "[0x0409]\r\n"  # empty: the launcher's built-in English texts
GERMAN = ("[0x0407]\r\n"
          "1155=Die Datei %s wurde nicht gefunden.\r\n"
          "1203=Befehlszeilenparameter:\r\n"
          "1204=/L Sprachkennung\r\n")


def package_code(msi):
    """The package code (summary property 9) of an MSI file."""
    status, out = run_quietly(["msiinfo", "suminfo", str(msi)], timeout=60)
    m = re.search(r"^Revision number \(UUID\): (\{[0-9A-Fa-f-]{36}\})\s*$", out, re.M)
    if status != 0 or not m:
        raise AssertionError(f"msiinfo suminfo {msi} ({status}): {out}")
    return m.group(1)


def build_guarded_msi(folder):
    """Builds packages/condition.wxs: a product whose launch condition fails
    unless ORVANE_ALLOW=yes is passed."""
    tag = uuid.uuid4().hex[:8]
    code = "{" + str(uuid.uuid4()).upper() + "}"
    name = f"Orvane Guarded {tag}"
    out = Path(folder) / f"guarded-{tag}.msi"
    status, output = run_quietly(["wixl", "-D", f"ProductCode={code}",
                                  "-D", "UpgradeCode={" + str(uuid.uuid4()).upper() + "}",
                                  "-D", f"ProductName={name}", "-o", str(out),
                                  str(PACKAGES / "condition.wxs")], timeout=120)
    if status != 0:
        raise AssertionError(f"wixl failed ({status}): {output}")
    return Package(out, code, name)


def remove_product(pkg):
    """Removes a product that a test left installed (also after a failure)."""
    if pkg.is_registered():
        wine_command("msiexec", "/x", pkg.product_code, "/qn", timeout=180, check=False)


class InstallTest(ScenarioTest):

    # ------------------------------------------------------------ building

    def package(self, guarded=False):
        """A fresh product of its own, removed again at the end of the test."""
        folder = self.work / "packages"
        folder.mkdir(exist_ok=True)
        pkg = build_guarded_msi(folder) if guarded else build_demo_msi(folder)
        self.addCleanup(remove_product, pkg)
        return pkg

    def launcher(self, pkg, startup=(), languages=("0x0409",), default="0x0409", package_section=("Type=1",),
                 in_payload=True, billboard_dll=False, folder="media", rtl_languages=None):
        """Packs setup.ini, the language files and (in_payload) the package as
        "demo.msi" behind a copy of the launcher; answers the new setup.exe.
        package_section: the keys of the [demo.msi] section, None for none."""
        src = self.work / f"src-{folder}"
        src.mkdir(exist_ok=True)
        lines = ["[Startup]", "PackageName=demo.msi", f"ProductCode={pkg.product_code}",
                 f"PackageCode={package_code(pkg.path)}", "ProductVersion=1.0.0", "ScriptDriven=0",
                 *startup, "[Languages]", f"Default={default}", "Supported=" + ",".join(languages)]
        if rtl_languages:
            lines.append(f"RTLLangs={rtl_languages}")
        if package_section is not None:
            lines += ["[demo.msi]", *package_section]
        (src / "setup.ini").write_bytes(("\r\n".join(lines) + "\r\n").encode("ascii"))
        texts = {"0x0409": ENGLISH, "0x0407": GERMAN}
        language_files = []
        for language in languages:
            path = src / f"{language}.ini"
            path.write_bytes(texts[language].encode("cp1252"))
            language_files.append(str(path))
        out_dir = self.work / folder
        out_dir.mkdir(exist_ok=True)
        exe = out_dir / "setup.exe"
        args = [str(OVPACK), "build", "--launcher", str(self.setup_exe), "--out", str(exe),
                "--compress", str(src / "setup.ini"), *language_files]
        if billboard_dll:
            args += ["--name", "OVExternalUI.dll", str(BILLBOARD_DOUBLE)]
        if in_payload:
            args += ["--store", "--name", "demo.msi", str(pkg.path)]
        r = subprocess.run(args, capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, f"ovpack: {r.stdout}{r.stderr}")
        return exe

    # ------------------------------------------------------------ running

    def install(self, exe, arguments, name, timeout=180, keys=("Return",), env=None):
        """Runs the launcher with a setup log; answers (result, log messages)."""
        log = self.work / f"{name}.log"
        with mock.patch.dict(os.environ, env or {}):
            r = self.run_setup(f'{arguments} /debuglog"{to_win(log)}"', setup_exe=exe, timeout=timeout, keys=keys)
        self.assertTrue(log.is_file(), f"no setup log: {r}")
        return r, self.log_messages(log)

    @staticmethod
    def launches(messages):
        return [m[len(LAUNCH):] for m in messages if m.startswith(LAUNCH)]

    def run_folder(self, messages):
        """The run's temporary folder (Windows path), from its extraction lines."""
        for m in messages:
            hit = EXTRACTING.match(m)
            if hit:
                return hit.group(2).rsplit("\\", 1)[0]
        self.fail(f"no extraction in the log: {messages}")

    def assertTempFolderGone(self, messages):
        folder = self.run_folder(messages)
        self.assertEqual(prefix_path(folder).parent, prefix_temp_dir(), folder)
        self.assertRegex(folder.rsplit("\\", 1)[1], TEMP_FOLDER_NAME)
        self.assertFalse(prefix_path(folder).exists(), f"the temporary folder {folder} was left behind")

    def assertLaunched(self, messages, switch, package_folder, properties, exe, exit_code):
        """Exactly one installer run, with the command line the launcher composes:
        the switch, the quoted package path, the properties given to the
        launcher and the launcher's folder and name."""
        tail = f' SETUPEXEDIR="{to_win(exe.parent)}" SETUPEXENAME="{exe.name}"'
        package = f"{package_folder}\\demo.msi"
        if switch == "/a" and not properties:  # the property string brings its own blank
            expected = f'MSIEXEC.EXE /a "{package}"{tail}'
        elif switch == "/a":  # properties from /v get one blank before them
            expected = f'MSIEXEC.EXE /a "{package}" {properties}{tail}'
        else:
            expected = f'MSIEXEC.EXE {switch} "{package}" {properties}{tail}'
        self.assertEqual(self.launches(messages), [expected], messages)
        self.assertIn(f"Launch result 1, exit code {exit_code}", messages)
        self.assertEqual(messages[-1], f"Setup returning {exit_code}")

    def assertInstalled(self, pkg, prop="unset"):
        self.assertTrue(pkg.is_registered(), f"{pkg.product_name} is not registered")
        for name in ("readme.txt", "license.txt"):
            self.assertEqual((pkg.install_dir / name).read_bytes(), (PACKAGES / name).read_bytes(), name)
        self.assertEqual(pkg.recorded_property(), prop)

    def assertNotInstalled(self, pkg):
        self.assertFalse(pkg.is_registered(), f"{pkg.product_name} is registered")
        self.assertFalse((pkg.install_dir / "readme.txt").exists())

    # ------------------------------------------------------------ scenarios

    def test_silent_install_from_the_payload(self):
        pkg = self.package()
        exe = self.launcher(pkg)
        r, messages = self.install(exe, '/s /v"/qn"', "install")
        self.assertExit(r, 0, dialogs=[])
        self.assertLaunched(messages, "/i", self.run_folder(messages), "/qn", exe, 0)
        self.assertIn("Getting file from setup.exe", messages)
        self.assertInstalled(pkg)
        self.assertTempFolderGone(messages)

    def test_properties_reach_the_installation(self):
        cases = [
            # (arguments, [Startup] lines, property string, value recorded by the package)
            ('/s /v"DEMOPROP=orvane-42 /qn"', (), "DEMOPROP=orvane-42 /qn", "orvane-42"),
            (r'/s /v"DEMOPROP=\"two words\" /qn"', (), 'DEMOPROP="two words" /qn', "two words"),
            ('/s /v"DEMOPROP=joined" /v"/qn"', (), "DEMOPROP=joined /qn", "joined"),
            ("/s", ("CmdLine=DEMOPROP=%OV_E2E_DEMOPROP% /qn",), "DEMOPROP=from-environment /qn",
             "from-environment"),
            # With a /v option the [Startup] command line is not used.
            ('/s /v"DEMOPROP=command-line /qn"', ("CmdLine=DEMOPROP=from-ini /qn",),
             "DEMOPROP=command-line /qn", "command-line"),
        ]
        for i, (arguments, startup, properties, recorded) in enumerate(cases):
            with self.subTest(arguments=arguments, startup=startup):
                pkg = self.package()
                exe = self.launcher(pkg, startup=startup, folder=f"media{i}")
                r, messages = self.install(exe, arguments, f"props{i}",
                                           env={"OV_E2E_DEMOPROP": "from-environment"})
                self.assertExit(r, 0, dialogs=[])
                self.assertLaunched(messages, "/i", self.run_folder(messages), properties, exe, 0)
                self.assertInstalled(pkg, recorded)
                remove_product(pkg)

    def test_removal_by_option_or_by_setup_ini(self):
        cases = [("/x on the command line", '/s /x /v"/qn"', ()),
                 ("[Startup] Mode=4", '/s /v"/qn"', ("Mode=4",))]
        for i, (why, arguments, startup) in enumerate(cases):
            with self.subTest(why=why):
                pkg = self.package()
                installer = self.launcher(pkg, folder=f"install{i}")
                r, _ = self.install(installer, '/s /v"/qn"', f"install{i}")
                self.assertExit(r, 0, dialogs=[])
                self.assertInstalled(pkg)

                remover = self.launcher(pkg, startup=startup, folder=f"remove{i}")
                r, messages = self.install(remover, arguments, f"remove{i}")
                self.assertExit(r, 0, dialogs=[])
                self.assertLaunched(messages, "/x", self.run_folder(messages), "/qn", remover, 0)
                self.assertNotInstalled(pkg)
                self.assertIsNone(pkg.recorded_property())
                self.assertTempFolderGone(messages)

    def test_administrative_installation(self):
        # The launcher's part is the command line and the exit code; what the
        # installer makes of it is compared with msiexec run directly with the
        # same command line (Wine's msiexec makes no administrative images).
        pkg = self.package()
        exe = self.launcher(pkg)
        image = self.work / "admin"
        properties = f"TARGETDIR={to_win(image)} /qn"
        r, messages = self.install(exe, f'/s /a /v"{properties}"', "admin")
        self.assertIsNotNone(r.exit_code, r)

        direct_image = self.work / "admin-direct"
        tail = f' SETUPEXEDIR="{to_win(exe.parent)}" SETUPEXENAME="setup.exe"'
        direct = run_windows(f'MSIEXEC.EXE /a "{to_win(pkg.path)}" TARGETDIR={to_win(direct_image)} /qn{tail}',
                             timeout=180)
        self.assertIsNotNone(direct.exit_code, direct)

        self.assertExit(r, direct.exit_code, dialogs=[])
        self.assertLaunched(messages, "/a", self.run_folder(messages), properties, exe, direct.exit_code)
        made = sorted(p.relative_to(image).as_posix() for p in image.rglob("*")) if image.exists() else []
        made_directly = (sorted(p.relative_to(direct_image).as_posix() for p in direct_image.rglob("*"))
                         if direct_image.exists() else [])
        self.assertEqual([p.replace(pkg.path.name, "demo.msi") for p in made_directly], made)
        if direct.exit_code == 0:
            self.assertIn("demo.msi", made)
        self.assertNotInstalled(pkg)
        self.assertTempFolderGone(messages)

    def test_failed_launch_condition_gives_the_installers_1603(self):
        cases = [('/s /v"/qn"', "/qn", INSTALL_FAILURE, False),
                 ('/s /v"ORVANE_ALLOW=yes /qn"', "ORVANE_ALLOW=yes /qn", 0, True)]
        for i, (arguments, properties, code, installed) in enumerate(cases):
            with self.subTest(arguments=arguments):
                pkg = self.package(guarded=True)
                exe = self.launcher(pkg, folder=f"media{i}")
                r, messages = self.install(exe, arguments, f"guarded{i}")
                self.assertExit(r, code, dialogs=[])
                self.assertLaunched(messages, "/i", self.run_folder(messages), properties, exe, code)
                self.assertEqual(pkg.is_registered(), installed)
                self.assertEqual((pkg.install_dir / "readme.txt").exists(), installed)
                self.assertTempFolderGone(messages)
                remove_product(pkg)

    def test_package_beside_the_launcher(self):
        cases = [("no section: source media, the package's own name", None, "demo.msi"),
                 ("Type=0 with a Location below the launcher", ("Type=0", r"Location=disk1\demo.msi"),
                  r"disk1\demo.msi")]
        for i, (why, section, location) in enumerate(cases):
            with self.subTest(why=why):
                pkg = self.package()
                exe = self.launcher(pkg, package_section=section, in_payload=False, folder=f"media{i}")
                beside = exe.parent / location.replace("\\", "/")
                beside.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(pkg.path, beside)
                r, messages = self.install(exe, '/s /v"/qn"', f"beside{i}")
                self.assertExit(r, 0, dialogs=[])
                self.assertIn(f"Getting file from source, '{to_win(beside)}'", messages)
                self.assertLaunched(messages, "/i", to_win(beside.parent), "/qn", exe, 0)
                self.assertInstalled(pkg)
                self.assertEqual(beside.read_bytes(), pkg.path.read_bytes(), "the source package was changed")
                self.assertTempFolderGone(messages)
                remove_product(pkg)

    def test_german_texts_with_L1031(self):
        # German is the one language offered; the package default (English,
        # built-in texts) applies unless /L chooses German.
        pkg = self.package()
        german = dict(languages=("0x0407",), default="0x0409")

        with self.subTest("usage text"):
            exe = self.launcher(pkg, folder="usage", **german)
            r, messages = self.install(exe, "/s /L1031 foo", "usage")
            self.assertExit(r, EXIT_INVALID_COMMAND_LINE, dialogs=[])
            self.assertTrue(any(m.startswith("Befehlszeilenparameter:\r\n/L Sprachkennung\r\n") for m in messages),
                            messages)

        missing = dict(package_section=("Type=0",), in_payload=False, **german)
        for option, text in [("/L1031", "Die Datei {} wurde nicht gefunden."),
                             ("", "File {} not found")]:
            with self.subTest("message of a failed install", option=option):
                exe = self.launcher(pkg, folder=f"missing{option[1:]}", **missing)
                arguments = " ".join(filter(None, ["/s", option, '/v"/qn"']))
                r, messages = self.install(exe, arguments, f"missing{option[1:]}")
                self.assertExit(r, FILE_NOT_FOUND, dialogs=[])
                self.assertIn(text.format(to_win(exe.parent / "demo.msi")), messages)
                self.assertEqual(self.launches(messages), [])
                self.assertNotInstalled(pkg)
                self.assertTempFolderGone(messages)

        with self.subTest("an install in German"):
            exe = self.launcher(pkg, folder="german", **german)
            r, messages = self.install(exe, '/s /L1031 /v"/qn"', "german")
            self.assertExit(r, 0, dialogs=[])
            self.assertIn("Default language: 1031, got code page 1252", messages)
            self.assertLaunched(messages, "/i", self.run_folder(messages), "/qn", exe, 0)
            self.assertInstalled(pkg)
            self.assertTempFolderGone(messages)

    # ------------------------------------------------------------ billboards

    def billboard_run(self, pkg, arguments, name, startup=("BillboardType=1",), env=None, billboard_dll=True,
                      folder=None, rtl_languages=None):
        """An interactive run of a billboard setup; answers (result, messages,
        the double's record lines or None when it was not called)."""
        record = self.work / f"{name}.record"
        exe = self.launcher(pkg, startup=startup, billboard_dll=billboard_dll, folder=folder or name,
                            rtl_languages=rtl_languages)
        environment = {"OVEXTERNALUI_DOUBLE_RECORD": to_win(record)}
        environment.update(env or {})
        # Interactive: the launcher's windows are left alone (a key could cancel).
        r, messages = self.install(exe, arguments, name, keys=("shift",), env=environment)
        lines = record.read_text("utf-8").splitlines() if record.exists() else None
        return exe, r, messages, lines

    def test_billboard_library_runs_a_first_installation(self):
        cases = [
            # (why, arguments, billboard type, right-to-left languages, double
            #  environment, property string, rtl flag, installed by the double)
            ("type 1, nothing passed", "", 1, None, {}, "", 0, False),
            ("type 3, right-to-left language, the double installs", '/v"DEMOPROP=billboard"', 3, "0x0401,0x0409",
             {"OVEXTERNALUI_DOUBLE_INSTALL": "1"}, "DEMOPROP=billboard", 1, True),
        ]
        for i, (why, arguments, btype, rtl_languages, env, properties, rtl, installed) in enumerate(cases):
            with self.subTest(why=why):
                pkg = self.package()
                exe, r, messages, record = self.billboard_run(pkg, arguments, f"billboard{i}",
                                                              startup=(f"BillboardType={btype}",), env=env,
                                                              rtl_languages=rtl_languages)
                self.assertExit(r, 0)
                folder = self.run_folder(messages)
                props = f'{properties} SETUPEXEDIR="{to_win(exe.parent)}" SETUPEXENAME="setup.exe"'
                self.assertIsNotNone(record, f"the billboard library was not called: {messages}")
                self.assertEqual(record[0], f"OVExternalUIInstall|{folder}\\demo.msi|{props}|{rtl}|{btype}|exists=1")
                self.assertIn(BILLBOARDS_USED, messages)
                self.assertIn(f"Loading OVExternalUI.dll from '{folder}\\OVExternalUI.dll'", messages)
                self.assertEqual(self.launches(messages), [], "msiexec ran as well")
                self.assertEqual(messages[-1], "Setup returning 0")
                if installed:
                    self.assertEqual(record[1:], ["msiexec=0"])
                    self.assertInstalled(pkg, "billboard")
                else:
                    self.assertEqual(len(record), 1, record)
                    self.assertNotInstalled(pkg)
                self.assertTempFolderGone(messages)
                remove_product(pkg)

    def test_billboard_answer_is_the_exit_code(self):
        for answer in (REBOOT_REQUIRED, REBOOT_INITIATED, USER_CANCELLED, INSTALL_FAILURE, 0):
            with self.subTest(answer=answer):
                pkg = self.package()
                _, r, messages, record = self.billboard_run(pkg, "", f"answer{answer}",
                                                            env={"OVEXTERNALUI_DOUBLE_ANSWER": str(answer)})
                self.assertExit(r, answer)
                self.assertIsNotNone(record, messages)
                self.assertEqual(len(record), 1, record)
                self.assertEqual(messages[-1], f"Setup returning {answer}")
                self.assertTempFolderGone(messages)

    def test_no_billboards_for_quiet_silent_or_maintenance_runs(self):
        cases = [
            # (why, arguments, library in the payload, installed before)
            ("/qn in the properties", '/v"/qn"', True, False),
            ("/QUIET in the properties, any case", '/v"/QUIET"', True, False),
            ("/passive in the properties", '/v"/passive"', True, False),
            ("silent launcher", "/s", True, False),
            ("no library in the payload", "", False, False),
            ("the product is installed already", "", True, True),
        ]
        for i, (why, arguments, dll, installed_before) in enumerate(cases):
            with self.subTest(why=why):
                pkg = self.package()
                if installed_before:
                    first = self.launcher(pkg, folder=f"first{i}")
                    r, _ = self.install(first, '/s /v"/qn"', f"first{i}")
                    self.assertExit(r, 0, dialogs=[])
                    self.assertInstalled(pkg)
                _, r, messages, record = self.billboard_run(pkg, arguments, f"quiet{i}", billboard_dll=dll,
                                                            env={"OVEXTERNALUI_DOUBLE_ANSWER": "1641"})
                self.assertIsNone(record, "the billboard library was called")
                launches = self.launches(messages)
                self.assertEqual(len(launches), 1, messages)
                self.assertRegex(launches[0], r'^MSIEXEC\.EXE /i "')
                self.assertEqual(BILLBOARDS_USED in messages, not dll)
                self.assertEqual(NO_BILLBOARD_DLL in messages, not dll)
                self.assertExit(r, 0)
                self.assertInstalled(pkg)
                self.assertTempFolderGone(messages)
                remove_product(pkg)


if __name__ == "__main__":
    unittest.main()
