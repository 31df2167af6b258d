#!/usr/bin/env python3
"""An independent client for the stand-in server: starts it on a free port of 127.0.0.1 and
reads its replies by the public server-query protocol (A2S_INFO with the challenge re-send, and
the older GoldSrc "details" reply), using nothing but the standard library.

    a2s_check.py --server [RUNNER ...] PATH_TO_FAKESRV

RUNNER is, for instance, the Wine wrapper for the Windows build. Exits 0 when every check holds.
"""

import argparse
import socket
import struct
import subprocess
import sys
import tempfile
import time

HEADER = b"\xff\xff\xff\xff"
A2S_INFO = HEADER + b"TSource Engine Query\x00"
DETAILS = HEADER + b"details\x00"
START_SECONDS = 60
REPLY_SECONDS = 5


class Broken(Exception):
    pass


class Reader:
    """Little-endian fields of one datagram; running past its end is an error."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise Broken("reply too short at byte %d" % self.pos)
        part = self.data[self.pos:self.pos + n]
        self.pos += n
        return part

    def byte(self):
        return self.take(1)[0]

    def short(self):
        return struct.unpack("<h", self.take(2))[0]

    def long(self):
        return struct.unpack("<l", self.take(4))[0]

    def long_long(self):
        return struct.unpack("<Q", self.take(8))[0]

    def string(self):
        end = self.data.find(b"\x00", self.pos)
        if end < 0:
            raise Broken("unterminated string at byte %d" % self.pos)
        text = self.data[self.pos:end].decode("utf-8")
        self.pos = end + 1
        return text

    def left(self):
        return len(self.data) - self.pos


def parse_info(data):
    """The Source 'I' reply."""
    r = Reader(data)
    if r.long() != -1:
        raise Broken("split or malformed header")
    if r.byte() != 0x49:
        raise Broken("not an info reply")
    info = {
        "protocol": r.byte(),
        "name": r.string(),
        "map": r.string(),
        "folder": r.string(),
        "game": r.string(),
        "app_id": r.short() & 0xFFFF,
        "players": r.byte(),
        "max_players": r.byte(),
        "bots": r.byte(),
        "server_type": chr(r.byte()),
        "environment": chr(r.byte()),
        "visibility": r.byte(),
        "vac": r.byte(),
    }
    if info["app_id"] == 2400:  # The Ship carries three more bytes here
        r.take(3)
    info["version"] = r.string()
    if r.left():
        edf = r.byte()
        info["edf"] = edf
        if edf & 0x80:
            info["port"] = r.short() & 0xFFFF
        if edf & 0x10:
            info["steam_id"] = r.long_long()
        if edf & 0x40:
            info["tv_port"] = r.short() & 0xFFFF
            info["tv_name"] = r.string()
        if edf & 0x20:
            info["keywords"] = r.string()
        if edf & 0x01:
            info["game_id"] = r.long_long()
    if r.left():
        raise Broken("%d bytes left over after the info reply" % r.left())
    return info


def parse_details(data):
    """The obsolete GoldSrc 'm' reply."""
    r = Reader(data)
    if r.long() != -1 or r.byte() != 0x6D:
        raise Broken("not a details reply")
    info = {
        "address": r.string(),
        "name": r.string(),
        "map": r.string(),
        "folder": r.string(),
        "game": r.string(),
        "players": r.byte(),
        "max_players": r.byte(),
        "protocol": r.byte(),
        "server_type": chr(r.byte()),
        "environment": chr(r.byte()),
        "visibility": r.byte(),
        "mod": r.byte(),
    }
    if info["mod"] == 1:
        info["link"] = r.string()
        info["download_link"] = r.string()
        r.byte()
        info["mod_version"] = r.long()
        info["mod_size"] = r.long()
        info["mod_type"] = r.byte()
        info["mod_dll"] = r.byte()
    info["vac"] = r.byte()
    info["bots"] = r.byte()
    return info


def ask(sock, address, request, timeout=REPLY_SECONDS):
    sock.settimeout(timeout)
    sock.sendto(request, address)
    while True:
        data, sender = sock.recvfrom(65535)
        if sender == address:  # only the server's own replies count
            return data


def a2s_info(sock, address, timeout=REPLY_SECONDS):
    """Asks for the info; a challenge is answered by sending the query again with it."""
    data = ask(sock, address, A2S_INFO, timeout)
    challenged = False
    if len(data) >= 9 and data[:4] == HEADER and data[4] == 0x41:
        challenged = True
        data = ask(sock, address, A2S_INFO + data[5:9])
    return parse_info(data), challenged


def drain(sock):
    sock.settimeout(0.2)
    try:
        for _ in range(100):
            sock.recvfrom(65535)
    except (socket.timeout, ConnectionResetError):
        pass


def control(sock, address, command):
    reply = ask(sock, address, HEADER + command.encode())
    return reply[4:].decode(errors="replace")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def expect(failures, what, got, wanted):
    if got != wanted:
        failures.append("%s: got %r, wanted %r" % (what, got, wanted))


def run_checks(sock, address, port):
    failures = []
    deadline = time.monotonic() + START_SECONDS
    info = None
    while info is None:
        try:
            info, challenged = a2s_info(sock, address, timeout=0.3)
        except (socket.timeout, ConnectionResetError):
            if time.monotonic() > deadline:
                raise Broken("the server never answered")
            time.sleep(0.2)

    # A query tried again after a slow first answer leaves that answer waiting: read it now, so
    # that each later question reads its own answer.
    drain(sock)
    expect(failures, "challenge without being asked", challenged, False)
    for key, wanted in [("name", "Python check"), ("map", "de_dust2"), ("folder", "cstrike"),
                        ("game", "Counter-Strike"), ("app_id", 10), ("players", 7),
                        ("max_players", 24), ("bots", 2), ("server_type", "d"),
                        ("visibility", 0), ("vac", 1), ("port", port)]:
        expect(failures, "info " + key, info.get(key), wanted)
    expect(failures, "info version", info.get("version"), "1.38.2.1")
    expect(failures, "info game id's app id", info.get("game_id", 0) & 0xFFFFFF, 10)
    expect(failures, "notice", control(sock, address, "fakesrv notice MasterRequestRestart"),
           "fakesrv ok")
    if info["environment"] not in ("l", "w"):
        failures.append("info environment %r" % info["environment"])

    expect(failures, "challenge on", control(sock, address, "fakesrv challenge on"), "fakesrv ok")
    info, challenged = a2s_info(sock, address)
    expect(failures, "challenge sent", challenged, True)
    expect(failures, "info after the challenge", info["map"], "de_dust2")

    details = parse_details(ask(sock, address, DETAILS))
    for key, wanted in [("address", "127.0.0.1:%d" % port), ("name", "Python check"),
                        ("map", "de_dust2"), ("players", 7), ("max_players", 24),
                        ("protocol", 48), ("server_type", "d"), ("mod", 0), ("vac", 1),
                        ("bots", 2)]:
        expect(failures, "details " + key, details.get(key), wanted)
    expect(failures, "environments agree", details["environment"], info["environment"])

    # Another loopback address is another host as far as control goes: its commands are
    # ignored, its queries answered to it.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
        stranger.bind(("127.0.0.2", 0))
        try:
            reply = ask(stranger, address, HEADER + b"fakesrv exit", timeout=0.5)
            failures.append("control from 127.0.0.2 was answered: %r" % reply)
        except socket.timeout:
            pass
        info, _ = a2s_info(stranger, address)
        expect(failures, "info to 127.0.0.2", info["map"], "de_dust2")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--server", nargs="+", required=True)
    args = parser.parse_args()

    port = free_port()
    address = ("127.0.0.1", port)
    command = args.server + [
        "-game", "cstrike", "+maxplayers", "24", "+map", "de_dust2", "-console",
        "+ip", "127.0.0.1", "-port", str(port),
        "-fakesrv.name", "Python check", "-fakesrv.players", "7", "-fakesrv.bots", "2",
        "-fakesrv.vac", "-fakesrv.version", "1.38.2.1"]
    output = tempfile.TemporaryFile()
    server = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                              stderr=subprocess.STDOUT)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    failures = []
    try:
        failures = run_checks(sock, address, port)
        if control(sock, address, "fakesrv exit") != "fakesrv ok":
            failures.append("exit was not acknowledged")
        code = server.wait(timeout=START_SECONDS)
        expect(failures, "exit code", code, 0)
        # A notice is a line of its own on the output, as a game prints it.
        output.seek(0)
        lines = [l.strip() for l in output.read().decode(errors="replace").splitlines()]
        expect(failures, "notice lines", lines.count("MasterRequestRestart"), 1)
    except (Broken, socket.timeout, subprocess.TimeoutExpired) as error:
        failures.append("%s: %s" % (type(error).__name__, error))
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        sock.close()

    if failures:
        output.seek(0)
        sys.stdout.write(output.read().decode(errors="replace"))
        for failure in failures:
            print("FAILED", failure)
        return 1
    print("a2s_check: the info, challenge and details replies read correctly")
    return 0


if __name__ == "__main__":
    sys.exit(main())
