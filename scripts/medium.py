#!/usr/bin/python3
"""The client folder's checks and the CD image, for scripts/release.sh.

  medium.py check CLIENT [VERSION]       every reason that CLIENT cannot ship
  medium.py version CLIENT [VERSION]     the release's version: VERSION when
                                         given, else startClass.exe's
  medium.py product-version PROGRAM     the ProductVersion Windows shows for PROGRAM
  medium.py differ OLD NEW               the paths below NEW that OLD lacks, holds
                                         as another kind or with other bytes
  medium.py master MEDIUM IMAGE LABEL    MEDIUM's tree as an ISO 9660 + UDF image
  medium.py zip MEDIUM ZIP               MEDIUM's tree as a zip, its root the zip's root
  medium.py compare MEDIUM ARCHIVE TYPE  whether 7-Zip reads ARCHIVE (as TYPE:
                                         udf, iso or zip) as exactly MEDIUM

`check` prints each problem with its fix and exits 1 when there is any; it
exits 0 after a summary otherwise (warnings go to standard error). `version`
prints the version, or the reason there is none and exits 1. `master` and
`zip` take every date from SOURCE_DATE_EPOCH, so the same tree gives the
same bytes. `compare` prints every difference of names, kinds and bytes and exits
1 when there is any. Run it with Debian's /usr/bin/python3, where
python3-pycdlib lives.
"""
import io
import os
import random
import re
import stat
import struct
import subprocess
import sys
import time
import zipfile

# Windows installs the tree below this root; paths are measured there.
INSTALL_ROOT = "C:\\ovikProgram"
# MAX_PATH less the terminating NUL: the longest path the installer's
# copy can create without long-path support.
PATH_LIMIT = 259
# Folders leave room for an 8.3 name below them (MAX_PATH - 12).
FOLDER_LIMIT = 248
# NTFS holds names of 255 UTF-16 units.
NTFS_NAME_UNITS = 255
# A UDF file identifier holds 255 bytes: the compression id, then the name
# in one byte a character (Latin-1) or in two (UTF-16).
UDF_NAME_BYTES = 254
FORBIDDEN = set('<>:"\\|?*')
DEVICES = {"con", "prn", "aux", "nul"} | {f"{d}{i}" for d in ("com", "lpt") for i in range(1, 10)}

# Printed before the medium's files in a reader that sees only ISO 9660 names.
ISO_README = (
    b"The files of this disc are in its UDF file system, which Windows,\r\n"
    b"macOS and Linux read. Open the disc there; start Installer\\setup.exe.\r\n"
)


def utf16_units(name):
    return len(name.encode("utf-16-le", "surrogatepass")) // 2


def udf_name_bytes(name):
    try:
        return len(name.encode("latin-1"))
    except UnicodeEncodeError:
        return 2 * utf16_units(name)


def name_problem(name):
    """Why `name` cannot travel to C:\\ovikProgram on a CD, with the fix; or None."""
    if any("\udc80" <= c <= "\udcff" for c in name):
        return "is not valid UTF-8: rename it"
    if any(ord(c) < 32 or ord(c) == 127 for c in name):
        return "holds a control character, which Windows does not allow in names: rename it"
    if any(c in FORBIDDEN for c in name):
        return 'holds one of < > : " \\ | ? *, which Windows does not allow in names: rename it'
    if name[-1] in " .":
        return "ends in a space or a dot, which Windows drops: rename it"
    if name.split(".")[0].lower() in DEVICES:
        return f"is the device name {name.split('.')[0].upper()} on Windows: rename it"
    units = utf16_units(name)
    if units > NTFS_NAME_UNITS:
        return f"is {units} UTF-16 units long; NTFS holds at most {NTFS_NAME_UNITS}: shorten it"
    if udf_name_bytes(name) > UDF_NAME_BYTES:
        return (
            f"is {units} UTF-16 units long; a CD's UDF names hold at most "
            f"{UDF_NAME_BYTES // 2} when they use characters beyond Latin-1 "
            f"({UDF_NAME_BYTES} otherwise): shorten it"
        )
    return None


# Digits separated by dots, one to four parts, optionally "-" and letters or
# digits: 2.1.0, 10.4, 2.1.0-rc1.
VERSION_RULE = re.compile(r"[0-9]+(\.[0-9]+){0,3}(-[A-Za-z0-9]+)?")
VERSION_RULE_TEXT = (
    'digits separated by dots (one to four parts), optionally followed by "-" and '
    "letters or digits, such as 2.1.0 or 2.1.0-rc1"
)


