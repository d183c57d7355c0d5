#!/usr/bin/python3
"""What a release contains and how it was made, for scripts/release.sh.

  sbom.py found CLIENT
      the SBOMs of its own that CLIENT carries, one a line, as the release
      takes them in
  sbom.py sbom MEDIUM CLIENT OUT.cdx.json --version V --installer-version V
              --revision REV [--npm-tools DIR]
      the CycloneDX SBOM of the medium folder MEDIUM (made from CLIENT)
  sbom.py provenance STAGE NAME CLIENT OUT.intoto.jsonl --revision REV
              [--key-pkcs12 FILE --password-file FILE |
              --key-pkcs11 URI --pkcs11-module MODULE --pin-file FILE] -- COMMAND...
      the in-toto statement of the release NAME in STAGE, signed with the
      key that signed STAGE/NAME/Installer/setup.exe, in a DSSE envelope

The SBOMs a client carries: CycloneDX JSON files named bom.json or
*.cdx.json, and npm lock files (package-lock.json, npm-shrinkwrap.json),
read with @cyclonedx/cyclonedx-npm from the lock file alone. Both are taken
in whole below the medium file that holds them. Every time is
SOURCE_DATE_EPOCH and the serial number is derived from the content, so
the same inputs give the same bytes. Run with Debian's /usr/bin/python3.
"""
import base64
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import uuid

SPEC_VERSION = "1.6"
CYCLONEDX_NAMES = re.compile(r"(bom|.+\.cdx)\.json", re.IGNORECASE)
NPM_LOCKS = ("package-lock.json", "npm-shrinkwrap.json")
FORMS = {"npm": "an npm lock file", "cyclonedx": "a CycloneDX SBOM"}
PAYLOAD_TYPE = "application/vnd.in-toto+json"
BUILD_TYPE = "https://ovik.invalid/release/v1"
# The compilers and the binutils that build setup.exe.
TOOLCHAIN = ("gcc-mingw-w64-x86-64-posix", "g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64")
# The archives that `-static -static-libgcc -static-libstdc++` links into
# setup.exe, with the folder of their sources in the Debian package's
# copyright file (None: a copyright file that is not machine-readable).
STATIC_LIBRARIES = (
    ("libstdc++", "libstdc++.a", "libstdc++-v3"),
    ("libgcc", "libgcc.a", "libgcc"),
    ("libgcc_eh", "libgcc_eh.a", "libgcc"),
    ("winpthreads", "libwinpthread.a", "mingw-w64-libraries/winpthreads"),
    ("mingw-w64 runtime (mingwex)", "libmingwex.a", "mingw-w64-crt"),
    ("mingw-w64 runtime (mingw32)", "libmingw32.a", "mingw-w64-crt"),
    ("mingw-w64 runtime (msvcrt)", "libmsvcrt.a", "mingw-w64-crt"),
)
COMPILER = "x86_64-w64-mingw32-g++-posix"
# The builder's packages that the outputs depend on: besides the toolchain,
# what writes the image and the zip, signs and reads back.
BUILDER_PACKAGES = TOOLCHAIN + (
    "mingw-w64-x86-64-dev", "cmake", "python3", "python3-pycdlib", "python3-pefile",
    "osslsigncode", "openssl", "7zip", "nodejs",
)


class Refused(Exception):
    """Input that cannot become an SBOM or a provenance, with what to do."""


def epoch_time():
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    return datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as source:
        while chunk := source.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def tree_files(top):
    """Every file below `top`, as sorted '/'-separated paths."""
    found = []
    for folder, folders, files in os.walk(top):
        folders.sort()
        inside = os.path.relpath(folder, top)
        for name in files:
            found.append(name if inside == "." else f"{inside}/{name}".replace(os.sep, "/"))
    return sorted(found)


def tree_digest(top):
    """SHA-256 of the tree's listing "SHA256  PATH\\n", sorted by path:
    what `sha256sum` prints, so `find -type f | sort | xargs sha256sum`
    in the folder gives the same bytes."""
    listing = "".join(f"{sha256_file(os.path.join(top, path))}  {path}\n" for path in tree_files(top))
    return hashlib.sha256(listing.encode("utf-8")).hexdigest()


