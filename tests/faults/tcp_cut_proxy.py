#!/usr/bin/env python3
"""Loopback TCP proxy that cuts every connection it carries every few seconds.

Listens on 127.0.0.1 (a free port unless --port is given), forwards each connection to
127.0.0.1:TARGET, and every CUT_MIN..CUT_MAX seconds resets all open connections on both sides
(SO_LINGER 0, so the peers see a reset, not an orderly close), counted from the first
connection. Writes its port to --port-file once it listens, ends by itself after --lifetime
seconds, and prints what it did on exit. With --latency it holds each answer of the server
back, as a distant database would, so that a run lasts long enough to be cut.
"""

import argparse
import asyncio
import os
import random
import signal
import socket
import struct
import sys

LOOPBACK = "127.0.0.1"


class Proxy:
    def __init__(self, target, cut_min, cut_max, latency):
        self.target = target
        self.latency = latency
        self.cut_min = cut_min
        self.cut_max = cut_max
        self.open = set()
        self.connections = 0
        self.cuts = 0
        self.reset_connections = 0
        self.first_connection = asyncio.Event()

    async def handle(self, client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(LOOPBACK, self.target)
        except OSError:
            abort(client_writer)
            return
        self.connections += 1
        self.first_connection.set()
        pair = (client_writer, server_writer)
        self.open.add(pair)
        try:
            await asyncio.gather(pump(client_reader, server_writer, 0.0),
                                 pump(server_reader, client_writer, self.latency))
        finally:
            self.open.discard(pair)
            for writer in pair:
                abort(writer)

    async def cut_forever(self):
        # The clock starts with the first connection, so a slow client start costs no cut.
        await self.first_connection.wait()
        while True:
            await asyncio.sleep(random.uniform(self.cut_min, self.cut_max))
            self.cuts += 1
            for pair in list(self.open):
                self.reset_connections += 1
                for writer in pair:
                    abort(writer)
            self.open.clear()


def abort(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    writer.transport.abort()


async def pump(reader, writer, latency):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            if latency > 0:
                await asyncio.sleep(latency)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        abort(writer)


async def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--target", type=int, required=True, help="port on 127.0.0.1 to forward to")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: free)")
    parser.add_argument("--port-file", help="file that receives the listening port")
    parser.add_argument("--cut-min", type=float, default=2.0)
    parser.add_argument("--cut-max", type=float, default=3.0)
    parser.add_argument("--latency", type=float, default=0.0,
                        help="seconds each answer of the server is held back")
    parser.add_argument("--lifetime", type=float, default=300.0, help="seconds before exiting")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    if args.seed is not None:
        random.seed(args.seed)

    proxy = Proxy(args.target, args.cut_min, args.cut_max, args.latency)
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
    cutter = asyncio.create_task(proxy.cut_forever())
    try:
        await asyncio.wait_for(stop, timeout=args.lifetime)
    except asyncio.TimeoutError:
        pass
    cutter.cancel()
    server.close()
    for pair in list(proxy.open):
        for writer in pair:
            abort(writer)
    print(f"tcp_cut_proxy: {proxy.connections} connections, {proxy.cuts} cuts, "
          f"{proxy.reset_connections} connections reset", file=sys.stderr)


if __name__ == "__main__":
    asyncio.run(main())
