#!/usr/bin/python3
"""The deciding functions of scripts/medium.py, each rule at its edge on both
sides: name_problem, the path limits and every refusal of check(), the zip
writer, and compare() against 7-Zip's reading of a zip.

Run with Debian's /usr/bin/python3 (release_test.sh does): it needs 7zz.
Cases that need an unreadable file skip as root, which reads everything."""
import contextlib
import importlib.util
import io
import os
import shutil
import socket
import stat
import struct
import tempfile
import unittest
import unittest.mock
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("medium", os.path.join(HERE, "..", "..", "scripts", "medium.py"))
medium = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(medium)
_spec = importlib.util.spec_from_file_location("sbom", os.path.join(HERE, "..", "..", "scripts", "sbom.py"))
sbom = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sbom)

UDF_LONG = "is {} UTF-16 units long; a CD's UDF names hold at most 127 when they use characters beyond Latin-1 (254 otherwise): shorten it"
FORBIDDEN = 'holds one of < > : " \\ | ? *, which Windows does not allow in names: rename it'
CONTROL = "holds a control character, which Windows does not allow in names: rename it"
TRAILING = "ends in a space or a dot, which Windows drops: rename it"


class NameProblemTest(unittest.TestCase):
    def test_names_windows_takes(self):
        for name in ["a", " a", ".a", "a b", "~", "ドキュメント", "COM0", "LPT10", "CONSOLE", "xnul",
                     "con_.txt", "AUX1", "é" * 254, "n" * 254, "ж" * 127, "é" * 126 + "ж", "😀" * 63 + "ж"]:
            self.assertIsNone(medium.name_problem(name), name)

    def test_not_utf8(self):
        for name in ["a\udc80", "\udcffb"]:
            self.assertEqual(medium.name_problem(name), "is not valid UTF-8: rename it")

    def test_control_characters(self):
        for name in ["a\x01", "\x1fb", "a\x7fb", "a\tb"]:
            self.assertEqual(medium.name_problem(name), CONTROL, repr(name))

    def test_forbidden_characters(self):
        for c in '<>:"\\|?*':
            self.assertEqual(medium.name_problem(f"a{c}b"), FORBIDDEN, c)

    def test_trailing_space_or_dot(self):
        for name in ["a ", "a.", "a. ", "ドキュメント."]:
            self.assertEqual(medium.name_problem(name), TRAILING, repr(name))

    def test_device_names_with_any_extension(self):
        devices = ["CON", "PRN", "AUX", "NUL"] + [f"{d}{i}" for d in ("COM", "LPT") for i in range(1, 10)]
        for device in devices:
            for name in [device, device.lower() + ".txt", device.capitalize() + ".tar.gz"]:
                self.assertEqual(medium.name_problem(name), f"is the device name {device} on Windows: rename it", name)

    def test_name_lengths(self):
        # Latin-1, ASCII or not, one byte a character: 254 fit, 255 do not.
        self.assertEqual(medium.name_problem("n" * 255), UDF_LONG.format(255))
        self.assertEqual(medium.name_problem("é" * 255), UDF_LONG.format(255))
        # Beyond Latin-1 two bytes a UTF-16 unit; a character outside the
        # BMP counts two units.
        self.assertEqual(medium.name_problem("ж" * 128), UDF_LONG.format(128))
        self.assertEqual(medium.name_problem("é" * 127 + "ж"), UDF_LONG.format(128))
        self.assertEqual(medium.name_problem("😀" * 64), UDF_LONG.format(128))
        self.assertEqual(medium.name_problem("n" * 256), "is 256 UTF-16 units long; NTFS holds at most 255: shorten it")


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.client = tempfile.mkdtemp(prefix="medium-test-")
        self.addCleanup(shutil.rmtree, self.client, ignore_errors=True)
        self.file("startClass.exe")

    def file(self, relative, data=b"x"):
        path = os.path.join(self.client, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def folder(self, relative):
        path = os.path.join(self.client, relative)
        os.makedirs(path)
        return path

    def problems(self):
        return medium.check(self.client)[0]


class CheckTest(ClientTest):
    def test_a_client_that_ships(self):
        self.file("ovikClient/ScreenCapture.ax", b"12345")
        self.folder("Installer")
        problems, counts = medium.check(self.client)
        self.assertEqual(problems, [])
        self.assertEqual(counts, {"files": 2, "folders": 2, "bytes": 6, "longest": len("C:\\ovikProgram\\ovikClient\\ScreenCapture.ax")})

    def test_the_client_folder_itself(self):
        absent = os.path.join(self.client, "absent")
        self.assertEqual(medium.check(absent), ([f"client folder {absent} does not exist"], None))
        start = os.path.join(self.client, "startClass.exe")
        self.assertEqual(medium.check(start), ([f"client {start} is not a folder"], None))
        os.symlink(self.client, self.client + "-link")
        self.addCleanup(os.remove, self.client + "-link")
        self.assertEqual(medium.check(self.client + "-link"), ([f"client {self.client}-link is not a folder"], None))
        os.remove(start)
        self.assertEqual(medium.check(self.client), ([f"client folder {self.client} is empty"], None))

    def test_start_class_at_the_top(self):
        os.rename(os.path.join(self.client, "startClass.exe"), os.path.join(self.client, "STARTCLASS.EXE"))
        self.assertEqual(self.problems(), [])
        os.remove(os.path.join(self.client, "STARTCLASS.EXE"))
        self.folder("startClass.exe")
        self.assertEqual(self.problems(), [
            f"no startClass.exe at the top of {self.client}: the desktop shortcut would point at nothing; "
            "put the client's startClass.exe there"])

    def test_installer_folder(self):
        installer = self.folder("installer")
        self.assertEqual(self.problems(), [])
        holds = (f"{installer} holds files: that folder is the installer's own (the loader looks there before "
                 "the system for DLLs, and installs write their scripts there); keep client files elsewhere")
        os.mkdir(os.path.join(installer, "sub"))
        self.assertEqual(self.problems(), [holds])
        self.file("installer/sub/a.txt")
        self.assertEqual(self.problems(), [holds])
        self.file("installer/Setup.EXE")
        self.assertEqual(self.problems(), [
            f"{installer} already holds setup.exe: give the client without the installer; the release puts this build's there"])
        shutil.rmtree(installer)
        self.file("Installer")
        self.assertEqual(self.problems(), [
            f"{self.client}/Installer is not a folder: the medium's Installer folder goes there; remove it"])

    def test_names_that_differ_only_in_case(self):
        self.file("docs/b.txt")
        self.file("docs/a.txt")
        self.assertEqual(self.problems(), [])
        self.file("docs/A.TXT")
        self.assertEqual(self.problems(), [
            f"{self.client}/docs/a.txt and {self.client}/docs/A.TXT differ only in letter case; Windows holds one of them: "
            "rename or remove one"])

    def test_links_and_special_files(self):
        os.symlink("startClass.exe", os.path.join(self.client, "start.lnk.exe"))
        os.symlink(self.client, os.path.join(self.client, "loop"))
        os.mkfifo(os.path.join(self.client, "pipe"))
        unix = socket.socket(socket.AF_UNIX)
        self.addCleanup(unix.close)
        unix.bind(os.path.join(self.client, "sock"))
        link = "is a symbolic link: replace it with the file or folder it points to"
        special = "is not a regular file or folder (a device, pipe or socket): leave it out"
        self.assertEqual(self.problems(), [
            f"{self.client}/loop {link}", f"{self.client}/pipe {special}",
            f"{self.client}/sock {special}", f"{self.client}/start.lnk.exe {link}"])

    @unittest.skipIf(os.geteuid() == 0, "root reads everything")
    def test_unreadable_file_and_folder(self):
        self.file("lib/ok.dll")
        locked = self.file("lib/locked.dll")
        os.chmod(locked, 0)
        closed = self.folder("closed")
        os.chmod(closed, 0)
        self.addCleanup(os.chmod, closed, 0o755)
        self.assertEqual(self.problems(), [
            f"cannot read {locked}: make it readable (chmod a+r) or leave it out",
            f"cannot read the folder {closed}: make it readable (chmod a+rx) or leave it out"])

    def test_installed_path_limits(self):
        root = len("C:\\ovikProgram\\")
        self.file("f" * (259 - root))
        self.folder("d" * (248 - root))
        problems, counts = medium.check(self.client)
        self.assertEqual((problems, counts["longest"]), ([], 259))
        long_file = self.file("g" * (260 - root))
        long_folder = self.folder("e" * (249 - root))
        self.assertEqual(self.problems(), [
            f"{long_folder} would install as a folder path of 249 characters; Windows creates folders of at most 248: "
            "shorten its name or its folders' names",
            f"{long_file} would install as a path of 260 characters; Windows' limit is 259: shorten its name or its "
            "folders' names"])

    def test_every_problem_at_once(self):
        os.remove(os.path.join(self.client, "startClass.exe"))
        self.file("Installer/tool.dll")
        bad = self.file("deep/er/a:b.txt")
        device = self.file("deep/nul.txt")
        os.symlink("x", os.path.join(self.client, "deep", "er", "link"))
        open(os.path.join(self.client.encode(), b"deep", b"er", b"\xff.txt"), "wb").close()
        self.assertEqual(self.problems(), [
            f"no startClass.exe at the top of {self.client}: the desktop shortcut would point at nothing; "
            "put the client's startClass.exe there",
            f"{self.client}/Installer holds files: that folder is the installer's own (the loader looks there before "
            "the system for DLLs, and installs write their scripts there); keep client files elsewhere",
            f"the name of {device} is the device name NUL on Windows: rename it",
            f"the name of {bad} {FORBIDDEN}",
            f"{self.client}/deep/er/link is a symbolic link: replace it with the file or folder it points to",
            f"the name of {self.client}/deep/er/\udcff.txt is not valid UTF-8: rename it"])


class VersionTest(ClientTest):
    def test_the_version_rule_at_its_edges(self):
        for good in ["2", "2.1", "2.1.0", "2.1.0.15", "010.4", "2.1.0-rc1", "2-B7"]:
            self.assertEqual(medium.client_version(self.client, good), (good, "--version"))
        for bad in ["2.1.0.0.1", "2.", ".2", "2..1", "v2.1", "2.1.0-", "2.1.0-rc.1", "2.1.0_rc1", "2.1 ", "２.１"]:
            with self.assertRaises(medium.NoVersion) as refused:
                medium.client_version(self.client, bad)
            self.assertEqual(str(refused.exception), f"--version {bad} is not a version: give {medium.VERSION_RULE_TEXT}")

    def test_start_class_product_version(self):
        found = {"exe": None}
        self.addCleanup(setattr, medium, "product_version", medium.product_version)
        medium.product_version = lambda path: found["exe"]
        for text, version in [("2.1.0", "2.1.0"), ("2, 1, 0, 0", "2.1.0.0"), ("2,1", "2.1")]:
            found["exe"] = text
            self.assertEqual(medium.client_version(self.client), (version, "startClass.exe"))
        self.assertEqual(medium.client_version(self.client, "3.0"), ("3.0", "--version"))
        for text, why in [(None, "startClass.exe carries no version information: give --version X.Y.Z"),
                          ("2.1 beta", f'startClass.exe\'s ProductVersion "2.1 beta" is not a version '
                                       f"({medium.VERSION_RULE_TEXT}): give --version X.Y.Z")]:
            found["exe"] = text
            with self.assertRaises(medium.NoVersion) as refused:
                medium.client_version(self.client)
            self.assertEqual(str(refused.exception), why)

    def test_fixed_product_version_without_strings(self):
        import pefile

        class Fixed:
            ProductVersionMS, ProductVersionLS = (2 << 16) | 1, 15

        class Program:
            FileInfo = [[object()]]
            VS_FIXEDFILEINFO = [Fixed()]

            def __init__(self, path, fast_load):
                pass

            def parse_data_directories(self, directories):
                pass

        self.addCleanup(setattr, pefile, "PE", pefile.PE)
        pefile.PE = Program
        self.assertEqual(medium.product_version("startClass.exe"), "2.1.0.15")
        Program.VS_FIXEDFILEINFO = None
        self.assertIsNone(medium.product_version("startClass.exe"))

    def test_version_command_prints_the_version_or_why_there_is_none(self):
        for given, status, out, err in [("2.1.0", 0, "2.1.0\n", ""),
                                        (None, 1, "", f"release.sh: {self.client}/startClass.exe is not a Windows program")]:
            with contextlib.redirect_stdout(io.StringIO()) as stdout, \
                    contextlib.redirect_stderr(io.StringIO()) as stderr:
                self.assertEqual(medium.run_version(self.client, given), status)
            self.assertEqual(stdout.getvalue(), out)
            self.assertTrue(stderr.getvalue().startswith(err), stderr.getvalue())

    def test_product_version_command_prints_it_or_why_there_is_none(self):
        exe = os.path.join(self.client, "startClass.exe")
        self.addCleanup(setattr, medium, "product_version", medium.product_version)
        def not_a_program(path):
            raise medium.NoVersion(f"{path} is not a Windows program (no MZ)")

        for found, status, out, err in [("1.0.0", 0, "1.0.0\n", ""),
                                        (None, 1, "", f"medium.py: {exe} carries no version information\n"),
                                        (not_a_program, 1, "", f"medium.py: {exe} is not a Windows program (no MZ)\n")]:
            medium.product_version = found if callable(found) else lambda path, found=found: found
            with contextlib.redirect_stdout(io.StringIO()) as stdout, \
                    contextlib.redirect_stderr(io.StringIO()) as stderr:
                self.assertEqual(medium.run_product_version(exe), status)
            self.assertEqual((stdout.getvalue(), stderr.getvalue()), (out, err))


class RunCheckTest(ClientTest):
    """What `medium.py check` prints: the summary, every problem, warnings."""

    def run_check(self, given="2.1"):
        with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()) as err:
            status = medium.run_check(self.client, given)
        return status, out.getvalue(), err.getvalue()

    def test_a_client_that_ships_with_a_summary_and_warnings(self):
        self.file("a/b.txt", b"123")
        self.assertEqual(self.run_check(), (0, (
            f"release.sh: the client folder {self.client} can be shipped: 2 files, 1 folders, 4 bytes; longest "
            f"installed path {len('C:/ovikProgram/startClass.exe')} characters (limit 259); version 2.1 (from --version)\n"
            "release.sh: with its SBOM ovik-medium-2.1.cdx.json and its provenance ovik-medium-2.1.intoto.jsonl\n"), (
            f"release.sh: warning: no ovikClient/ScreenCapture.ax in {self.client}; the installer will not offer to "
            f"register it\nrelease.sh: warning: no ovikClient/ovikclient.ico in {self.client}; the desktop shortcut "
            "gets no icon\n")))
        # Found in any letter case, as Windows finds them.
        self.file("OVIKCLIENT/screencapture.AX")
        self.assertNotIn("ScreenCapture.ax", self.run_check()[2])
        self.file("OVIKCLIENT/OvikClient.ico")
        self.assertEqual(self.run_check()[2], "")

    def test_every_problem_counted_and_listed(self):
        self.file("a:b.txt")
        status, out, err = self.run_check("2.x")
        self.assertEqual((status, err), (1, ""))
        self.assertEqual(out.splitlines(), [
            f"release.sh: the client folder {self.client} cannot be shipped (2 problems):",
            f"  - the name of {self.client}/a:b.txt {FORBIDDEN}",
            f"  - --version 2.x is not a version: give {medium.VERSION_RULE_TEXT}"])
        self.assertIn("(1 problem):", self.run_check()[1])

    def test_client_sboms_taken_in_or_refused(self):
        self.file("rt/package-lock.json", b'{"lockfileVersion": 3}')
        self.file("rt/node_modules/x/package-lock.json", b"not looked at")
        self.file("Own.CDX.json", b'{"bomFormat": "CycloneDX"}')
        self.assertEqual(self.run_check()[1].splitlines()[1:], [
            "release.sh: with its SBOM ovik-medium-2.1.cdx.json and its provenance ovik-medium-2.1.intoto.jsonl",
            "  taken into the SBOM: Own.CDX.json (a CycloneDX SBOM)",
            "  taken into the SBOM: rt/package-lock.json (an npm lock file)"])
        self.file("bom.json", b'{"bomFormat": "SPDX"}')
        self.file("npm-shrinkwrap.json", b"{}")
        self.file("x.cdx.json", b"{")
        self.assertEqual(self.run_check()[:2], (1, "".join([
            f"release.sh: the client folder {self.client} cannot be shipped (3 problems):\n",
            '  - bom.json is named as a CycloneDX SBOM but has no "bomFormat": "CycloneDX": fix or rename it\n',
            '  - npm-shrinkwrap.json is named as an npm lock file but has no "lockfileVersion": fix or rename it\n',
            "  - x.cdx.json is named as a CycloneDX SBOM but is not JSON (Expecting property name "
            "enclosed in double quotes: line 1 column 2 (char 1)): fix or rename it\n"])))


