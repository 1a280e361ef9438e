#!/usr/bin/env python3
"""Loopback TCP relay that records what each side sends, one file per turn.

usage: capture_relay.py LISTEN_PORT_FILE UPSTREAM_PORT OUT_PREFIX

Listens on 127.0.0.1 at a free port (written to LISTEN_PORT_FILE), accepts one client, connects to
127.0.0.1:UPSTREAM_PORT and forwards both ways. Bytes are grouped into turns: a turn ends when the
other side starts sending. Turn n is written to OUT_PREFIX.<n>.<c2s|s2c>.bin when the connection
ends, so turn 0 is the client's first flight (its hello) and turn 1 the server's first flight.
"""
import select
import socket
import sys


def main() -> None:
    port_file, upstream_port, prefix = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    with open(port_file, "w") as f:
        f.write(str(listener.getsockname()[1]))
    client, _ = listener.accept()
    server = socket.create_connection(("127.0.0.1", upstream_port))
    peers = {client: (server, "c2s"), server: (client, "s2c")}
    turns = []  # [direction, bytearray]
    open_socks = {client, server}
    while open_socks:
        readable, _, _ = select.select(list(open_socks), [], [], 5.0)
        if not readable:
            break
        for sock in readable:
            try:
                data = sock.recv(65536)
            except ConnectionResetError:
                data = b""
            other, direction = peers[sock]
            if not data:
                open_socks.discard(sock)
                try:
                    other.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                continue
            if not turns or turns[-1][0] != direction:
                turns.append([direction, bytearray()])
            turns[-1][1] += data
            try:
                other.sendall(data)
            except OSError:
                open_socks.clear()
    for index, (direction, data) in enumerate(turns):
        with open(f"{prefix}.{index}.{direction}.bin", "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