class NoVersion(Exception):
    """Why a release has no version, with the fix."""


def product_version(executable):
    """The ProductVersion that Windows shows for `executable`, or None.

    The string of the first language that has one; without any, the fixed
    product version (a.b.c.d)."""
    import pefile

    try:
        pe = pefile.PE(executable, fast_load=True)
        pe.parse_data_directories(
            directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
        )
    except (pefile.PEFormatError, OSError) as error:
        raise NoVersion(f"{executable} is not a Windows program ({error})") from error
    for info in getattr(pe, "FileInfo", None) or []:
        for block in info:
            for table in getattr(block, "StringTable", []):
                text = table.entries.get(b"ProductVersion")
                if text is not None:
                    return text.decode("utf-8", "replace").strip().strip("\0")
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if fixed:
        ms, ls = fixed[0].ProductVersionMS, fixed[0].ProductVersionLS
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    return None


def client_version(client, given=None):
    """(version, where it came from) for a release of `client`; raises NoVersion."""
    if given is not None:
        if not VERSION_RULE.fullmatch(given):
            raise NoVersion(f"--version {given} is not a version: give {VERSION_RULE_TEXT}")
        return given, "--version"
    start = entry_ci(client, "startClass.exe")
    if start is None or not start.is_file(follow_symlinks=False):
        raise NoVersion("no startClass.exe to take the version from: give --version X.Y.Z")
    found = product_version(start.path)
    if not found:
        raise NoVersion("startClass.exe carries no version information: give --version X.Y.Z")
    # Old resource scripts write "2, 1, 0, 0": that is 2.1.0.0.
    if re.fullmatch(r"[0-9]+( *, *[0-9]+){1,3}", found):
        found = re.sub(" *, *", ".", found)
    if not VERSION_RULE.fullmatch(found):
        raise NoVersion(
            f'startClass.exe\'s ProductVersion "{found}" is not a version ({VERSION_RULE_TEXT}): '
            "give --version X.Y.Z"
        )
    return found, "startClass.exe"


def fold_case(name):
    # NTFS compares names by simple upper-casing, one character for one.
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in name)


def entry_ci(folder, want):
    """The entry of `folder` named `want` in any letter case, or None."""
    try:
        with os.scandir(folder) as entries:
            for entry in entries:
                if entry.name.lower() == want.lower():
                    return entry
    except OSError:
        pass
    return None


def check(client):
    problems = []
    if not os.path.lexists(client):
        return [f"client folder {client} does not exist"], None
    if not os.path.isdir(client) or os.path.islink(client):
        return [f"client {client} is not a folder"], None
    try:
        if not os.listdir(client):
            return [f"client folder {client} is empty"], None
    except OSError:
        return [f"cannot read the client folder {client}"], None

    start = entry_ci(client, "startClass.exe")
    if start is None or not start.is_file(follow_symlinks=False):
        problems.append(
            f"no startClass.exe at the top of {client}: the desktop shortcut would point at "
            "nothing; put the client's startClass.exe there"
        )
    installer = entry_ci(client, "Installer")
    if installer is not None:
        if not installer.is_dir(follow_symlinks=False):
            problems.append(f"{installer.path} is not a folder: the medium's Installer folder goes there; remove it")
        elif entry_ci(installer.path, "setup.exe") is not None:
            problems.append(
                f"{installer.path} already holds setup.exe: give the client without the installer; "
                "the release puts this build's there"
            )
        elif os.listdir(installer.path):
            problems.append(
                f"{installer.path} holds files: that folder is the installer's own (the loader looks "
                "there before the system for DLLs, and installs write their scripts there); keep "
                "client files elsewhere"
            )

    counts = {"files": 0, "folders": 0, "bytes": 0, "longest": 0}
    pending = [(client, "")]
    while pending:
        folder, relative = pending.pop()
        try:
            entries = sorted(os.scandir(folder), key=lambda e: e.name)
        except OSError:
            problems.append(f"cannot read the folder {folder}: make it readable (chmod a+rx) or leave it out")
            continue
        seen = {}
        for entry in entries:
            full = entry.path
            inside = relative + "\\" + entry.name
            why = name_problem(entry.name)
            if why:
                problems.append(f"the name of {full} {why}")
            key = fold_case(entry.name)
            if key in seen:
                problems.append(
                    f"{full} and {seen[key]} differ only in letter case; Windows holds one of them: "
                    "rename or remove one"
                )
            else:
                seen[key] = full
            mode = entry.stat(follow_symlinks=False).st_mode
            installed = utf16_units(INSTALL_ROOT + inside)
            if stat.S_ISLNK(mode):
                problems.append(f"{full} is a symbolic link: replace it with the file or folder it points to")
            elif stat.S_ISDIR(mode):
                counts["folders"] += 1
                if not why and installed > FOLDER_LIMIT:
                    problems.append(
                        f"{full} would install as a folder path of {installed} characters; Windows "
                        f"creates folders of at most {FOLDER_LIMIT}: shorten its name or its folders' names"
                    )
                pending.append((full, inside))
            elif stat.S_ISREG(mode):
                counts["files"] += 1
                counts["bytes"] += entry.stat(follow_symlinks=False).st_size
                if not os.access(full, os.R_OK):
                    problems.append(f"cannot read {full}: make it readable (chmod a+r) or leave it out")
                if not why and installed > PATH_LIMIT:
                    problems.append(
                        f"{full} would install as a path of {installed} characters; Windows' limit is "
                        f"{PATH_LIMIT}: shorten its name or its folders' names"
                    )
            else:
                problems.append(f"{full} is not a regular file or folder (a device, pipe or socket): leave it out")
            counts["longest"] = max(counts["longest"], installed)
    return problems, counts


