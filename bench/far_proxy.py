"""A TCP proxy that makes a website on loopback look far away: every byte, in each direction,
reaches the other side a fixed delay after it arrived, and a new connection pays one round trip
for its handshake before its first byte moves.

The delay is a delay line, not a stop-and-wait: bytes keep being read while earlier ones wait
their turn, so a connection moves as much as its two ends do, just later. Each direction holds at
most a few MiB before it stops reading, which keeps memory bounded and leaves the pace to TCP.

    far_proxy.py --upstream 127.0.0.1:8080 [--listen 127.0.0.1:0] [--delay-ms 20]

Prints "listening PORT" once it accepts connections, and runs until it is stopped (SIGTERM or
SIGINT).
"""

import argparse
import asyncio
import collections
import signal
import socket
import sys

# What one direction of one connection holds before it stops reading: well above what 20 MB/s
# keeps in flight for 20 ms (400 KB), so the line never paces a connection itself.
LINE_LIMIT = 8 * 1024 * 1024

# Markers carried through the line after the data before them.
END = "end"  # the sender half-closed: pass the half-close on
CLOSE = "close"  # the sender's connection is gone: close the other side once its data is out
RESET = "reset"  # the sender's connection was reset: reset the other side


class DelayLine:
    """Pieces of one direction in arrival order, each due `delay` seconds after it arrived, and
    none before `not_before` (the far end of a new connection's handshake). Time is passed in,
    so the line can be checked without a clock."""

    def __init__(self, delay, limit=LINE_LIMIT, not_before=0.0):
        self.delay = delay
        self.limit = limit
        self.not_before = not_before
        self.pieces = collections.deque()
        self.held = 0

    def push(self, piece, now):
        """Adds bytes or a marker that arrived at `now`."""
        self.pieces.append((max(now + self.delay, self.not_before), piece))
        if isinstance(piece, bytes):
            self.held += len(piece)

    def full(self):
        return self.held >= self.limit

    def next_due(self):
        return self.pieces[0][0] if self.pieces else None

    def take_due(self, now):
        """Removes and returns, in order, every piece due at `now` or earlier."""
        out = []
        while self.pieces and self.pieces[0][0] <= now:
            _, piece = self.pieces.popleft()
            if isinstance(piece, bytes):
                self.held -= len(piece)
            out.append(piece)
        return out


class Side(asyncio.Protocol):
    """One socket of a proxied connection: what it reads goes into `line`, towards `peer`."""

    def __init__(self, link, name):
        self.link = link
        self.name = name
        self.transport = None
        self.peer = None
        self.line = None
        self.timer = None
        # Reading stops while our line is full or the peer's socket has a backlog.
        self.line_full = False
        self.peer_backlog = False
        self.reading_paused = False
        # Half-closes seen from this socket and passed on to it; with both, it is done.
        self.eof_in = False
        self.eof_out = False
        self.closed = False

    # asyncio.Protocol

    def connection_made(self, transport):
        self.transport = transport
        transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.link.side_ready(self)

    def data_received(self, data):
        self._push(data)
        if self.line.full():
            self.line_full = True
            self._update_reading()

    def eof_received(self):
        self.eof_in = True
        self._push(END)
        self._close_when_done()
        return True  # keep the other direction open until the peer half-closes too

    def connection_lost(self, exc):
        self.closed = True
        self._push(RESET if exc is not None else CLOSE)

    def pause_writing(self):
        if self.peer is not None:
            self.peer.peer_backlog = True
            self.peer._update_reading()

    def resume_writing(self):
        if self.peer is not None:
            self.peer.peer_backlog = False
            self.peer._update_reading()

    # The line

    def _push(self, piece):
        loop = self.link.loop
        self.line.push(piece, loop.time())
        if self.timer is None:
            self._schedule()

    def _schedule(self):
        due = self.line.next_due()
        if due is not None and self.peer is not None and self.peer.transport is not None:
            self.timer = self.link.loop.call_at(due, self._deliver)

    def _deliver(self):
        self.timer = None
        peer = self.peer
        for piece in self.line.take_due(self.link.loop.time()):
            if peer.closed or peer.transport.is_closing():
                continue
            try:
                if piece == END:
                    peer.transport.write_eof()
                    peer.eof_out = True
                    peer._close_when_done()
                elif piece == CLOSE:
                    peer.transport.close()
                elif piece == RESET:
                    peer.transport.abort()
                else:
                    peer.transport.write(piece)
            except OSError:
                # The peer went away before its half-close: nothing more can reach it.
                peer.transport.abort()
        if self.line_full and not self.line.full():
            self.line_full = False
            self._update_reading()
        self._schedule()

    def _close_when_done(self):
        if self.eof_in and self.eof_out and not self.transport.is_closing():
            self.transport.close()

    def _update_reading(self):
        if self.closed or self.transport is None:
            return
        pause = self.line_full or self.peer_backlog
        if pause and not self.reading_paused:
            self.transport.pause_reading()
        elif not pause and self.reading_paused:
            self.transport.resume_reading()
        self.reading_paused = pause


class Link:
    """One client connection and its connection to the upstream website."""

    def __init__(self, loop, delay, upstream):
        self.loop = loop
        self.client = Side(self, "client")
        self.server = Side(self, "server")
        self.client.peer, self.server.peer = self.server, self.client
        now = loop.time()
        # A real handshake takes a round trip before the client's first byte leaves, which then
        # takes one more delay to arrive.
        self.client.line = DelayLine(delay, not_before=now + 3 * delay)
        self.server.line = DelayLine(delay)
        self.upstream = upstream

    def side_ready(self, side):
        if side is self.client:
            self.loop.create_task(self._connect())
        else:
            # Bytes the client sent while the upstream connection was being made can go now.
            if self.client.timer is None:
                self.client._schedule()

    async def _connect(self):
        try:
            await self.loop.create_connection(lambda: self.server, *self.upstream)
        except OSError:
            self.client.transport.abort()


async def serve(listen, upstream, delay, ready=None):
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: Link(loop, delay, upstream).client, *listen,
                                      reuse_address=True)
    port = server.sockets[0].getsockname()[1]
    if ready is not None:
        ready(port)
    async with server:
        await server.serve_forever()


def address(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--upstream", type=address, required=True)
    parser.add_argument("--listen", type=address, default=("127.0.0.1", 0))
    parser.add_argument("--delay-ms", type=float, default=20.0, help="each way")
    args = parser.parse_args()

    def announce(port):
        print(f"listening {port}", flush=True)

    loop = asyncio.new_event_loop()
    task = loop.create_task(serve(args.listen, args.upstream, args.delay_ms / 1000, announce))
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, task.cancel)
    try:
        loop.run_until_complete(task)
    except asyncio.CancelledError:
        pass
    finally:
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
