#!/usr/bin/python3
"""The window as a front end of the service, as a desktop user meets it: the service runs
(as the systemd user unit starts it), then the window starts on the same session bus and
shows the service's ports; a port added through the window's dialog is served and stored by
the service; ending the window leaves the ports served and their bytes flowing; a second
window attaches again. On an X server of its own, in a network namespace of its own (the
program binds UDP 3700) under a session bus of its own. Arguments: the program, the tool."""
import os
import subprocess
import sys
import tempfile
import time

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import Dtu, check, verdict, wait_until  # noqa: E402

PROGRAM, CTL = sys.argv[1], sys.argv[2]
TITLE = "MV5840 虚拟串口管理"


def xdotool(*arguments):
    return subprocess.run(["xdotool", *arguments], capture_output=True, text=True).stdout.split()


def start_x():
    """An X server on a display it finds free itself; its process."""
    reading, writing = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(writing), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                              pass_fds=(writing,), stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(writing)
    with os.fdopen(reading) as display:
        os.environ["DISPLAY"] = ":" + display.readline().strip()
    return server


def windows():
    return xdotool("search", "--onlyvisible", "--name", "^" + TITLE + "$")


def ctl(*arguments):
    return subprocess.run([CTL, *arguments], capture_output=True, text=True)


def stream(dtu, port, payload):
    """One datagram from the DTU reaches the application and one write reaches the DTU."""
    dtu.send(payload)
    got = b""
    deadline = time.time() + 5
    while len(got) < len(payload) and time.time() < deadline:
        got += port.read(len(payload) - len(got))
    port.write(payload[::-1])
    return got == payload and dtu.receive() == payload[::-1]


def main():
    work = tempfile.mkdtemp()
    runtime, config = work + "/run", work + "/config"
    os.makedirs(runtime, mode=0o700)
    os.makedirs(config + "/Torvane")
    with open(config + "/Torvane/HOLBRN.conf", "w") as f:
        f.write("[1]\nCode=A1\nLoginInterval=300\nPeerIP=0.0.0.0\nPortNumber=5\nUseFixedIP=0\nUseTcp=0\n")
    os.environ.update(XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config, QT_QPA_PLATFORM="xcb",
                      ASAN_OPTIONS="detect_leaks=0")
    xserver = start_x()
    service = subprocess.Popen([PROGRAM, "--service"], stderr=open(work + "/service.log", "w"))
    started = []
    try:
        check(wait_until(lambda: ctl("list").returncode == 0, 20), "the service answers on the bus")
        device = runtime + "/MV5840VSP/COM5"
        dtu = Dtu("A1")
        check(dtu.login() is not None, "the DTU logs in")
        port = serial.Serial(device, timeout=1)
        check(stream(dtu, port, b"before"), "bytes flow before a window shows")

        window = subprocess.Popen([PROGRAM], stderr=open(work + "/window1.log", "w"))
        started.append(window)
        check(wait_until(lambda: len(windows()) == 1, 20), "the window shows beside the service")
        said = open(work + "/window1.log").read()
        check("front end" in said and "process %d" % service.pid in said,
              "the window says it is a front end of the service's process: %r" % said)

        # Add a port through the window's dialog: number, code, OK.
        main_window = windows()[0]
        xdotool("windowfocus", "--sync", main_window, "key", "alt+a")
        check(wait_until(lambda: xdotool("search", "--onlyvisible", "--name", "^增加$"), 10), "Alt+A opens the add dialog")
        xdotool("type", "--delay", "50", "7")
        xdotool("key", "Tab")
        xdotool("type", "--delay", "50", "E2E")
        xdotool("key", "Return")
        check(wait_until(lambda: os.path.exists(runtime + "/MV5840VSP/COM7"), 10), "the service serves the port added")
        stored = open(config + "/Torvane/HOLBRN.conf").read()
        check("PortNumber=7" in stored and "Code=E2E" in stored, "the service stored it: %r" % stored)
        check(not xdotool("search", "--onlyvisible", "--name", "^增加$"), "the dialog is gone")

        # The window's exit ends the window alone, without the in-use question (COM5 is held).
        xdotool("windowfocus", "--sync", main_window, "key", "alt+x")
        check(wait_until(lambda: window.poll() is not None, 20), "Exit ends the window")
        check(window.returncode == 0, "with status 0: %s" % window.returncode)
        check(service.poll() is None, "the service keeps running")
        check(stream(dtu, port, b"after"), "bytes keep flowing after the window ended")
        check(os.path.exists(runtime + "/MV5840VSP/COM7"), "the port added stays")

        # A second window attaches again; a third start brings it forward and ends.
        second = subprocess.Popen([PROGRAM], stderr=open(work + "/window2.log", "w"))
        started.append(second)
        check(wait_until(lambda: len(windows()) == 1, 20), "a second window attaches")
        third = subprocess.run([PROGRAM], capture_output=True, text=True, timeout=30)
        check(third.returncode == 0 and len(windows()) == 1, "a third start raises the window: %s %r" % (
            third.returncode, third.stderr))
        second.terminate()
        check(wait_until(lambda: second.poll() is not None, 20) and second.returncode == 0,
              "SIGTERM ends the front end with status 0")
        check(service.poll() is None and stream(dtu, port, b"still"), "and the service still serves")
        port.close()
    finally:
        for process in started + [service]:
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(20)
                except subprocess.TimeoutExpired:
                    process.kill()
        xserver.terminate()
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
