#!/usr/bin/python3
"""The live trace and the statistics of the running program, as a user reads them with
mv5840vspctl: monitor --count N and stats --prometheus, while a UDP DTU and a serial application
exchange bytes. Runs in a network namespace of its own (the program binds UDP 3700) under a
session bus of its own; the program's and the tool's paths are the arguments."""
import json
import os
import re
import select
import struct
import socket
import subprocess
import sys
import tempfile

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Dtu, check, port_group, serve, verdict, wait_until  # noqa: E402

PROGRAM, CTL = sys.argv[1:3]
SERVER = ("127.0.0.1", 3700)


def ctl(*arguments):
    return subprocess.run([CTL, *arguments], capture_output=True, text=True, timeout=30)


def prometheus_samples(text):
    """{(metric, labels text): value} of the sample lines; every line must be a comment or a sample."""
    samples = {}
    for line in text.splitlines():
        if line.startswith("#"):
            continue
        found = re.fullmatch(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})? (\S+)', line)
        check(found is not None, "a Prometheus sample line: %r" % line)
        if found:
            samples[(found.group(1), found.group(2) or "")] = float(found.group(3))
    return samples


def pcapng_blocks(data):
    """(type, body) of each block of a pcapng file (little-endian, as the tool writes it)."""
    blocks = []
    at = 0
    while at + 12 <= len(data):
        kind, length = struct.unpack_from("<II", data, at)
        if length < 12 or at + length > len(data):
            break
        blocks.append((kind, data[at + 8:at + length - 4]))
        at += length
    return blocks


def pcapng_options(body):
    """{code: value} of an options list."""
    options = {}
    at = 0
    while at + 4 <= len(body):
        code, length = struct.unpack_from("<HH", body, at)
        if code == 0:
            break
        options[code] = body[at + 4:at + 4 + length]
        at += 4 + (length + 3) // 4 * 4
    return options


def main():
    runtime = tempfile.mkdtemp()
    config = tempfile.mkdtemp()
    os.environ.update(XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config, ASAN_OPTIONS="detect_leaks=0")
    os.environ.pop("DISPLAY", None)
    os.makedirs(config + "/Torvane")
    with open(config + "/Torvane/HOLBRN.conf", "w") as f:
        f.write(port_group(1, 7, "A1") + port_group(2, 8, "B2"))
    serve(PROGRAM, runtime, lambda log: run(runtime))
    return verdict()


