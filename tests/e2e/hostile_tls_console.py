#!/usr/bin/python3
"""A console that breaks the TLS stream on purpose, for the end-to-end tests.

usage: hostile_tls_console.py CERT KEY MODE RELAY_PORT

Listens on 127.0.0.1 (a free port, printed on the first line of standard
output). The first link completes a TLS handshake with CERT and KEY, then:

  garbage     sends a whole application-data record of 4,091 bytes that
              do not authenticate (what a tampered stream looks like)
  oversized   sends a record header announcing 65,535 bytes (beyond the
              16,384 + 2,048 a TLS record may hold) and that many bytes
  flood       sends 16 MiB of application data in well-formed records
  half-close  sends close_notify, shuts the writing side, keeps reading

and waits until the agent closes the link. Every later link is relayed as
it is to 127.0.0.1:RELAY_PORT (the real console), so the agent's next
attempt reaches a console that is right. Prints "hostile link closed by the
agent after N s" when the agent dropped the first link.
"""
import socket
import ssl
import sys
import threading
import time


def handshake(conn, ctx):
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ctx.wrap_bio(incoming, outgoing, server_side=True)

    def flush():
        data = outgoing.read()
        if data:
            conn.sendall(data)

    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            flush()
            data = conn.recv(65536)
            if not data:
                return None, None
            incoming.write(data)
    flush()
    return tls, flush


def hostile(conn, ctx, mode):
    tls, flush = handshake(conn, ctx)
    if tls is None:
        print("the agent left during the handshake", flush=True)
        return
    start = time.monotonic()
    try:
        if mode == "garbage":
            conn.sendall(b"\x17\x03\x03\x0f\xfb" + bytes(range(256)) * 15 + b"\x5a" * 251)
        elif mode == "oversized":
            conn.sendall(b"\x17\x03\x03\xff\xff" + b"\x5a" * 65535)
        elif mode == "flood":
            block = b"\xff" * 16384
            for _ in range(1024):
                tls.write(block)
                flush()
        elif mode == "half-close":
            try:
                tls.unwrap()
            except ssl.SSLWantReadError:
                pass
            flush()
            conn.shutdown(socket.SHUT_WR)
        conn.settimeout(60)
        while conn.recv(65536):
            pass
    except OSError:
        pass
    print(f"hostile link closed by the agent after {time.monotonic() - start:.1f} s", flush=True)


def pipe(a, b):
    try:
        while True:
            data = a.recv(65536)
            if not data:
                break
            b.sendall(data)
    except OSError:
        pass
    for s in (a, b):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def relay(conn, port):
    try:
        upstream = socket.create_connection(("127.0.0.1", port))
    except OSError:
        conn.close()
        return
    threading.Thread(target=pipe, args=(conn, upstream), daemon=True).start()
    threading.Thread(target=pipe, args=(upstream, conn), daemon=True).start()


def main():
    cert, key, mode, relay_port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    conn, _ = listener.accept()
    threading.Thread(target=hostile, args=(conn, ctx, mode), daemon=True).start()
    while True:
        conn, _ = listener.accept()
        relay(conn, relay_port)


if __name__ == "__main__":
    main()
