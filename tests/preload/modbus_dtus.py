"""Plays a UDP DTU (code A1, logging in to 127.0.0.1:3700) and a TCP DTU (listening on
127.0.0.1:3700), each a Modbus RTU device with 100 holding registers, for the given seconds."""
import socket
import struct
import sys
import threading
import time


def crc(data):
    c = 0xFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return struct.pack("<H", c)


class Device:
    """Answers read (3) and write (16) requests for holding registers, frame by frame."""

    def __init__(self):
        self.registers = [0] * 100
        self.pending = b""

    def feed(self, data):
        self.pending += data
        out = b""
        while len(self.pending) >= 8:
            length = 9 + self.pending[6] if self.pending[1] == 16 else 8
            if len(self.pending) < length:
                break
            request, self.pending = self.pending[:length], self.pending[length:]
            if crc(request[:-2]) != request[-2:]:
                self.pending = b""
                break
            start, count = struct.unpack(">HH", request[2:6])
            if start + count > 100:
                continue
            if request[1] == 3:
                body = request[:2] + bytes([2 * count]) + b"".join(
                    struct.pack(">H", r) for r in self.registers[start:start + count])
            elif request[1] == 16:
                for i in range(count):
                    self.registers[start + i] = struct.unpack(">H", request[7 + 2 * i:9 + 2 * i])[0]
                body = request[:6]
            else:
                continue
            out += body + crc(body)
        return out


def udp_dtu():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(0.5)
    code = b"A1".ljust(12, b"\0")
    device = Device()
    last_login = 0
    while True:
        if time.time() - last_login > 5:
            s.sendto(code + b"\0", ("127.0.0.1", 3700))
            last_login = time.time()
        try:
            data, _ = s.recvfrom(2000)
        except socket.timeout:
            continue
        if len(data) > 13 and data[12] == 3:
            out = device.feed(data[13:])
            if out:
                s.sendto(code + b"\3" + out, ("127.0.0.1", 3700))


def tcp_dtu():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 3700))
    listener.listen()
    while True:
        connection, _ = listener.accept()

        def serve(c=connection, device=Device()):
            while True:
                data = c.recv(4096)
                if not data:
                    return
                out = device.feed(data)
                if out:
                    c.sendall(out)
        threading.Thread(target=serve, daemon=True).start()


threading.Thread(target=udp_dtu, daemon=True).start()
threading.Thread(target=tcp_dtu, daemon=True).start()
time.sleep(float(sys.argv[1]) if len(sys.argv) > 1 else 300)
