"""Synthetic client versions for the benchmark, generated reproducibly from a seed.

The same kind and seed always give the same paths, sizes and bytes: the plan comes from
Python's string-seeded random generator and the bytes from numpy's PCG64 raw output, both of
which are stable across versions.
"""

import hashlib
import os
import random

import numpy

KIB = 1024
MIB = 1024 * KIB

PLAYER = "kelvadon_player.exe"
STUDIO = "kelvadon_studio.exe"

KINDS = ("smoke", "many-small", "few-large", "huge", "far-many-small", "far-one-large",
         "far-smoke-pack")

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
    changed = set(changed_indexes(kind, seed, files))
    for index, (path, size) in enumerate(files):
        first = os.path.join(folder, "v1", path)
        second = os.path.join(folder, "v2", path)
        _write_bytes(first, size, f"{kind}:{seed}:{path}:1")
        if index in changed:
            _write_bytes(second, size, f"{kind}:{seed}:{path}:2")
        else:
            os.makedirs(os.path.dirname(second), exist_ok=True)
            os.link(first, second)
    return files, sorted(changed)


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
