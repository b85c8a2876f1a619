"""The far-website mode of the benchmark: the same kind of clients served from about 40 ms away
(far_proxy.py on loopback, 20 ms each way) by an nginx server block that caps each connection at
about 20 MB/s, as a CDN does. The launcher's fresh install is measured against two baselines in
the same run: curl fetching the same files one after another over one kept-alive connection
(with openssl dgst over them, as on loopback), and aria2c fetching the same URLs over 8
connections (a parallel downloader that neither hashes nor verifies).

bench.py drives it: it adds server_block() to its nginx, publishes each client, and hands the
website to client_runs().
"""

import os
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

DELAY_MS_EACH_WAY = 20
RATE_CAP = 20_000_000  # bytes per second and connection
CONNECTIONS = 8  # aria2c's, and the proxy check's

# The far clients: kind -> scenario. The smoke mode has one tiny client of each scenario.
KINDS = {"far-many-small": "many small files", "far-one-large": "one large pack",
         "compiled-code": "compiled code"}
SMOKE_KINDS = {"smoke": "many small files", "far-smoke-pack": "one large pack"}

def log(text):
    print(text, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class FarSite:
    """The capped server block of the benchmark's nginx (its own port and access log) and the
    proxy in front of it."""

    def __init__(self, work, site):
        self.dir = os.path.join(work, "far")
        os.makedirs(self.dir, exist_ok=True)
        self.site = site
        self.port = free_port()
        self.access_log = os.path.join(self.dir, "access.log")
        self.proxy = None
        self.settles = 0

    def server_block(self):
        # $connection tells how many connections a run used.
        return f"""
  log_format far '$status $body_bytes_sent $bytes_sent "$request" $connection';
  server {{
    listen 127.0.0.1:{self.port};
    root {self.site};
    limit_rate {RATE_CAP};
    access_log {self.access_log} far;
  }}
"""

    def start(self):
        self.proxy = Proxy(self.port)
        self.proxy.start()

    def stop(self):
        if self.proxy:
            self.proxy.stop()

    @property
    def url(self):
        return self.proxy.url

    def mark(self):
        try:
            return os.path.getsize(self.access_log)
        except OSError:
            return 0

    def settle(self):
        """Waits until nginx has logged every request made before: a client's closed connection
        reaches nginx only after the proxy's delay, and nginx logs a request when it ends. A
        request of its own, straight to the block, is logged after every earlier one."""
        time.sleep(4 * DELAY_MS_EACH_WAY / 1000)
        self.settles += 1
        marker = f"settle={self.settles}"
        subprocess.run(["curl", "--silent", "--noproxy", "*", "--output", "/dev/null",
                        f"http://127.0.0.1:{self.port}/client/manifest.sig?{marker}"],
                       stdin=subprocess.DEVNULL)
        for _ in range(200):
            try:
                with open(self.access_log, "rb") as f:
                    if marker.encode() in f.read():
                        return
            except OSError:
                pass
            time.sleep(0.01)

    def served_since(self, mark):
        """(requests, body bytes, requests answered other than 200 or 206, connections) since
        the mark, leaving out the settling requests."""
        self.settle()
        with open(self.access_log, "rb") as f:
            f.seek(mark)
            lines = f.read().decode().splitlines()
        requests = body = bad = 0
        connections = set()
        for line in lines:
            if "?settle=" in line:
                continue
            status, body_bytes, _ = line.split(" ", 2)
            requests += 1
            body += int(body_bytes)
            bad += status not in ("200", "206")
            connections.add(line.rsplit(" ", 1)[1])
        return requests, body, bad, len(connections)


class Proxy:
    """far_proxy.py in a process of its own, so that it has a core to itself when one is free;
    stopped by its pid."""

    def __init__(self, upstream_port, delay_ms=DELAY_MS_EACH_WAY):
        self.upstream_port = upstream_port
        self.delay_ms = delay_ms
        self.process = None
        self.port = None

    def start(self):
        self.process = subprocess.Popen(
            [sys.executable, "-B", os.path.join(HERE, "far_proxy.py"),
             "--upstream", f"127.0.0.1:{self.upstream_port}", "--delay-ms", str(self.delay_ms)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().split()
        if len(line) != 2 or line[0] != "listening":
            self.stop()
            raise SystemExit("bench: the far website's proxy did not start")
        self.port = int(line[1])

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proxy_check(ctx, far, pack_path, pack_size, plain_port):
    """What the proxy costs on its own: 8 and 1 connections fetching the pack at once through a
    second proxy in front of the uncapped server block, against the same straight to nginx, and
    the time of one small request over a kept-alive connection through the capped proxy."""
    curl = ["curl", "--silent", "--show-error", "--fail", "--noproxy", "*", "--output",
            "/dev/null"]

    def fetch_at_once(port, count):
        started = time.perf_counter()
        processes = [subprocess.Popen(curl + [f"http://127.0.0.1:{port}{pack_path}"],
                                      stdin=subprocess.DEVNULL) for _ in range(count)]
        codes = [p.wait() for p in processes]
        seconds = time.perf_counter() - started
        if any(codes):
            ctx.problems.append(f"far proxy check: curl exit codes {codes}")
        return count * pack_size / seconds

    out = {"pack_bytes": pack_size}
    uncapped = Proxy(plain_port)
    uncapped.start()
    try:
        for connections in (CONNECTIONS, 1):
            out[f"direct_{connections}_bytes_per_second"] = fetch_at_once(plain_port, connections)
            cpu = uncapped.cpu_seconds()
            started = time.perf_counter()
            out[f"proxied_{connections}_bytes_per_second"] = fetch_at_once(uncapped.port,
                                                                           connections)
            out[f"proxy_cpu_share_{connections}"] = (
                (uncapped.cpu_seconds() - cpu) / (time.perf_counter() - started))
    finally:
        uncapped.stop()
    # 21 small requests one after another on one connection: the first pays the handshake too.
    config = os.path.join(far.dir, "round-trips.cfg")
    with open(config, "w") as f:
        f.write(f'url = "{far.url}/client/manifest.sig"\noutput = "/dev/null"\n' * 21)
    r = subprocess.run(curl[:-2] + ["--write-out", "%{time_total}\\n", "--config", config],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True)
    times = [float(t) for t in r.stdout.split()]
    if r.returncode != 0 or len(times) != 21:
        ctx.problems.append(f"far proxy check: the round-trip requests failed: {r.stderr}")
    else:
        out["first_request_seconds"] = times[0]
        out["request_round_trip_seconds"] = statistics.median(times[1:])
    return out


def rmtree(path):
    shutil.rmtree(path, ignore_errors=True)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def client_runs(ctx, far, site, reps, windows, plan):
    """Fresh installs of the published client through the far website, by the baselines and the
    launcher builds, one of each in turn per repetition so that a change of the machine's load
    touches all alike; plan is what the launcher fetches (bench.py's Plan), the baselines
    fetching every file whole. Returns {who: [run, ...]}."""
    args = ctx.args
    entries = site.file_entries("1.0.0")
    total = sum(f["size"] for f in entries)
    expected_bytes = total + site.meta_bytes("1.0.0")
    expected_requests = len(entries) + 2
    base = os.path.join(ctx.work, "far-baseline")
    url = far.url
    curl = ["curl", "--silent", "--show-error", "--fail", "--noproxy", "*", "--create-dirs"]
    # Far runs move at 20 MB/s; a run far longer than that is a failure.
    timeout = 60 + total / 2e6
    names = ["manifest.json", "manifest.sig"] + [f"files/{f['path']}" for f in entries]
    urls = ([f"{url}/client/manifest.json", f"{url}/client/manifest.sig"] +
            [f"{url}/client/files/{f['sha256']}" for f in entries])
    sizes = [None, None] + [f["size"] for f in entries]

    def measured(who, cmd, env, exact_bytes, one_connection, wanted=None):
        name = f"{site.kind}-far-{who}"
        wanted_requests, wanted_bytes = wanted or (expected_requests, expected_bytes)
        mark = far.mark()
        cpu = far.proxy.cpu_seconds()
        result = ctx.run(name, cmd, env, timeout)
        result["proxy_cpu_seconds"] = far.proxy.cpu_seconds() - cpu
        requests, body, bad, connections = far.served_since(mark)
        # Ranged fetches make more requests than files, and a downloader that drops its spare
        # connections at the end may have been sent more bytes than it kept.
        ok = (bad == 0 and (requests == wanted_requests if one_connection else
                            requests >= wanted_requests) and
              (body == wanted_bytes if exact_bytes else body >= wanted_bytes))
        if not ok:
            ctx.problems.append(
                f"{name}: served {requests} requests and {body} bytes ({bad} not 200 or 206); "
                f"expected {wanted_requests} requests and {wanted_bytes} bytes")
        result.update({"requests": requests, "bytes_served": body, "bytes_expected":
                       wanted_bytes, "served_as_expected": ok, "connections": connections})
        return result

    def check_files(name, folder):
        for path, size in zip(names, sizes):
            full = os.path.join(folder, path)
            if not os.path.isfile(full) or (size is not None and os.path.getsize(full) != size):
                ctx.problems.append(f"{name}: {path} is missing or of the wrong size")
                return

    def curl_run():
        folder = os.path.join(base, "curl")
        config = os.path.join(base, "curl.cfg")
        with open(config, "w") as f:
            for address, path in zip(urls, names):
                f.write(f'url = "{address}"\noutput = "{folder}/{path}"\n')
        listing = os.path.join(base, "hash.list")
        with open(listing, "w") as f:
            f.write("\0".join(os.path.join(folder, path) for path in names[2:]))
        digests = os.path.join(base, "curl.sha256")
        script = (f'{shlex.join(curl)} --config "$1" && '
                  f'xargs -0 -s 2000000 -a "$2" openssl dgst -sha256 -r > "$3"')
        result = measured("curl", ["bash", "-c", script, "bench", config, listing, digests],
                          ctx.env, True, True)
        try:
            with open(digests) as f:
                got = [line.split(" ", 1)[0] for line in f.read().splitlines()]
        except OSError:
            got = []
        if got != [f["sha256"] for f in entries]:
            ctx.problems.append(f"{site.kind}-far-curl: openssl digests do not match")
        return result

    def aria2c_run():
        folder = os.path.join(base, "aria2c")
        listing = os.path.join(base, "aria2c.list")
        with open(listing, "w") as f:
            for address, path in zip(urls, names):
                f.write(f"{address}\n  out={path}\n")
        cmd = ["aria2c", "--no-conf", f"--input-file={listing}", f"--dir={folder}",
               f"--max-concurrent-downloads={CONNECTIONS}",
               f"--max-connection-per-server={CONNECTIONS}", f"--split={CONNECTIONS}",
               "--min-split-size=1M", "--max-tries=1", "--file-allocation=none",
               # No resume file: saving one for every download doubled its time per small file.
               "--auto-save-interval=0",
               "--allow-overwrite=true", "--auto-file-renaming=false", "--all-proxy=",
               "--console-log-level=warn", "--summary-interval=0", "--download-result=hide",
               "--show-console-readout=false"]
        result = measured("aria2c", cmd, ctx.env, False, False)
        check_files(f"{site.kind}-far-aria2c", folder)
        return result

    def launcher_run(target):
        home = os.path.join(ctx.work, f"far-home-{target}")
        if target == "linux":
            cmd, env, home_arg = [args.linux_launcher], ctx.env, home
        else:
            cmd, env = [ctx.wine_run, args.windows_launcher], ctx.wine_env
            home_arg = windows_path(home)
        cmd = cmd + ["--website", url, "--home", home_arg, "--no-start"]
        result = measured(target, cmd, env, True, False, (plan.requests, plan.bytes))
        try:
            with open(os.path.join(home, "current.txt")) as f:
                current = f.read().strip()
        except OSError:
            current = None
        if result["exit"] == 0 and current != "1.0.0":
            ctx.problems.append(f"{site.kind}-far-{target}: current.txt names {current}")
        rmtree(home)
        return result

    site.serve("1.0.0")
    who = ["curl", "aria2c", "linux"] + (["windows"] if windows else [])
    out = {w: [] for w in who}
    for _ in range(reps):
        for w in who:
            rmtree(base)
            os.makedirs(base)
            if w == "curl":
                out[w].append(curl_run())
            elif w == "aria2c":
                out[w].append(aria2c_run())
            else:
                out[w].append(launcher_run(w))
    rmtree(base)
    return out


def method():
    return {
        "far website": f"far_proxy.py on loopback delaying every byte {DELAY_MS_EACH_WAY} ms "
                       f"each way (a delay line; a new connection's first byte also waits one "
                       f"round trip), in front of an nginx server block with limit_rate "
                       f"{RATE_CAP} bytes per second; fresh installs only",
        "far curl": "one curl process fetching the manifest, the signature and every file in "
                    "manifest order over one kept-alive connection, then openssl dgst -sha256 "
                    "over every file (the loopback baseline)",
        "far aria2c": f"one aria2c process fetching the same URLs, {CONNECTIONS} downloads at "
                      f"once and a file of 2 MiB or more split over {CONNECTIONS} connections, "
                      f"no resume file (--auto-save-interval=0); no hashing and no "
                      f"verification",
        "far proxy check": f"{CONNECTIONS} and 1 curl processes fetching the pack at once "
                           f"through a proxy in front of the uncapped server block, against "
                           f"the same straight to nginx",
    }