def found_sboms(client):
    """(path, form) of each SBOM the client carries, in path order."""
    found = []
    for path in tree_files(client):
        name = path.rsplit("/", 1)[-1]
        if name in NPM_LOCKS and "/node_modules/" not in f"/{path}":
            found.append((path, "npm"))
        elif CYCLONEDX_NAMES.fullmatch(name):
            found.append((path, "cyclonedx"))
    return found


def dpkg_version(package):
    result = subprocess.run(
        ["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True, check=False
    )
    return result.stdout.strip() if result.returncode == 0 and result.stdout.strip() else None


def deb_component(package, kind="application"):
    version = dpkg_version(package)
    if version is None:
        raise Refused(f"the Debian package {package} is not installed: install it (scripts/deps.sh does)")
    return {
        "type": kind,
        "bom-ref": f"deb:{package}",
        "name": package,
        "version": version,
        "purl": f"pkg:deb/debian/{package}@{version}",
    }


def copyright_licences(package, sources):
    """The licences that the Debian copyright file of `package` records for
    the files below `sources`."""
    path = f"/usr/share/doc/{package}/copyright"
    with open(path, encoding="utf-8", errors="replace") as text:
        content = text.read()
    if content.startswith("Format:"):
        names = []
        for stanza in content.split("\n\n"):
            files = re.search(r"^Files:((?:.*\n?)(?:[ \t].*\n?)*)", stanza, re.MULTILINE)
            licence = re.search(r"^License: *(.+)$", stanza, re.MULTILINE)
            patterns = files.group(1).split() if files else []
            # "*" holds for what no other stanza names: not for a folder of its own.
            default = patterns == ["*"] and f"Files: {sources}/*" not in content
            if licence and (default or any(p.startswith(sources + "/") for p in patterns)):
                if licence.group(1).strip() not in names:
                    names.append(licence.group(1).strip())
    else:
        # GCC's: one paragraph names the parts under its runtime exception.
        exception = re.search(r"Runtime Library Exception \(included in this file\):\n((?:\n| +-? .*\n)+)", content)
        names = []
        if exception and re.search(rf"^ +- {re.escape(sources)}\b", exception.group(1), re.MULTILINE):
            names.append("GPL-3+ with GCC Runtime Library Exception")
    if not names:
        raise Refused(f"{path} records no licence for {sources}")
    return [{"license": {"name": name}} for name in names], path


def static_libraries():
    components = []
    for name, archive, sources in STATIC_LIBRARIES:
        result = subprocess.run([COMPILER, f"-print-file-name={archive}"], capture_output=True, text=True)
        where = os.path.realpath(result.stdout.strip())
        if result.returncode != 0 or not os.path.isfile(where):
            raise Refused(f"{COMPILER} finds no {archive}: install the MinGW-w64 toolchain (scripts/deps.sh)")
        owner = subprocess.run(["dpkg-query", "-S", where], capture_output=True, text=True)
        if owner.returncode != 0:
            raise Refused(f"no Debian package holds {where}")
        package = owner.stdout.split(":", 1)[0]
        component = deb_component(package, "library")
        licences, record = copyright_licences(package, sources)
        component.update(
            {
                "bom-ref": f"static:{archive}",
                "name": name,
                "licenses": licences,
                "hashes": [{"alg": "SHA-256", "content": sha256_file(where)}],
                "properties": [
                    {"name": "ovik:archive", "value": where},
                    {"name": "ovik:debian-package", "value": package},
                    {"name": "ovik:debian-copyright", "value": record},
                ],
            }
        )
        components.append(component)
    return components


def rebased(node, prefix):
    """A copy of a CycloneDX component tree or dependency list whose
    bom-refs are prefixed with `prefix`, so that they stay unique."""
    if isinstance(node, list):
        return [rebased(item, prefix) for item in node]
    if not isinstance(node, dict):
        return node
    copy = {}
    for key, value in node.items():
        if key in ("bom-ref", "ref") and isinstance(value, str):
            copy[key] = prefix + value
        elif key in ("dependsOn", "provides") and isinstance(value, list):
            copy[key] = [prefix + ref if isinstance(ref, str) else ref for ref in value]
        else:
            copy[key] = rebased(value, prefix)
    return copy


def npm_sbom(lock, npm_tools):
    """The CycloneDX SBOM that @cyclonedx/cyclonedx-npm makes of an npm lock file alone."""
    if not npm_tools:
        raise Refused(f"{lock} is an npm lock file, and no --npm-tools folder was given to read it")
    tool = os.path.join(os.path.abspath(npm_tools), "node_modules", ".bin", "cyclonedx-npm")
    with tempfile.TemporaryDirectory() as work:
        # A folder of its own: npm reads nothing else of the client.
        copy = os.path.join(work, "package-lock.json")
        with open(lock, "rb") as source, open(copy, "wb") as target:
            target.write(source.read())
        result = subprocess.run(
            [tool, "--package-lock-only", "--omit", "dev", "--spec-version", SPEC_VERSION,
             "--output-reproducible", "--output-format", "JSON", "--output-file", "-", copy],
            capture_output=True, text=True, cwd=work,
        )
    if result.returncode != 0:
        raise Refused(f"cyclonedx-npm cannot read the npm lock file {lock}:\n{result.stderr.strip()}")
    return json.loads(result.stdout)


def unreadable(client, path, form):
    """Why the SBOM at `path` cannot be taken in, or None."""
    try:
        with open(os.path.join(client, path), encoding="utf-8") as text:
            content = json.load(text)
    except (OSError, ValueError) as error:
        return f"{path} is named as {FORMS[form]} but is not JSON ({error}): fix or rename it"
    if form == "npm" and not (isinstance(content, dict) and "lockfileVersion" in content):
        return f'{path} is named as {FORMS[form]} but has no "lockfileVersion": fix or rename it'
    if form == "cyclonedx" and not (isinstance(content, dict) and content.get("bomFormat") == "CycloneDX"):
        return f'{path} is named as {FORMS[form]} but has no "bomFormat": "CycloneDX": fix or rename it'
    return None


def taken_in(client, path, form, npm_tools):
    """(components, dependencies, tool) of the SBOM at `path` in the client."""
    full = os.path.join(client, path)
    problem = unreadable(client, path, form)
    if problem:
        raise Refused(problem)
    if form == "npm":
        bom = npm_sbom(full, npm_tools)
        tool = "@cyclonedx/cyclonedx-npm"
    else:
        with open(full, encoding="utf-8") as text:
            bom = json.load(text)
        tool = None
    prefix = f"{path}#"
    subject = (bom.get("metadata") or {}).get("component")
    components = ([subject] if subject else []) + list(bom.get("components") or [])
    return rebased(components, prefix), rebased(list(bom.get("dependencies") or []), prefix), tool


def product_name(executable):
    import pefile

    try:
        pe = pefile.PE(executable, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except (pefile.PEFormatError, OSError):
        return None
    for info in getattr(pe, "FileInfo", None) or []:
        for block in info:
            for table in getattr(block, "StringTable", []):
                text = table.entries.get(b"ProductName")
                if text:
                    return text.decode("utf-8", "replace").strip().strip("\0") or None
    return None


def serial_number(document):
    """urn:uuid derived from everything else in the document."""
    body = json.dumps(document, sort_keys=True, ensure_ascii=False).encode("utf-8")
    return uuid.uuid5(uuid.NAMESPACE_URL, "sha256:" + hashlib.sha256(body).hexdigest()).urn


def make_sbom(medium, client, version, installer_version, revision, npm_tools=None):
    client_name = product_name(os.path.join(medium, "startClass.exe")) or os.path.basename(client)
    files = []
    dependencies = []
    tools = [{"type": "application", "name": "ovik release", "version": installer_version}]
    sboms = dict(found_sboms(medium))
    for path in tree_files(medium):
        component = {
            "type": "file",
            "bom-ref": f"medium:{path}",
            "name": path,
            "hashes": [{"alg": "SHA-256", "content": sha256_file(os.path.join(medium, path))}],
        }
        if path == "Installer/setup.exe":
            libraries = static_libraries()
            component.update(
                {
                    "type": "application",
                    "version": installer_version,
                    "pedigree": {"commits": [{"uid": revision}]},
                    "components": libraries,
                    "properties": [{"name": "ovik:source-revision", "value": revision}],
                }
            )
            dependencies.append({"ref": component["bom-ref"], "dependsOn": [c["bom-ref"] for c in libraries]})
        if path in sboms:
            nested, their_dependencies, tool = taken_in(medium, path, sboms[path], npm_tools)
            component["components"] = nested
            component["properties"] = [{"name": "ovik:sbom-taken-in", "value": sboms[path]}]
            dependencies += their_dependencies
            if tool and not any(t["name"] == tool for t in tools):
                tools.append({"type": "application", "name": tool})
        files.append(component)
    toolchain = [deb_component(package) for package in TOOLCHAIN]
    compiler = subprocess.run([COMPILER, "-dumpfullversion"], capture_output=True, text=True)
    toolchain[1]["properties"] = [{"name": "ovik:compiler", "value": f"{COMPILER} {compiler.stdout.strip()}"}]
    document = {
        "bomFormat": "CycloneDX",
        "specVersion": SPEC_VERSION,
        "version": 1,
        "metadata": {
            "timestamp": epoch_time(),
            "tools": {"components": tools},
            "component": {
                "type": "application",
                "bom-ref": "client",
                "name": client_name,
                "version": version,
                "properties": [{"name": "ovik:client-digest", "value": f"sha256:{tree_digest(client)}"}],
            },
        },
        "components": files,
        "dependencies": [{"ref": "client", "dependsOn": [c["bom-ref"] for c in files]}] + dependencies,
        "formulation": [
            {
                "bom-ref": "build:setup.exe",
                "components": toolchain,
                "properties": [{"name": "ovik:builds", "value": "medium:Installer/setup.exe"}],
            }
        ],
    }
    return {"bomFormat": "CycloneDX", "specVersion": SPEC_VERSION, "serialNumber": serial_number(document),
            **{k: v for k, v in document.items() if k not in ("bomFormat", "specVersion")}}


def left_out_secrets(words):
    """The release command's words with the files of secrets left out."""
    kept = []
    skip = False
    for word in words:
        if skip:
            kept.append("<left out>")
            skip = False
            continue
        kept.append(word)
        skip = word in ("--password-file", "--pin-file")
    return kept


def pae(payload):
    """DSSE's pre-authentication encoding of the payload."""
    return b"DSSEv1 %d %s %d %s" % (len(PAYLOAD_TYPE), PAYLOAD_TYPE.encode(), len(payload), payload)


def openssl(*words, stdin=None, env=None):
    result = subprocess.run(["openssl", *words], input=stdin, capture_output=True, env=env)
    if result.returncode != 0:
        raise Refused(f"openssl {words[0]} failed: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def signer_certificate(setup_exe, pae_file, signature_file, work):
    """The certificate of setup.exe's Authenticode signer whose key made
    the signature: so the provenance is signed by the key that signed setup.exe."""
    pkcs7 = os.path.join(work, "authenticode.pem")
    result = subprocess.run(["osslsigncode", "extract-signature", "-pem", "-in", setup_exe, "-out", pkcs7],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise Refused(f"no Authenticode signature to take from {setup_exe}: {result.stderr.strip()}")
    certificates = re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n",
                              openssl("pkcs7", "-in", pkcs7, "-print_certs").decode(), re.DOTALL)
    for index, certificate in enumerate(certificates):
        public = os.path.join(work, f"public-{index}.pem")
        with open(public, "wb") as out:
            out.write(openssl("x509", "-pubkey", "-noout", stdin=certificate.encode()))
        check = subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature", signature_file,
                                pae_file], capture_output=True)
        if check.returncode == 0:
            return certificate
    raise Refused("the provenance's signature does not verify with the certificate of setup.exe's signer")


def sign(payload, setup_exe, key):
    """A DSSE signature of `payload` with `key` (("pkcs12", FILE, SECRET) or
    ("pkcs11", URI, SECRET, MODULE)), and the signer's certificate."""
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o700)
        pae_file = os.path.join(work, "pae")
        signature_file = os.path.join(work, "signature")
        with open(pae_file, "wb") as out:
            out.write(pae(payload))
        way, where, secret = key[:3]
        if way == "pkcs12":
            # The key, unencrypted, goes from one openssl to the other
            # through memory: a run killed here leaves no copy in a file.
            key_pem = openssl("pkcs12", "-in", where, "-passin", f"file:{secret}", "-nocerts", "-nodes")
            openssl("dgst", "-sha256", "-sign", "/dev/stdin", "-out", signature_file, pae_file, stdin=key_pem)
        else:
            openssl("dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-sign", where,
                    "-passin", f"file:{secret}", "-out", signature_file, pae_file,
                    env={**os.environ, "PKCS11_MODULE_PATH": key[3]})
        certificate = signer_certificate(setup_exe, pae_file, signature_file, work)
        with open(signature_file, "rb") as source:
            signature = source.read()
    der = openssl("x509", "-outform", "DER", stdin=certificate.encode())
    return {"keyid": "sha256:" + hashlib.sha256(der).hexdigest(), "sig": base64.b64encode(signature).decode(),
            "cert": certificate}


