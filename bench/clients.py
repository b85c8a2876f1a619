"""Synthetic client versions for the benchmark, generated reproducibly from a seed.

The same kind and seed always give the same paths, sizes and bytes: the plan comes from
Python's string-seeded random generator and the bytes from numpy's PCG64 raw output, both of
which are stable across versions. The compiled-code clients are the exception: they copy this
machine's shared libraries, the same ones for a kind and seed on the same machine.
"""

import functools
import hashlib
import os
import random
import re
import shutil

import numpy

KIB = 1024
MIB = 1024 * KIB

PLAYER = "kelvadon_player.exe"
STUDIO = "kelvadon_studio.exe"

KINDS = ("smoke", "many-small", "few-large", "huge", "far-many-small", "far-one-large",
         "far-smoke-pack", "compiled-code", "compiled-code-smoke")

# What each kind is measured on: the huge client only as a fresh install.
ALL_SCENARIOS = ("fresh install", "update 5%", "up-to-date start", "rollback")


def scenarios(kind):
    return ("fresh install",) if kind == "huge" else ALL_SCENARIOS

# Share of the files, by count, that the next version changes.
CHANGED_SHARE = 0.05

_CHUNK = 8 * MIB


def _nested_path(rng, index, depth_max, prefix):
    depth = rng.randint(1, depth_max)
    folders = [f"{prefix}{rng.randint(0, 7)}" for _ in range(depth)]
    return "/".join(folders + [f"f{index:04d}.bin"])