def warnings(client):
    found = []
    folder = entry_ci(client, "ovikClient")
    library = icon = None
    if folder is not None and folder.is_dir(follow_symlinks=False):
        library = entry_ci(folder.path, "ScreenCapture.ax")
        icon = entry_ci(folder.path, "ovikclient.ico")
    if library is None:
        found.append(f"no ovikClient/ScreenCapture.ax in {client}; the installer will not offer to register it")
    if icon is None:
        found.append(f"no ovikClient/ovikclient.ico in {client}; the desktop shortcut gets no icon")
    return found


def run_check(client, given=None):
    problems, counts = check(client)
    version = None
    if counts is not None and not any("startClass.exe" in p for p in problems):
        try:
            version, source = client_version(client, given)
        except NoVersion as why:
            problems.append(str(why))
    sboms = []
    if counts is not None:
        # No __pycache__ in the sources: its time would date the release.
        sys.dont_write_bytecode = True
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import sbom

        sboms = sbom.found_sboms(client)
        problems += filter(None, (sbom.unreadable(client, path, form) for path, form in sboms))
    if problems:
        print(f"release.sh: the client folder {client} cannot be shipped ({len(problems)} problem{'' if len(problems) == 1 else 's'}):")
        for problem in problems:
            print(f"  - {problem}")
        return 1
    for warning in warnings(client):
        print(f"release.sh: warning: {warning}", file=sys.stderr)
    print(
        f"release.sh: the client folder {client} can be shipped: {counts['files']} files, "
        f"{counts['folders']} folders, {counts['bytes']} bytes; longest installed path "
        f"{counts['longest']} characters (limit {PATH_LIMIT}); version {version} (from {source})"
    )
    print(
        f"release.sh: with its SBOM ovik-medium-{version}.cdx.json and its provenance "
        f"ovik-medium-{version}.intoto.jsonl"
        + "".join(f"\n  taken into the SBOM: {path} ({sbom.FORMS[form]})" for path, form in sboms)
    )
    return 0


def run_version(client, given=None):
    try:
        version, _ = client_version(client, given)
    except NoVersion as why:
        print(f"release.sh: {why}", file=sys.stderr)
        return 1
    print(version)
    return 0


def run_product_version(program):
    try:
        version = product_version(program)
    except NoVersion as why:
        print(f"medium.py: {why}", file=sys.stderr)
        return 1
    if version is None:
        print(f"medium.py: {program} carries no version information", file=sys.stderr)
        return 1
    print(version)
    return 0


def fix_clock(epoch):
    # pycdlib dates every descriptor and entry with the clock in local time,
    # and gives the volume set a random part; both are pinned here.
    time.time = lambda: float(epoch)
    time.localtime = time.gmtime
    random.seed(epoch)