def make_statement(stage, name, client, revision, command_line):
    outputs = [f"{name}.zip", f"{name}.iso", f"{name}/Installer/setup.exe", f"{name}.cdx.json",
               f"{name}.SHA256SUMS"]
    packages = []
    for package in BUILDER_PACKAGES:
        version = dpkg_version(package)
        if version is not None:
            packages.append({"uri": f"pkg:deb/debian/{package}@{version}", "name": package})
    return {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": [{"name": output, "digest": {"sha256": sha256_file(os.path.join(stage, output))}}
                    for output in outputs],
        "predicateType": "https://slsa.dev/provenance/v1",
        "predicate": {
            "buildDefinition": {
                "buildType": BUILD_TYPE,
                "externalParameters": {
                    "command": left_out_secrets(command_line),
                    "client": {"digest": {"sha256": tree_digest(client)}},
                    "SOURCE_DATE_EPOCH": os.environ["SOURCE_DATE_EPOCH"],
                },
                "resolvedDependencies": [{"uri": "git+ovik-installer", "digest": {"gitCommit": revision}}]
                if re.fullmatch(r"[0-9a-f]{40}", revision)
                else [{"uri": "ovik-installer-sources", "annotations": {"revision": revision}}],
            },
            "runDetails": {
                "builder": {"id": "https://ovik.invalid/release/scripts/release.sh", "builderDependencies": packages},
                "metadata": {"finishedOn": epoch_time()},
            },
        },
    }


