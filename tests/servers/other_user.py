#!/usr/bin/env python3
"""Another local user's program, for the attacks on the launcher's instance channel.

  other_user.py squat NAME LOG   binds the abstract socket NAME first, listens, and appends what
                                 each connection sends to LOG, one line each, until stdin closes
  other_user.py send NAME TEXT   connects to the abstract socket NAME and sends TEXT

The tests run it as another user (setpriv), so the launcher meets a stranger's process.
"""
import socket
import sys
import threading


def squat(name, log_path):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(b"\0" + name.encode())
    listener.listen(8)
    print("listening", flush=True)
    watchdog = threading.Thread(target=lambda: sys.stdin.read(), daemon=True)
    watchdog.start()
    listener.settimeout(0.2)
    while watchdog.is_alive():
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        conn.settimeout(2)
        data = b""
        try:
            while True:
                piece = conn.recv(4096)
                if not piece:
                    break
                data += piece
        except OSError:
            pass
        conn.close()
        with open(log_path, "ab") as log:
            log.write(data + b"\n")


def send(name, text):
    conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    conn.connect(b"\0" + name.encode())
    try:
        conn.sendall(text.encode())
    except OSError:
        pass  # the launcher may hang up at once on a stranger
    conn.close()
    print("sent", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "squat":
        squat(sys.argv[2], sys.argv[3])
    else:
        send(sys.argv[2], sys.argv[3])