def fix_udf_day(epoch):
    # pycdlib 1.12 writes the month into a UDF time stamp's day.
    from pycdlib import udf

    made = udf.UDFTimestamp.new

    def new(self):
        made(self)
        self.day = time.gmtime(epoch).tm_mday

    udf.UDFTimestamp.new = new


def relabel_udf(iso, label):
    # pycdlib names the UDF volume "CDROM"; Windows shows that name as the
    # drive's label, so every descriptor that carries it gets ours.
    from pycdlib import udf

    old = {n: udf._ostaunicode_zero_pad("CDROM", n) for n in (32, 128)}
    new = {n: udf._ostaunicode_zero_pad(label, n) for n in (32, 128)}
    changed = 0
    for descs in (iso.udf_main_descs, iso.udf_reserve_descs):
        for group in ("pvds", "logical_volumes", "impl_use"):
            for desc in getattr(descs, group):
                for holder in (desc, getattr(desc, "impl_use", None)):
                    for attr in getattr(type(holder), "__slots__", ()):
                        value = getattr(holder, attr, None)
                        for size, old_value in old.items():
                            if value == old_value:
                                setattr(holder, attr, new[size])
                                changed += 1
    if iso.udf_file_set.log_vol_ident == old[128]:
        iso.udf_file_set.log_vol_ident = new[128]
        changed += 1
    return changed


def master(medium, image, label):
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    fix_clock(epoch)
    fix_udf_day(epoch)
    import pycdlib

    iso = pycdlib.PyCdlib()
    iso.new(interchange_level=3, vol_ident=label, udf="2.60")
    if relabel_udf(iso, label) == 0:
        raise SystemExit("medium.py: found no UDF volume name to set (pycdlib changed?)")
    iso.add_fp(io.BytesIO(ISO_README), len(ISO_README), iso_path="/README.TXT;1")
    pending = [(medium, "")]
    while pending:
        folder, inside = pending.pop()
        for entry in sorted(os.scandir(folder), key=lambda e: e.name):
            path = inside + "/" + entry.name
            if udf_name_bytes(entry.name) > UDF_NAME_BYTES:
                raise SystemExit(f"medium.py: {entry.path}: name too long for UDF")
            if entry.is_dir(follow_symlinks=False):
                iso.add_directory(udf_path=path)
                pending.append((entry.path, path))
            elif entry.is_file(follow_symlinks=False):
                iso.add_file(entry.path, udf_path=path)
            else:
                raise SystemExit(f"medium.py: {entry.path} is not a file or folder")
    iso.write(image)
    iso.close()


def zip_extra(epoch):
    # The exact time in UTC ("UT", which 7-Zip and Info-ZIP read before the
    # DOS time) and owner and group 0 ("ux"), as Info-ZIP writes them.
    return struct.pack("<HHBl", 0x5455, 5, 1, epoch) + struct.pack("<HHBBLBL", 0x7875, 11, 1, 4, 0, 4, 0)


def write_zip(medium, archive, epoch):
    """MEDIUM's tree as the zip ARCHIVE: folders as entries of their own,
    every entry in sorted order with fixed modes and the time `epoch`, names
    in UTF-8 and flagged so (zipfile sets the flag for non-ASCII names)."""
    # DOS time has no zone and counts two seconds; Windows shows it as it is,
    # so it is the UTC time, rounded down, and never before 1980.
    dos_time = time.gmtime(max(epoch, 315532800))[:6]
    extra = zip_extra(epoch)
    paths = sorted(medium_entries(medium).items())
    with zipfile.ZipFile(archive, "w") as zip_file:
        for path, folder in paths:
            info = zipfile.ZipInfo(path + "/" if folder else path, dos_time)
            info.create_system = 3  # Unix, so that the modes below count
            info.extra = extra
            if folder:
                info.external_attr = (0o40755 << 16) | 0x10  # with the MS-DOS folder flag
                zip_file.writestr(info, b"", zipfile.ZIP_STORED)
                continue
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            full = os.path.join(medium, path)
            info.file_size = os.path.getsize(full)
            with open(full, "rb") as source, zip_file.open(info, "w") as target:
                while chunk := source.read(1 << 20):
                    target.write(chunk)