def run(runtime):
    check(wait_until(lambda: ctl("list").returncode == 0), "the service answers")

    # No such port: the same refusal as the other verbs give.
    refused = ctl("monitor", "--number", "99", "--count", "1")
    check(refused.returncode != 0 and "no such port: number 99" in refused.stderr,
          "monitor of no port is refused: %r" % refused.stderr)

    # The same as a pcapng file, ended by its time.
    pcap = runtime + "/trace.pcapng"
    capture = subprocess.Popen([CTL, "monitor", "--number", "7", "--pcap", pcap, "--seconds", "6"],
                               stderr=subprocess.PIPE)
    # A monitor of COM7 that ends after five records. It is attached once a datagram of no
    # port (which every monitor gets) shows in its output.
    monitor = subprocess.Popen([CTL, "monitor", "--number", "7", "--json", "--count", "5"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stranger = Dtu("ZZ")
    first = b""
    for _ in range(15):
        stranger.send(b"?")
        if select.select([monitor.stdout], [], [], 2.0)[0]:
            first = os.read(monitor.stdout.fileno(), 65536)
            break
    check(b"unknown-code" in first, "the monitor shows a datagram of no port: %r" % first)
    # The tool writes the file once the program has handed out its trace.
    check(wait_until(lambda: os.path.exists(pcap) and os.path.getsize(pcap) >= 28), "the capture is attached")

    dtu = Dtu("A1")
    other = Dtu("B2")
    check(other.login()[12:] == b"\x01OK", "B2 logs in")  # another port: not in this trace
    check(dtu.login()[12:] == b"\x01OK", "A1 logs in")
    app = serial.Serial(runtime + "/MV5840VSP/COM7", timeout=5)
    request = bytes.fromhex("01030000000ac5cd")
    dtu.send(request)
    check(app.read(len(request)) == request, "the DTU's bytes reach the application")
    app.write(b"AT\r\n")
    check(dtu.receive() == b"AT\r\n", "the application's bytes reach the DTU")
    try:
        out, err = monitor.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        monitor.kill()
        out, err = monitor.communicate()
    check(monitor.returncode == 0, "monitor --count ends by itself: %r" % err)
    events = [json.loads(line) for line in (first + out).decode().splitlines() if line.strip()]
    kinds = [e["event"] for e in events]
    print("trace:", kinds)
    check(kinds == ["unknown-code", "login", "online", "rx", "tx"], "the events in order")
    check([e["port"] for e in events] == [None] + ["COM7"] * 4, "only COM7 and what belongs to no port")
    if len(events) == 5:
        check(events[0].get("source") == stranger.address, "the stranger's address: %r" % events[0])
        check(events[1].get("address") == dtu.address, "the login's address: %r" % events[1])
        check(events[3].get("hex") == request.hex(), "the DTU's bytes in the trace: %r" % events[3])
        check(events[4].get("hex") == b"AT\r\n".hex(), "the application's bytes in the trace: %r" % events[4])

    check(capture.wait(20) == 0, "monitor --pcap --seconds ends by itself")
    blocks = pcapng_blocks(open(pcap, "rb").read())
    check(blocks and blocks[0][0] == 0x0A0D0D0A, "the file begins with a section header")
    names = [pcapng_options(body[8:]).get(2, b"") for kind, body in blocks if kind == 1]
    check(b"COM7" in names, "an interface named COM7: %r" % names)
    packets = []
    for kind, body in blocks:
        if kind == 6:
            length = struct.unpack_from("<I", body, 12)[0]
            flags = pcapng_options(body[20 + (length + 3) // 4 * 4:]).get(2, b"\0\0\0\0")
            packets.append((body[20:20 + length], struct.unpack("<I", flags)[0] & 3))
    check((request, 1) in packets, "the DTU's bytes inbound in the file: %r" % packets)
    check((b"AT\r\n", 2) in packets, "the application's bytes outbound in the file")

    # A datagram too long for any DTU, with A1's code: counted for COM7.
    dtu.sock.sendto(dtu.header(3) + bytes(2500), SERVER)
    def stats():
        done = ctl("stats", "--prometheus")
        return prometheus_samples(done.stdout) if done.returncode == 0 else {}
    com7 = '{port="COM7",slot="1"}'
    check(wait_until(lambda: stats().get(("mv5840vsp_oversized_datagrams_total", com7)) == 1),
          "the oversized datagram is counted for COM7")
    samples = stats()
    check(samples.get(("mv5840vsp_received_bytes_total", com7)) == 8, "received bytes: %r" % samples)
    check(samples.get(("mv5840vsp_sent_bytes_total", com7)) == 4, "sent bytes")
    check(samples.get(("mv5840vsp_sent_chunks_total", com7)) == 1, "sent chunks")
    check(samples.get(("mv5840vsp_logins_total", '{port="COM8",slot="2"}')) == 1, "COM8's login")
    unknown = [v for (name, labels), v in samples.items() if name.startswith("mv5840vsp_unknown_code")]
    check(unknown and max(unknown) >= 1, "the datagram of no port is counted: %r" % unknown)

    shown = json.loads(ctl("show", "--number", "7", "--json").stdout)
    check(shown.get("oversized_datagrams") == 1 and shown.get("rx_datagrams") == 1, "show --json: %r" % shown)
    check("too long" in (shown.get("last_error") or ""), "the latest error: %r" % shown.get("last_error"))
    # On the bus rx and tx keep their type (x); the other counters are t.
    bus = subprocess.run(["gdbus", "call", "--session", "--dest", "MV5840VSP.IMV5840VSP", "--object-path",
                          "/IMV5840VSP", "--method", "MV5840VSP.IPortManager.GetPort", "{'number': <7>}"],
                         capture_output=True, text=True).stdout
    check("'rx': <int64 8>" in bus and "'tx': <int64 4>" in bus and "'rx_datagrams': <uint64 1>" in bus,
          "the counters' types on the bus: %r" % bus)
    listing = json.loads(ctl("list", "--json").stdout)
    check([p.get("tx_chunks") for p in listing] == [1, 0], "list --json carries the counters")
    app.close()


if __name__ == "__main__":
    sys.exit(main())
