#!/usr/bin/python3
# latencyproxy.py TARGET_PORT [--delay MS] [--mbit N]: a TCP proxy that makes a
# server on 127.0.0.1:TARGET_PORT look distant, for the tests and benchmarks.
# It listens on a free loopback port, printed alone on the first line of
# stdout, and passes the bytes both ways unchanged (TLS and HTTP/2 as well),
# each direction late by MS/2 ms (a round trip costs MS, 50 by default) and
# throttled to N Mbit/s (1000 by default) by a token bucket for each
# direction that all the connections share.  The bytes are late, not the
# reads: what is sent at T arrives at T + MS/2, what follows pipelined behind
# it.  A new connection's first bytes wait one round trip more, as TCP's
# handshake would have them.  After each connection opens or closes it prints
# "connections OPEN most MOST".  When either side closes, the other is closed
# once what was sent before has arrived.  Stops on SIGTERM.
import argparse, asyncio, collections, signal
from time import monotonic as now      # the clock of asyncio's loop

HIGH = 8 << 20       # bytes held for one direction of a connection before its sender is paused


class Bucket:
    """Tokens (bytes) come at rate a second, up to depth; bytes wait in turn for theirs."""
    def __init__(self, rate, depth=65536):
        self.rate, self.depth, self.tokens, self.at = rate, depth, depth, 0.0

    def departure(self, size):
        t = now()
        self.tokens = min(self.depth, self.tokens + (t - self.at) * self.rate) - size
        self.at = t
        return t + max(0.0, -self.tokens / self.rate)


class Side(asyncio.Protocol):
    """One socket of a connection.  What it receives waits in a queue of (when
    due, bytes; None at the end) until due, then goes to the peer's socket."""
    def __init__(self, link, bucket):
        self.link, self.bucket, self.peer, self.transport = link, bucket, None, None
        self.queue, self.held, self.timer, self.last, self.peer_full = collections.deque(), 0, None, 0.0, False

    def connection_made(self, transport):
        self.transport = transport
        if self.peer.timer is None:
            self.peer.flush()  # what the client sent while this side was being connected

    def data_received(self, data):
        link = self.link
        leaves = max(self.bucket.departure(len(data)), link.opened + link.rtt if self is link.client else 0)
        self.push(leaves + link.rtt / 2, data)

    def eof_received(self):
        return self.push(now() + self.link.rtt / 2, None) or True

    def connection_lost(self, exc):
        self.transport = None
        self.eof_received()

    def push(self, due, data):
        self.last = max(self.last, due)      # in order, whatever the bucket's rounding
        self.queue.append((self.last, data))
        self.held += len(data or b'')
        if self.timer is None and not self.link.closed:
            self.timer = asyncio.get_running_loop().call_at(self.queue[0][0], self.flush)
        self.pace()

    def flush(self):
        """Writes to the peer what is due, then waits for what comes next."""
        self.timer = None
        if not self.peer.transport or self.link.closed:
            return             # flushed again once the peer's socket is connected
        while self.queue and self.queue[0][0] <= now():
            data = self.queue.popleft()[1]
            if data is None:
                return self.link.close()
            self.held -= len(data)
            self.peer.transport.write(data)
        if self.queue:
            self.timer = asyncio.get_running_loop().call_at(self.queue[0][0], self.flush)
        self.pace()

    def pace(self):
        """Reads no more while too much is held or the peer's socket takes no more."""
        if self.transport and not self.link.closed:
            (self.transport.pause_reading if self.held > HIGH or self.peer_full else self.transport.resume_reading)()

    def pause_writing(self, full=True):
        self.peer.peer_full = full
        self.peer.pace()

    def resume_writing(self):
        self.pause_writing(False)


class Link:
    """A connection: the client's side and the target's."""
    open = most = 0

    def __init__(self, args, up, down):
        self.rtt, self.opened, self.closed = args.delay / 1000, now(), False
        self.client, self.target = Side(self, up), Side(self, down)
        self.client.peer, self.target.peer = self.target, self.client
        Link.count(1)
        loop = asyncio.get_running_loop()
        connecting = loop.create_task(loop.create_connection(lambda: self.target, '127.0.0.1', args.target))
        connecting.add_done_callback(lambda done: done.cancelled() or done.exception() and self.close())

    def close(self):
        if not self.closed:
            self.closed = True
            for side in (self.client, self.target):
                if side.timer:
                    side.timer.cancel()
                if side.transport:
                    side.transport.close()      # once what it holds is written
            Link.count(-1)

    @staticmethod
    def count(change):
        Link.open += change
        Link.most = max(Link.most, Link.open)
        print('connections %d most %d' % (Link.open, Link.most), flush=True)


async def main():
    parser = argparse.ArgumentParser(description='A TCP proxy on loopback with a latency and a bandwidth.')
    parser.add_argument('target', type=int)
    parser.add_argument('--delay', type=float, default=50, help='the round trip, ms')
    parser.add_argument('--mbit', type=float, default=1000, help='Mbit/s each way')
    args = parser.parse_args()
    up, down = Bucket(args.mbit * 125000), Bucket(args.mbit * 125000)
    server = await asyncio.get_running_loop().create_server(lambda: Link(args, up, down).client, '127.0.0.1', 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()


if __name__ == '__main__':
    asyncio.run(main())
