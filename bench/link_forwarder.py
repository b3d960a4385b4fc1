#!/usr/bin/env python3
"""An internet-like link on 127.0.0.1, for benchmarks: this kernel has no traffic shaping.

    link_forwarder.py UPSTREAM_PORT RTT_MS DOWN_MBIT

Listens on a free port of 127.0.0.1 and prints it on its first line. Each connection is passed
to the upstream port with every byte delayed by half the round trip in each direction, and a
new connection's first bytes wait one more round trip, as a handshake costs. Everything the
server sends shares one downlink of DOWN_MBIT megabits a second (0: no limit). It ends when its
standard input closes, and then prints "bytes DOWN UP": what it carried each way.
"""
import asyncio
import sys
import time

upstream_port = int(sys.argv[1])
half = int(sys.argv[2]) / 2000.0
rate = float(sys.argv[3]) * 1e6 / 8  # bytes a second
downlink_free_at = 0.0  # when the shared downlink has sent what was queued before
carried = {True: 0, False: 0}  # bytes carried, down (shaped) and up


def downlink_slot(size):
    """The time at which `size` bytes have passed the shared downlink."""
    global downlink_free_at
    if rate <= 0:
        return time.monotonic()
    start = max(time.monotonic(), downlink_free_at)
    downlink_free_at = start + size / rate
    return downlink_free_at


async def pipe(reader, writer, delay, shaped):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(16384)
            if not data:
                break
            carried[shaped] += len(data)
            # A burst waits for its turn on the downlink, then travels half the round trip.
            sent = downlink_slot(len(data)) if shaped else time.monotonic()
            await queue.put((sent + delay, data))
            # Back-pressure: do not read far ahead of what the link has delivered.
            while queue.qsize() > 64:
                await asyncio.sleep(0.001)
    except OSError:
        pass
    await queue.put((time.monotonic() + delay, None))
    try:
        await sender
    except OSError:
        pass


async def handle(client_reader, client_writer):
    try:
        # The handshake: a round trip before the connection carries anything.
        await asyncio.sleep(2 * half)
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
        await asyncio.gather(pipe(client_reader, up_writer, half, False),
                             pipe(up_reader, client_writer, half, True))
    except OSError:
        pass
    finally:
        client_writer.close()


async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=256)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()
    print("bytes %d %d" % (carried[True], carried[False]), flush=True)


asyncio.run(main())
