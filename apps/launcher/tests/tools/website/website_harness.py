#!/usr/bin/env python3
"""The test website: one nginx and one fault server per test run, on loopback ports.

  website_harness.py start --state DIR --publisher EXE --private-key PEM
                        [--wine-run SCRIPT --trust-tool EXE]
  website_harness.py stop --state DIR

start makes a test certificate authority and a certificate for "localhost", writes an nginx
configuration, starts nginx (daemon off, in the background) and the fault server, and when both
answer writes DIR/website.txt, one "name=value" a line:

  http       http://localhost:PORT    nginx, serving DIR/www: one sub-folder per scenario
  https      https://localhost:PORT   the same, with a certificate from the test authority
  untrusted  https://localhost:PORT   the same, with a certificate from no trusted authority
  faults     http://localhost:PORT    the fault server (below)
  refused    http://localhost:PORT    a port nobody listens on
  root       DIR/www
  log        nginx's access log (one line per request, /client/started pings included), in
             the combined format followed by " connection=N", nginx's number of the
             connection that carried the request
  ca         the test authority's certificate (PEM)
  cannot_publish  why /_publish cannot work in this build, or empty

Both servers answer "/client/started" with 200 and "/client/join?play=T" with a join link on the
first line, under any scenario folder. The fault server serves the same folder, with a fault
chosen by the first part of the path:

  /SITE/...                   as nginx does
  /status/CODE/...            status CODE
  /redirect/...               302 to the same path on nginx's http address
  /drop/N/SITE/...            the right length announced, the connection closed after N bytes
  /reset/N/SITE/...           the same, but the connection is reset instead of closed
  /wrong-byte/SITE/...        files under /client/files/ with their middle byte changed
  /gzip/SITE/..., /deflate/SITE/...   the body encoded so, whatever the request accepts
  /empty/...                  200 with an empty body
  /stall/MS/SITE/...          nothing for MS milliseconds, then the answer
  /stall-body/MS/SITE/...     the headers and half the body, nothing for MS ms, then the rest
  /trickle/RATE/SITE/...      the headers, then the body at RATE bytes a second in small pieces
  /join-fail/SITE/...         as nginx does, but the join request fails with 500
  /endless/SITE/...           200 with no length and a body that never ends (the started and
                              join answers excepted); it stops when the client goes away
  /chunks/SITE/...            the file in chunked encoding, in pieces of odd sizes sent apart
  /no-ranges/SITE/...         as nginx does, but a Range header is ignored: 200, the whole body
  /range-wrong-byte/SITE/...  a ranged request's part with its middle byte changed
  /range-shifted/SITE/...     a ranged request answered with the part one byte further on

Every other fault (but gzip, deflate, chunks and endless) answers a Range header as nginx does:
206 and the part (drop and reset count N bytes of the part), or 416 past the end.
  /_publish?site=S&client=DIR&version=V[&launcher=EXE][&expires-in=D][&sequence=N]
                              kelvadon-publish into www/S with this build's test key; the
                              first line of the answer is "published" or "failed". Windows
                              paths are read through the Wine prefix's drive letters.
  /_publish?command=refresh&site=S&expires-in=D[&sequence=N]
                              kelvadon-publish refresh of www/S, answered the same way
  /_sign?site=S&manifest=TEXT  TEXT signed with the test key as www/S/client/manifest.json and
                              manifest.sig, for manifests the tool would never write

With --trust-tool, the test authority is added to the Wine prefix's current-user Root store
(never to this computer's trust store). stop ends both servers by their pids.
"""

import argparse
import gzip
import http.server
import os
import re
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
import zlib

LOOPBACKS = [("127.0.0.1", socket.AF_INET), ("::1", socket.AF_INET6)]
PID_FILES = {"nginx.pid": b"nginx", "faults.pid": b"website_harness.py"}
# The hosting recipe that real websites use, so the tests check what it promises.
RECIPE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                       "..", "..", "..", "deploy", "nginx", "kelvadon-client.conf"))

