#!/usr/bin/env python3
"""Runs a fresh install, an update, a rollback, a self-update and an up-to-date start of
update_interrupt_tool under strace and checks, from the system calls, that a power cut at any
moment cannot publish data that never reached the disk:

  - every file reachable through a rename (the file renamed, or any file inside a folder renamed)
    was flushed (fsync, fdatasync, or a syncfs of its file system) after it was last written;
  - on Linux, so was every hard link or clone made there (a flush of its folder counts); Windows
    journals a link as it does a rename;
  - on Linux, the folder a rename lands in is flushed after the rename;
  - an up-to-date start writes, creates, renames and removes nothing in the InstallRoot.

The same checks in both builds. The Windows build runs the tool under Wine: the wineserver does the
opens, flushes (FlushFileBuffers becomes fsync) and renames there, so it is traced too, attached
for the length of each run, and the two traces are merged by their time stamps.

  durable_trace_test.py --tool EXE --publisher EXE --private-key PEM --release-key FILE
                        [--wine-run SCRIPT] [--measure]

--measure reports the counts without failing (to measure an older build). Exit code 0 when every
check held, 77 when strace cannot trace here.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

TRACED = ("trace=open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,ftruncate,fsync,"
          "fdatasync,syncfs,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,rmdir,link,linkat,"
          "ioctl")
SKIP = 77

LINE = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(.*)$")
CALL = re.compile(r"^(\w+)\((.*)\)\s+=\s+(-?\d+)(?:<(.*)>)?")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')
DESCRIPTOR = re.compile(r"^\d+<([^>]*)>")
# Wine's own spelling of a host path: through the prefix's drive of the whole file system.
WINE_DRIVE = re.compile(r"(?:^|/)dosdevices/z:(/.*)$")


def host_path(path):
    match = WINE_DRIVE.search(path)
    if match:
        path = match.group(1)
    return os.path.normpath(path)


def parse(trace_file):
    """The finished system calls of one strace output as (time, name, args, result, fd path)."""
    calls = []
    pending = {}
    with open(trace_file, errors="replace") as trace:
        for text in trace:
            match = LINE.match(text.rstrip("\n"))
            if not match:
                continue
            pid, when, rest = match.group(1), float(match.group(2)), match.group(3)
            if rest.endswith("<unfinished ...>"):
                pending[pid] = rest[: -len("<unfinished ...>")].rstrip()
                continue
            resumed = re.match(r"^<\.\.\. \w+ resumed>(.*)$", rest)
            if resumed:
                rest = pending.pop(pid, "") + resumed.group(1)
            call = CALL.match(rest)
            if call:
                calls.append((when, call.group(1), call.group(2), int(call.group(3)),
                              call.group(4) or ""))
    return calls


def events_of(calls, windows):
    """What the calls did to files: (kind, path, target) with kind write, link, flush, flush-all,
    rename or remove, in order."""
    events = []
    for _, name, args, result, returned in sorted(calls, key=lambda c: c[0]):
        if result < 0:
            continue
        strings = [host_path(s) for s in QUOTED.findall(args)]
        fd = DESCRIPTOR.match(args)
        fd_path = host_path(fd.group(1)) if fd else None
        if name in ("open", "openat", "creat"):
            created = name == "creat" or "O_TRUNC" in args or "O_CREAT" in args
            if created and returned:
                events.append(("write", host_path(returned), None))
        elif name in ("write", "pwrite64", "writev", "pwritev", "pwritev2", "ftruncate"):
            if fd_path and (result > 0 or name == "ftruncate"):
                events.append(("write", fd_path, None))
        elif name == "ioctl" and fd_path and "CLONE" in args:
            events.append(("write", fd_path, None))
        elif name in ("link", "linkat") and len(strings) >= 2:
            events.append(("link", strings[1], None))
        elif name in ("fsync", "fdatasync") and fd_path:
            events.append(("flush", fd_path, None))
        elif name == "syncfs":
            events.append(("flush-all", fd_path, None))
        elif name.startswith("rename") and len(strings) >= 2:
            events.append(("rename", strings[0], strings[1]))
        elif name in ("unlink", "unlinkat", "rmdir", "mkdir", "mkdirat") and strings:
            events.append(("remove" if name != "mkdir" and name != "mkdirat" else "make",
                           strings[0], None))
    return events


def inside(path, folder):
    return path == folder or path.startswith(folder + "/")


def check(events, root, windows):
    """The problems of one run's events in the InstallRoot, and its counts."""
    problems = []
    dirty = set()
    renames = unsynced = unflushed_folders = links = 0
    for index, (kind, path, target) in enumerate(events):
        if kind == "write":
            dirty.add(path)
        elif kind == "link":
            links += inside(path, root)
            if not windows:
                dirty.add(path)
        elif kind == "flush":
            dirty.discard(path)
            dirty = {p for p in dirty if os.path.dirname(p) != path}
        elif kind == "flush-all":
            dirty.clear()
        elif kind == "remove":
            dirty = {p for p in dirty if not inside(p, path)}
        elif kind == "rename":
            if not inside(path, root) and not inside(target, root):
                continue
            renames += 1
            published = sorted(p for p in dirty if inside(p, path))
            if published:
                unsynced += 1
                problems.append("%s -> %s publishes data never flushed: %s"
                                % (path, target, ", ".join(published)))
            dirty = {target + p[len(path):] if inside(p, path) else p for p in dirty}
            folder = os.path.dirname(target)
            if not windows and not any(k == "flush" and p == folder for k, p, _ in events[index + 1:]):
                unflushed_folders += 1
                problems.append("%s -> %s: %s was not flushed after the rename"
                                % (path, target, folder))
    return problems, renames, unsynced, unflushed_folders, links


