"""Runs the benchmark: generates the clients, publishes them, serves them with nginx on loopback
and times the launcher (Linux Release build, and the Windows build under Wine) against the plain
tools doing the same network and hashing work. bench/run builds everything first and then
starts this; see bench/run for the command line.
"""

import argparse
import filecmp
import json
import hashlib
import os
import random
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

import clients
import far
import real_builds
import report

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SIGNATURE_BYTES = 64
# Free disk needed before a client is generated: the client (two versions sharing their unchanged
# files), the website, an InstallRoot with two versions and the baseline's copies.
DISK_FACTOR = 5.5
RUN_TIMEOUT = 600
WINE_LARGE_BYTES = 500_000_000


def log(text):
    print(text, flush=True)


def fail(text):
    raise SystemExit(f"bench: {text}")


def clean_env():
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    return env


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rmtree(path):
    shutil.rmtree(path, ignore_errors=True)


class Nginx:
    """nginx on loopback with its own configuration and access log, stopped by its pid."""

    def __init__(self, work, site):
        self.dir = os.path.join(work, "nginx")
        self.site = site
        self.port = free_port()
        self.access_log = os.path.join(self.dir, "access.log")
        # More server blocks inside the http block (the far website's).
        self.extra_servers = ""
        self.process = None

    def start(self):
        os.makedirs(self.dir, exist_ok=True)
        for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(os.path.join(self.dir, name), exist_ok=True)
        d = self.dir
        config = f"""daemon off;
user root;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 256; }}
http {{
  log_format bench '$status $body_bytes_sent $bytes_sent "$request"';
  access_log {self.access_log} bench;
  client_body_temp_path {d}/client_body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  types {{ }}
  default_type application/octet-stream;
  server {{
    listen 127.0.0.1:{self.port};
    root {self.site};
  }}
{self.extra_servers}}}
"""
        conf = os.path.join(d, "nginx.conf")
        with open(conf, "w") as f:
            f.write(config)
        self.process = subprocess.Popen(
            ["nginx", "-p", d, "-e", os.path.join(d, "error.log"), "-c", conf],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if self.process.poll() is not None:
                fail(f"nginx did not start; see {d}/error.log")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return
            except OSError:
                time.sleep(0.05)
        fail("nginx did not accept connections")

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        # With daemon off the master is the process started here; QUIT lets it finish and
        # stop its worker.
        self.process.send_signal(signal.SIGQUIT)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"

    def mark(self):
        try:
            return os.path.getsize(self.access_log)
        except OSError:
            return 0

    def served_since(self, mark):
        """(requests, body bytes, {status: count}) since the mark."""
        with open(self.access_log, "rb") as f:
            f.seek(mark)
            lines = f.read().decode().splitlines()
        body = 0
        statuses = {}
        for line in lines:
            status, body_bytes, _ = line.split(" ", 2)
            statuses[status] = statuses.get(status, 0) + 1
            body += int(body_bytes)
        return len(lines), body, statuses


def measure(cmd, env, log_path, timeout=RUN_TIMEOUT):
    """Runs cmd under /usr/bin/time. Returns a dict with the wall time (seconds, taken here),
    peak resident memory (KiB, of the largest process), CPU seconds, the bytes it wrote to files
    (the file system outputs, in 512-byte units) and the exit code."""
    stats = log_path + ".time"
    full = ["/usr/bin/time", "-f", "%M %U %S %O", "-o", stats] + cmd
    with open(log_path, "wb") as out:
        start = time.perf_counter()
        # A group of its own, so that a run that hangs is stopped with everything it started.
        process = subprocess.Popen(full, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        # A timer ends a run that hangs, so that the wait itself blocks: Popen.wait with a
        # time-out polls with growing sleeps and rounds a 40 ms run up to 64 ms.
        expired = threading.Event()

        def expire():
            expired.set()
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        timer = threading.Timer(timeout, expire)
        timer.start()
        try:
            rc = process.wait()
            if expired.is_set():
                rc = "timeout"
        except KeyboardInterrupt:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise
        finally:
            timer.cancel()
        wall = time.perf_counter() - start
    rss = cpu = written = None
    try:
        with open(stats) as f:
            last = f.read().strip().splitlines()[-1].split()
        rss, cpu = int(last[0]), float(last[1]) + float(last[2])
        written = int(last[3]) * 512
    except (OSError, IndexError, ValueError):
        pass
    return {"seconds": wall, "peak_rss_kib": rss, "cpu_seconds": cpu, "written_bytes": written,
            "exit": rc}


def disk_use(folder, leave_out=()):
    """The disk blocks under folder, in bytes, each file counted once however many names it has
    (as du counts), but for the names in leave_out at its top."""
    seen = set()
    total = 0
    for parent, folders, names in os.walk(folder):
        for name in folders + names:
            if parent == folder and name in leave_out:
                continue
            status = os.lstat(os.path.join(parent, name))
            if (status.st_dev, status.st_ino) not in seen:
                seen.add((status.st_dev, status.st_ino))
                total += status.st_blocks * 512
    return total


def tail(path, lines=15):
    try:
        with open(path, "rb") as f:
            return "\n".join(f.read().decode(errors="replace").splitlines()[-lines:])
    except OSError:
        return "(no output)"


class Context:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.site = os.path.join(self.work, "site")
        self.logs = os.path.join(self.work, "logs")
        self.nginx = Nginx(self.work, self.site)
        self.env = clean_env()
        self.wine_env = dict(self.env, KELVADON_WINE_STATE=os.path.join(self.work, "wine"))
        self.wine_run = os.path.join(ROOT, "cmake", "wine-run.sh")
        self.wine_ready = False
        self.counter = 0
        self.problems = []

    def log_path(self, name):
        self.counter += 1
        return os.path.join(self.logs, f"{self.counter:04d}-{name}.log")

    def run(self, name, cmd, env, timeout=RUN_TIMEOUT):
        """A measured run that must end with exit code 0; its output is kept only on failure."""
        path = self.log_path(name)
        result = measure(cmd, env, path, timeout)
        if result["exit"] != 0:
            self.problems.append(f"{name}: exit {result['exit']}; output kept in {path}")
            log(f"  ! {name} ended with {result['exit']}:\n{tail(path)}")
            if result["exit"] == "timeout" and env is self.wine_env:
                # A message box waits for ever; the Wine session is restarted for the next run.
                self.wine_cleanup()
                self.wine_setup()
        else:
            os.remove(path)
        try:
            os.remove(path + ".time")
        except OSError:
            pass
        return result

    def wine_setup(self):
        # Set first: a setup that fails half way may have started the Xvfb already.
        self.wine_ready = True
        subprocess.run([self.wine_run, "--setup"], env=self.wine_env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        # Xvfb has no window manager, and Wine then waits about two seconds for one whenever a
        # window closes (its "wait_for_withdrawn_state" time-out). That wait is the test
        # display's, not the launcher's: windows that no manager looks after close at once.
        subprocess.run([self.wine_run, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                        "Managed", "/d", "N", "/f"], env=self.wine_env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def wine_cleanup(self):
        if self.wine_ready:
            subprocess.run([self.wine_run, "--cleanup"], env=self.wine_env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            self.wine_ready = False


# The label of the rollback publish: version 1.0.0 again, with the next sequence.
ROLLBACK = "1.0.0 again"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Website:
    """One client published into the served folder as 1.0.0, 1.1.0 and 1.0.0 again (the
    rollback: launchers refuse an old manifest served again, so a rollback is a new publish
    with a higher sequence); serving one puts its signed manifest pair in place, as that
    publish did."""

    def __init__(self, ctx, kind, folder, files, changed):
        self.ctx = ctx
        self.kind = kind
        self.files = files
        self.changed = changed
        self.pairs = {}
        self.manifests = {}
        for version, source, label in (("1.0.0", "v1", "1.0.0"), ("1.1.0", "v2", "1.1.0"),
                                       ("1.0.0", "v1", ROLLBACK)):
            self.publish(os.path.join(folder, source), version, label)
        r = verify_website(ctx)
        if r.returncode != 0:
            fail(f"kelvadon-publish verify failed:\n{r.stdout}{r.stderr}")
        self.serving = ROLLBACK

    def publish(self, source, version, label):
        """Publishes the source folder as version and keeps the manifest pair as label. Returns
        the seconds it took."""
        start = time.perf_counter()
        r = subprocess.run(
            [self.ctx.args.publisher, "publish", "--client", source, "--version", version,
             "--private-key", self.ctx.args.private_key, "--website", self.ctx.site],
            stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if r.returncode != 0:
            fail(f"kelvadon-publish refused {self.kind} {version}:\n{r.stderr}")
        pair = {}
        for name in ("manifest.json", "manifest.sig"):
            with open(os.path.join(self.ctx.site, "client", name), "rb") as f:
                pair[name] = f.read()
        self.pairs[label] = pair
        self.manifests[label] = json.loads(pair["manifest.json"])
        return time.perf_counter() - start

    def serve(self, version):
        client_dir = os.path.join(self.ctx.site, "client")
        for name, data in self.pairs[version].items():
            temporary = os.path.join(client_dir, f".{name}.bench")
            with open(temporary, "wb") as f:
                f.write(data)
            os.replace(temporary, os.path.join(client_dir, name))
        self.serving = version

    def meta_bytes(self, version):
        return len(self.pairs[version]["manifest.json"]) + SIGNATURE_BYTES

    def file_entries(self, version):
        return self.manifests[version]["files"]

    def changed_entries(self):
        old = {(f["path"], f["sha256"]) for f in self.file_entries("1.0.0")}
        old_hashes = {f["sha256"] for f in self.file_entries("1.0.0")}
        return [f for f in self.file_entries("1.1.0")
                if (f["path"], f["sha256"]) not in old and f["sha256"] not in old_hashes]


def verify_website(ctx):
    return subprocess.run([ctx.args.publisher, "verify", "--website", ctx.site,
                           "--release-key", ctx.args.release_key],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)


def check_served(ctx, name, mark, expected):
    """Compares what nginx served since the mark with a Plan: the requests, the body bytes to
    the byte, and how many of the requests were ranged (206) and whole (200)."""
    requests, body, statuses = ctx.nginx.served_since(mark)
    whole = expected.requests - expected.ranged
    ranged = statuses.get("206", 0)
    ok = (body == expected.bytes and statuses.get("200", 0) == whole
          and requests == whole + ranged and expected.ranged <= ranged <= expected.ranged_most)
    if not ok:
        wanted = {"200": whole}
        if expected.ranged_most:
            wanted["206"] = (expected.ranged if expected.ranged == expected.ranged_most
                             else f"{expected.ranged}-{expected.ranged_most}")
        ctx.problems.append(
            f"{name}: served {requests} requests and {body} bytes {statuses}; expected "
            f"{whole + expected.ranged} requests and {expected.bytes} bytes {wanted}")
    return {"requests": requests, "bytes_served": body, "bytes_expected": expected.bytes,
            "served_as_expected": ok}


# The launcher's rules for moving bytes, as the benchmark predicts them: a file of
# RANGED_FILE_BYTES or more comes in PIECE_BYTES ranges; a changed file with a chunk list, whose
# kept copy at the same path has one too, is rebuilt from the chunks they share, the rest fetched
# in ranges of at most CHUNK_RANGE_BYTES; each chunk list is read CHUNK_LIST_READS times.
# A file with a packed object comes as that instead: whole below RANGED_FILE_BYTES, else by its
# packed chunk list in ranges cut at chunk boundaries, and a rebuild fetches the packed chunks it
# lacks. A packed object without a packed chunk list cannot be cut, so such a file of
# RANGED_FILE_BYTES or more, or a rebuilt one, comes as it does without a packed object.
RANGED_FILE_BYTES = 64 << 20
PIECE_BYTES = 4 << 20
CHUNK_RANGE_BYTES = 4 << 20
CHUNK_LIST_READS = 1


class Plan:
    """Requests, body bytes and how many of the requests are ranged: at least ranged and at most
    ranged_most (the requests count the least), as the launcher cuts a packed object's ranges
    at a chunk boundary near a piece's size, a little before or after it."""

    def __init__(self, requests=0, nbytes=0, ranged=0):
        self.requests, self.bytes, self.ranged, self.ranged_most = requests, nbytes, ranged, ranged

    def add(self, requests, nbytes, ranged=0, ranged_most=None):
        self.requests += requests
        self.bytes += nbytes
        self.ranged += ranged
        self.ranged_most += ranged if ranged_most is None else ranged_most


def read_chunk_list(path):
    """[(size, sha256 bytes, packed size)] of a chunk list file: KVCL format 1, whose chunks have
    no packed size (None), or format 2."""
    with open(path, "rb") as f:
        data = f.read()
    packed = int.from_bytes(data[4:8], "little") == 2
    step = 40 if packed else 36
    count = int.from_bytes(data[16:20], "little")
    return [(int.from_bytes(data[at:at + 4], "little"), data[at + step - 32:at + step],
             int.from_bytes(data[at + 4:at + 8], "little") if packed else None)
            for at in range(20, 20 + step * count, step)]


def path_key(path):
    return path.replace("\\", "/").lower()


def fingerprint(value):
    return isinstance(value, str) and len(value) == 64 and all(c in "0123456789abcdef"
                                                                for c in value)


def packed_object(entry):
    """The entry's packed member when the launcher takes it: an object with a fingerprint and a
    size of at least one byte; else None."""
    packed = entry.get("packed")
    if not isinstance(packed, dict) or not fingerprint(packed.get("sha256")):
        return None
    size = packed.get("size")
    # The launcher drops a fraction: a size below 1 is 0.
    if isinstance(size, bool) or not isinstance(size, (int, float)) or not size >= 1:
        return None
    return packed


def packed_fetch(plan, chunks, limit):
    """Adds the ranged fetch of a run of packed chunks [(size, digest, packed size)] from a
    packed object: the packed bytes, in ranges closed at the first chunk boundary at limit raw
    bytes or past it (the fewest) or before a chunk would take them past it (the most)."""
    fewest = most = late = early = 0
    for size, _, _ in chunks:
        if early and early + size > limit:
            most, early = most + 1, 0
        early += size
        late += size
        if late >= limit:
            fewest, late = fewest + 1, 0
    fewest, most = fewest + (late > 0), most + (early > 0)
    plan.add(fewest, sum(packed for _, _, packed in chunks), fewest, most)


def cheapest_patch(entry, held, cost):
    """The smallest good patch of the entry (as the launcher reads them, the first 16) smaller
    than cost whose old file a kept version holds; else None."""
    best = None
    for patch in entry.get("patches", [])[:16]:
        size = patch.get("size") if isinstance(patch, dict) else None
        if (isinstance(size, bool) or not isinstance(size, (int, float)) or not size >= 1
                or not fingerprint(patch.get("sha256")) or patch.get("from") == entry["sha256"]
                or patch.get("from") not in held):
            continue
        if int(size) < (int(best["size"]) if best else cost):
            best = patch
    return best


def file_fetch(plan, f, kept, files_dir):
    """What the launcher fetches of one file it lacks but its patches: the chunk lists it reads to
    plan the file go into plan; the file's own bytes are returned as a Plan of their own."""
    data = Plan()
    packed = packed_object(f)
    packed_list = packed and f.get("chunks") and packed.get("chunks")
    packed_list = packed_list if fingerprint(packed_list) else None
    # The list the launcher rebuilds the file by.
    own_list = packed_list or f.get("chunks")
    listed = False
    lists = [k["chunks"] for m in kept for k in m["files"]
             if k.get("chunks") and path_key(k["path"]) == path_key(f["path"])]
    if f.get("chunks") and lists:
        sizes = [os.path.getsize(os.path.join(files_dir, c)) for c in [own_list] + lists]
        plan.add(CHUNK_LIST_READS * len(sizes), CHUNK_LIST_READS * sum(sizes))
        shared = {chunk[:2] for c in lists
                  for chunk in read_chunk_list(os.path.join(files_dir, c))}
        runs = [[]]
        for chunk in read_chunk_list(os.path.join(files_dir, own_list)):
            if chunk[:2] not in shared:
                runs[-1].append(chunk)
            elif runs[-1]:
                runs.append([])
        runs = [run for run in runs if run]
        if sum(size for run in runs for size, _, _ in run) < f["size"]:
            for run in runs:
                if packed_list:
                    packed_fetch(data, run, CHUNK_RANGE_BYTES)
                else:
                    length = sum(size for size, _, _ in run)
                    pieces = -(-length // CHUNK_RANGE_BYTES)
                    data.add(pieces, length, pieces)
            return data
        # Nothing to rebuild from: the file comes as a new one, its list already read.
        listed = True
    if packed and f["size"] < RANGED_FILE_BYTES:
        data.add(1, int(packed["size"]))
    elif packed_list:
        if not listed:
            plan.add(CHUNK_LIST_READS, CHUNK_LIST_READS * os.path.getsize(
                os.path.join(files_dir, packed_list)))
        packed_fetch(data, read_chunk_list(os.path.join(files_dir, packed_list)), PIECE_BYTES)
    elif f["size"] >= RANGED_FILE_BYTES:
        pieces = -(-f["size"] // PIECE_BYTES)
        data.add(pieces, f["size"], pieces)
    else:
        data.add(1, f["size"])
    return data


def planned_fetch(site, version, kept=()):
    """What the launcher fetches to build the site's version when the kept versions are complete
    on disk: the manifest and its signature, then each fingerprint no kept version holds, once,
    or instead its cheapest patch from a file a kept version holds, fetched whole, when that is
    smaller."""
    plan = Plan(2, site.meta_bytes(version))
    manifest = site.manifests[version]
    kept = [site.manifests[k] for k in kept]
    held = {f["sha256"] for m in kept for f in m["files"]}
    files_dir = os.path.join(site.ctx.site, "client", "files")
    seen = set()
    for f in manifest["files"]:
        if f["sha256"] in held or f["sha256"] in seen:
            continue
        seen.add(f["sha256"])
        data = file_fetch(plan, f, kept, files_dir)
        patch = cheapest_patch(f, held, data.bytes)
        if patch:
            plan.add(1, int(patch["size"]))
        else:
            plan.add(data.requests, data.bytes, data.ranged, data.ranged_most)
    return plan


def read_current(home):
    try:
        with open(os.path.join(home, "current.txt")) as f:
            return f.read().strip()
    except OSError:
        return None


def launcher_runs(ctx, site, target):
    """Every scenario of the client for one build. Returns {scenario: [run, ...]}."""
    args = ctx.args
    home = os.path.join(ctx.work, f"home-{target}")
    if target == "linux":
        env = ctx.env
        base = [args.linux_launcher]
        home_arg = home
    else:
        env = ctx.wine_env
        base = [ctx.wine_run, args.windows_launcher]
        home_arg = windows_path(home)
    total_v1 = sum(f["size"] for f in site.file_entries("1.0.0"))
    # Under Wine a failure waits in a message box for ever; a run taking far longer than any
    # sane one is a failure.
    timeout = 60 + total_v1 / 5e6

    def launch(scenario, version, expected):
        name = f"{site.kind}-{target}-{scenario}"
        mark = ctx.nginx.mark()
        cmd = base + ["--website", ctx.nginx.url, "--home", home_arg, "--no-start"]
        result = ctx.run(name, cmd, env, timeout)
        result.update(check_served(ctx, name, mark, expected))
        current = read_current(home)
        if result["exit"] == 0 and current != version:
            ctx.problems.append(f"{name}: current.txt names {current}, not {version}")
        return result

    reps = args.reps
    if target == "windows" and total_v1 > WINE_LARGE_BYTES:
        # About a minute a fresh install under Wine (its HTTP client reads 8 KiB at a time):
        # two repetitions keep the whole benchmark within its time.
        reps = min(reps, 2)
    scenarios = clients.scenarios(site.kind)
    if scenarios == ("fresh install",):
        # The huge client: one fresh install per build, for its time and its peak memory.
        rmtree(home)
        site.serve("1.0.0")
        result = {"fresh install": [launch("fresh", "1.0.0", planned_fetch(site, "1.0.0"))]}
        rmtree(home)
        return result
    out = {"fresh install": [], "update 5%": [], "up-to-date start": [], "rollback": []}
    for _ in range(reps):
        rmtree(home)
        site.serve("1.0.0")
        out["fresh install"].append(launch("fresh", "1.0.0", planned_fetch(site, "1.0.0")))
        site.serve("1.1.0")
        out["update 5%"].append(launch("update", "1.1.0",
                                       planned_fetch(site, "1.1.0", kept=["1.0.0"])))
        # The launcher's own copy is left out: it is the same before and after any update.
        out["update 5%"][-1]["install_root_bytes"] = disk_use(
            home, ("KelvadonLauncher.exe", "KelvadonLauncher.old.exe"))
        site.serve(ROLLBACK)
        out["rollback"].append(launch("rollback", "1.0.0", Plan(2, site.meta_bytes(ROLLBACK))))
    for _ in range(args.start_runs):
        out["up-to-date start"].append(launch("start", "1.0.0", Plan(2, site.meta_bytes(ROLLBACK))))
    rmtree(home)
    return out


def baseline_runs(ctx, site):
    """The plain tools doing the same network and hashing work: one curl process fetching the
    same URLs in the same order over one kept-alive connection and writing every file, then one
    openssl dgst -sha256 over the files the launcher would check."""
    args = ctx.args
    base = os.path.join(ctx.work, "baseline")
    url = ctx.nginx.url
    curl = ["curl", "--silent", "--show-error", "--fail", "--noproxy", "*", "--create-dirs"]

    def fetch_config(folder, entries, version):
        lines = [f'url = "{url}/client/manifest.json"', f'output = "{folder}/manifest.json"',
                 f'url = "{url}/client/manifest.sig"', f'output = "{folder}/manifest.sig"']
        for f in entries:
            lines += [f'url = "{url}/client/files/{f["sha256"]}"',
                      f'output = "{folder}/files/{f["path"]}"']
        path = os.path.join(base, f"curl-{version}-{len(entries)}.cfg")
        with open(path, "w") as out:
            out.write("\n".join(lines) + "\n")
        return path

    def hashed_run(name, config, hash_paths, expected_requests, expected_bytes, digests):
        # One shell so the two steps are timed together; the digests are checked afterwards.
        listing = os.path.join(base, f"{name}.list")
        with open(listing, "w") as f:
            f.write("\0".join(hash_paths))
        script = (f'{shlex.join(curl)} --config "$1" && '
                  f'xargs -0 -s 2000000 -a "$2" openssl dgst -sha256 -r > "$3"')
        digest_out = os.path.join(base, f"{name}.sha256")
        mark = ctx.nginx.mark()
        result = ctx.run(f"{site.kind}-baseline-{name}",
                         ["bash", "-c", script, "bench", config, listing, digest_out], ctx.env)
        result.update(check_served(ctx, f"{site.kind}-baseline-{name}", mark,
                                   Plan(expected_requests, expected_bytes)))
        try:
            with open(digest_out) as f:
                got = [line.split(" ", 1)[0] for line in f.read().splitlines()]
        except OSError:
            got = []
        if got != digests:
            ctx.problems.append(f"{site.kind}-baseline-{name}: openssl digests do not match")
        return result

    v1 = site.file_entries("1.0.0")
    v2 = site.file_entries("1.1.0")
    changed = site.changed_entries()
    changed_hashes = {f["sha256"] for f in changed}
    if clients.scenarios(site.kind) == ("fresh install",):
        rmtree(base)
        os.makedirs(base)
        first = os.path.join(base, "v1")
        site.serve("1.0.0")
        result = hashed_run(
            "fresh", fetch_config(first, v1, "1.0.0"),
            [os.path.join(first, "files", f["path"]) for f in v1],
            len(v1) + 2, sum(f["size"] for f in v1) + site.meta_bytes("1.0.0"),
            [f["sha256"] for f in v1])
        rmtree(base)
        return {"fresh install": [result]}
    out = {"fresh install": [], "update 5%": [], "up-to-date start": [], "rollback": []}
    for _ in range(args.reps):
        rmtree(base)
        os.makedirs(base)
        first = os.path.join(base, "v1")
        second = os.path.join(base, "v2")
        site.serve("1.0.0")
        out["fresh install"].append(hashed_run(
            "fresh", fetch_config(first, v1, "1.0.0"),
            [os.path.join(first, "files", f["path"]) for f in v1],
            len(v1) + 2, sum(f["size"] for f in v1) + site.meta_bytes("1.0.0"),
            [f["sha256"] for f in v1]))
        site.serve("1.1.0")
        # The update hashes every file of the new version: the downloaded ones and, as the
        # launcher re-checks before reuse, the unchanged ones from the earlier copy.
        hash_paths = [os.path.join(second if f["sha256"] in changed_hashes else first,
                                   "files", f["path"]) for f in v2]
        out["update 5%"].append(hashed_run(
            "update", fetch_config(second, changed, "1.1.0"), hash_paths, len(changed) + 2,
            sum(f["size"] for f in changed) + site.meta_bytes("1.1.0"),
            [f["sha256"] for f in v2]))
    site.serve("1.0.0")
    meta = fetch_config(os.path.join(base, "meta"), [], "1.0.0")
    # Both the up-to-date start and the rollback fetch the manifest and the signature and nothing
    # else; the same measurement stands for both.
    for _ in range(args.start_runs):
        mark = ctx.nginx.mark()
        result = ctx.run(f"{site.kind}-baseline-start", curl + ["--config", meta], ctx.env)
        result.update(check_served(ctx, f"{site.kind}-baseline-start", mark,
                                   Plan(2, site.meta_bytes("1.0.0"))))
        out["up-to-date start"].append(result)
    out["rollback"] = out["up-to-date start"]
    rmtree(base)
    return out


def packed_figures(site):
    """How many of 1.0.0's files have a packed object, and the least a fresh install of it
    fetches: each file's packed object, else the file."""
    packed = [packed_object(f) for f in site.file_entries("1.0.0")]
    return {"packed_files": sum(p is not None for p in packed),
            "packed_bytes": sum(int(p["size"]) if p else f["size"]
                                for p, f in zip(packed, site.file_entries("1.0.0")))}


def far_mode(ctx, kinds, reps, windows):
    """The far website (far.py): each client generated and published, then its fresh installs
    through the proxy; the proxy's own cost measured on the pack."""
    out = {"delay_ms_each_way": far.DELAY_MS_EACH_WAY,
           "rate_cap_bytes_per_second": far.RATE_CAP, "repetitions": reps, "clients": {}}
    for kind, scenario in kinds.items():
        folder = os.path.join(ctx.work, "client")
        files, changed = clients.write_versions(kind, ctx.args.seed, folder)
        total = sum(size for _, size in files)
        log(f"== far website, {scenario}: {kind}, {len(files)} files, {total / 1e6:.1f} MB")
        site = Website(ctx, kind, folder, files, changed)
        rmtree(folder)
        largest = max(site.file_entries("1.0.0"), key=lambda f: f["size"])
        if scenario == "one large pack":
            log("   the proxy on its own")
            out["proxy_check"] = far.proxy_check(ctx, ctx.far, f"/client/files/{largest['sha256']}",
                                                 largest["size"], ctx.nginx.port)
        log("   curl, aria2c and the launcher, in turn")
        out["clients"][kind] = {
            "scenario": scenario, "files": len(files), "bytes": total,
            "largest_file_bytes": largest["size"], **packed_figures(site),
            "runs": far.client_runs(ctx, ctx.far, site, reps, windows,
                                    planned_fetch(site, "1.0.0"))}
        rmtree(ctx.site)
        os.makedirs(ctx.site)
    return out



# The pack update: what a delta-aware launcher fetches for a 512 MiB pack edited in place, in
# 20 places, or with an insertion, against the whole-file update. Targets (bytes served, of the
# pack's size), and the peak memory the launcher may use.
PACK_TARGETS = {"edit 1% in one place": 0.05, "edit 1% in 20 places": 0.10,
                "insertion of 1 MiB": 0.05}
PACK_PEAK_MIB = 64


def publisher_figures(text):
    """The bytes kelvadon-publish reports for a whole-file and a chunked update."""
    figures = {}
    for line in text.splitlines():
        for key, lead in (("whole_file_bytes", "Update with whole files: "),
                          ("delta_bytes", "Update with changed chunks: ")):
            if line.startswith(lead):
                figures[key] = int(line[len(lead):].split(" ", 1)[0])
    return figures


class PackWebsite:
    """The pack client published as 1.0.0 and then as each edit (each with a higher sequence,
    so that a launcher that holds 1.0.0 takes any of them); serving one puts its pair in place.
    Before each edit is published, a dry run against 1.0.0 gives the publisher's own figures."""

    def __init__(self, ctx, folder):
        self.ctx = ctx
        self.pairs = {}
        self.manifests = {}
        self.predicted = {}
        self.pack_bytes = {}
        client_dir = os.path.join(ctx.site, "client")
        seed = ctx.args.seed
        versions = [(None, "1.0.0")] + list(clients.PACK_EDITS)
        for label, version in versions:
            source = os.path.join(folder, version)
            files = clients.write_pack_version(seed, source, label)
            self.pack_bytes[version] = dict(files)[clients.PACK_PATH]
            base = [ctx.args.publisher, "publish", "--client", source, "--version", version,
                    "--private-key", ctx.args.private_key, "--website", ctx.site]
            if label is not None:
                self.serve("1.0.0")
                r = subprocess.run(base + ["--dry-run"], stdin=subprocess.DEVNULL,
                                   capture_output=True, text=True)
                if r.returncode != 0:
                    fail(f"kelvadon-publish --dry-run refused {version}:\n{r.stderr}")
                self.predicted[label] = publisher_figures(r.stdout)
            r = subprocess.run(base, stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if r.returncode != 0:
                fail(f"kelvadon-publish refused {version}:\n{r.stderr}")
            rmtree(source)
            pair = {}
            for name in ("manifest.json", "manifest.sig"):
                with open(os.path.join(client_dir, name), "rb") as f:
                    pair[name] = f.read()
            self.pairs[version] = pair
            self.manifests[version] = json.loads(pair["manifest.json"])
        r = verify_website(ctx)
        if r.returncode != 0:
            fail(f"kelvadon-publish verify failed:\n{r.stdout}{r.stderr}")

    def serve(self, version):
        client_dir = os.path.join(self.ctx.site, "client")
        for name, data in self.pairs.get(version, {}).items():
            temporary = os.path.join(client_dir, f".{name}.bench")
            with open(temporary, "wb") as f:
                f.write(data)
            os.replace(temporary, os.path.join(client_dir, name))

    def meta_bytes(self, version):
        return len(self.pairs[version]["manifest.json"]) + SIGNATURE_BYTES

    def pack_entry(self, version):
        return next(f for f in self.manifests[version]["files"]
                    if f["path"] == clients.PACK_PATH)


def pack_update_runs(ctx, site, target):
    """For one build: a fresh install of 1.0.0 kept as a template, then per edit and repetition
    the template restored and the update to the edit measured. Returns {label: [run, ...]}."""
    args = ctx.args
    home = os.path.join(ctx.work, f"pack-home-{target}")
    template = os.path.join(ctx.work, f"pack-template-{target}")
    if target == "linux":
        env, base, home_arg = ctx.env, [args.linux_launcher], home
    else:
        env = ctx.wine_env
        base = [ctx.wine_run, args.windows_launcher]
        home_arg = windows_path(home)
    timeout = 60 + clients.PACK_BYTES / 5e6
    cmd = base + ["--website", ctx.nginx.url, "--home", home_arg, "--no-start"]

    def launch(name, version, kept=()):
        mark = ctx.nginx.mark()
        result = ctx.run(f"{clients.PACK_UPDATE}-{target}-{name}", cmd, env, timeout)
        result.update(check_served(ctx, f"{clients.PACK_UPDATE}-{target}-{name}", mark,
                                   planned_fetch(site, version, kept)))
        result["statuses"] = ctx.nginx.served_since(mark)[2]
        current = read_current(home)
        if result["exit"] == 0 and current != version:
            ctx.problems.append(f"{clients.PACK_UPDATE}-{target}-{name}: current.txt names "
                                f"{current}, not {version}")
        return result

    rmtree(home)
    rmtree(template)
    site.serve("1.0.0")
    out = {"fresh install": [launch("fresh", "1.0.0")]}
    shutil.copytree(home, template, symlinks=True)
    for label, version in clients.PACK_EDITS:
        out[label] = []
        for _ in range(args.reps):
            rmtree(home)
            shutil.copytree(template, home, symlinks=True)
            site.serve(version)
            out[label].append(launch(version, version, kept=["1.0.0"]))
    rmtree(home)
    rmtree(template)
    return out


def pack_baseline_runs(ctx, site):
    """The whole-file update by the plain tools: curl fetching the manifest, the signature and
    the new pack; then openssl dgst -sha256 over the new version's files."""
    base = os.path.join(ctx.work, "pack-baseline")
    url = ctx.nginx.url
    curl = ["curl", "--silent", "--show-error", "--fail", "--noproxy", "*", "--create-dirs"]
    out = {}
    for label, version in clients.PACK_EDITS:
        out[label] = []
        pack = site.pack_entry(version)
        for _ in range(ctx.args.reps):
            rmtree(base)
            os.makedirs(base)
            config = os.path.join(base, "curl.cfg")
            target = os.path.join(base, "files", pack["path"])
            with open(config, "w") as f:
                f.write(f'url = "{url}/client/manifest.json"\noutput = "{base}/manifest.json"\n'
                        f'url = "{url}/client/manifest.sig"\noutput = "{base}/manifest.sig"\n'
                        f'url = "{url}/client/files/{pack["sha256"]}"\noutput = "{target}"\n')
            # The two programs are unchanged; they are hashed from the store, as a launcher
            # re-checks its kept copies.
            others = [os.path.join(ctx.site, "client", "files", f["sha256"])
                      for f in site.manifests[version]["files"] if f["path"] != pack["path"]]
            script = (f'{shlex.join(curl)} --config "$1" && shift && '
                      f'openssl dgst -sha256 -r "$@" > /dev/null')
            site.serve(version)
            mark = ctx.nginx.mark()
            result = ctx.run(f"{clients.PACK_UPDATE}-baseline-{version}",
                             ["bash", "-c", script, "bench", config, target] + others, ctx.env)
            requests, body, statuses = ctx.nginx.served_since(mark)
            result.update({"requests": requests, "bytes_served": body, "statuses": statuses})
            out[label].append(result)
    rmtree(base)
    return out


def pack_update(ctx, windows):
    """The whole pack-update scenario: publish, baseline, and each build."""
    folder = os.path.join(ctx.work, "pack-client")
    log(f"== {clients.PACK_UPDATE}: a {clients.PACK_BYTES >> 20} MiB pack and "
        f"{len(clients.PACK_EDITS)} edits of it; publishing")
    site = PackWebsite(ctx, folder)
    rmtree(folder)
    entry = {
        "pack_bytes": site.pack_bytes,
        "chunk_lists": {version: site.pack_entry(version).get("chunks")
                        for version in site.manifests},
        "publisher_figures": site.predicted,
        "targets": {"bytes_share": PACK_TARGETS, "peak_mib": PACK_PEAK_MIB},
        "runs": {},
    }
    log("   baseline: whole-file update (curl + openssl dgst)")
    entry["runs"]["baseline"] = pack_baseline_runs(ctx, site)
    log("   launcher, Linux Release build")
    entry["runs"]["linux"] = pack_update_runs(ctx, site, "linux")
    if windows:
        log("   launcher, Windows build under Wine")
        entry["runs"]["windows"] = pack_update_runs(ctx, site, "windows")
    return entry


def launcher_command(ctx, target, home):
    """The environment and the launcher's command line for a build, with its InstallRoot."""
    if target == "linux":
        return ctx.env, [ctx.args.linux_launcher, "--website", ctx.nginx.url, "--home", home]
    return ctx.wine_env, [ctx.wine_run, ctx.args.windows_launcher, "--website", ctx.nginx.url,
                          "--home", windows_path(home)]


def publish_client(ctx, kind):
    """The client generated and published as 1.0.0 and 1.1.0, serving 1.0.0."""
    folder = os.path.join(ctx.work, "client")
    files, changed = clients.write_versions(kind, ctx.args.seed, folder)
    site = Website(ctx, kind, folder, files, changed)
    rmtree(folder)
    site.serve("1.0.0")
    return site


def installed_path(home, entry):
    return os.path.join(home, "Versions", "1.0.0", *entry["path"].split("/"))


def repair_start_runs(ctx, site, target, deleted):
    """Each repetition: a fresh install (not counted), the files deleted, then one start."""
    home = os.path.join(ctx.work, f"home-repair-{target}")
    env, cmd = launcher_command(ctx, target, home)
    name = f"{clients.REPAIR}-{site.kind}-{target}"
    expected = Plan(2 + len(deleted), site.meta_bytes("1.0.0") + sum(f["size"] for f in deleted))
    runs = []
    for _ in range(ctx.args.reps):
        rmtree(home)
        ctx.run(f"{name}-install", cmd + ["--no-start"], env, RUN_TIMEOUT)
        for entry in deleted:
            os.remove(installed_path(home, entry))
        mark = ctx.nginx.mark()
        result = ctx.run(f"{name}-start", cmd + ["--no-start"], env, RUN_TIMEOUT)
        result.update(check_served(ctx, f"{name}-start", mark, expected))
        for entry in deleted:
            try:
                with open(installed_path(home, entry), "rb") as f:
                    good = hashlib.sha256(f.read()).hexdigest() == entry["sha256"]
            except OSError:
                good = False
            if not good:
                ctx.problems.append(f"{name}-start: {entry['path']} was not put back")
                break
        runs.append(result)
    rmtree(home)
    return runs


def full_check_runs(ctx, site):
    """Each repetition: openssl dgst over the installed version's files, then the Linux build's
    --repair over the same files (which finds nothing to put back). Linux only: --repair ends in
    a message box, which under Wine would wait for a click."""
    home = os.path.join(ctx.work, "home-full-check")
    env, cmd = launcher_command(ctx, "linux", home)
    rmtree(home)
    ctx.run(f"{clients.REPAIR}-{site.kind}-install", cmd + ["--no-start"], env, RUN_TIMEOUT)
    listing = os.path.join(ctx.work, "full-check.list")
    with open(listing, "w") as f:
        f.write("\0".join(installed_path(home, e) for e in site.file_entries("1.0.0")))
    out = {"baseline": [], "linux": []}
    for _ in range(ctx.args.reps):
        out["baseline"].append(ctx.run(
            f"{clients.REPAIR}-{site.kind}-baseline-dgst",
            ["bash", "-c", 'xargs -0 -s 2000000 -a "$1" openssl dgst -sha256 -r >/dev/null',
             "bench", listing], ctx.env))
        mark = ctx.nginx.mark()
        name = f"{clients.REPAIR}-{site.kind}-linux-full-check"
        result = ctx.run(name, cmd + ["--repair", "--no-start"], env, RUN_TIMEOUT)
        result.update(check_served(ctx, name, mark, Plan(2, site.meta_bytes("1.0.0"))))
        out["linux"].append(result)
    rmtree(home)
    os.remove(listing)
    return out


def repair_mode(ctx, windows):
    """The repair scenario: a start after 1% of the many-small client's files were deleted (the
    bytes it fetched against the deleted files' bytes), then --repair of the few-large client
    against openssl dgst over the same files."""
    log(f"== {clients.REPAIR}: a start after {clients.REPAIR_DELETED_SHARE:.0%} of many-small's "
        f"files were deleted; --repair of few-large")
    site = publish_client(ctx, "many-small")
    entries = site.file_entries("1.0.0")
    rng = random.Random(f"kelvadon-bench:{clients.REPAIR}:{ctx.args.seed}")
    deleted = rng.sample(entries, max(1, round(len(entries) * clients.REPAIR_DELETED_SHARE)))
    entry = {"deleted_files": len(deleted),
             "deleted_bytes": sum(f["size"] for f in deleted),
             "meta_bytes": site.meta_bytes("1.0.0"),
             "start": {}}
    for target in ["linux"] + (["windows"] if windows else []):
        entry["start"][target] = repair_start_runs(ctx, site, target, deleted)
    rmtree(ctx.site)
    os.makedirs(ctx.site)
    site = publish_client(ctx, "few-large")
    entry["full_check"] = full_check_runs(ctx, site)
    entry["full_check_bytes"] = sum(f["size"] for f in site.file_entries("1.0.0"))
    rmtree(ctx.site)
    os.makedirs(ctx.site)
    return entry


# The real update (real_builds.py): v2 of two real builds served as published, without its
# patches, and as whole files; (name, manifest members taken off every file entry).
REAL_VARIANTS = (("patches", ()), ("chunks", ("patches",)),
                 ("whole", ("chunks", "packed", "patches")))
REAL_CACHE = os.path.join(ROOT, "build", "bench-cache", real_builds.KIND)


class RealWebsite(Website):
    """The real builds published as 1.0.0 and 1.1.0, and 1.1.0's manifest rewritten for each
    variant and signed again with the benchmark's key; serving a variant puts its pair in
    place."""

    def __init__(self, ctx, folder):
        self.ctx = ctx
        self.kind = real_builds.KIND
        self.pairs = {}
        self.manifests = {}
        self.publish_seconds = {version: self.publish(os.path.join(folder, source), version,
                                                      version)
                                for version, source in (("1.0.0", "v1"), ("1.1.0", "v2"))}
        start = time.perf_counter()
        r = verify_website(ctx)
        self.verify = {"exit": r.returncode, "seconds": time.perf_counter() - start,
                       "output": (r.stdout + r.stderr).strip().splitlines()[-5:]}
        if r.returncode != 0:
            ctx.problems.append(f"{self.kind}: kelvadon-publish verify failed:\n{r.stdout}"
                                f"{r.stderr}")
        for variant, members in REAL_VARIANTS:
            manifest = json.loads(self.pairs["1.1.0"]["manifest.json"])
            for entry in manifest["files"]:
                for member in members:
                    entry.pop(member, None)
            self.manifests[variant] = manifest
            if not members:
                self.pairs[variant] = self.pairs["1.1.0"]
                continue
            data = json.dumps(manifest, separators=(",", ":")).encode()
            self.pairs[variant] = {"manifest.json": data,
                                   "manifest.sig": real_builds.sign(data, ctx.args.private_key)}
        self.serving = "1.1.0"


def real_changes(site, folder):
    """Each file of 1.1.0 that 1.0.0 does not hold at its path: its sizes, the published patch
    from the file 1.0.0 held there, and zstd's patch from that file (the reference)."""
    old = {path_key(f["path"]): f for f in site.file_entries("1.0.0")}
    changes = []
    for f in site.file_entries("1.1.0"):
        before = old.get(path_key(f["path"]))
        if before and before["sha256"] == f["sha256"]:
            continue
        patch = next((p for p in f.get("patches", [])
                      if before and p.get("from") == before["sha256"]), None)
        log(f"   zstd --patch-from reference for {f['path']} ({f['size'] / 1e6:.1f} MB)")
        zstd = real_builds.zstd_reference(
            REAL_CACHE, before and os.path.join(folder, "v1", *before["path"].split("/")),
            os.path.join(folder, "v2", *f["path"].split("/")),
            before and before["sha256"], f["sha256"])
        changes.append({"path": f["path"], "old_bytes": before and before["size"],
                        "new_bytes": f["size"], "patch_bytes": patch and patch.get("size"),
                        "zstd_bytes": zstd})
    return changes


def real_update_runs(ctx, site, target, folder):
    """For one build: a fresh install of 1.0.0 kept as a template, then per variant and
    repetition the template restored and the update to 1.1.0 measured, its files compared with
    the build's. Returns {"fresh install": [run], variant: [run, ...]}."""
    home = os.path.join(ctx.work, f"real-home-{target}")
    template = os.path.join(ctx.work, f"real-template-{target}")
    env, cmd = launcher_command(ctx, target, home)
    cmd = cmd + ["--no-start"]
    timeout = 60 + sum(f["size"] for f in site.file_entries("1.0.0")) / 5e6
    kind = real_builds.KIND
    rmtree(home)
    rmtree(template)
    site.serve("1.0.0")
    mark = ctx.nginx.mark()
    result = ctx.run(f"{kind}-{target}-fresh", cmd, env, timeout)
    result.update(check_served(ctx, f"{kind}-{target}-fresh", mark,
                               planned_fetch(site, "1.0.0")))
    out = {"fresh install": [result]}
    shutil.copytree(home, template, symlinks=True)
    for variant, _ in REAL_VARIANTS:
        out[variant] = []
        name = f"{kind}-{target}-{variant}"
        for _ in range(ctx.args.reps):
            rmtree(home)
            shutil.copytree(template, home, symlinks=True)
            site.serve(variant)
            mark = ctx.nginx.mark()
            result = ctx.run(name, cmd, env, timeout)
            result.update(check_served(ctx, name, mark,
                                       planned_fetch(site, variant, kept=["1.0.0"])))
            # The round trip of the differ and the applier: the installed files against the
            # build's own, byte for byte.
            paths = [f["path"].split("/") for f in site.file_entries("1.1.0")]
            installed = os.path.join(home, "Versions", "1.1.0")
            result["files_identical"] = read_current(home) == "1.1.0" and all(
                os.path.isfile(os.path.join(installed, *p)) and filecmp.cmp(
                    os.path.join(folder, "v2", *p), os.path.join(installed, *p), shallow=False)
                for p in paths)
            if result["exit"] == 0 and not result["files_identical"]:
                ctx.problems.append(f"{name}: the installed 1.1.0 is not the build's v2")
            out[variant].append(result)
    rmtree(home)
    rmtree(template)
    return out


def real_update(ctx, windows):
    """The real-update scenario: two real builds (real_builds.py), published; from the same
    install of v1, the update to v2 as published, with chunks only and as whole files."""
    folder = os.path.join(ctx.work, "real-client")
    rmtree(folder)
    log(f"== {real_builds.KIND}: two builds of real compiled code")
    source = real_builds.prepare(REAL_CACHE, folder, ctx.args.smoke, log)
    label = (f"{source['package']} {source['versions'][0]} -> {source['versions'][1]}"
             if source["package"] else " -> ".join(source["versions"]) +
             " of this machine (no package had two versions to download)")
    log(f"   {label} ({source['client_folder']}); publishing")
    site = RealWebsite(ctx, folder)
    entry = {"source": dict(source, label=label),
             "files": len(site.file_entries("1.1.0")),
             "bytes": sum(f["size"] for f in site.file_entries("1.1.0")),
             "changes": real_changes(site, folder),
             "meta_bytes": {variant: site.meta_bytes(variant) for variant, _ in REAL_VARIANTS},
             "publish_seconds": site.publish_seconds, "verify": site.verify, "runs": {}}
    for target in ["linux"] + (["windows"] if windows else []):
        log(f"   launcher, {'Linux Release build' if target == 'linux' else 'Windows under Wine'}")
        entry["runs"][target] = real_update_runs(ctx, site, target, folder)
    rmtree(folder)
    rmtree(ctx.site)
    os.makedirs(ctx.site)
    return entry


def wine_start_runs(ctx, extra):
    """The empty Windows program, as often as the up-to-date start (at most 10 times)."""
    return [ctx.run("wine-empty", [ctx.wine_run, ctx.args.empty_program] + extra, ctx.wine_env)
            for _ in range(min(ctx.args.start_runs, 10))]


def sha256_speed():
    """openssl speed -evp sha256 on 16 KiB blocks, in bytes per second."""
    r = subprocess.run(["openssl", "speed", "-evp", "sha256", "-bytes", "16384", "-seconds", "2"],
                       capture_output=True, text=True)
    for line in r.stdout.splitlines():
        if line.lower().startswith("sha256"):
            value = line.split()[-1]
            if value.endswith("k"):
                return float(value[:-1]) * 1000
    return None


def disk_free(path):
    usage = shutil.disk_usage(path)
    return usage.free


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--reps", type=int)
    parser.add_argument("--start-runs", type=int)
    parser.add_argument("--clients", default=None)
    parser.add_argument("--no-windows", action="store_true")
    parser.add_argument("--far", action="store_true", help="only the far website")
    parser.add_argument("--no-far", action="store_true", help="no far website")
    parser.add_argument("--work", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--linux-launcher", required=True)
    parser.add_argument("--windows-launcher")
    parser.add_argument("--empty-program")
    parser.add_argument("--cng-sha256")
    parser.add_argument("--started-at", type=float, help="when bench/run started (epoch)")
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--private-key", required=True)
    parser.add_argument("--release-key", required=True)
    args = parser.parse_args()
    # The far mode's sequential runs take 20 s each: fewer repetitions unless asked.
    far_reps = args.reps or (1 if args.smoke else 2)
    far_kinds = {} if args.no_far else far.SMOKE_KINDS if args.smoke else far.KINDS
    if args.reps is None:
        args.reps = 1 if args.smoke else 3
    if args.start_runs is None:
        args.start_runs = 1 if args.smoke else 20
    kinds = args.clients.split(",") if args.clients else (
        ["smoke", "compiled-code-smoke", real_builds.KIND] if args.smoke
        else ["many-small", "few-large", "huge", "compiled-code", clients.PACK_UPDATE,
              clients.REPAIR, real_builds.KIND])
    if args.far:
        kinds = []
    windows = not args.no_windows

    rmtree(args.work)
    os.makedirs(args.work)
    os.makedirs(args.out, exist_ok=True)
    ctx = Context(args)
    os.makedirs(ctx.logs)
    os.makedirs(ctx.site)
    if far_kinds:
        ctx.far = far.FarSite(args.work, ctx.site)
        ctx.nginx.extra_servers = ctx.far.server_block()
    started = time.monotonic()

    results = {
        "mode": "smoke" if args.smoke else "far" if args.far else "full",
        "seed": args.seed,
        "repetitions": args.reps,
        "start_runs": args.start_runs,
        "machine": {
            "cpus": os.cpu_count(),
            "load_average_at_start": os.getloadavg(),
            "sha256_bytes_per_second": sha256_speed(),
            "openssl": subprocess.run(["openssl", "version"], capture_output=True,
                                      text=True).stdout.strip(),
        },
        "clients": {},
        "method": {
            "launcher": "--website <nginx on loopback> --home <folder> --no-start; wall time "
                        "of the whole process, peak resident memory of its largest process "
                        "(/usr/bin/time), requests and body bytes from nginx's access log",
            "baseline fresh install": "one curl process fetching the manifest, the signature "
                                      "and every file in manifest order over one kept-alive "
                                      "connection, writing each file; then openssl dgst "
                                      "-sha256 over every file",
            "baseline update 5%": "the same for the manifest, the signature and the changed "
                                  "files; openssl dgst -sha256 over every file of the new "
                                  "version (the unchanged ones from the earlier copy, as the "
                                  "launcher checks them before reuse)",
            "baseline up-to-date start and rollback": "one curl process fetching the manifest "
                                                      "and the signature",
            "huge client": "a fresh install only, once per build and once for the baseline",
            "real update": "two real builds (bench/real_builds.py) published as 1.0.0 and "
                           "1.1.0; from one install of 1.0.0 kept as a template, the update to "
                           "1.1.0 as published, with the manifest's patches members taken off, "
                           "and with chunks, packed and patches taken off (signed again with "
                           "the benchmark's key); the reference is the sum over the changed "
                           "files of zstd -19 --long=27 --patch-from=<old> <new>",
            "wine": "cmake/wine-run.sh on a private Xvfb, one prefix and wineserver for the "
                    "whole run, windows not managed (X11 Driver Managed=N)",
        },
    }
    if far_kinds:
        results["method"].update(far.method())
    log(f"SHA-256 (openssl speed -evp sha256, 16 KiB blocks): "
        f"{results['machine']['sha256_bytes_per_second'] / 1e6:.0f} MB/s")

    def stop_everything(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop_everything)
    try:
        ctx.nginx.start()
        log(f"nginx serving {ctx.site} on {ctx.nginx.url} (pid {ctx.nginx.process.pid})")
        if windows:
            log("Setting up the Wine prefix...")
            ctx.wine_setup()
            # The first programs in a fresh prefix pay for loading Wine's files; not timed.
            for extra in ([], ["--window"]):
                ctx.run("wine-warm-up", [ctx.wine_run, args.empty_program] + extra, ctx.wine_env)
            for key, extra in (("wine_empty_program", []),
                               ("wine_empty_program_with_window", ["--window"])):
                results[key] = wine_start_runs(ctx, extra)
                log(f"{key.replace('_', ' ')}: median "
                    f"{statistics.median(r['seconds'] for r in results[key]):.3f} s")
            r = subprocess.run([ctx.wine_run, args.cng_sha256], env=ctx.wine_env,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
            try:
                speed = float(r.stdout.split()[-1])
            except (IndexError, ValueError):
                speed = None
                ctx.problems.append(f"cng_sha256.exe gave no figure: {r.stdout}{r.stderr}")
            results["machine"]["cng_sha256_under_wine_bytes_per_second"] = speed
            if speed:
                log(f"SHA-256 of CNG under Wine (64 MiB): {speed / 1e6:.0f} MB/s")
        for kind in [k for k in kinds
                     if k not in (clients.PACK_UPDATE, clients.REPAIR, real_builds.KIND)]:
            files = clients.plan(kind, args.seed)
            total = sum(size for _, size in files)
            needed = total * DISK_FACTOR + (1 << 30)
            if disk_free(args.work) < needed:
                fail(f"{kind} needs about {needed / 1e9:.1f} GB free under {args.work}; "
                     f"{disk_free(args.work) / 1e9:.1f} GB are")
            log(f"== {kind}: generating {len(files)} files, {total / 1e6:.1f} MB (seed "
                f"{args.seed}); {disk_free(args.work) / 1e9:.0f} GB free")
            folder = os.path.join(args.work, "client")
            files, changed = clients.write_versions(kind, args.seed, folder)
            client_blocks = disk_use(os.path.join(folder, "v2"))
            log(f"   publishing 1.0.0 and 1.1.0 ({len(changed)} files changed)")
            site = Website(ctx, kind, folder, files, changed)
            rmtree(folder)
            entry = {
                "files": len(files),
                "bytes": total,
                "largest_file_bytes": max(size for _, size in files),
                "changed_files": len(site.changed_entries()),
                "changed_bytes": sum(f["size"] for f in site.changed_entries()),
                "client_disk_bytes": client_blocks,
                "manifest_bytes": len(site.pairs["1.0.0"]["manifest.json"]),
                "runs": {},
            }
            entry.update(packed_figures(site))
            results["clients"][kind] = entry
            log("   baseline (curl + openssl dgst)")
            entry["runs"]["baseline"] = baseline_runs(ctx, site)
            log("   launcher, Linux Release build")
            entry["runs"]["linux"] = launcher_runs(ctx, site, "linux")
            if windows:
                log("   launcher, Windows build under Wine")
                entry["runs"]["windows"] = launcher_runs(ctx, site, "windows")
            rmtree(ctx.site)
            os.makedirs(ctx.site)
            log(f"   done ({time.monotonic() - started:.0f} s so far)")
        if far_kinds:
            ctx.far.start()
            log(f"far website on {ctx.far.url}: nginx on port {ctx.far.port} with "
                f"limit_rate {far.RATE_CAP}, {far.DELAY_MS_EACH_WAY} ms each way")
            results["far"] = far_mode(ctx, far_kinds, far_reps, windows)
            log(f"   done ({time.monotonic() - started:.0f} s so far)")
        if clients.PACK_UPDATE in kinds:
            results["pack_update"] = pack_update(ctx, windows)
            rmtree(ctx.site)
            os.makedirs(ctx.site)
        if clients.REPAIR in kinds:
            results["repair"] = repair_mode(ctx, windows)
        if real_builds.KIND in kinds:
            results["real_update"] = real_update(ctx, windows)
    finally:
        if far_kinds:
            ctx.far.stop()
        ctx.nginx.stop()
        ctx.wine_cleanup()

    results["machine"]["load_average_at_end"] = os.getloadavg()
    results["problems"] = ctx.problems
    results["elapsed_seconds"] = time.monotonic() - started
    if args.started_at:
        results["elapsed_seconds_with_builds"] = time.time() - args.started_at
    report.write(results, args.out)
    # The logs of failed runs and nginx's logs stay when something went wrong; the data goes.
    for name in os.listdir(args.work):
        if not ctx.problems or name not in ("logs", "nginx"):
            rmtree(os.path.join(args.work, name))
    if not ctx.problems:
        os.rmdir(args.work)
    if ctx.problems:
        log(f"bench: something went wrong (see above); logs are in {args.work}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