def write_provenance(stage, name, client, target, revision, command_line, key):
    statement = make_statement(stage, name, client, revision, command_line)
    payload = json.dumps(statement, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    signatures = [] if key is None else [sign(payload, os.path.join(stage, name, "Installer", "setup.exe"), key)]
    envelope = {"payloadType": PAYLOAD_TYPE, "payload": base64.b64encode(payload).decode(), "signatures": signatures}
    with open(target, "w", encoding="utf-8") as out:
        out.write(json.dumps(envelope, separators=(",", ":")) + "\n")


def options(words, known):
    found = {}
    while words:
        if words[0] not in known or len(words) < 2:
            raise SystemExit(f"sbom.py: unknown option or missing value: {words[0]}")
        found[words[0]] = words[1]
        words = words[2:]
    return found


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "found":
            for path, form in found_sboms(argv[2]):
                print(f"{path}: {FORMS[form]}, taken into the release's SBOM")
            return 0
        if len(argv) >= 5 and argv[1] == "sbom":
            given = options(argv[5:], {"--version", "--installer-version", "--revision", "--npm-tools"})
            document = make_sbom(argv[2], argv[3], given["--version"], given["--installer-version"],
                                 given["--revision"], given.get("--npm-tools"))
            with open(argv[4], "w", encoding="utf-8") as out:
                out.write(json.dumps(document, indent=1, ensure_ascii=False) + "\n")
            return 0
        if len(argv) >= 6 and argv[1] == "provenance" and "--" in argv:
            end = argv.index("--")
            given = options(argv[6:end], {"--revision", "--key-pkcs12", "--key-pkcs11", "--password-file",
                                          "--pin-file", "--pkcs11-module"})
            key = None
            if "--key-pkcs12" in given:
                key = ("pkcs12", given["--key-pkcs12"], given["--password-file"])
            elif "--key-pkcs11" in given:
                key = ("pkcs11", given["--key-pkcs11"], given["--pin-file"], given["--pkcs11-module"])
            write_provenance(argv[2], argv[3], argv[4], argv[5], given["--revision"], argv[end + 1:], key)
            return 0
    except Refused as refused:
        print(f"sbom.py: {refused}", file=sys.stderr)
        return 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
