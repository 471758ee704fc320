#!/usr/bin/python3
"""A port's network server as users meet it: pyserial's rfc2217:// client at 8E1 (and other
settings) through a UDP DTU, with no launcher; a raw client on a plain socket; the second client
refused; a port added with --net-port from the tool; what show and the statistics say; a
NetPort another program holds. Runs in a network namespace of its own (the program binds UDP
3700) under a session bus of its own; the program's and the tool's paths are the arguments."""
import json
import os
import socket
import subprocess
import sys
import tempfile

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Dtu, check, port_group, serve, verdict, wait_until  # noqa: E402

PROGRAM, CTL = sys.argv[1:3]
RFC2217_PORT = 4017
RAW_PORT = 4018
TAKEN_PORT = 4019


def ctl(*arguments):
    return subprocess.run([CTL, *arguments], capture_output=True, text=True, timeout=30)


def show(number):
    """The port as show --json gives it, its empty texts (null there) as ""."""
    result = ctl("show", "--number", str(number), "--json")
    port = json.loads(result.stdout) if result.returncode == 0 else {}
    return {key: "" if value is None else value for key, value in port.items()}


def main():
    runtime = tempfile.mkdtemp()
    config = tempfile.mkdtemp()
    os.environ.update(XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config, ASAN_OPTIONS="detect_leaks=0")
    os.environ.pop("DISPLAY", None)
    os.makedirs(config + "/Torvane")
    # Another program holds one port's NetPort.
    holder = socket.socket()
    holder.bind(("127.0.0.1", TAKEN_PORT))
    holder.listen(1)
    with open(config + "/Torvane/HOLBRN.conf", "w") as f:
        f.write(port_group(1, 7, "A1", "NetPort=%d\n" % RFC2217_PORT)
                + port_group(2, 8, "B2", "NetMode=raw\nNetPort=%d\n" % RAW_PORT)
                + port_group(3, 9, "C3", "NetPort=%d\n" % TAKEN_PORT))
    serve(PROGRAM, runtime, lambda log: run(runtime, log))
    return verdict()


def run(runtime, log):
    check(wait_until(lambda: ctl("list").returncode == 0), "the service answers")

    # RFC 2217 through a UDP DTU, at 8E1 and then at other settings, without any launcher.
    dtu = Dtu("A1")
    check(dtu.login()[12:] == b"\x01OK", "A1 logs in")
    client = serial.serial_for_url("rfc2217://127.0.0.1:%d" % RFC2217_PORT, baudrate=19200, bytesize=8,
                                   parity="E", stopbits=1, timeout=5)
    check(wait_until(lambda: show(7).get("net_client", "").startswith("127.0.0.1:")),
          "show names the network client: %r" % show(7))
    check(show(7).get("line") == "19200 8E1, DTR on, RTS on", "the line settings are the client's: %r" % show(7))
    check(client.cts and client.dsr and client.cd, "CTS, DSR and CD are asserted")
    payload = bytes(range(256))  # 0xff among them, both ways
    dtu.send(payload)
    check(client.read(len(payload)) == payload, "the DTU's bytes reach the RFC 2217 client unchanged")
    client.write(payload)
    got = b""
    while len(got) < len(payload):
        got += dtu.receive()
    check(got == payload, "the client's bytes reach the DTU unchanged: %d bytes" % len(got))
    for setting in [dict(baudrate=115200, bytesize=7, parity="O", stopbits=2),
                    dict(baudrate=1200, bytesize=5, parity="N", stopbits=1.5),
                    dict(baudrate=9600, bytesize=8, parity="N", stopbits=1)]:
        client.apply_settings(setting)
        dtu.send(b"ping")
        check(client.read(4) == b"ping", "data at %r" % setting)
    check(show(7).get("line", "").startswith("9600 8N1"), "the last settings show: %r" % show(7))
    client.reset_input_buffer()
    client.reset_output_buffer()

    # A second client, RFC 2217 or plain, is told why and closed.
    second = socket.create_connection(("127.0.0.1", RFC2217_PORT), timeout=5)
    refusal = b""
    while True:
        chunk = second.recv(1000)
        if not chunk:
            break
        refusal += chunk
    check(b"COM7 is in use by network client 127.0.0.1:" in refusal, "a second client is told why: %r" % refusal)
    # An application cannot open the port meanwhile.
    try:
        serial.Serial(runtime + "/MV5840VSP/COM7").close()
        opened = True
    except serial.SerialException:
        opened = False
    check(opened == (os.geteuid() == 0), "an application's open fails while a client has the port")
    client.close()
    check(wait_until(lambda: show(7).get("net_client") == ""), "the client's going is seen: %r" % show(7))
    app = serial.Serial(runtime + "/MV5840VSP/COM7", timeout=5)
    dtu.send(b"back")
    check(app.read(4) == b"back", "the port is the applications' again")
    app.close()

    # Raw mode with a plain socket.
    raw_dtu = Dtu("B2")
    check(raw_dtu.login()[12:] == b"\x01OK", "B2 logs in")
    raw = socket.create_connection(("127.0.0.1", RAW_PORT), timeout=5)
    check(wait_until(lambda: show(8).get("net_client", "") != ""), "the raw client is seen")
    raw_dtu.send(b"\xff\x00raw")
    check(raw.recv(100) == b"\xff\x00raw", "raw: the DTU's bytes as they are")
    raw.sendall(b"\xff\xfdx")
    check(raw_dtu.receive() == b"\xff\xfdx", "raw: the client's bytes as they are")
    raw.close()

    # A NetPort another program holds: the port is served without it and says why.
    port9 = show(9)
    check(port9.get("state") != "not-served" and port9.get("device"), "the port is served: %r" % port9)
    check("cannot listen on TCP 127.0.0.1:%d" % TAKEN_PORT in port9.get("net_reason", ""),
          "show says why it does not listen: %r" % port9)

    # The tool adds a port with a network server, and refuses a second one on the same TCP port.
    added = ctl("add", "--number", "10", "--code", "D4", "--net-port", "4020", "--net-mode", "raw", "--json")
    check(added.returncode == 0 and json.loads(added.stdout).get("net_port") == 4020, "add --net-port: %r" % (added,))
    twice = ctl("add", "--number", "11", "--code", "E5", "--net-port", "4020")
    check(twice.returncode != 0 and "network port" in twice.stderr, "a taken NetPort is refused: %r" % twice.stderr)
    check(socket.create_connection(("127.0.0.1", 4020), timeout=5) is not None, "the added port listens")
    stats = ctl("stats", "--prometheus").stdout
    check('mv5840vsp_net_clients_total{' in stats, "the statistics count network clients")
    with open(os.environ["XDG_CONFIG_HOME"] + "/Torvane/HOLBRN.conf") as f:
        text = f.read()
    check("NetMode=raw\nNetPort=4020" in text, "the file keeps NetPort and NetMode: %r" % text)

    log.flush()
    log.seek(0)
    text = log.read()
    check("COM7: network client 127.0.0.1:" in text and "connected (RFC 2217)" in text, "a connect is logged")
    check("disconnected" in text, "a disconnect is logged")


if __name__ == "__main__":
    sys.exit(main())