def plan(kind, seed):
    """The client's files as a list of (path, size), the two programs first."""
    if kind in _CODE_BUDGETS:
        return [(path, os.path.getsize(source)) for path, source in _code_versions(kind, seed)[0]]
    rng = random.Random(f"kelvadon-bench:{kind}:{seed}")
    if kind == "smoke":
        files = [(PLAYER, rng.randint(4 * KIB, 64 * KIB)), (STUDIO, rng.randint(4 * KIB, 64 * KIB))]
        files += [(_nested_path(rng, i, 2, "d"), rng.randint(4 * KIB, 64 * KIB)) for i in range(8)]
    elif kind == "many-small":
        # 2,000 files of 4 to 64 KiB (about 70 MB) up to four folders deep.
        files = [(PLAYER, rng.randint(4 * KIB, 64 * KIB)), (STUDIO, rng.randint(4 * KIB, 64 * KIB))]
        files += [(_nested_path(rng, i, 4, "d"), rng.randint(4 * KIB, 64 * KIB))
                  for i in range(1998)]
    elif kind == "few-large":
        # 20 files, about 1.2 GB: one of 512 MiB, the two programs of a few MiB, and 17 others
        # sharing what is left.
        files = [(PLAYER, rng.randint(2 * MIB, 6 * MIB)), (STUDIO, rng.randint(2 * MIB, 6 * MIB))]
        files.append(("content/world.pak", 512 * MIB))
        rest = 1_200_000_000 - sum(size for _, size in files)
        weights = [rng.uniform(0.5, 1.5) for _ in range(17)]
        scale = rest / sum(weights)
        files += [(_nested_path(rng, i, 2, "pack"), int(w * scale) // 4096 * 4096)
                  for i, w in enumerate(weights)]
    elif kind == "huge":
        # One pack of 4 GiB, more than a player's machine could hold in memory twice over, and
        # 300 small files of 4 to 64 KiB beside it.
        files = [(PLAYER, rng.randint(4 * KIB, 64 * KIB)), (STUDIO, rng.randint(4 * KIB, 64 * KIB))]
        files.append(("content/huge.pak", 4096 * MIB))
        files += [(_nested_path(rng, i, 3, "d"), rng.randint(4 * KIB, 64 * KIB))
                  for i in range(300)]
    elif kind == "far-many-small":
        # For the far website: 500 files of 4 to 64 KiB (about 17 MB), 20 s of round trips when
        # fetched one after another 40 ms away.
        files = [(PLAYER, rng.randint(4 * KIB, 64 * KIB)), (STUDIO, rng.randint(4 * KIB, 64 * KIB))]
        files += [(_nested_path(rng, i, 4, "d"), rng.randint(4 * KIB, 64 * KIB))
                  for i in range(498)]
    elif kind in ("far-one-large", "far-smoke-pack"):
        # For the far website: one pack, 13 s through one connection at 20 MB/s (the smoke's 1 s),
        # beside the two programs.
        files = [(PLAYER, rng.randint(4 * KIB, 64 * KIB)), (STUDIO, rng.randint(4 * KIB, 64 * KIB))]
        files.append(("content/world.pak", (256 if kind == "far-one-large" else 16) * MIB))
    else:
        raise ValueError(f"unknown client kind {kind}")
    # Two files never share a path (the names carry their index), but keep that obvious.
    assert len({path for path, _ in files}) == len(files)
    return files


def changed_indexes(kind, seed, files):
    """Indexes of the files the next version changes: 5% by count, at least one, chosen from
    the seed, never a file of 512 MiB or more (the largest file stays as it is)."""
    rng = random.Random(f"kelvadon-bench:{kind}:{seed}:changed")
    candidates = [i for i, (_, size) in enumerate(files) if size < 512 * MIB]
    count = max(1, round(len(files) * CHANGED_SHARE))
    return sorted(rng.sample(candidates, count))


def _write_bytes(target, size, material):
    digest = hashlib.sha256(material.encode()).digest()
    generator = numpy.random.PCG64(int.from_bytes(digest[:16], "little"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as out:
        left = size
        while left > 0:
            n = min(left, _CHUNK)
            words = generator.random_raw((n + 7) // 8)
            out.write(words.tobytes()[:n])
            left -= n


def write_versions(kind, seed, folder):
    """Writes folder/v1 and folder/v2 (v2 shares v1's unchanged files as hard links).
    Returns (files, changed) where files is the plan and changed the changed indexes."""
    files = plan(kind, seed)
    code = _code_versions(kind, seed) if kind in _CODE_BUDGETS else None
    if code:
        changed = {i for i, (one, two) in enumerate(zip(*code)) if one != two}
    else:
        changed = set(changed_indexes(kind, seed, files))
    for index, (path, size) in enumerate(files):
        first = os.path.join(folder, "v1", path)
        second = os.path.join(folder, "v2", path)
        for n, target in enumerate([first] + ([second] if index in changed else [])):
            if code:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(code[n][index][1], target)
            else:
                _write_bytes(target, size, f"{kind}:{seed}:{path}:{n + 1}")
        if index not in changed:
            os.makedirs(os.path.dirname(second), exist_ok=True)
            os.link(first, second)
    return files, sorted(changed)


# The compiled-code clients: shared libraries of this machine, taken when the benchmark runs, so
# that the bytes compress as a game's programs and libraries do (the generated clients are noise,
# which does not compress at all). kind -> (bytes to take at most, the size from which a library
# counts as large, how many large ones to take); the smoke's is small, its large library chunked.
_CODE_BUDGETS = {"compiled-code": (256 * MIB, 64 * MIB, 2),
                 "compiled-code-smoke": (24 * MIB, 8 * MIB, 1)}
LIBRARY_ROOT = "/usr/lib"
# Library paths kept as client paths only when every name is plainly valid on Windows too.
_PLAIN_NAME = re.compile(r"[A-Za-z0-9_+-][A-Za-z0-9._+-]*[A-Za-z0-9_+-]")
_RESERVED = {"con", "prn", "aux", "nul"} | {f"{n}{i}" for n in ("com", "lpt") for i in range(10)}


def _plain_path(path):
    names = path.split("/")
    return all(_PLAIN_NAME.fullmatch(n) and n.split(".")[0].lower() not in _RESERVED
               for n in names)


@functools.lru_cache(maxsize=None)
def _libraries():
    """Every shared library (an ELF file named *.so or *.so.*) under LIBRARY_ROOT once, by
    content: [(path under LIBRARY_ROOT, real path, size)], by path. Of names that reach the same
    bytes (links, copies), the first found stands."""
    found = []
    inodes = set()
    for parent, folders, names in os.walk(LIBRARY_ROOT):
        folders.sort()
        for name in sorted(names):
            if not (name.endswith(".so") or ".so." in name):
                continue
            path = os.path.relpath(os.path.join(parent, name), LIBRARY_ROOT)
            real = os.path.realpath(os.path.join(parent, name))
            try:
                status = os.stat(real)
                with open(real, "rb") as f:
                    elf = f.read(4) == b"\x7fELF"
            except OSError:
                continue
            if elf and _plain_path(path) and (status.st_dev, status.st_ino) not in inodes:
                inodes.add((status.st_dev, status.st_ino))
                found.append((path, real, status.st_size))
    by_size = {}
    for library in found:
        by_size.setdefault(library[2], []).append(library)
    kept = []
    folded = set()
    for group in by_size.values():
        digests = set()
        for library in group:
            digest = None
            if len(group) > 1:
                with open(library[1], "rb") as f:
                    digest = hashlib.file_digest(f, "sha256").digest()
            if digest not in digests and library[0].lower() not in folded:
                digests.add(digest)
                folded.add(library[0].lower())
                kept.append(library)
    return sorted(kept)


@functools.lru_cache(maxsize=None)
def _code_versions(kind, seed):
    """The two versions of a compiled-code client as lists of (client path, library file), the
    two programs first. The first takes the largest libraries of the large size (or the largest
    of all when there is none) and then others in an order drawn from the seed, while they fit.
    The second changes 5% of the files by count, never a large one: each is replaced by the
    library of the nearest size that the client does not hold. A new build of compiled code
    differs from the old in nearly every byte and is about as large, which that imitates with
    real code."""
    budget, large, large_count = _CODE_BUDGETS[kind]
    libraries = _libraries()
    fitting = sorted((l for l in libraries if l[2] <= budget), key=lambda l: (-l[2], l[0]))
    largest = [l for l in fitting if l[2] >= large][:large_count] or fitting[:1]
    rest = [l for l in libraries if l not in largest]
    rng = random.Random(f"kelvadon-bench:{kind}:{seed}")
    rng.shuffle(rest)
    taken, total = [], 0
    for library in largest + rest:
        if total + library[2] <= budget:
            taken.append(library)
            total += library[2]
    small = [l for l in taken if l[2] < large]
    if len(small) < 3:
        raise SystemExit(f"bench: too few shared libraries under {LIBRARY_ROOT} for {kind}")
    # Two of the small libraries stand for the programs the launcher starts.
    player, studio = small[:2]
    first = [(PLAYER, player[1]), (STUDIO, studio[1])] + sorted(
        (f"lib/{l[0]}", l[1]) for l in taken if l not in (player, studio))
    sizes = {real: size for _, real, size in libraries}
    spares = sorted((l for l in libraries if l not in taken), key=lambda l: (l[2], l[0]))
    count = max(1, round(len(first) * CHANGED_SHARE))
    candidates = [i for i, (_, real) in enumerate(first) if sizes[real] < large]
    second = list(first)
    for index in sorted(rng.sample(candidates, count)):
        if not spares:
            break
        size = sizes[first[index][1]]
        spare = min(spares, key=lambda l: (abs(l[2] - size), l[0]))
        spares.remove(spare)
        second[index] = (first[index][0], spare[1])
    return tuple(first), tuple(second)


# The repair scenario: a start after 1% of the many-small client's files were deleted, and a full
# check (--repair) of the few-large client. Kept apart from the kinds above; bench.py runs it on
# its own.
REPAIR = "repair"
REPAIR_DELETED_SHARE = 0.01

# The pack-update scenario: one pack of 512 MiB beside the two programs, and three later
# versions of it. Kept apart from the kinds above; bench.py runs it on its own.
PACK_UPDATE = "pack-update"
PACK_PATH = "content/world.pak"
PACK_BYTES = 512 * MIB
# (label, version name) of each edit, in the order they are published and measured.
PACK_EDITS = (("edit 1% in one place", "2.0.0-one-place"),
              ("edit 1% in 20 places", "2.0.0-twenty-places"),
              ("insertion of 1 MiB", "2.0.0-insertion"))
INSERTED_BYTES = 1 * MIB


def _noise(size, material):
    digest = hashlib.sha256(material.encode()).digest()
    generator = numpy.random.PCG64(int.from_bytes(digest[:16], "little"))
    return generator.random_raw((size + 7) // 8).tobytes()[:size]


def pack_edit_regions(label, size=None):
    """(offset, length) of the bytes the edit writes: overwritten for the two edits, inserted
    (the rest shifted behind them) for the insertion."""
    size = PACK_BYTES if size is None else size
    if label == PACK_EDITS[0][0]:
        return [(size * 2 // 5, size // 100)]
    if label == PACK_EDITS[1][0]:
        piece = size // 100 // 20
        return [(size * (2 * i + 1) // 40, piece) for i in range(20)]
    return [(size // 3, INSERTED_BYTES)]


def write_pack_version(seed, folder, label=None):
    """Writes the two programs and the pack into folder: the first version when label is None,
    else that edit of it. Returns the plan as a list of (path, size)."""
    rng = random.Random(f"kelvadon-bench:{PACK_UPDATE}:{seed}")
    files = [(PLAYER, rng.randint(2 * MIB, 6 * MIB)), (STUDIO, rng.randint(2 * MIB, 6 * MIB))]
    for path, size in files:
        _write_bytes(os.path.join(folder, path), size, f"{PACK_UPDATE}:{seed}:{path}")
    pack = bytearray(_noise(PACK_BYTES, f"{PACK_UPDATE}:{seed}:{PACK_PATH}"))
    if label is not None:
        for n, (offset, length) in enumerate(pack_edit_regions(label)):
            new = _noise(length, f"{PACK_UPDATE}:{seed}:{label}:{n}")
            if label == PACK_EDITS[2][0]:
                pack[offset:offset] = new
            else:
                pack[offset:offset + length] = new
    target = os.path.join(folder, PACK_PATH)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as out:
        out.write(pack)
    return files + [(PACK_PATH, len(pack))]
