#!/usr/bin/env python3
"""Writes launcher.ico: a dark tile with a green K, at 16, 32 and 48 pixels (32-bit BMP entries)."""
import struct
import sys


def pixel(x, y, n):
    # Coordinates scaled to a 0..1 square; the tile has rounded corners.
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    stem = 0.28 <= u <= 0.42 and 0.2 <= v <= 0.8
    # The two arms of the K meet the stem at mid-height.
    d_upper = abs((v - 0.5) + (u - 0.42) * 1.1)
    d_lower = abs((v - 0.5) - (u - 0.42) * 1.1)
    arm = u >= 0.40 and u <= 0.76 and (d_upper < 0.09 and v <= 0.52 or d_lower < 0.09 and v >= 0.48)
    if stem or arm:
        return (80, 200, 110, 255)
    return (24, 26, 30, 255)


def entry(n):
    rows = []
    for y in range(n - 1, -1, -1):  # BMP rows run bottom-up
        row = b"".join(struct.pack("BBBB", b, g, r, a) for (r, g, b, a) in (pixel(x, y, n) for x in range(n)))
        rows.append(row)
    xor = b"".join(rows)
    mask_row = ((n + 31) // 32) * 4
    and_mask = b"\0" * (mask_row * n)
    header = struct.pack("<IiiHHIIiiII", 40, n, n * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


def main(path):
    sizes = [16, 32, 48]
    images = [entry(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "launcher.ico")
