#!/usr/bin/python3
"""The program in service mode, as a service manager, a DTU, a serial application and an
administrator on the bus meet it. Runs in a network namespace of its own (the program binds
UDP 3700) under a session bus of its own; the program's path is the first argument."""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Dtu, check, verdict, wait_until  # noqa: E402

PROGRAM = sys.argv[1]
BUS = ["gdbus", "call", "--session", "--dest", "MV5840VSP.IMV5840VSP", "--object-path", "/IMV5840VSP",
       "--method"]
MANAGER = "MV5840VSP.IPortManager."


def call(method, *arguments):
    """(ok, text): the reply or the error line of one manager call."""
    done = subprocess.run(BUS + [MANAGER + method, *arguments], capture_output=True, text=True)
    return done.returncode == 0, (done.stdout if done.returncode == 0 else done.stderr).strip()


def ports():
    ok, text = call("ListPorts")
    return parse_ports(text) if ok else None


def parse_ports(text):
    """The port dictionaries of a reply, as {key: text of the value}."""
    found = []
    for body in re.findall(r"\{([^{}]*)\}", text):
        port = {}
        for key, value in re.findall(r"'(\w+)': <([^>]*)>", body):
            port[key] = value.replace("int64 ", "").strip("'")
        found.append(port)
    return found


def port_by(key, value):
    for port in ports() or []:
        if port.get(key) == value:
            return port
    return None


def write_config(home, text):
    os.makedirs(home + "/Torvane", exist_ok=True)
    with open(home + "/Torvane/HOLBRN.conf", "w") as f:
        f.write(text)


def slot_text(group, number, code):
    return "[%d]\nCode=%s\nLoginInterval=300\nPeerIP=0.0.0.0\nPortNumber=%d\nUseFixedIP=0\nUseTcp=0\n\n" % (
        group, code, number)


def main():
    runtime = tempfile.mkdtemp()
    config = tempfile.mkdtemp()
    os.environ.update(XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config, ASAN_OPTIONS="detect_leaks=0")
    os.environ.pop("DISPLAY", None)
    os.environ.pop("QT_QPA_PLATFORM", None)
    write_config(config, slot_text(1, 7, "A1") + slot_text(2, 8, "B2"))
    log = open(runtime + "/service.log", "w+")
    program = subprocess.Popen([PROGRAM, "--service"], stderr=log)
    try:
        run(program, runtime, config, log)
    finally:
        if program.poll() is None:
            program.kill()
    log.seek(0)
    print(log.read())
    return verdict()


def run(program, runtime, config, log):
    check(wait_until(lambda: ports() is not None), "the service answers on the bus")
    check([p["code"] for p in ports()] == ["A1", "B2"], "the stored ports are served")

    # Add a port, a DTU logs in, an application exchanges bytes through it.
    ok, text = call("AddPort", "{'number': <9>, 'code': <'C3'>}")
    check(ok and "'number': <9>" in text, "AddPort answers the new port: " + text)
    device = runtime + "/MV5840VSP/COM9"
    check(os.path.islink(device), "the new port's link exists")
    dtu = Dtu("C3")
    check(dtu.login()[12:] == b"\x01OK", "the DTU's login is answered")
    check(wait_until(lambda: (port_by("code", "C3") or {}).get("state") == "online"), "the port shows online")
    # Events are read from the snapshots every half second.
    check(wait_until(lambda: 'COM9 (DTU "C3"): DTU logged in from 127.0.0.1:' in open(log.name).read()),
          "the login is logged")
    check(port_by("code", "C3")["peer"] == "127.0.0.1:%d" % dtu.sock.getsockname()[1], "the peer is the DTU")
    app = serial.Serial(device, timeout=5)
    dtu.send(b"to the application")
    check(app.read(18) == b"to the application", "the DTU's bytes reach the application")
    app.write(b"to the DTU")
    check(dtu.receive() == b"to the DTU", "the application's bytes reach the DTU")
    check(wait_until(lambda: port_by("code", "C3")["rx"] == "18" and port_by("code", "C3")["tx"] == "10"),
          "byte counts")

    # Edit it: the code and interval, then the number.
    ok, text = call("EditPort", "{'number': <9>}", "{'code': <'C4'>, 'interval': <20>}")
    check(ok and "'code': <'C4'>" in text and "'interval': <20>" in text, "EditPort changes code and interval")
    check(open(config + "/Torvane/HOLBRN.conf").read().count("Code=C4") == 1, "the edit is stored")

    # Every invalid argument is refused with its own error and the window's text.
    refusals = [
        ("AddPort", ["{'number': <0>}"], "NumberOutOfRange", "“请填入一个在1和256之间的整数。”"),
        ("AddPort", ["{'number': <257>}"], "NumberOutOfRange", "“请填入一个在1和256之间的整数。”"),
        ("AddPort", ["{'number': <7>}"], "NumberInUse", "该端口号已被使用"),
        ("AddPort", ["{'number': <20>, 'code': <'一二三四'>}"], "CodeTooLong", "“请填入不多于11个的字符。”"),
        ("AddPort", ["{'number': <20>, 'interval': <9>}"], "IntervalOutOfRange", "“请填入一个在10和100000之间的整数。”"),
        ("AddPort", ["{'number': <20>, 'fixed_ip': <'300.1.1.1'>}"], "InvalidAddress", "“300.1.1.1”不是有效的IP地址。"),
        ("AddPort", ["{'number': <20>, 'transport': <'sctp'>}"], "InvalidArgument", "请求无效：transport: "),
        ("AddPort", ["{'number': <int64 20>}"], "InvalidArgument", "请求无效：number: "),
        ("AddPort", ["{'code': <'X'>}"], "InvalidArgument", "请求无效：number: required"),
        ("AddPort", ["{'number': <20>, 'colour': <'red'>}"], "InvalidArgument", "请求无效：colour: unknown key"),
        ("EditPort", ["{'number': <99>}", "{}"], "NoSuchPort", "没有端口号为99的端口。"),
        ("EditPort", ["{'number': <9>}", "{'number': <8>}"], "NumberInUse", "该端口号已被使用"),
        ("GetPort", ["{'number': <9>, 'code': <'C4'>}"], "InvalidArgument", "请求无效：selector: "),
        ("RemovePort", ["{'code': <'nobody'>}", "false"], "NoSuchPort", "没有编码为“nobody”的端口。"),
        ("RemovePort", ["{'number': <9>}", "false"], "PortInUse", "请确认先关闭正在使用虚拟串口的程序。"),
    ]
    for method, arguments, kind, text_start in refusals:
        ok, text = call(method, *arguments)
        check(not ok and ("MV5840VSP.Error.%s: %s" % (kind, text_start)) in text,
              "%s %s refused as %s: %s" % (method, arguments, kind, text))
    check(len(ports()) == 3, "refusals change nothing")

    ok, text = call("EditPort", "{'number': <9>}", "{'number': <10>}")
    check(ok and os.path.islink(runtime + "/MV5840VSP/COM10") and not os.path.exists(device),
          "a new number moves the port's link")
    app.close()
    ok, text = call("RemovePort", "{'number': <10>}", "false")
    check(ok and port_by("number", "10") is None, "RemovePort removes a port nobody holds")
    check("Code=C4" not in open(config + "/Torvane/HOLBRN.conf").read(), "the removal is stored")

    reload_while_streaming(program, runtime, config, log)

    program.send_signal(signal.SIGTERM)
    check(program.wait(30) == 0, "SIGTERM ends the service cleanly")
    check([n for n in os.listdir(runtime + "/MV5840VSP") if not n.startswith(".")] == [], "the end removes every port link")


