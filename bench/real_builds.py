"""Two real builds of compiled code for the real-update scenario, taken when the benchmark runs:
the two newest versions of a Debian package that apt offers (a security update changes a few
of its libraries a little), or, when none can be downloaded, two builds of one library that this
machine always holds. Also the reference a binary patch is judged against (zstd's own patch
mode over each changed file), and the re-signing of a manifest that bench.py has rewritten.

The downloaded packages and the reference sizes are kept under build/bench-cache/real-update/.
"""

import glob
import os
import shutil
import subprocess

KIND = "real-update"

# (package, its folder that is the client), in the order tried.
PACKAGES = (("libreoffice-core", "usr/lib/libreoffice/program"),
            ("libssl3", "usr/lib/x86_64-linux-gnu"))
SMOKE_PACKAGES = PACKAGES[1:]
# Two builds of the same source, always on the machine: the client's one library in v1 and v2.
FALLBACK = ("/usr/lib/x86_64-linux-gnu/libcurl.so.4",
            "/usr/lib/x86_64-linux-gnu/libcurl-gnutls.so.4")
FALLBACK_PATH = "lib/libcurl.so.4"
PROGRAMS = ("kelvadon_player.exe", "kelvadon_studio.exe")

ZSTD = ["zstd", "-q", "-19", "--long=27"]


def _newest_versions(package):
    """The two newest versions of the package apt lists, newest first; fewer when it lists
    fewer."""
    r = subprocess.run(["apt-cache", "madison", package], capture_output=True, text=True)
    versions = []
    for line in r.stdout.splitlines():
        fields = [f.strip() for f in line.split("|")]
        if len(fields) >= 3 and fields[0] == package and fields[1] not in versions:
            versions.append(fields[1])
    # Insertion sort: few versions, and dpkg alone knows their order.
    ordered = []
    for version in versions:
        at = 0
        while at < len(ordered) and subprocess.run(
                ["dpkg", "--compare-versions", ordered[at], "gt", version]).returncode == 0:
            at += 1
        ordered.insert(at, version)
    return ordered[:2]


def _download(package, version, folder, timeout):
    """The package's .deb in folder, downloaded once; None when apt could not fetch it."""
    pattern = f"{package}_{glob.escape(version.replace(':', '%3a'))}_*.deb"
    found = glob.glob(os.path.join(folder, pattern))
    if found:
        return found[0]
    # Into a folder of its own first, so that the cache never holds half a download.
    partial = os.path.join(folder, "partial")
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    try:
        subprocess.run(["apt-get", "download", "-o", "Acquire::Retries=0",
                        "-o", "Acquire::http::Timeout=15", f"{package}={version}"],
                       cwd=partial, stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=timeout)
    except subprocess.TimeoutExpired:
        pass
    found = glob.glob(os.path.join(partial, pattern))
    if found:
        os.replace(found[0], os.path.join(folder, os.path.basename(found[0])))
    shutil.rmtree(partial, ignore_errors=True)
    return os.path.join(folder, os.path.basename(found[0])) if found else None


def _client(source, target):
    """The client folder: the source folder's ordinary files (links left out, as the publisher
    takes none) as hard links, and the two programs the publisher requires, alike in both
    versions."""
    for parent, _, names in os.walk(source):
        for name in names:
            path = os.path.join(parent, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            copy = os.path.join(target, os.path.relpath(path, source))
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            os.link(path, copy)
    _programs(target)


def _programs(target):
    for name in PROGRAMS:
        with open(os.path.join(target, name), "w") as f:
            f.write(f"{KIND} {name}\n")


def prepare(cache, folder, smoke, log):
    """Writes folder/v1 and folder/v2 and returns what they are: {"package", "versions",
    "client_folder", "fallback"}."""
    # A network that is down costs the smoke at most one wait.
    timeout = 45 if smoke else 600
    for package, inside in SMOKE_PACKAGES if smoke else PACKAGES:
        versions = _newest_versions(package)
        if len(versions) < 2:
            log(f"   {package}: apt lists {len(versions)} version(s)")
            continue
        older, newer = versions[1], versions[0]
        debs = []
        for version in (older, newer):
            debs.append(_download(package, version, os.path.join(cache, "debs"), timeout))
            if debs[-1] is None:
                break
        if None in debs:
            log(f"   {package}: could not download {older} and {newer}")
            continue
        for name, deb in zip(("v1", "v2"), debs):
            extracted = os.path.join(folder, f"extracted-{name}")
            os.makedirs(extracted)
            subprocess.run(["dpkg-deb", "-x", deb, extracted], check=True)
            _client(os.path.join(extracted, inside), os.path.join(folder, name))
        return {"package": package, "versions": [older, newer], "client_folder": inside,
                "fallback": False}
    log(f"   no package with two downloadable versions: {FALLBACK[0]} as v1, {FALLBACK[1]} "
        f"as v2")
    for name, library in zip(("v1", "v2"), FALLBACK):
        target = os.path.join(folder, name, FALLBACK_PATH)
        os.makedirs(os.path.dirname(target))
        shutil.copyfile(library, target)
        _programs(os.path.join(folder, name))
    return {"package": None, "versions": [os.path.basename(p) for p in FALLBACK],
            "client_folder": FALLBACK_PATH, "fallback": True}


def zstd_reference(cache, old, new, old_sha256, new_sha256):
    """The size of zstd -19 --long=27 --patch-from=old new (of new alone when there is no old),
    kept in the cache by the two fingerprints: the 70 MB library takes a minute."""
    record = os.path.join(cache, "zstd", f"{old_sha256 or 'none'}-{new_sha256}")
    try:
        with open(record) as f:
            return int(f.read())
    except (OSError, ValueError):
        pass
    os.makedirs(os.path.dirname(record), exist_ok=True)
    output = record + ".zst"
    # Its advice on a better parser goes to standard error even with -q.
    r = subprocess.run(ZSTD + ([f"--patch-from={old}"] if old else []) + ["-f", "-o", output, new],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit(f"bench: zstd failed on {new}:\n{r.stderr}")
    size = os.path.getsize(output)
    os.remove(output)
    with open(record + ".tmp", "w") as f:
        f.write(f"{size}\n")
    os.replace(record + ".tmp", record)
    return size


def _raw_signature(der):
    """The launcher's signature, r and s of 32 bytes each, from openssl's DER SEQUENCE of two
    INTEGERs (short lengths: a P-256 signature is at most 72 bytes)."""
    assert der[0] == 0x30 and der[2] == 0x02
    at = 3
    raw = b""
    for _ in range(2):
        length = der[at]
        raw += der[at + 1:at + 1 + length].lstrip(b"\0").rjust(32, b"\0")
        at += 1 + length + 1
    return raw


def sign(data, private_key):
    """manifest.sig for data: ECDSA P-256 over its SHA-256, as kelvadon-publish signs."""
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", private_key], input=data,
                         capture_output=True, check=True).stdout
    return _raw_signature(der)
