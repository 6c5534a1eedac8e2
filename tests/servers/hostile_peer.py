#!/usr/bin/env python3
"""Servers that misbehave, on 127.0.0.1: each mode of each protocol on a port of its own,
from --base up in the order of MODES. Prints "ready" once all listen; runs until killed.

  stall    accept (or take the request) and never answer
  close    answer the start of a proper reply, then close mid-transfer
  short    announce a size and send less (HTTP)
  long     announce a size and send more (HTTP)
  garbage  answer bytes that mean nothing in the protocol
  error    a proper protocol error (TFTP)
  block    a TFTP DATA packet with the wrong block number
"""
import argparse
import os
import socket
import struct
import sys
import threading
import time

MODES = [
    ("http", "stall"), ("http", "close"), ("http", "short"), ("http", "long"),
    ("http", "garbage"), ("ssh", "stall"), ("ssh", "close"), ("ssh", "garbage"),
    ("ftp", "stall"), ("ftp", "close"), ("ftp", "garbage"), ("tftp", "stall"),
    ("tftp", "garbage"), ("tftp", "error"), ("tftp", "block"),
]
JUNK = bytes(range(256)) * 8


def hold(conn):
    """Keeps a connection open, reading whatever comes, until the client goes."""
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def http(conn, mode):
    conn.recv(65536)  # the request
    head = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
    if mode == "close":
        conn.sendall(head + b"Content-Length: 1000000\r\n\r\n" + JUNK[:100000])
    elif mode == "short":
        conn.sendall(head + b"Content-Length: 100000\r\n\r\n" + JUNK[:1000])
    elif mode == "long":
        conn.sendall(head + b"Content-Length: 1000\r\n\r\n" + JUNK)
        hold(conn)
    elif mode == "garbage":
        conn.sendall(JUNK)
        hold(conn)
    else:
        hold(conn)


def ssh(conn, mode):
    if mode == "close":
        conn.sendall(b"SSH-2.0-hostile\r\n")
    elif mode == "garbage":
        conn.sendall(b"SSH-2.0-hostile\r\n" + JUNK)
        hold(conn)
    else:
        hold(conn)


def ftp(conn, mode):
    if mode == "garbage":
        conn.sendall(JUNK)
        hold(conn)
        return
    if mode == "stall":
        hold(conn)
        return
    conn.sendall(b"220 hostile\r\n")
    conn.recv(4096)  # USER
    conn.sendall(b"331 password\r\n")
    conn.recv(4096)  # PASS
    conn.sendall(b"230 in\r\n")
    conn.recv(4096)  # the next command gets half an answer
    conn.sendall(b"25")


def tcp(port, handler, mode):
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(16)

    def serve(conn):
        with conn:
            try:
                handler(conn, mode)
            except OSError:
                pass

    def loop():
        while True:
            conn, _ = srv.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()
    threading.Thread(target=loop, daemon=True).start()


def tftp(port, mode):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", port))

    def loop():
        while True:
            _, peer = sock.recvfrom(65536)  # a request
            reply = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            reply.bind(("127.0.0.1", 0))
            if mode == "garbage":
                reply.sendto(JUNK[:700], peer)
            elif mode == "error":
                reply.sendto(struct.pack("!HH", 5, 1) + b"hostile\0", peer)
            elif mode == "block":
                reply.sendto(struct.pack("!HH", 3, 7) + JUNK[:512], peer)
            reply.close()
    threading.Thread(target=loop, daemon=True).start()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base", type=int, required=True)
    args = ap.parse_args()
    for i, (proto, mode) in enumerate(MODES):
        port = args.base + i
        if proto == "tftp":
            tftp(port, mode)
        else:
            tcp(port, {"http": http, "ssh": ssh, "ftp": ftp}[proto], mode)
    print("ready", flush=True)
    while os.getppid() != 1:  # ends with the test that started it
        time.sleep(0.5)
    sys.exit(0)


if __name__ == "__main__":
    main()
