#!/usr/bin/env python3
"""Plugs QEMU's USB serial converter in and out through the QEMU monitor protocol (QMP).

usage: qmp.py SOCKET unplug DEVICE                   device_del, until DEVICE_DELETED
       qmp.py SOCKET plug DEVICE CHARDEV SERIAL      device_add of a usb-serial on xhci.0
       qmp.py SOCKET rewire CHARDEV PTY              chardev-remove, chardev-add on PTY

Each command fails (exit 1, the reason on stderr) on an error reply or after 30 s.
"""
import json
import socket
import sys
import time

TIMEOUT_S = 30


class Qmp:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(TIMEOUT_S)
        self.sock.connect(path)
        self.file = self.sock.makefile("r", encoding="utf-8")
        self.events = []
        self.read()  # the greeting
        self.execute("qmp_capabilities")

    def read(self):
        line = self.file.readline()
        if not line:
            raise RuntimeError("QEMU closed the monitor")
        return json.loads(line)

    def execute(self, command, **arguments):
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall((json.dumps(message) + "\n").encode())
        while True:
            reply = self.read()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise RuntimeError(f"{command}: {reply['error'].get('desc', reply['error'])}")
            elif "return" in reply:
                return reply["return"]

    def wait_event(self, name, device):
        deadline = time.monotonic() + TIMEOUT_S
        while True:
            for e in self.events:
                if e["event"] == name and e.get("data", {}).get("device") == device:
                    return
            self.events.clear()
            if time.monotonic() > deadline:
                raise RuntimeError(f"no {name} for {device} within {TIMEOUT_S} s")
            reply = self.read()
            if "event" in reply:
                self.events.append(reply)


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    qmp = Qmp(argv[1])
    command, args = argv[2], argv[3:]
    if command == "unplug" and len(args) == 1:
        qmp.execute("device_del", id=args[0])
        qmp.wait_event("DEVICE_DELETED", args[0])
    elif command == "plug" and len(args) == 3:
        qmp.execute("device_add", driver="usb-serial", id=args[0], chardev=args[1],
                    bus="xhci.0", serial=args[2])
    elif command == "rewire" and len(args) == 2:
        qmp.execute("chardev-remove", id=args[0])
        qmp.execute("chardev-add", id=args[0],
                    backend={"type": "serial", "data": {"device": args[1]}})
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (OSError, RuntimeError, ValueError) as e:
        print(f"qmp.py: {e}", file=sys.stderr)
        sys.exit(1)