def changes_in(events, root):
    return ["%s %s" % (kind, path) for kind, path, _ in events
            if kind in ("write", "link", "rename", "remove", "make") and inside(path, root)]


class Runner:
    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.windows = bool(args.wine_run)
        self.strace = shutil.which("strace")
        self.env = dict(os.environ)
        # LeakSanitizer cannot work under ptrace and would fail the tool.
        self.env["ASAN_OPTIONS"] = self.env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"

    def local(self, path):
        return "Z:" + path if self.windows else path

    def wineserver(self):
        prefix = os.path.join(self.env.get("KELVADON_WINE_STATE", ""), "prefix")
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/comm" % pid) as comm:
                    if not comm.read().strip().startswith("wineserver"):
                        continue
                with open("/proc/%s/environ" % pid, "rb") as environ:
                    values = environ.read().split(b"\0")
                if ("WINEPREFIX=" + prefix).encode() in values:
                    return int(pid)
            except OSError:
                continue
        return None

    def traced(self, trace_file, command):
        return [self.strace, "-f", "-qq", "-y", "-ttt", "-s", "16", "-o", trace_file, "-e", TRACED,
                *command]

    def run(self, name, root, website, own):
        """Runs the tool once under strace; its exit code and its events."""
        report = os.path.join(self.scratch, "report-%s.txt" % name)
        tool = [self.args.tool, "--root", self.local(root), "--website-folder",
                self.local(website), "--own", self.local(own), "--report", self.local(report)]
        trace = os.path.join(self.scratch, "trace-%s.txt" % name)
        attached = None
        server_trace = trace + ".wineserver"
        if self.windows:
            # A first Wine program starts the prefix's wineserver if the fixture has not.
            subprocess.run([self.args.wine_run, "cmd.exe", "/c", "exit"], env=self.env,
                           stdin=subprocess.DEVNULL, capture_output=True)
            server = self.wineserver()
            if server is None:
                raise SystemExit("no wineserver of the test prefix is running")
            attached = subprocess.Popen(self.traced(server_trace, ["-p", str(server)]),
                                        stdin=subprocess.DEVNULL)
            if not self.wait_traced(server, attached):
                attached.kill()
                attached.wait()
                print("strace cannot attach to the wineserver here")
                sys.exit(SKIP)
            tool = [self.args.wine_run] + tool
        result = subprocess.run(self.traced(trace, tool), env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True)
        calls = parse(trace) if os.path.exists(trace) else []
        if attached:
            attached.send_signal(signal.SIGINT)
            attached.wait()
            calls += parse(server_trace)
        if result.returncode != 0 and not calls:
            print("strace cannot trace here: " + result.stderr.decode(errors="replace"))
            sys.exit(SKIP)
        with open(report, errors="replace") if os.path.exists(report) else open(os.devnull) as r:
            said = r.read()
        return result.returncode, events_of(calls, self.windows), said

    @staticmethod
    def wait_traced(pid, attached):
        for _ in range(1000):
            if attached.poll() is not None:
                return False
            with open("/proc/%d/status" % pid) as status:
                for line in status:
                    if line.startswith("TracerPid:") and int(line.split()[1]) == attached.pid:
                        return True
            # Attaching takes a moment; checked again without sleeping long.
            try:
                attached.wait(timeout=0.01)
            except subprocess.TimeoutExpired:
                pass
        return False


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tool", required=True)
    p.add_argument("--publisher", required=True)
    p.add_argument("--private-key", required=True)
    p.add_argument("--release-key", required=True)
    p.add_argument("--wine-run", default="")
    p.add_argument("--measure", action="store_true")
    args = p.parse_args()
    if not shutil.which("strace"):
        print("strace is not installed")
        return SKIP

    scratch = os.path.realpath(tempfile.mkdtemp(prefix="kelvadon-durable-trace-"))
    try:
        return run_flows(args, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def run_flows(args, scratch):
    runner = Runner(args, scratch)
    with open(args.release_key, "rb") as key:
        release_key = key.read()

    def write(path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    launchers = {}
    for name in ("one", "two", "three"):
        launchers[name] = os.path.join(scratch, "launchers", name, "KelvadonLauncher.exe")
        write(launchers[name], b"MZ launcher " + name.encode() + b"KELVADON-RELEASE-KEY-V1\0" +
              release_key)
    clients = {
        "1.0": {"kelvadon_player.exe": b"player one", "kelvadon_studio.exe": b"studio one",
                "bin/shared.dll": b"s" * 300000, "data/empty.txt": b""},
        "2.0": {"kelvadon_player.exe": b"player two", "kelvadon_studio.exe": b"studio one",
                "lib/shared.dll": b"s" * 300000, "bin/new.dll": b"n" * 70000},
    }
    # Each state is published over the one before, so its sequence is the next; a rollback and a
    # new launcher are publishes like any other.
    states = [("install", "1.0", "one"), ("update", "2.0", "one"), ("rollback", "1.0", "one"),
              ("self-update", "1.0", "two"), ("up-to-date", None, None)]
    publishing = os.path.join(scratch, "publishing")
    os.makedirs(publishing)
    root = os.path.join(scratch, "root")
    own = launchers["three"]
    failed = False
    for name, version, launcher in states:
        website = os.path.join(scratch, "web-" + name)
        if version:
            client = os.path.join(scratch, "client-" + version)
            for path, data in clients[version].items():
                write(os.path.join(client, path), data)
            published = subprocess.run(
                [args.publisher, "publish", "--client", client, "--version", version,
                 "--private-key", args.private_key, "--website", publishing,
                 "--launcher", launchers[launcher]], capture_output=True)
            if published.returncode != 0:
                print(published.stdout.decode() + published.stderr.decode())
                return 1
            shutil.copytree(publishing, website)
            last_website = website
        else:
            website = last_website
        code, events, said = runner.run(name, root, website, own)
        problems = []
        if code != 0:
            problems.append("the tool failed (%d): %s" % (code, said))
        if version:
            with open(os.path.join(root, "current.txt"), "rb") as current:
                if current.read() != version.encode() + b"\n":
                    problems.append("current.txt does not name " + version)
            with open(os.path.join(root, "KelvadonLauncher.exe"), "rb") as copy:
                with open(launchers[launcher], "rb") as wanted:
                    if copy.read() != wanted.read():
                        problems.append("the launcher copy is not launcher " + launcher)
        found, renames, unsynced, folders, links = check(events, root, runner.windows)
        problems += found
        if not version:
            problems += ["an up-to-date start changed the disk: " + c
                         for c in changes_in(events, root)]
        elif renames == 0:
            problems.append("nothing was renamed: the trace saw nothing")
        if name == "update" and links == 0 and not args.measure:
            problems.append("the update shared no kept file")
        print("%s: %d renames, %d publish data never flushed, %d folders not flushed after, "
              "%d links" % (name, renames, unsynced, folders, links))
        for problem in problems:
            print("  " + problem)
        failed = failed or bool(problems)
    return 0 if args.measure or not failed else 1


if __name__ == "__main__":
    sys.exit(main())