# nginx's combined log format plus the connection's number, so a test can tell whether several
# requests shared one kept-alive connection. Connections stay open long enough for any test.
NGINX_LOG_FORMAT = ("  log_format kelvadon '$remote_addr - $remote_user [$time_local] "
                    "\"$request\" $status $body_bytes_sent \"$http_referer\" "
                    "\"$http_user_agent\" connection=$connection';\n")
NGINX_KEEPALIVE = "  keepalive_timeout 75s;\n  keepalive_requests 10000;\n"

# The sizes of the pieces /chunks/ sends, over and over: around the common buffer sizes, never on
# them.
CHUNK_SIZES = (1, 7, 8191, 3, 65537, 4093, 2, 16385, 255, 131071, 8193)


def log(message):
    print("test website: " + message, flush=True)


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(state):
    def path(name):
        return os.path.join(state, name)

    with open(path("ca.cnf"), "w") as f:
        f.write("[ext]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                "subjectKeyIdentifier=hash\n")
    with open(path("localhost.cnf"), "w") as f:
        f.write("[ext]\nbasicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n"
                "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")
    # RSA, because Wine's certificate checks are surest with it.
    for name in ("ca", "localhost", "stranger"):
        openssl("genrsa", "-out", path(name + ".key"), "2048")
    openssl("req", "-new", "-x509", "-key", path("ca.key"), "-subj", "/CN=Kelvadon Test CA",
            "-days", "30", "-config", path("ca.cnf"), "-extensions", "ext",
            "-out", path("ca.pem"))
    openssl("x509", "-in", path("ca.pem"), "-outform", "DER", "-out", path("ca.der"))
    openssl("req", "-new", "-key", path("localhost.key"), "-subj", "/CN=localhost",
            "-out", path("localhost.csr"))
    openssl("x509", "-req", "-in", path("localhost.csr"), "-CA", path("ca.pem"),
            "-CAkey", path("ca.key"), "-CAcreateserial", "-days", "30",
            "-extfile", path("localhost.cnf"), "-extensions", "ext",
            "-out", path("localhost.pem"))
    # Self-signed: no authority anyone trusts vouches for it.
    openssl("req", "-new", "-x509", "-key", path("stranger.key"), "-subj", "/CN=localhost",
            "-days", "30", "-config", path("localhost.cnf"), "-extensions", "ext",
            "-out", path("stranger.pem"))


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_ports(count, with_ipv6):
    """Ports free on 127.0.0.1 (and ::1), all different."""
    held, ports = [], []
    try:
        while len(ports) < count:
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            held.append(s)
            port = s.getsockname()[1]
            if with_ipv6:
                try:
                    s6 = socket.socket(socket.AF_INET6)
                    s6.bind(("::1", port))
                    held.append(s6)
                except OSError:
                    continue
            ports.append(port)
    finally:
        for s in held:
            s.close()
    return ports


def nginx_config(state, www, ports, with_ipv6):
    def listen(port, extra=""):
        hosts = ["127.0.0.1"] + (["[::1]"] if with_ipv6 else [])
        return "".join("    listen %s:%d%s;\n" % (h, port, extra) for h in hosts)

    common = (
        "    root %s;\n"
        "    location ~ /client/started$ { return 200; }\n"
        "    location ~ ^(?<site>.*)/client/join$ {\n"
        "      return 200 \"kelvadon://join?play=$arg_play&origin=$scheme://$http_host$site\\n\";\n"
        "    }\n"
        "    include %s;\n" % (www, RECIPE))
    temp = "".join("  %s_temp_path %s/tmp/%s;\n" % (k, state, k)
                   for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    return (
        "daemon off;\n"
        "user root;\n"  # Debian's workers would run as nobody, who may not read the build folder
        "worker_processes 1;\n"
        "pid %(state)s/nginx.master.pid;\n"
        "error_log %(state)s/error.log;\n"
        "events { worker_connections 256; }\n"
        "http {\n"
        "%(log_format)s"
        "  access_log %(state)s/access.log kelvadon;\n"
        "%(keepalive)s"
        "%(temp)s"
        "  types { application/json json; }\n"
        "  default_type application/octet-stream;\n"
        "  server {\n%(http)s%(https)s"
        "    ssl_certificate %(state)s/localhost.pem;\n"
        "    ssl_certificate_key %(state)s/localhost.key;\n"
        "    location ~ ^(?<rest>.*)/to-http$ { return 302 http://localhost:%(http_port)d$rest; }\n"
        "%(common)s  }\n"
        "  server {\n%(untrusted)s"
        "    ssl_certificate %(state)s/stranger.pem;\n"
        "    ssl_certificate_key %(state)s/stranger.key;\n"
        "%(common)s  }\n"
        "}\n" % {
            "state": state, "temp": temp, "common": common, "http_port": ports["http"],
            "log_format": NGINX_LOG_FORMAT, "keepalive": NGINX_KEEPALIVE,
            "http": listen(ports["http"]), "https": listen(ports["https"], " ssl"),
            "untrusted": listen(ports["untrusted"], " ssl")})


def spawn(state, name, command):
    """Starts a server that outlives this script and holds none of its caller's pipes (CTest
    waits for every writer of a test's output)."""
    with open(os.path.join(state, name + ".out"), "wb") as out:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT, start_new_session=True)
    with open(os.path.join(state, name + ".pid"), "w") as f:
        f.write("%d\n" % process.pid)
    return process


def wait_listening(port, process, name, state):
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if process.poll() is not None:
            break
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    for extra in (name + ".out", "error.log"):
        p = os.path.join(state, extra)
        if os.path.exists(p):
            sys.stderr.write(open(p, errors="replace").read())
    raise SystemExit("test website: %s did not start on port %d" % (name, port))


def running(pid, marker):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmdline = f.read()
        with open("/proc/%d/stat" % pid) as f:
            zombie = f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return False
    return marker in cmdline and not zombie


def stop(state):
    try:
        os.remove(os.path.join(state, "website.txt"))  # so no test takes a stopped site for running
    except OSError:
        pass
    for name, marker in PID_FILES.items():
        path = os.path.join(state, name)
        try:
            pid = int(open(path).read())
        except (OSError, ValueError):
            continue
        if running(pid, marker):
            os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + 10
            while running(pid, marker) and time.monotonic() < deadline:
                time.sleep(0.05)
            if running(pid, marker):
                os.kill(pid, signal.SIGKILL)
        os.remove(path)


def start(args):
    state = os.path.abspath(args.state)
    stop(state)  # servers of a run that ended without its clean-up
    shutil.rmtree(state, ignore_errors=True)
    www = os.path.join(state, "www")
    for folder in (www, os.path.join(state, "tmp")):
        os.makedirs(folder)
    make_certificates(state)
    with_ipv6 = ipv6_loopback()
    names = ("http", "https", "untrusted", "faults", "refused")
    ports = dict(zip(names, free_ports(len(names), with_ipv6)))
    with open(os.path.join(state, "nginx.conf"), "w") as f:
        f.write(nginx_config(state, www, ports, with_ipv6))

    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    server = spawn(state, "nginx", [nginx, "-p", state + "/", "-e", state + "/error.log",
                                    "-c", state + "/nginx.conf"])
    wait_listening(ports["http"], server, "nginx", state)
    faults = spawn(state, "faults", [
        sys.executable, os.path.abspath(__file__), "serve-faults", "--state", state,
        "--port", str(ports["faults"]), "--nginx", "http://localhost:%d" % ports["http"],
        "--publisher", args.publisher, "--private-key", args.private_key])
    wait_listening(ports["faults"], faults, "faults", state)

    if args.trust_tool:
        result = subprocess.run([args.wine_run, args.trust_tool, os.path.join(state, "ca.der")],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if result.returncode != 0:
            stop(state)
            raise SystemExit("test website: the test authority could not be trusted in the Wine "
                             "prefix:\n" + result.stdout + result.stderr)

    info = {name: "%s://localhost:%d" % ("https" if name in ("https", "untrusted") else "http",
                                         port) for name, port in ports.items()}
    cannot_publish = ""
    if not args.private_key:
        cannot_publish = "this build has a real release key, so no test key can sign for it"
    elif not os.access(args.publisher, os.X_OK):
        cannot_publish = "kelvadon-publish is not built (%s)" % args.publisher
    info.update(root=www, log=os.path.join(state, "access.log"),
                ca=os.path.join(state, "ca.pem"), cannot_publish=cannot_publish)
    text = "".join("%s=%s\n" % item for item in info.items())
    with open(os.path.join(state, "website.txt.new"), "w") as f:
        f.write(text)
    os.replace(os.path.join(state, "website.txt.new"), os.path.join(state, "website.txt"))
    log("running\n" + text)


def requested_range(value, size):
    """The (first, last) bytes one "bytes=" range asks of a body of size bytes, "unsatisfiable"
    past its end, or None when there is no single byte range to answer."""
    match = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", value or "")
    if not match or not (match.group(1) or match.group(2)):
        return None
    if match.group(1):
        first = int(match.group(1))
        last = int(match.group(2)) if match.group(2) else size - 1
    else:
        first, last = max(0, size - int(match.group(2))), size - 1
    last = min(last, size - 1)
    if first > last:
        return "unsatisfiable"
    return first, last


def join_link(handler):
    """The link nginx gives too: its origin is the website the request was sent to."""
    parts = urllib.parse.urlsplit(handler.path)
    play = urllib.parse.parse_qs(parts.query).get("play", [""])[0]
    website = parts.path[:-len("/client/join")]
    return ("kelvadon://join?play=%s&origin=http://%s%s\n" %
            (play, handler.headers.get("Host", ""), website)).encode()


class FaultHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    config = None  # set by serve_faults

    def log_message(self, fmt, *args):
        sys.stderr.write("%s\n" % (fmt % args))

    def answer(self, status, body=b"", headers=()):
        self.start_answer(status, headers, len(body))
        self.wfile.write(body)

    def start_answer(self, status, headers, length):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def do_GET(self):
        parts = urllib.parse.urlsplit(self.path)
        pieces = parts.path.split("/")[1:]
        fault = pieces[0] if pieces else ""
        try:
            if fault == "_publish":
                return self.publish(urllib.parse.parse_qs(parts.query))
            if fault == "_sign":
                return self.sign(urllib.parse.parse_qs(parts.query))
            if fault == "status":
                return self.answer(int(pieces[1]), b"fault\n")
            if fault == "redirect":
                rest = "/".join(pieces[1:]) + ("?" + parts.query if parts.query else "")
                return self.answer(302, headers=[("Location", "%s/%s" % (self.config.nginx, rest))])
            if fault == "empty":
                return self.answer(200)
            if fault == "stall":
                time.sleep(int(pieces[1]) / 1000)
                return self.serve(pieces[2:], "")
            if fault in ("drop", "reset", "stall-body", "trickle"):
                return self.serve(pieces[2:], fault, int(pieces[1]))
            if fault in ("wrong-byte", "gzip", "deflate", "join-fail", "endless", "chunks",
                         "no-ranges", "range-wrong-byte", "range-shifted"):
                return self.serve(pieces[1:], fault)
            return self.serve(pieces, "")
        except (ValueError, IndexError):
            return self.answer(400, b"unknown fault\n")

    def serve(self, pieces, fault, count=0):
        path = "/".join(pieces)
        if path.endswith("client/started"):
            return self.answer(200)
        if path.endswith("client/join"):
            if fault == "join-fail":
                return self.answer(500, b"no game\n")
            return self.answer(200, join_link(self))
        if fault == "endless":
            return self.endless()
        if ".." in pieces:
            return self.answer(404)
        file = os.path.join(self.config.www, path)
        try:
            with open(file, "rb") as f:
                body = f.read()
        except OSError:
            return self.answer(404, b"not found\n")
        headers = []
        if fault == "wrong-byte" and "/client/files/" in "/" + path and body:
            middle = len(body) // 2
            body = body[:middle] + bytes([body[middle] ^ 0x01]) + body[middle + 1:]
        elif fault == "gzip":
            body = gzip.compress(body)
            headers.append(("Content-Encoding", "gzip"))
        elif fault == "deflate":
            body = zlib.compress(body)
            headers.append(("Content-Encoding", "deflate"))
        status = 200
        if fault not in ("no-ranges", "gzip", "deflate", "chunks"):
            part = requested_range(self.headers.get("Range"), len(body))
            if part == "unsatisfiable":
                return self.answer(416, headers=[("Content-Range", "bytes */%d" % len(body))])
            if part is not None:
                first, last = part
                if fault == "range-shifted" and last + 1 < len(body):
                    first, last = first + 1, last + 1
                headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, len(body))))
                body = body[first:last + 1]
                status = 206
                if fault == "range-wrong-byte":
                    middle = len(body) // 2
                    body = body[:middle] + bytes([body[middle] ^ 0x01]) + body[middle + 1:]
        if fault in ("drop", "reset") and count < len(body):
            self.start_answer(status, headers, len(body))
            self.wfile.write(body[:count])
            self.wfile.flush()
            self.close_connection = True
            if fault == "drop":
                self.connection.shutdown(socket.SHUT_RDWR)
            else:
                # Given time to read what was sent, the client then meets a reset, not an end.
                time.sleep(0.3)
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           struct.pack("ii", 1, 0))
                self.connection.close()
            return None
        if fault == "stall-body":
            self.start_answer(status, headers, len(body))
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            time.sleep(count / 1000)
            self.wfile.write(body[len(body) // 2:])
            return None
        if fault == "chunks":
            return self.chunked(body)
        if fault == "trickle":
            return self.trickle(status, headers, body, count)
        return self.answer(status, body, headers)

    def trickle(self, status, headers, body, rate):
        self.start_answer(status, headers, len(body))
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # A piece every 50 ms or so, on a schedule, so the rate holds over any window.
        step = max(1, rate // 20)
        started = time.monotonic()
        try:
            for offset in range(0, len(body), step):
                self.wfile.write(body[offset:offset + step])
                time.sleep(max(0.0, started + (offset + step) / rate - time.monotonic()))
        except OSError:
            self.close_connection = True  # the client gave up, as it should

    def endless(self):
        self.send_response(200)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        block = b"Kelvadon never ends.\n" * 3000
        # A client that stops reading without closing would hold the thread for ever.
        self.connection.settimeout(30)
        deadline = time.monotonic() + 300
        try:
            while time.monotonic() < deadline:
                self.wfile.write(block)
        except OSError:
            pass  # the client went away, as it should

    def chunked(self, body):
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        offset, index = 0, 0
        while offset < len(body):
            piece = body[offset:offset + CHUNK_SIZES[index % len(CHUNK_SIZES)]]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            offset += len(piece)
            index += 1
            # Apart, so that they arrive as separate reads.
            time.sleep(0.002)
        self.wfile.write(b"0\r\n\r\n")

    def publish(self, query):
        def one(name):
            values = query.get(name, [])
            return values[0] if values else ""

        site, client, version = one("site"), one("client"), one("version")
        refresh = one("command") == "refresh"
        ok = re.fullmatch(r"[A-Za-z0-9._-]+(/[A-Za-z0-9._-]+)*", site) and ".." not in site.split("/")
        if not ok or (not refresh and (not client or not version)):
            return self.answer(200, b"failed\nsite, client and version are needed\n")
        website = os.path.join(self.config.www, site)
        os.makedirs(website, exist_ok=True)
        command = [self.config.publisher, "refresh" if refresh else "publish",
                   "--private-key", self.config.private_key, "--website", website]
        if not refresh:
            command += ["--client", self.host_path(client), "--version", version]
        if one("launcher"):
            command += ["--launcher", self.host_path(one("launcher"))]
        for name in ("expires-in", "sequence"):
            if one(name):
                command += ["--" + name, one(name)]
        try:
            result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True)
            first = b"published\n" if result.returncode == 0 else b"failed\n"
            return self.answer(200, first + result.stdout + result.stderr)
        except OSError as e:
            return self.answer(200, ("failed\n%s\n" % e).encode())

    def sign(self, query):
        site = query.get("site", [""])[0]
        text = query.get("manifest", [""])[0].encode()
        ok = re.fullmatch(r"[A-Za-z0-9._-]+(/[A-Za-z0-9._-]+)*", site) and ".." not in site.split("/")
        if not ok or not text:
            return self.answer(200, b"failed\nsite and manifest are needed\n")
        result = subprocess.run(["openssl", "dgst", "-sha256", "-sign", self.config.private_key],
                                input=text, capture_output=True)
        if result.returncode != 0:
            return self.answer(200, b"failed\n" + result.stderr)
        # DER: SEQUENCE { INTEGER r, INTEGER s }, short lengths for P-256; the file holds r and s
        # as 32 bytes each.
        der = result.stdout
        r_length = der[3]
        r = int.from_bytes(der[4:4 + r_length], "big")
        s_length = der[5 + r_length]
        s = int.from_bytes(der[6 + r_length:6 + r_length + s_length], "big")
        client = os.path.join(self.config.www, site, "client")
        os.makedirs(client, exist_ok=True)
        with open(os.path.join(client, "manifest.json"), "wb") as f:
            f.write(text)
        with open(os.path.join(client, "manifest.sig"), "wb") as f:
            f.write(r.to_bytes(32, "big") + s.to_bytes(32, "big"))
        return self.answer(200, b"published\n")

    def host_path(self, path):
        """A Windows path ("C:\\...") from a test under Wine, read through the prefix."""
        if re.match(r"^[A-Za-z]:[\\/]", path) and self.config.wine_prefix:
            drive = os.path.join(self.config.wine_prefix, "dosdevices", path[0].lower() + ":")
            return os.path.join(os.path.realpath(drive), *re.split(r"[\\/]+", path[3:]))
        return path


def serve_faults(args):
    class Config:
        www = os.path.join(args.state, "www")
        nginx = args.nginx
        publisher = args.publisher
        private_key = args.private_key
        wine_state = os.environ.get("KELVADON_WINE_STATE", "")
        wine_prefix = os.path.join(wine_state, "prefix") if wine_state else ""

    FaultHandler.config = Config
    servers = []
    for host, family in LOOPBACKS:
        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            address_family = family
            daemon_threads = True
            allow_reuse_address = True
        try:
            servers.append(Server((host, args.port), FaultHandler))
        except OSError:
            if family == socket.AF_INET:
                raise
    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    stopped.wait()
    for server in servers:
        server.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("start")
    p.add_argument("--state", required=True)
    p.add_argument("--publisher", default="")
    p.add_argument("--private-key", default="")
    p.add_argument("--wine-run", default="")
    p.add_argument("--trust-tool", default="")
    p = commands.add_parser("stop")
    p.add_argument("--state", required=True)
    p = commands.add_parser("serve-faults")
    p.add_argument("--state", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--nginx", required=True)
    p.add_argument("--publisher", default="")
    p.add_argument("--private-key", default="")
    args = parser.parse_args()
    if args.command == "start":
        start(args)
    elif args.command == "stop":
        stop(os.path.abspath(args.state))
        log("stopped")
    else:
        serve_faults(args)


if __name__ == "__main__":
    main()
