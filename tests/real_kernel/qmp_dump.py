#!/usr/bin/env python3
"""Waits for the end of the panic on the guest's serial console, then takes
the guest's memory as an ELF file over QMP and stops QEMU.

    qmp_dump.py CONSOLE QMP_SOCKET OUT QEMU_PID
"""
import json
import os
import socket
import sys
import time

console, sock_path, out, pid = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
END = b"---[ end Kernel panic"
# A bound for a machine much slower than expected, not a wait.
LIMIT = 900


def alive():
    try:
        return os.waitpid(pid, os.WNOHANG) == (0, 0)
    except ChildProcessError:
        try:
            os.kill(pid, 0)
            return True
        except OSError:
            return False


start = time.monotonic()
while True:
    try:
        with open(console, "rb") as f:
            text = f.read()
    except FileNotFoundError:
        text = b""
    at = text.find(END)
    if at >= 0 and text.find(b"\n", at) >= 0:
        break
    if not alive() or time.monotonic() - start > LIMIT:
        sys.exit("qmp_dump.py: no end of a panic on the console")
    time.sleep(0.2)

s = socket.socket(socket.AF_UNIX)
s.connect(sock_path)
f = s.makefile("rwb")


def command(name, **args):
    f.write(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
    f.flush()
    while True:
        reply = json.loads(f.readline())
        if "return" in reply:
            return reply["return"]
        if "error" in reply:
            sys.exit("qmp_dump.py: %s: %s" % (name, reply["error"]))


json.loads(f.readline())  # the greeting
command("qmp_capabilities")
command("dump-guest-memory", paging=False, protocol="file:" + out)
command("quit")
