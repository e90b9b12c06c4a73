#!/usr/bin/env python3
"""A libmnet peer written from docs/PROTOCOL.md alone: the typed values, lines and the service
handshake, callback messages on each transport, and a small sink and service.

As a program:
  peer.py send ADDRESS HANDLE (--long N | --string TEXT)   one callback message
  peer.py sink TYPE COUNT     a sink (tcp, udp or pipe): prints its address, then per message
                              "handle=H hex=..." (the bytes after the handle), COUNT times
  peer.py service             a TCP service on 127.0.0.1: prints its port, then answers
                              clients until its standard input closes. It offers "calculator"
                              (the protocol of examples/request_response.cpp) and "types" (reads
                              an int, a short, a boolean, a string and a long, answers with a
                              string saying what it read, then the same values again)
"""
import os
import select
import socket
import struct
import sys
import threading

SHARED_DIR = "/opt/mirel/pelnix/var/lib/corvane/shrsvc"
MAX_STRING = 16 * 1024 * 1024
ACK = b"\x00\x01\x00\x00"
ERROR = b"\x00\x01\xff\xff"


# Values (section 2): big-endian, back to back, no tags.
def int32(value):
    return struct.pack(">i", value)


def long32(value):
    return struct.pack(">i", value)


def short16(value):
    return struct.pack(">h", value)


def boolean(value):
    return short16(1 if value else 0)


def string(text):
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    return struct.pack(">I", len(data)) + data


class Reader:
    """Reads values from a stream socket or from bytes already received."""

    def __init__(self, sock=None, data=b""):
        self.sock = sock
        self.data = bytearray(data)

    def _take(self, count):
        while len(self.data) < count:
            chunk = self.sock.recv(65536) if self.sock else b""
            if not chunk:
                raise EOFError("the data ended inside a value")
            self.data += chunk
        part = bytes(self.data[:count])
        del self.data[:count]
        return part

    def int32(self):
        return struct.unpack(">i", self._take(4))[0]

    long32 = int32

    def short16(self):
        return struct.unpack(">h", self._take(2))[0]

    def string(self):
        length = struct.unpack(">I", self._take(4))[0]
        if length > MAX_STRING:
            raise ValueError("string length %d above the limit" % length)
        return self._take(length).split(b"\x00", 1)[0].decode("utf-8", "replace")

    def line(self, limit=256):
        """A line of printable ASCII ended by CR LF (section 3), without the CR LF."""
        while b"\r\n" not in self.data:
            if len(self.data) >= limit:
                raise ValueError("no line within %d bytes" % limit)
            chunk = self.sock.recv(limit)
            if not chunk:
                raise EOFError("the data ended before a line")
            self.data += chunk
        end = self.data.index(b"\r\n")
        text = bytes(self.data[:end])
        if any(byte < 0x20 or byte > 0x7E for byte in text):
            raise ValueError("a line holds a byte outside 20 to 7E")
        del self.data[: end + 2]
        return text.decode("ascii")

    def rest(self):
        return bytes(self.data)


# Callback addresses (section 5).
def parse_address(address):
    kind, _, rest = address.partition(":")
    if kind == "pipe":
        return kind, rest, 0
    host, _, port = rest.partition(":")
    return kind, host, int(port)


def send_callback(address, handle, content):
    """One callback message: the handle as a long, then content; no answer is awaited."""
    message = long32(handle) + content
    kind, host, port = parse_address(address)
    if kind == "udp":
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.sendto(message, (host, port))
        return
    if kind == "pipe":
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        target = os.path.join(SHARED_DIR, host)
    elif kind == "socket":
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        target = (host, port)
    else:
        raise ValueError("no transport for " + address)
    with sock:
        sock.settimeout(5)
        sock.connect(target)
        sock.sendall(message)
        # The end of the stream ends the message.
        sock.shutdown(socket.SHUT_WR)


def print_line(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def run_sink(kind, count):
    """Receives count messages and prints each one's handle and the bytes after it."""
    if kind == "udp":
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        print_line("udp:127.0.0.1:%d" % sock.getsockname()[1])
        messages = (sock.recv(65536) for _ in range(count))
    else:
        if kind == "pipe":
            name = "pypeer%x" % os.getpid()
            path = os.path.join(SHARED_DIR, name)
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.bind(path)
            os.chmod(path, 0o770)
            address = "pipe:" + name
        else:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.bind(("127.0.0.1", 0))
            address = "socket:127.0.0.1:%d" % sock.getsockname()[1]
        sock.listen(16)
        print_line(address)
        messages = (read_stream_message(sock) for _ in range(count))
    try:
        for message in messages:
            reader = Reader(data=message)
            handle = reader.long32()
            print_line("handle=%d hex=%s" % (handle, reader.rest().hex()))
    finally:
        sock.close()
        if kind == "pipe":
            os.unlink(path)


def read_stream_message(listener):
    connection, _ = listener.accept()
    with connection:
        connection.settimeout(5)
        data = b""
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                return data
            data += chunk


def serve(connection):
    with connection:
        connection.settimeout(5)
        reader = Reader(connection)
        name = reader.line()
        if name not in ("calculator", "types"):
            return  # closing refuses the handshake
        connection.sendall(b"+")
        if name == "calculator":
            operation = reader.string()
            values = [reader.int32() for _ in range(reader.int32())]
            if operation == "sum":
                connection.sendall(ACK + long32(sum(values)))
            else:
                connection.sendall(ERROR + string("unknown operation '%s'" % operation))
            return
        number, small, flag = reader.int32(), reader.short16(), reader.short16() != 0
        text, wide = reader.string(), reader.long32()
        said = "int=%d short=%d bool=%d string=%s long=%d" % (number, small, flag, text, wide)
        connection.sendall(
            string(said) + int32(number) + short16(small) + boolean(flag) + string(text) + long32(wide)
        )


def run_service():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print_line(str(listener.getsockname()[1]))
    while True:
        ready, _, _ = select.select([listener, sys.stdin], [], [])
        if sys.stdin in ready and not sys.stdin.read(1):
            return
        if listener in ready:
            connection, _ = listener.accept()
            threading.Thread(target=serve, args=(connection,), daemon=True).start()


def main(arguments):
    if len(arguments) >= 4 and arguments[0] == "send":
        address, handle, kind = arguments[1], int(arguments[2]), arguments[3]
        content = long32(int(arguments[4])) if kind == "--long" else string(arguments[4])
        send_callback(address, handle, content)
    elif len(arguments) == 3 and arguments[0] == "sink":
        run_sink(arguments[1], int(arguments[2]))
    elif arguments == ["service"]:
        run_service()
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
