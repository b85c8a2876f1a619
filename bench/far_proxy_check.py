"""Checks of the far website's proxy (far_proxy.py), run by bench/run --smoke before the far
mode relies on it. Exits 1 with the failed checks listed.

The delay line is checked on a clock passed in; the proxy itself through real loopback
sockets, where only lower bounds of time are asserted (no byte may arrive early) plus one
generous upper bound that a stop-and-wait line could never meet.
"""

import asyncio
import os
import sys
import time

import far_proxy

failures = []


def check(condition, text):
    if not condition:
        failures.append(text)


def check_delay_line():
    # (name, delay, not_before, pushes as (time, piece), take times, expected pieces per take)
    cases = [
        ("each piece waits its own delay", 1.0, 0.0,
         [(0.0, b"a"), (0.5, b"b"), (0.9, b"c")], [0.99, 1.0, 1.5, 1.9],
         [[], [b"a"], [b"b"], [b"c"]]),
        ("a later piece never passes an earlier one", 1.0, 0.0,
         [(0.0, b"a"), (0.0, b"b"), (0.0, far_proxy.END)], [1.0], [[b"a", b"b", far_proxy.END]]),
        ("nothing before the handshake is over", 1.0, 3.0,
         [(0.0, b"a"), (1.5, b"b"), (2.5, b"c")], [2.99, 3.0, 3.9],
         [[], [b"a", b"b"], [b"c"]]),
        ("pieces keep coming while others wait", 1.0, 0.0,
         [(t / 10, bytes([t])) for t in range(20)], [1.0, 1.45, 2.9],
         [[bytes([0])], [bytes([t]) for t in range(1, 5)], [bytes([t]) for t in range(5, 20)]]),
    ]
    for name, delay, not_before, pushes, takes, expected in cases:
        line = far_proxy.DelayLine(delay, not_before=not_before)
        for at, piece in pushes:
            line.push(piece, at)
        got = [line.take_due(at) for at in takes]
        check(got == expected, f"delay line, {name}: {got} instead of {expected}")
        check(line.held == 0 and line.next_due() is None, f"delay line, {name}: left {line.held}")

    line = far_proxy.DelayLine(1.0, limit=10)
    line.push(b"x" * 6, 0.0)
    check(not line.full(), "delay line: full below its limit")
    line.push(b"y" * 4, 0.1)
    line.push(far_proxy.CLOSE, 0.2)
    check(line.full() and line.held == 10, "delay line: not full at its limit")
    line.take_due(1.0)
    check(not line.full() and line.held == 4, "delay line: still full once a piece left")


async def through_proxy(delay):
    """An echo server behind the proxy; returns what the checks need to know."""
    loop = asyncio.get_running_loop()

    async def echo(reader, writer):
        while True:
            data = await reader.read(1 << 16)
            if not data:
                break
            writer.write(data)
            await writer.drain()
        writer.write(b"bye")
        writer.close()

    upstream = await asyncio.start_server(echo, "127.0.0.1", 0)
    ready = loop.create_future()
    proxy = loop.create_task(far_proxy.serve(
        ("127.0.0.1", 0), upstream.sockets[0].getsockname()[:2], delay, ready.set_result))
    port = await ready
    found = {}
    try:
        # The first answer pays the handshake's round trip and one of its own.
        started = time.monotonic()
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"ping")
        found["first answer"] = (await reader.readexactly(4), time.monotonic() - started)
        started = time.monotonic()
        writer.write(b"pong")
        found["second answer"] = (await reader.readexactly(4), time.monotonic() - started)
        # 200 pieces written back to back: a delay line brings them all back within a few
        # delays, where one after another would take 200 round trips.
        data = os.urandom(4 << 20)
        pieces = [data[i:i + len(data) // 200] for i in range(0, len(data), len(data) // 200)]
        started = time.monotonic()
        for piece in pieces:
            writer.write(piece)
            await asyncio.sleep(0)
        back = await reader.readexactly(len(data))
        found["stream"] = (back == data, time.monotonic() - started)
        # A half-close reaches the server, whose last words and close come back.
        writer.write_eof()
        found["after half-close"] = await asyncio.wait_for(reader.read(), 10)
        writer.close()
    finally:
        proxy.cancel()
        upstream.close()
    return found


def check_proxy():
    delay = 0.05
    found = asyncio.run(through_proxy(delay))
    data, seconds = found["first answer"]
    check(data == b"ping" and seconds >= 4 * delay,
          f"proxy: first answer {data!r} after {seconds:.3f} s, expected after {4 * delay} s")
    data, seconds = found["second answer"]
    check(data == b"pong" and seconds >= 2 * delay,
          f"proxy: second answer {data!r} after {seconds:.3f} s, expected after {2 * delay} s")
    same, seconds = found["stream"]
    check(same, "proxy: the streamed bytes came back changed")
    check(2 * delay <= seconds < 40 * delay,
          f"proxy: 200 pieces took {seconds:.3f} s, expected {2 * delay} s to {40 * delay} s")
    check(found["after half-close"] == b"bye",
          f"proxy: after a half-close got {found['after half-close']!r} instead of b'bye'")


def main():
    check_delay_line()
    check_proxy()
    if failures:
        print("far proxy checks failed:\n  " + "\n  ".join(failures), file=sys.stderr)
        return 1
    print("far proxy checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
