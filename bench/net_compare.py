#!/usr/bin/python3
"""A port's network server next to socat, in one run (bench/net_compare.sh runs it in a network
namespace of its own under a session bus of its own):

- raw client -> TCP DTU, FrameGap 0: the program (client -> NetPort -> port -> TCP link -> DTU)
  against `socat tcp-listen:A,reuseaddr tcp:DTU`, MB/s of each, alternating runs;
- DTU -> client latency: a UDP DTU's datagram to a raw network client against the same
  datagram to an application on the port's pseudo-terminal, median and 90th percentile;
- 200 ports, each with a connected raw client: the program's resident memory.

Arguments: the program, the tool, a work folder."""
import json
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import time

PROGRAM, CTL, WORK = sys.argv[1:4]
SERVER = ("127.0.0.1", 3700)
STREAM_BYTES = 64 << 20
ROUNDS = 3


def start(config_text):
    runtime = os.path.join(WORK, "run-%d" % time.monotonic_ns())
    config = os.path.join(WORK, "config-%d" % time.monotonic_ns())
    os.makedirs(runtime)
    os.makedirs(config + "/Torvane")
    with open(config + "/Torvane/HOLBRN.conf", "w") as f:
        f.write(config_text)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config)
    program = subprocess.Popen([PROGRAM, "--service"], env=env, stderr=subprocess.DEVNULL)
    for _ in range(200):
        if subprocess.run([CTL, "list"], env=env, capture_output=True).returncode == 0:
            break
        time.sleep(0.05)
    return program, runtime


def stop(program):
    program.send_signal(signal.SIGTERM)
    program.wait(30)


def measure_stream(client, dtu):
    """MB/s of STREAM_BYTES written by the client as they reach the DTU."""
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    client.setblocking(False)
    block = b"\x55" * (1 << 16)
    got = sent = 0
    begin = time.perf_counter()
    while got < STREAM_BYTES:
        want_write = [client] if sent < STREAM_BYTES else []
        readable, writable, _ = select.select([dtu], want_write, [], 10)
        if not readable and not writable:
            raise RuntimeError("stream stalled at %d bytes" % got)
        if writable:
            try:
                sent += client.send(block[:min(len(block), STREAM_BYTES - sent)])
            except BlockingIOError:
                pass
        if readable:
            data = dtu.recv(1 << 20)
            if not data:
                raise RuntimeError("the DTU's connection ended at %d bytes" % got)
            got += len(data)
    seconds = time.perf_counter() - begin
    client.close()
    return STREAM_BYTES / seconds / 1e6


def throughput():
    """Raw client -> TCP DTU at FrameGap 0: the program and socat, alternating rounds."""
    dtu_port, net_port, socat_port = 4600, 4601, 4602
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", dtu_port))
    listener.listen(4)
    listener.settimeout(10)
    program, _ = start("[General]\nSocketPort=%d\n\n[1]\nCode=T1\nFrameGap=0\nNetMode=raw\nNetPort=%d\n"
                       "PeerIP=127.0.0.1\nPortNumber=7\nUseFixedIP=1\nUseTcp=1\n" % (dtu_port, net_port))
    program_dtu, _ = listener.accept()
    ours, theirs = [], []
    try:
        for _ in range(ROUNDS):
            ours.append(measure_stream(socket.create_connection(("127.0.0.1", net_port)), program_dtu))
            time.sleep(0.3)  # the client's going is seen before the next one comes
            socat = subprocess.Popen(["socat", "tcp-listen:%d,reuseaddr" % socat_port, "tcp:127.0.0.1:%d" % dtu_port])
            time.sleep(0.3)
            client = socket.create_connection(("127.0.0.1", socat_port))
            socat_dtu, _ = listener.accept()  # socat connects once its client came
            theirs.append(measure_stream(client, socat_dtu))
            socat_dtu.close()
            socat.wait(10)
    finally:
        stop(program)
    return ours, theirs


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def latency(samples=300):
    """Milliseconds from a UDP DTU's datagram to its bytes at a raw network client, and at an
    application on another port's pseudo-terminal, interleaved."""
    import serial
    program, runtime = start("[1]\nCode=L1\nNetMode=raw\nNetPort=4610\nPortNumber=7\n\n"
                             "[2]\nCode=L2\nPortNumber=8\n")
    try:
        dtus = {}
        for code in ("L1", "L2"):
            dtu = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            dtu.bind(("127.0.0.1", 0))
            dtu.settimeout(5)
            dtu.sendto(code.encode() + b"\0" * (12 - len(code)) + b"\0", SERVER)
            dtu.recvfrom(100)
            dtus[code] = dtu
        client = socket.create_connection(("127.0.0.1", 4610))
        app = serial.Serial(runtime + "/MV5840VSP/COM8", timeout=0)
        time.sleep(0.5)
        net, pty = [], []
        payload = b"0123456789"
        for i in range(samples):
            for code, reader, into in (("L1", client, net), ("L2", app, pty)):
                fd = reader.fileno()
                begin = time.perf_counter()
                dtus[code].sendto(code.encode() + b"\0" * (12 - len(code)) + b"\3" + payload, SERVER)
                got = 0
                while got < len(payload):
                    select.select([fd], [], [], 5)
                    got += len(os.read(fd, 100))
                into.append((time.perf_counter() - begin) * 1e3)
                time.sleep(0.002)
        client.close()
        app.close()
    finally:
        stop(program)
    return net, pty


def resident_memory(ports=200):
    """kB the program holds with every port's raw client connected."""
    groups = "".join("[%d]\nCode=M%d\nNetMode=raw\nNetPort=%d\nPortNumber=%d\n\n" % (i + 1, i, 4700 + i, i + 1)
                     for i in range(ports))
    program, _ = start(groups)
    try:
        idle = rss(program.pid)
        clients = [socket.create_connection(("127.0.0.1", 4700 + i)) for i in range(ports)]
        time.sleep(1)
        # A little traffic on every connection, so each has had its buffers.
        for c in clients:
            c.send(b"x" * 100)
        time.sleep(1)
        busy = rss(program.pid)
        for c in clients:
            c.close()
    finally:
        stop(program)
    return idle, busy


def rss(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    ours, theirs = throughput()
    print("raw client -> TCP DTU, FrameGap 0, %d MiB a round (MB/s): program %s, socat %s; "
          "median ratio program/socat %.2f" % (STREAM_BYTES >> 20, ["%.0f" % v for v in ours],
                                               ["%.0f" % v for v in theirs],
                                               statistics.median(ours) / statistics.median(theirs)))
    net, pty = latency()
    print("UDP DTU -> reader, 10 B (ms): network client median %.3f p90 %.3f; pty application median %.3f "
          "p90 %.3f; difference of medians %+.3f" % (statistics.median(net), percentile(net, 0.9),
                                                    statistics.median(pty), percentile(pty, 0.9),
                                                    statistics.median(net) - statistics.median(pty)))
    idle, busy = resident_memory()
    print("200 ports: resident memory %.1f MB idle, %.1f MB with a raw client on each" % (idle / 1024, busy / 1024))
    return 0


if __name__ == "__main__":
    sys.exit(main())
