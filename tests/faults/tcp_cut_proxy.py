#!/usr/bin/env python3
"""Loopback TCP proxy in front of the emulator's PostgreSQL server that cuts the connections it
carries, holds answers back like a distant database, and counts round trips.

Listens on 127.0.0.1 (a free port unless --port is given) and forwards each connection to
127.0.0.1:TARGET. What it cuts (--cuts):
  requests  every CUT_EVERY-th request that holds an INSERT is forwarded, and its connection is
            reset CUT_DELAY seconds later (at once by default), on both sides (SO_LINGER 0, so
            the peers see a reset, not an orderly close): the server may still run it;
  commit    every CUT_EVERY-th COMMIT a client sends (alone, or as the last statement of a
            request) is forwarded, then the connection is reset as soon as the server's answer
            reaches the proxy: the transaction is committed, the client never learns it;
  interval  every CUT_MIN..CUT_MAX seconds, counted from the first connection, it resets all open
            connections (by the clock: for trying things by hand, not for tests);
  none      nothing.
Without --cut-every, commit mode arms every CUT_MIN..CUT_MAX seconds instead.
With --latency it holds each answer of the server back that many seconds, measured from when it
reached the proxy, as a distant database would.

The proxy follows the PostgreSQL protocol in both directions to find COMMITs and to count round
trips (one per ReadyForQuery from the server). With --request-log it writes one JSON line per
round trip: {"connection", "requests": [first bytes of each statement sent], "statements"}.
Writes its port to --port-file once it listens, ends by itself after --lifetime seconds, and
prints what it did on exit.
"""

import argparse
import asyncio
import json
import os
import random
import signal
import socket
import struct
import sys
import time

LOOPBACK = "127.0.0.1"
SSL_REQUEST = 80877103
GSSENC_REQUEST = 80877104
# Characters of each statement kept in the request log: enough to tell statements apart.
LOGGED_PREFIX = 80
# A COMMIT whose answer does not come within this many seconds is cut all the same.
COMMIT_ANSWER_WAIT = 5.0


class MessageStream:
    """Splits one direction of a PostgreSQL connection into messages.

    A client's first message has no type byte (startup, or a request for encryption that is
    answered with one byte and followed by the startup); everything after it is typed.
    """

    def __init__(self, untyped):
        self.buffer = bytearray()
        self.untyped = untyped
        self.single_bytes = 0
        self.readable = True

    def feed(self, data):
        if not self.readable:
            return []
        self.buffer += data
        messages = []
        while True:
            if self.single_bytes > 0:
                if not self.buffer:
                    break
                kind = chr(self.buffer[0])
                del self.buffer[:1]
                self.single_bytes -= 1
                messages.append(("answer", kind.encode()))
                continue
            header = 4 if self.untyped > 0 else 5
            if len(self.buffer) < header:
                break
            length = struct.unpack_from("!I", self.buffer, header - 4)[0]
            total = header - 4 + length
            if length < 4:
                self.readable = False
                break
            if len(self.buffer) < total:
                break
            if self.untyped > 0:
                self.untyped -= 1
                body = bytes(self.buffer[4:total])
                code = struct.unpack_from("!I", body, 0)[0] if len(body) >= 4 else 0
                messages.append(("untyped", code))
            else:
                messages.append((chr(self.buffer[0]), bytes(self.buffer[5:total])))
            del self.buffer[:total]
        return messages


def statement_text(kind, body):
    """The SQL text of a simple query ('Q') or a Parse ('P') message, else None."""
    if kind == "Q":
        return body.split(b"\0", 1)[0].decode("utf-8", "replace")
    if kind == "P":
        parts = body.split(b"\0", 2)
        return parts[1].decode("utf-8", "replace") if len(parts) > 1 else None
    return None


def is_commit(text):
    """A COMMIT on its own, or a request of several statements that ends with one."""
    last = text.strip().rstrip(";").rsplit(";", 1)[-1]
    return last.strip().upper() in ("COMMIT", "COMMIT WORK", "END")


class Connection:
    def __init__(self, number):
        self.number = number
        self.writers = ()
        self.client = MessageStream(untyped=1)
        self.server = MessageStream(untyped=0)
        self.statements = []
        self.commit_forwarded = False
        self.closed = False


