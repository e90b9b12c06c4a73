#!/usr/bin/env python3
"""The peer of peer.py against the library: callback messages from the peer to 'mnet listen'
and from 'mnet notify' to the peer's sink on each transport, and the library's client against
the peer's services. Exits 77 (skipped) without python3's standard modules, 1 on a mismatch.
  interop.py MNET PROTOCOL_CLIENT [EMULATOR]
EMULATOR runs the programs of a cross build (qemu-i386 for the 32-bit one).
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import peer  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what)


def start(command):
    process = subprocess.Popen(
        command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    return process, process.stdout.readline().strip()


def transports():
    kinds = ["socket", "udp"]
    if os.path.isdir(peer.SHARED_DIR) and os.access(peer.SHARED_DIR, os.W_OK | os.X_OK):
        kinds.append("pipe")
    else:
        print("note: no usable %s; the pipe transport is left out" % peer.SHARED_DIR)
    return kinds


def peer_to_listen(mnet, kind):
    listen, address = start(mnet + ["listen", "--type", kind, "--hex", "--count", "2", "--timeout", "20"])
    check(address.startswith(kind + ":"), "%s: listen printed %r" % (kind, address))
    peer.send_callback(address, 3, peer.long32(-8))
    peer.send_callback(address, 4, peer.string("hello"))
    out, err = listen.communicate(timeout=30)
    hexes = sorted(re.findall(r"^handle=(\d+) time=\S+ hex=(.*)$", out, re.M))
    check(
        hexes == [("3", "fffffff8"), ("4", "00000005 68656c6c6f")],
        "%s: mnet listen --hex printed %r (%s)" % (kind, out, err),
    )
    plain, address = start(mnet + ["listen", "--type", kind, "--count", "1", "--timeout", "20"])
    peer.send_callback(address, 5, peer.long32(-2147483648))
    out, err = plain.communicate(timeout=30)
    check(re.match(r"handle=5 id=-2147483648 time=", out), "%s: mnet listen printed %r (%s)" % (kind, out, err))


def notify_to_peer(mnet, kind):
    sink_kind = "tcp" if kind == "socket" else kind
    sink, address = start([sys.executable, os.path.join(HERE, "peer.py"), "sink", sink_kind, "2"])
    for arguments in (["7", "-8"], ["3", "--string", "hello"]):
        result = subprocess.run(mnet + ["notify", address] + arguments, capture_output=True, text=True, timeout=30)
        check(result.returncode == 0, "%s: mnet notify %s: %s" % (kind, arguments, result.stderr))
    out, err = sink.communicate(timeout=30)
    check(
        sorted(out.split("\n")) == ["", "handle=3 hex=0000000568656c6c6f", "handle=7 hex=fffffff8"],
        "%s: the peer's sink read %r (%s)" % (kind, out, err),
    )


def client_to_service(client):
    service, port = start([sys.executable, os.path.join(HERE, "peer.py"), "service"])
    try:
        result = subprocess.run(client + [port], capture_output=True, text=True, timeout=60)
    finally:
        service.stdin.close()
        service.wait(timeout=30)
    expected = [
        "sum ack -1",
        "product reply 1 -1 unknown operation 'product'",
        "int=-2 short=-3 bool=1 string=h\u00e9llo long=-7",
        "back int=-2 short=-3 bool=1 string=h\u00e9llo long=-7",
        "nosuch refused 0 MirelConnection::connectToService: connection to remote service failed.",
    ]
    check(result.stdout.splitlines() == expected, "the library's client printed %r (%s)" % (result.stdout, result.stderr))


def main(arguments):
    emulator = arguments[2:3]
    mnet, client = [emulator + [arguments[0]], emulator + [arguments[1]]]
    for kind in transports():
        peer_to_listen(mnet, kind)
        notify_to_peer(mnet, kind)
    client_to_service(client)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