class SbomTest(unittest.TestCase):
    def test_taken_in_refs_stay_apart_and_linked(self):
        components = [{"bom-ref": "a", "name": "x", "components": [{"bom-ref": "b", "name": "ref"}]}]
        dependencies = [{"ref": "a", "dependsOn": ["b"]}, {"ref": "b", "provides": ["a"]}]
        self.assertEqual(sbom.rebased(components, "p/bom.json#"), [
            {"bom-ref": "p/bom.json#a", "name": "x", "components": [{"bom-ref": "p/bom.json#b", "name": "ref"}]}])
        self.assertEqual(sbom.rebased(dependencies, "p#"), [
            {"ref": "p#a", "dependsOn": ["p#b"]}, {"ref": "p#b", "provides": ["p#a"]}])

    def test_secret_files_left_out_of_the_command(self):
        self.assertEqual(
            sbom.left_out_secrets(["--pin-file", "/k/pin", "--key", "pkcs11:x", "--password-file", "p", "--out", "o"]),
            ["--pin-file", "<left out>", "--key", "pkcs11:x", "--password-file", "<left out>", "--out", "o"])

    def test_serial_number_follows_the_content(self):
        first = sbom.serial_number({"a": [1, 2]})
        self.assertRegex(first, "^urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
        self.assertEqual(first, sbom.serial_number({"a": [1, 2]}))
        self.assertNotEqual(first, sbom.serial_number({"a": [2, 1]}))


class LabelTest(unittest.TestCase):
    def test_every_udf_volume_name_gets_the_label(self):
        import pycdlib

        iso = pycdlib.PyCdlib()
        iso.new(interchange_level=3, vol_ident="X", udf="2.60")
        self.assertGreater(medium.relabel_udf(iso, "OVIK_MEDIUM_1_0"), 0)
        # None is left to set: the count is what master() refuses on.
        self.assertEqual(medium.relabel_udf(iso, "OTHER"), 0)

    def test_no_udf_volume_name_to_set_is_refused(self):
        # The clock and pycdlib's dates stay as they are for the other tests.
        for name, stand_in in [("relabel_udf", lambda iso, label: 0), ("fix_clock", lambda epoch: None),
                               ("fix_udf_day", lambda epoch: None)]:
            self.addCleanup(setattr, medium, name, getattr(medium, name))
            setattr(medium, name, stand_in)
        with tempfile.TemporaryDirectory() as folder, \
                unittest.mock.patch.dict(os.environ, {"SOURCE_DATE_EPOCH": "1600000000"}):
            with self.assertRaises(SystemExit) as refused:
                medium.master(folder, os.path.join(folder, "x.iso"), "OVIK_MEDIUM_1_0")
            self.assertFalse(os.path.exists(os.path.join(folder, "x.iso")))
        self.assertEqual(str(refused.exception), "medium.py: found no UDF volume name to set (pycdlib changed?)")


def owners(extra):
    """(uid, gid) from a zip entry's Info-ZIP "ux" field (version 1), as unzip reads it."""
    at = 0
    while at + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, at)
        body = extra[at + 4:at + 4 + size]
        if tag == 0x7875:
            if body[0] != 1 or len(body) != 3 + body[1] + body[2 + body[1]]:
                return None
            uid_size = body[1]
            gid_size = body[2 + uid_size]
            return (int.from_bytes(body[2:2 + uid_size], "little"),
                    int.from_bytes(body[3 + uid_size:3 + uid_size + gid_size], "little"))
        at += 4 + size
    return None


