"""What the black-box tests of the built programs share: checks that are counted rather than
fatal, so one run reports every fault it finds, waits for a condition with a limit, a port's
group of the configuration file, a service run, and a DTU."""
import signal
import socket
import subprocess
import time

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)


def wait_until(condition, limit=10.0, step=0.02):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(step)
    return condition()


def port_group(slot, number, code, extra=""):
    """A dynamic-login UDP port's group as the program writes it; extra: lines of keys between
    LoginInterval and PeerIP ("NetPort=4001\n")."""
    return "[%d]\nCode=%s\nLoginInterval=300\n%sPeerIP=0.0.0.0\nPortNumber=%d\nUseFixedIP=0\nUseTcp=0\n\n" % (
        slot, code, extra, number)


def serve(program, runtime, body):
    """Runs body(log) while `program --service` serves, its standard error going to log, then
    ends it with SIGTERM (which must end it cleanly) and prints what it wrote."""
    log = open(runtime + "/service.log", "w+")
    service = subprocess.Popen([program, "--service"], stderr=log)
    try:
        body(log)
        service.send_signal(signal.SIGTERM)
        check(service.wait(30) == 0, "SIGTERM ends the service cleanly")
    finally:
        if service.poll() is None:
            service.kill()
    log.seek(0)
    print(log.read())


def verdict():
    """The test's exit status, after one line saying how it went."""
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


class Dtu:
    """A DTU on UDP that logs in to the program on this machine and exchanges data datagrams."""

    SERVER = ("127.0.0.1", 3700)

    def __init__(self, code):
        self.code = code.encode()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(5)
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]

    def header(self, kind):
        return self.code + b"\0" * (12 - len(self.code)) + bytes([kind])

    def login(self):
        self.sock.sendto(self.header(0), self.SERVER)
        return self.sock.recvfrom(100)[0]

    def send(self, payload):
        self.sock.sendto(self.header(3) + payload, self.SERVER)

    def receive(self):
        return self.sock.recvfrom(2000)[0][13:]
