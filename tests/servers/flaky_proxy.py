#!/usr/bin/env python3
"""A proxy in front of a real HTTP server that misbehaves on a share of its connections.

    flaky_proxy.py UPSTREAM_PORT RATE SEED [suffix:TEXT] [cut:BYTES] [FAULT ...]

Listens on 127.0.0.1 on a free port and prints the port on its first line. Each connection is
passed through to the upstream server, except that with probability RATE one fault, chosen at
random from the FAULTs given (all when none are), happens to it:

  reset   the reply is cut off by a reset after a random number of bytes
  short   the reply ends, cleanly closed, after a random number of bytes
  long    bytes of garbage follow the reply
  stall   the reply stops after a random number of bytes and the connection stays open
  norange the Range header is taken out of the request, so a resumed download gets 200
  stale   a cache's old copy: the last byte of the reply is changed, unless the request asks
          caches to revalidate (Cache-Control: no-cache)

With suffix:TEXT only requests whose path ends with TEXT meet faults; with cut:BYTES every cut
falls after that many bytes of the reply.

  inject  (CONNECT only) the proxy answers the tunnel itself and, in the same packet, sends a
          plaintext answer of its own to the request the tunnel is for (the first tunnel a list
          naming evil.txt, every later one that file's archive), then relays the real session
          to the host the CONNECT named

It prints one line per connection on standard error ("fault reset", "pass") and ends when its
standard input closes.
"""
import lzma
import random
import select
import socket
import struct
import sys
import threading
import time
import zlib

upstream_port = int(sys.argv[1])
rate = float(sys.argv[2])
rng = random.Random(int(sys.argv[3]))
args = sys.argv[4:]
suffix = next((a[len("suffix:"):] for a in args if a.startswith("suffix:")), "").encode()
fixed_cut = next((int(a[len("cut:"):]) for a in args if a.startswith("cut:")), None)
faults = [a for a in args if not a.startswith(("suffix:", "cut:"))] or ["reset", "short", "long", "stall", "norange"]
lock = threading.Lock()


EVIL = b"evil\n"
EVIL_ARCHIVE = lzma.compress(EVIL, format=lzma.FORMAT_ALONE)
EVIL_LIST = b'<list><archive filename="evil.txt" original="%08x" size="%d" checksum="%08x"/></list>' % (
    zlib.crc32(EVIL), len(EVIL), zlib.crc32(EVIL_ARCHIVE))
tunnels = [0]


def answer(body):
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body


def inject(conn, authority):
    host, _, port = authority.rpartition(b":")
    with lock:
        forged = EVIL_LIST if tunnels[0] == 0 else EVIL_ARCHIVE
        tunnels[0] += 1
    up = socket.create_connection((host.decode(), int(port)))
    conn.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n" + answer(forged))
    ends = [conn, up]
    while True:
        readable, _, _ = select.select(ends, [], [], 30)
        if not readable:
            break
        for end in readable:
            data = end.recv(65536)
            if not data:
                up.close()
                return
            (up if end is conn else conn).sendall(data)
    up.close()


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return None
        data += piece
    return data


def handle(conn):
    try:
        request = read_request(conn)
        if request is None:
            return
        parts = request.split(b" ", 2)
        path = parts[1] if len(parts) > 2 else b""
        with lock:
            fault = rng.choice(faults) if rng.random() < rate and path.endswith(suffix) else None
            # Half the cuts fall in the status line and headers, half anywhere in a body.
            cut = rng.randint(0, 200) if rng.random() < 0.5 else rng.randint(0, 200000)
            if fixed_cut is not None:
                cut = fixed_cut
        if fault == "stale" and b"cache-control: no-cache" in request.lower():
            fault = None
        sys.stderr.write("fault %s\n" % fault if fault else "pass\n")
        sys.stderr.flush()
        if request.startswith(b"CONNECT "):
            if fault == "inject":
                inject(conn, path)
            return
        head, _, rest = request.partition(b"\r\n\r\n")
        lines = [l for l in head.split(b"\r\n") if not l.lower().startswith((b"connection:", b"keep-alive:"))]
        if fault == "norange":
            lines = [l for l in lines if not l.lower().startswith(b"range:")]
        # One request per connection: the upstream closes after its reply, and so does the proxy.
        request = b"\r\n".join(lines + [b"Connection: close"]) + b"\r\n\r\n" + rest
        up = socket.create_connection(("127.0.0.1", upstream_port))
        up.sendall(request)
        sent = 0
        if fault == "stale":
            reply = b""
            while True:
                piece = up.recv(65536)
                if not piece:
                    break
                reply += piece
            conn.sendall(reply[:-1] + bytes([reply[-1] ^ 0xFF]))
            up.close()
            return
        while True:
            piece = up.recv(65536)
            if not piece:
                break
            if fault in ("reset", "short", "stall") and sent + len(piece) > cut:
                conn.sendall(piece[:cut - sent])
                if fault == "reset":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                elif fault == "stall":
                    time.sleep(30)
                up.close()
                return
            conn.sendall(piece)
            sent += len(piece)
        up.close()
        if fault == "long":
            conn.sendall(b"garbage after the reply " * 100)
    except OSError:
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def main():
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(64)
    print(server.getsockname()[1], flush=True)
    threading.Thread(target=lambda: (sys.stdin.read(), server.close(), __import__("os")._exit(0)), daemon=True).start()
    while True:
        try:
            conn, _ = server.accept()
        except OSError:
            return
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