class Proxy:
    def __init__(self, args):
        self.target = args.target
        self.latency = args.latency
        self.cut_mode = args.cuts
        self.cut_min = args.cut_min
        self.cut_max = args.cut_max
        self.cut_every = args.cut_every
        self.cut_delay = args.cut_delay
        self.inserts = 0
        self.request_log = open(args.request_log, "w") if args.request_log else None
        self.open = set()
        self.connections = 0
        self.cuts = 0
        self.reset_connections = 0
        self.round_trips = 0
        self.commits = 0
        self.armed = False
        self.first_connection = asyncio.Event()

    async def handle(self, client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(LOOPBACK, self.target)
        except OSError:
            abort(client_writer)
            return
        self.connections += 1
        self.first_connection.set()
        connection = Connection(self.connections)
        connection.writers = (client_writer, server_writer)
        self.open.add(connection)
        try:
            await asyncio.gather(self.from_client(connection, client_reader, server_writer),
                                 self.from_server(connection, server_reader, client_writer))
        finally:
            self.close(connection)

    def close(self, connection):
        self.open.discard(connection)
        connection.closed = True
        for writer in connection.writers:
            abort(writer)

    def reset(self, connection):
        self.reset_connections += 1
        self.close(connection)

    async def from_client(self, connection, reader, writer):
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                for kind, body in connection.client.feed(data):
                    self.client_message(connection, kind, body)
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            pass
        finally:
            abort(writer)

    def client_message(self, connection, kind, body):
        if kind == "untyped":
            if body in (SSL_REQUEST, GSSENC_REQUEST):
                # One byte answers it; the startup message follows, untyped as well.
                connection.client.untyped += 1
                connection.server.single_bytes += 1
            return
        text = statement_text(kind, body)
        if text is None:
            return
        connection.statements.append(text)
        if self.cut_mode == "requests" and "INSERT" in text.upper():
            self.inserts += 1
            if self.inserts % self.cut_every == 0:
                # After the request went on to the server: it is cut while it runs.
                asyncio.get_running_loop().call_later(
                    self.cut_delay, self.cut_request, connection)
        if is_commit(text):
            self.commits += 1
            if self.cut_mode == "commit" and self.cut_every > 0:
                self.armed = self.commits % self.cut_every == 0
            if self.cut_mode == "commit" and self.armed:
                self.armed = False
                connection.commit_forwarded = True
                asyncio.get_running_loop().call_later(
                    COMMIT_ANSWER_WAIT, self.cut_after_commit, connection)

    def cut_request(self, connection):
        if not connection.closed:
            self.cuts += 1
            self.reset(connection)

    def cut_after_commit(self, connection):
        if connection.commit_forwarded and not connection.closed:
            connection.commit_forwarded = False
            self.cuts += 1
            self.reset(connection)

    def server_message(self, connection, kind, body):
        if kind == "answer" and body == b"S":
            # Encrypted from here on: nothing more to read on either side.
            connection.client.readable = False
            connection.server.readable = False
        elif kind == "Z":
            self.round_trips += 1
            if self.request_log is not None:
                self.log_round_trip(connection)
            connection.statements = []

    def log_round_trip(self, connection):
        requests = []
        for text in connection.statements:
            requests.extend(piece.strip()[:LOGGED_PREFIX] for piece in text.split(";\n"))
        entry = {"connection": connection.number, "time": round(time.monotonic(), 4),
                 "requests": requests, "statements": len(connection.statements)}
        self.request_log.write(json.dumps(entry) + "\n")

    async def from_server(self, connection, reader, writer):
        queue = asyncio.Queue()
        forward = asyncio.create_task(self.forward_later(queue, writer))
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                if connection.commit_forwarded:
                    # The COMMIT's answer: dropped, and the connection with it.
                    connection.commit_forwarded = False
                    self.cuts += 1
                    self.reset(connection)
                    break
                for kind, body in connection.server.feed(data):
                    self.server_message(connection, kind, body)
                queue.put_nowait((time.monotonic() + self.latency, data))
        except (ConnectionError, OSError):
            pass
        finally:
            queue.put_nowait((0.0, None))
            await forward

    async def forward_later(self, queue, writer):
        try:
            while True:
                due, data = await queue.get()
                if data is None:
                    break
                delay = due - time.monotonic()
                if delay > 0:
                    await asyncio.sleep(delay)
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            pass
        finally:
            abort(writer)

    async def cut_forever(self):
        # The clock starts with the first connection, so a slow client start costs no cut.
        await self.first_connection.wait()
        while True:
            await asyncio.sleep(random.uniform(self.cut_min, self.cut_max))
            if self.cut_mode == "commit":
                self.armed = True
                continue
            self.cuts += 1
            for connection in list(self.open):
                self.reset(connection)

    def summary(self):
        return (f"tcp_cut_proxy: {self.connections} connections, {self.cuts} cuts, "
                f"{self.reset_connections} connections reset, {self.commits} commits, "
                f"{self.round_trips} round trips")


def abort(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    writer.transport.abort()


async def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target", type=int, required=True, help="port on 127.0.0.1 to forward to")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: free)")
    parser.add_argument("--port-file", help="file that receives the listening port")
    parser.add_argument("--cuts", choices=("requests", "commit", "interval", "none"),
                        default="requests")
    parser.add_argument("--cut-every", type=int, default=0,
                        help="cut every N-th request with an INSERT, or every N-th COMMIT")
    parser.add_argument("--cut-delay", type=float, default=0.0,
                        help="seconds between forwarding a request and cutting it (requests)")
    parser.add_argument("--cut-min", type=float, default=2.0)
    parser.add_argument("--cut-max", type=float, default=3.0)
    parser.add_argument("--latency", type=float, default=0.0,
                        help="seconds each answer of the server is held back")
    parser.add_argument("--request-log", help="file that receives one JSON line per round trip")
    parser.add_argument("--lifetime", type=float, default=300.0, help="seconds before exiting")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    if args.cuts == "requests" and args.cut_every < 1:
        parser.error("--cuts requests needs --cut-every N (N >= 1)")
    if args.seed is not None:
        random.seed(args.seed)

    proxy = Proxy(args)
    server = await asyncio.start_server(proxy.handle, LOOPBACK, args.port)
    port = server.sockets[0].getsockname()[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write(f"{port}\n")
        # Renamed into place, so a reader never sees a half-written file.
        os.replace(args.port_file + ".tmp", args.port_file)

    stop = asyncio.get_running_loop().create_future()
    for signum in (signal.SIGTERM, signal.SIGINT):
        asyncio.get_running_loop().add_signal_handler(
            signum, lambda: stop.done() or stop.set_result(None))
    clock = args.cuts == "interval" or (args.cuts == "commit" and args.cut_every == 0)
    cutter = asyncio.create_task(proxy.cut_forever()) if clock else None
    try:
        await asyncio.wait_for(stop, timeout=args.lifetime)
    except asyncio.TimeoutError:
        pass
    if cutter is not None:
        cutter.cancel()
    server.close()
    for connection in list(proxy.open):
        proxy.close(connection)
    if proxy.request_log is not None:
        proxy.request_log.close()
    print(proxy.summary(), file=sys.stderr)


if __name__ == "__main__":
    asyncio.run(main())