class DifferTest(unittest.TestCase):
    """The paths that tell a release from the one already in place."""

    def tree(self, name, files):
        root = os.path.join(self.scratch, name)
        for relative, data in files.items():
            path = os.path.join(root, relative)
            os.makedirs(path if data is None else os.path.dirname(path), exist_ok=True)
            if data is not None:
                with open(path, "wb") as f:
                    f.write(data)
        return root

    def test_every_kind_of_difference_and_nothing_else(self):
        self.scratch = tempfile.mkdtemp(prefix="medium-differ-test-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        big = bytes(range(256)) * 4096 + b"a"  # past one read of 1 MiB
        old = self.tree("old", {"same.txt": b"same", "big.bin": big, "empty": b"", "gone.txt": b"x", "kind": b"x",
                                "d/same.txt": b"s", "changed.txt": b"abc"})
        new = self.tree("new", {"same.txt": b"same", "big.bin": big[:-1] + b"b", "empty": b"", "added.txt": b"x",
                                "kind/": None, "d/same.txt": b"s", "changed.txt": b"abd"})
        self.assertEqual(medium.differ(old, new), ["added.txt", "big.bin", "changed.txt", "gone.txt", "kind"])
        self.assertEqual(medium.differ(old, old), [])


class ZipTest(unittest.TestCase):
    # 2021-03-25 06:07:09 UTC: a day past the 12th, an odd second.
    EPOCH = 1616652429

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="medium-zip-test-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.medium = os.path.join(self.scratch, "medium")
        for relative, data in [("startClass.exe", b"MZ" + bytes(range(256)) * 40), ("資料/説明.txt", b"text"),
                               ("ドキュメント/a.txt", b"a"), ("a.txt", b"top"), ("空/", None)]:
            path = os.path.join(self.medium, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if data is not None:
                with open(path, "wb") as f:
                    f.write(data)
        self.archive = os.path.join(self.scratch, "m.zip")
        medium.write_zip(self.medium, self.archive, self.EPOCH)

    def spoil(self, change):
        """The zip of a copy of the medium changed by `change(copy)`."""
        copy = os.path.join(self.scratch, "copy")
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(self.medium, copy)
        change(copy)
        medium.write_zip(copy, self.archive, self.EPOCH)
        return medium.compare(self.medium, self.archive, "zip")

    def test_entries_names_times_and_modes(self):
        with zipfile.ZipFile(self.archive) as z:
            infos = z.infolist()
        self.assertEqual([i.filename for i in infos], [
            "a.txt", "startClass.exe", "ドキュメント/", "ドキュメント/a.txt", "空/", "資料/", "資料/説明.txt"])
        for info in infos:
            self.assertEqual(info.date_time, (2021, 3, 25, 6, 7, 8), info.filename)
            self.assertEqual(info.extra[:9], b"UT\x05\x00\x01" + self.EPOCH.to_bytes(4, "little"), info.filename)
            self.assertEqual(owners(info.extra), (0, 0), info.filename)
            self.assertEqual(bool(info.flag_bits & 0x800), not info.filename.isascii(), info.filename)
            mode = info.external_attr >> 16
            self.assertEqual(mode, 0o40755 if info.is_dir() else 0o100644, info.filename)
        copy = os.path.join(self.scratch, "again.zip")
        medium.write_zip(self.medium, copy, self.EPOCH)
        with open(copy, "rb") as a, open(self.archive, "rb") as b:
            self.assertEqual(a.read(), b.read(), "the same tree gives the same bytes")

    def test_compare_finds_the_zip_as_written(self):
        self.assertEqual(medium.compare(self.medium, self.archive, "zip"), [])

    def test_compare_finds_every_kind_of_difference(self):
        def truncate(copy):
            with open(os.path.join(copy, "startClass.exe"), "r+b") as f:
                f.truncate(100)

        def change_byte(copy):
            with open(os.path.join(copy, "startClass.exe"), "r+b") as f:
                f.seek(5000)
                f.write(b"X")

        def file_to_folder(copy):
            os.remove(os.path.join(copy, "a.txt"))
            os.mkdir(os.path.join(copy, "a.txt"))

        def folder_to_file(copy):
            os.rmdir(os.path.join(copy, "空"))
            open(os.path.join(copy, "空"), "w").close()

        cases = [
            (lambda c: os.remove(os.path.join(c, "資料", "説明.txt")), ["missing from the archive: 資料/説明.txt"]),
            (lambda c: open(os.path.join(c, "資料", "extra.txt"), "w").close(), ["only in the archive: 資料/extra.txt"]),
            (truncate, ["other bytes in the archive: startClass.exe"]),
            (change_byte, ["other bytes in the archive: startClass.exe"]),
            (file_to_folder, ["a folder in the archive, not in the medium: a.txt"]),
            (folder_to_file, ["a file in the archive, not in the medium: 空"]),
        ]
        for change, differences in cases:
            self.assertEqual(self.spoil(change), differences)

    def test_compare_finds_a_damaged_zip(self):
        # A byte of startClass.exe's compressed data, as a damaged download has it.
        with zipfile.ZipFile(self.archive) as z:
            info = z.getinfo("startClass.exe")
        with open(self.archive, "r+b") as f:
            f.seek(info.header_offset + 30 + len(info.filename) + len(info.extra) + 40)
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 0xFF]))
        self.assertEqual(medium.compare(self.medium, self.archive, "zip"), [
            "other bytes in the archive: startClass.exe", f"7-Zip could not read every file of {self.archive}"])


if __name__ == "__main__":
    unittest.main()