def medium_entries(medium):
    """Every path below `medium` ('/'-separated) with True for a folder."""
    found = {}
    pending = [(medium, "")]
    while pending:
        folder, inside = pending.pop()
        for entry in os.scandir(folder):
            path = inside + entry.name
            found[path] = entry.is_dir(follow_symlinks=False)
            if found[path]:
                pending.append((entry.path, path + "/"))
    return found


def archive_entries(archive, kind):
    """The entries 7-Zip lists in `archive`, in its order: (path, folder, size)."""
    listing = subprocess.run(
        ["7zz", "l", "-slt", f"-t{kind}", archive], capture_output=True, check=True
    ).stdout.decode("utf-8", "surrogateescape")
    entries = []
    block = {}
    for line in listing.split("----------\n", 1)[1].splitlines() + [""]:
        if line:
            key, _, value = line.partition(" = ")
            block[key] = value
        elif block:
            entries.append((block["Path"], block["Folder"] == "+", int(block["Size"] or 0)))
            block = {}
    return entries


def same_bytes(path, stream, size):
    """Whether the next `size` bytes of `stream` are the file at `path`; reads them all."""
    with open(path, "rb") as original:
        same = os.fstat(original.fileno()).st_size == size
        left = size
        while left:
            chunk = stream.read(min(left, 1 << 20))
            if not chunk:
                return False
            left -= len(chunk)
            same = same and original.read(len(chunk)) == chunk
    return same


def compare(medium, archive, kind):
    """Differences between `medium` and `archive` as 7-Zip reads it."""
    expected = medium_entries(medium)
    entries = archive_entries(archive, kind)
    differences = []
    seen = set()
    # 7-Zip writes every file's bytes to standard output, in listing order.
    stream = subprocess.Popen(["7zz", "x", "-so", f"-t{kind}", archive],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    for path, folder, size in entries:
        if path in seen:
            differences.append(f"twice in the archive: {path}")
        seen.add(path)
        known = expected.get(path)
        if known is None:
            differences.append(f"only in the archive: {path}")
        elif known != folder:
            differences.append(f"a {'folder' if folder else 'file'} in the archive, not in the medium: {path}")
        if folder:
            continue
        original = os.path.join(medium, path) if known is False else os.devnull
        if not same_bytes(original, stream.stdout, size) and known is False:
            differences.append(f"other bytes in the archive: {path}")
    stream.stdout.read()
    stream.stdout.close()
    if stream.wait() != 0:
        differences.append(f"7-Zip could not read every file of {archive}")
    differences += [f"missing from the archive: {path}" for path in sorted(set(expected) - seen)]
    return differences


def differ(old, new):
    """The paths ('/'-separated) that differ between the trees `old` and `new`."""
    before, after = medium_entries(old), medium_entries(new)
    found = []
    for path in sorted(set(before) | set(after)):
        if before.get(path) != after.get(path):
            found.append(path)
        elif after[path] is False:
            with open(os.path.join(old, path), "rb") as a, open(os.path.join(new, path), "rb") as b:
                while True:
                    chunk = a.read(1 << 20)
                    if chunk != b.read(1 << 20):
                        found.append(path)
                        break
                    if not chunk:
                        break
    return found


def run_compare(medium, archive, kind):
    differences = compare(medium, archive, kind)
    for difference in differences:
        print(difference)
    return 1 if differences else 0


def main(argv):
    sys.stdout.reconfigure(errors="backslashreplace")
    sys.stderr.reconfigure(errors="backslashreplace")
    if len(argv) in (3, 4) and argv[1] == "check":
        return run_check(*argv[2:])
    if len(argv) in (3, 4) and argv[1] == "version":
        return run_version(*argv[2:])
    if len(argv) == 3 and argv[1] == "product-version":
        return run_product_version(argv[2])
    if len(argv) == 4 and argv[1] == "differ":
        for path in differ(argv[2], argv[3]):
            print(path)
        return 0
    if len(argv) == 5 and argv[1] == "compare":
        return run_compare(argv[2], argv[3], argv[4])
    if len(argv) == 4 and argv[1] == "zip":
        write_zip(argv[2], argv[3], int(os.environ["SOURCE_DATE_EPOCH"]))
        return 0
    if len(argv) == 5 and argv[1] == "master":
        master(argv[2], argv[3], argv[4])
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