def reload_while_streaming(program, runtime, config, log):
    """SIGHUP with an application streaming through an unchanged port while another slot is
    edited in the file: not one byte of the stream is lost."""
    dtu = Dtu("A1")
    check(dtu.login()[12:] == b"\x01OK", "A1 logs in")
    app = serial.Serial(runtime + "/MV5840VSP/COM7", timeout=10)
    sent = bytearray()
    received = bytearray()
    up = bytearray()

    def dtu_side():
        for k in range(400):
            payload = bytes((k * 7 + i) & 0xFF for i in range(100))
            dtu.send(payload)
            sent.extend(payload)
            time.sleep(0.005)

    def app_side():
        while len(received) < 40000:
            chunk = app.read(40000 - len(received))
            if not chunk:
                return
            received.extend(chunk)

    def upstream():
        while len(up) < 40000:
            try:
                up.extend(dtu.receive())
            except socket.timeout:
                return

    threads = [threading.Thread(target=f) for f in (dtu_side, app_side, upstream)]
    for t in threads:
        t.start()
    for k in range(40):
        app.write(bytes((k + i) & 0xFF for i in range(1000)))
        time.sleep(0.01)
        if k == 10:
            write_config(config, "[General]\nSocketPort=3701\n\n" + slot_text(1, 7, "A1") + slot_text(2, 8, "B9")
                         + slot_text(5, 12, "E5"))
            program.send_signal(signal.SIGHUP)
    for t in threads:
        t.join(60)
    expected_up = b"".join(bytes((k + i) & 0xFF for i in range(1000)) for k in range(40))
    check(bytes(received) == bytes(sent), "downstream through the reload: %d of %d bytes" % (len(received), len(sent)))
    check(bytes(up) == expected_up, "upstream through the reload: %d of %d bytes" % (len(up), len(expected_up)))
    log.flush()
    text = open(log.name).read()
    check("configuration reloaded: 1 unchanged, 1 restarted (COM8 (slot 2)), 0 closed, 1 opened (COM12 (slot 5))" in text,
          "the reload's summary names the ports")
    check("global settings" in text and "next start" in text, "the global change is reported")
    check([p["code"] for p in ports()] == ["A1", "B9", "E5"], "the file's ports after the reload")
    check(os.path.islink(runtime + "/MV5840VSP/COM12"), "the new slot's port is open")
    # A broken file changes nothing that runs and ends nothing.
    write_config(config, "[1\nPortNumber=,,\n\x00garbage")
    program.send_signal(signal.SIGHUP)
    time.sleep(1)
    check(program.poll() is None, "a broken file does not end the service")
    check([p["code"] for p in ports()] == ["A1", "B9", "E5"], "a broken file changes no port")
    check("the ports stay as they are" in open(log.name).read(), "a broken file is reported")
    app.close()


if __name__ == "__main__":
    sys.exit(main())
