#!/usr/bin/env python3
"""A scripted HTTP server for the replies a real server will not send.

Listens on 127.0.0.1 on a free port, prints the port on its first line, and answers each
connection by the path of its request line. It records every request; GET /__requests returns
them. It ends when its standard input closes, so a test that dies cannot leave it behind.
"""
import gzip
import socket
import struct
import sys
import threading
import time
import urllib.parse
import zlib

requests = []
lock = threading.Lock()


def body_reply(body, extra=b"", status=b"200 OK"):
    return (b"HTTP/1.0 " + status + b"\r\nContent-Length: " + str(len(body)).encode() + b"\r\n" + extra +
            b"\r\n" + body)


PAYLOAD = bytes((i * 7 + 3) % 256 for i in range(200000))


def scenario(path, request, conn):
    """Sends the reply for `path`; returns when the connection may be closed normally."""
    if path == "/chunked":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                     b"5\r\nhello\r\n3;ext=1\r\nabc\r\n0\r\n\r\n")
    elif path == "/nolength":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n")
        for piece in (b"first part, ", b"second part, ", b"the end"):
            conn.sendall(piece)
            time.sleep(0.05)
    elif path == "/nolengthreset":
        conn.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + PAYLOAD[:30000])
        time.sleep(0.2)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    elif path == "/chunkedbig":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        pos = 0
        for size in (1, 70000, 3, 65536, 64460):
            conn.sendall(b"%x\r\n" % size + PAYLOAD[pos:pos + size] + b"\r\n")
            pos += size
        conn.sendall(b"0\r\n\r\n")
    elif path == "/signedlength":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: +5\r\n\r\nhello")
    elif path in ("/gzip", "/deflate", "/rawdeflate", "/gziptruncated"):
        if path == "/deflate":
            body, coding = zlib.compress(PAYLOAD), b"deflate"
        elif path == "/rawdeflate":
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            body, coding = packer.compress(PAYLOAD) + packer.flush(), b"deflate"
        else:
            body, coding = gzip.compress(PAYLOAD, mtime=0), b"gzip"
        if path == "/gziptruncated":
            body = body[:len(body) // 2]
        conn.sendall(body_reply(body, b"Content-Encoding: " + coding + b"\r\n"))
    elif path == "/brotli":
        conn.sendall(body_reply(b"\x0b\x02\x80hello\x03", b"Content-Encoding: br\r\n"))
    elif path == "/continueflood":
        try:
            for _ in range(200000):
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n" * 20)
        except OSError:
            pass
    elif path == "/nospace":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length:5\r\n\r\nhello world")
    elif path == "/continue":
        conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 Fine Thanks\r\nContent-Length: 2\r\n\r\nok")
    elif path == "/earlyhints":
        conn.sendall(b"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
                     b"HTTP/1.1 200 Fine Thanks\r\nContent-Length: 2\r\n\r\nok")
    elif path == "/late304":
        # Kept open, and a body follows the 304 a moment later, where the next request's answer
        # would be read; that request itself is never answered here.
        conn.sendall(b"HTTP/1.1 304 Not Modified\r\nETag: \"1\"\r\n\r\n")
        time.sleep(0.2)
        conn.sendall(b"<list>a body no request asked for</list>")
        time.sleep(5)
    elif path == "/always304":
        conn.sendall(b"HTTP/1.0 304 Not Modified\r\n\r\n")
    elif path == "/nostatus":
        conn.sendall(b"just some text\r\nand more")
    elif path == "/stall":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n" + PAYLOAD[:70000])
        time.sleep(6)
    elif path == "/auth":
        conn.sendall(b"HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"news\"\r\n"
                     b"Content-Length: 0\r\n\r\n")
    elif path == "/trickle":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n")
        for i in range(300):
            conn.sendall(PAYLOAD[i:i + 1])
            time.sleep(0.1)
    elif path == "/silent":
        time.sleep(30)
    elif path == "/stallheaders":
        conn.sendall(b"HTTP/1.0 200 OK\r\n")
        time.sleep(6)
    elif path == "/reset":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n" + PAYLOAD[:100000])
        time.sleep(0.2)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    elif path == "/short":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 200000\r\n\r\n" + PAYLOAD[:150000])
    elif path == "/long":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + PAYLOAD[:5000])
    elif path == "/hugeline":
        conn.sendall(b"HTTP/1.0 200 OK\r\nX-Big: " + b"x" * (200 * 1024) + b"\r\nContent-Length: 2\r\n\r\nok")
    elif path == "/manyheaders":
        head = b"".join(b"X-H%d: " % i + b"y" * 1000 + b"\r\n" for i in range(400))
        conn.sendall(b"HTTP/1.0 200 OK\r\n" + head + b"Content-Length: 2\r\n\r\nok")
    elif path == "/endless":
        conn.sendall(b"HTTP/1.0 200 OK\r\nX-Endless: ")
        try:
            for _ in range(100):
                conn.sendall(b"z" * 65536)
        except OSError:
            pass
    elif path == "/badlength":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\nhello")
    elif path == "/hugelength":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nhello")
    elif path == "/negativelength":
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\nhello")
    elif path == "/badchunk":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n")
    elif path == "/hugechunk":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\nhello\r\n0\r\n\r\n")
    elif path == "/blankchunks":
        # Line ends between chunks for as long as the client listens.
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")
        try:
            for _ in range(2000):
                conn.sendall(b"\r\n" * 512)
                time.sleep(0.005)
        except OSError:
            pass
    elif path == "/wrongrange":
        # Asked for the rest of a file, it answers with a piece from elsewhere.
        conn.sendall(b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99/200000\r\n"
                     b"Content-Length: 100\r\nConnection: close\r\n\r\n" + PAYLOAD[:100])
    elif path == "/range200":
        conn.sendall(body_reply(PAYLOAD, b"Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"))
    elif path == "/cookie":
        conn.sendall(body_reply(b"c", b"Set-Cookie: session = abc123 ; Path=/\r\nSet-Cookie: theme=dark\r\n"))
    elif path == "/head":
        conn.sendall(b"HTTP/1.0 204 No Content\r\nContent-Length: 5\r\n\r\nhello")
    elif path == "/notfound":
        conn.sendall(body_reply(b"<h1>missing</h1>", status=b"404 Not Found"))
    elif path == "/split-crlf":
        conn.sendall(b"HTTP/1.0 200 OK\r")
        time.sleep(0.1)
        conn.sendall(b"\nContent-Length: 3\r\n\r")
        time.sleep(0.1)
        conn.sendall(b"\nxyz")
    elif path.startswith("/files/"):
        # A file as an application behind a proxy sends it: no length, the end is the close.
        try:
            with open(urllib.parse.unquote_to_bytes(path[len("/files"):]), "rb") as f:
                body = f.read()
        except OSError:
            conn.sendall(body_reply(b"missing", status=b"404 Not Found"))
            return
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + body)
    elif path.startswith("/kept/"):
        # HTTP/1.1 with a length: the connection stays open. The next request on it is taken
        # and the connection dropped without an answer, as a server whose idle time-out ends
        # just as a request arrives does.
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: " + str(len(path)).encode() + b"\r\n\r\n" +
                     path.encode())
        try:
            if conn.recv(65536):
                with lock:
                    requests.append(b"dropped")
        except OSError:
            pass
    elif path == "/__requests":
        with lock:
            data = b"\x00".join(requests)
        conn.sendall(body_reply(data))
    else:
        conn.sendall(body_reply(request))


def serve(conn):
    try:
        conn.settimeout(10)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        request = data[:data.index(b"\r\n\r\n") + 4]
        path = request.split(b" ")[1].decode("latin-1")
        if path != "/__requests":
            with lock:
                requests.append(request)
        scenario(path, request, conn)
    except OSError:
        pass
    finally:
        conn.close()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(32)
    print(listener.getsockname()[1], flush=True)
    watchdog = threading.Thread(target=lambda: sys.stdin.read(), daemon=True)
    watchdog.start()
    while watchdog.is_alive():
        try:
            listener.settimeout(0.5)
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        except OSError:
            break
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
