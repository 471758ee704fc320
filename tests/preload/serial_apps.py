"""Serial applications as users run them on a port: each check opens the port the way the
application does, prints what went wrong and exits non-zero on the first failure."""
import array
import fcntl
import os
import signal
import subprocess
import sys
import termios
import threading

import serial

CMSPAR = 0o10000000000  # not in Python's termios module


def expect(condition, what):
    if not condition:
        print("FAILED:", what, flush=True)
        sys.exit(1)


def size_and_parity(fd):
    cflag = termios.tcgetattr(fd)[2]
    return cflag & termios.CSIZE, cflag & (termios.PARENB | termios.PARODD | CMSPAR)


def line_file(port):
    directory, name = os.path.split(port)
    return os.path.join(directory, "." + name + ".line")


def pyserial_7e1(port):
    """pyserial at 7E1 reconfiguring again and again, also to a rate of its own."""
    p = serial.Serial(port, 9600, bytesize=7, parity="E", timeout=2)
    combos = [(9600, 7, "E", 1), (12345, 7, "O", 2), (115200, 8, "E", 1), (300, 5, "M", 1),
              (19200, 6, "S", 2), (9600, 7, "E", 1)]
    for _ in range(20):
        for baud, size, parity, stop in combos:
            p.baudrate, p.bytesize, p.parity, p.stopbits = baud, size, parity, stop
            p.apply_settings(p.get_settings())  # an identical second apply
            csize, par = size_and_parity(p.fd)
            expect(csize == {5: termios.CS5, 6: termios.CS6, 7: termios.CS7, 8: termios.CS8}[size],
                   "data bits read back for %s" % size)
            want = {"N": 0, "E": termios.PARENB, "O": termios.PARENB | termios.PARODD,
                    "M": termios.PARENB | termios.PARODD | CMSPAR,
                    "S": termios.PARENB | CMSPAR}[parity]
            expect(par == want, "parity read back for %s" % parity)
            with open(line_file(port)) as f:
                state = f.read()
            expect(("baud=%d data=%d parity=%s stop=%d" % (baud, size, parity, stop)) in state,
                   "line state %r" % state)
    # The data path is unchanged: all 256 byte values come back through the echoing side.
    p.reset_input_buffer()
    data = bytes(range(256))
    p.write(data)
    got = p.read(len(data))
    expect(got == data, "echo of all byte values, got %d bytes" % len(got))
    p.close()
    expect(not os.path.exists(line_file(port)), "line state removed after the last close")


def modem_lines(port):
    p = serial.Serial(port, 9600, timeout=1)
    p.dtr = False
    p.rts = True
    expect(p.cts and p.dsr and p.cd and not p.ri, "cts/dsr/cd asserted, ri clear")
    with open(line_file(port)) as f:
        expect("dtr=0 rts=1" in f.read(), "dtr/rts in the line state")
    p.dtr = True
    status = array.array("i", [0])
    fcntl.ioctl(p.fd, termios.TIOCMGET, status, True)
    expect(status[0] & termios.TIOCM_DTR and status[0] & termios.TIOCM_RTS, "TIOCMGET after dtr")
    fcntl.ioctl(p.fd, termios.TIOCMBIC, array.array("i", [termios.TIOCM_RTS]))
    fcntl.ioctl(p.fd, termios.TIOCMGET, status, True)
    expect(not status[0] & termios.TIOCM_RTS, "TIOCMBIC clears RTS")
    counters = bytearray(80)
    counters[:] = b"\xff" * 80
    fcntl.ioctl(p.fd, termios.TIOCGICOUNT, counters, True)
    expect(counters == bytearray(80), "TIOCGICOUNT gives zero counters")

    # The lines never change: TIOCMIWAIT waits until a signal comes.
    class Woken(Exception):
        pass

    def wake(*_):
        raise Woken()
    signal.signal(signal.SIGALRM, wake)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        fcntl.ioctl(p.fd, termios.TIOCMIWAIT, termios.TIOCM_CTS)
        expect(False, "TIOCMIWAIT returned without a change")
    except Woken:
        pass
    p.close()


def other_pty(port):
    """A second pseudo-terminal of the same process keeps the kernel's behaviour."""
    p = serial.Serial(port, 9600, timeout=1)
    master, slave = os.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[2] = (attrs[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB
    attrs[4] = attrs[5] = termios.B1200
    termios.tcsetattr(slave, termios.TCSANOW, attrs)  # the rate changes: accepted, 7E dropped
    csize, par = size_and_parity(slave)
    expect(csize == termios.CS8 and par == 0, "the kernel forced 8N on the other pty")
    try:
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        expect(False, "identical second apply on the other pty succeeded")
    except termios.error as e:
        expect(e.args[0] == 22, "EINVAL from the other pty")
    try:
        fcntl.ioctl(slave, termios.TIOCMGET, array.array("i", [0]), True)
        expect(False, "TIOCMGET on the other pty succeeded")
    except OSError as e:
        expect(e.errno == 25, "ENOTTY from the other pty")
    # Meanwhile the port accepts the same settings twice.
    termios.tcsetattr(p.fd, termios.TCSANOW, attrs)
    termios.tcsetattr(p.fd, termios.TCSANOW, attrs)
    expect(size_and_parity(p.fd) == (termios.CS7, termios.PARENB), "port keeps 7E")
    p.close()


def set_7e1(fd):
    attrs = termios.tcgetattr(fd)
    attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.PARODD)) | termios.CS7 | termios.PARENB
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def descriptors(port):
    """Duplicates share the settings, closing one keeps the other, fork and exec inherit."""
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    set_7e1(fd)
    copy = os.dup(fd)
    os.close(fd)
    expect(size_and_parity(copy) == (termios.CS7, termios.PARENB), "dup shares the settings")
    moved = os.dup2(copy, 50)
    high = fcntl.fcntl(copy, fcntl.F_DUPFD_CLOEXEC, 60)
    os.close(copy)
    for d in (moved, high):
        expect(size_and_parity(d) == (termios.CS7, termios.PARENB), "dup2/F_DUPFD share them")
    # Reusing a number for something else forgets the port.
    null = os.open("/dev/null", os.O_RDWR)
    os.dup2(null, high)
    try:
        termios.tcgetattr(high)
        expect(False, "/dev/null answered terminal settings")
    except termios.error as e:
        expect(e.args[0] == 25, "ENOTTY on a reused number")
    pid = os.fork()
    if pid == 0:
        code = 0 if size_and_parity(moved) == (termios.CS7, termios.PARENB) else 3
        os._exit(code)
    expect(os.waitpid(pid, 0)[1] == 0, "the forked child reads the settings")
    # A program exec'd with the descriptor takes it up again, settings and all.
    check = ("import termios,sys; c=termios.tcgetattr(50)[2];"
             "sys.exit(0 if c & termios.CSIZE == termios.CS7 and c & termios.PARENB else 4)")
    result = subprocess.run([sys.executable, "-c", check], pass_fds=[50])
    expect(result.returncode == 0, "an exec'd program reads the settings back")
    # Two opens of the port: closing one leaves the other's report.
    second = os.open(port, os.O_RDWR | os.O_NOCTTY)
    attrs = termios.tcgetattr(second)
    attrs[4] = attrs[5] = termios.B2400
    termios.tcsetattr(second, termios.TCSANOW, attrs)
    os.close(moved)
    with open(line_file(port)) as f:
        expect("baud=2400 data=8 parity=N" in f.read(), "the remaining open's line state")
    os.close(second)
    os.close(null)
    expect(not os.path.exists(line_file(port)), "line state removed after the last close")


def stress(port):
    """Threads opening and closing the port and other files at once, each checking that its
    own descriptor reads back its own rate."""
    errors = []
    rates = [termios.B1200, termios.B2400, termios.B4800, termios.B9600, termios.B19200,
             termios.B38400, termios.B57600, termios.B115200]

    def work(rate):
        try:
            for _ in range(150):
                fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                other = os.open("/dev/null", os.O_RDONLY)
                attrs = termios.tcgetattr(fd)
                attrs[2] = (attrs[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB
                attrs[4] = attrs[5] = rate
                termios.tcsetattr(fd, termios.TCSANOW, attrs)
                back = termios.tcgetattr(fd)
                if back[5] != rate or back[2] & termios.CSIZE != termios.CS7:
                    errors.append("read back %s for %s" % (back[5], rate))
                os.close(other)
                os.close(fd)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))
    threads = [threading.Thread(target=work, args=(r,)) for r in rates]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expect(not errors, "; ".join(errors[:5]))
    expect(not os.path.exists(line_file(port)), "line state removed after the last close")


def modbus_8e1(port):
    """pymodbus's RTU client at 8E1, the Modbus default: 100 register write/read round trips."""
    from pymodbus.client import ModbusSerialClient
    client = ModbusSerialClient(port=port, baudrate=9600, bytesize=8, parity="E", stopbits=1,
                                timeout=2)
    expect(client.connect(), "pymodbus connects at 8E1")
    for i in range(100):
        values = [(i * 7 + k) & 0xFFFF for k in range(4)]
        written = client.write_registers(i % 50, values, slave=1)
        expect(not written.isError(), "write %d: %s" % (i, written))
        read = client.read_holding_registers(i % 50, 4, slave=1)
        expect(not read.isError() and read.registers == values, "read %d: %s" % (i, read))
    client.close()


def print_preload(_port):
    print(os.environ.get("LD_PRELOAD", ""))


if __name__ == "__main__":
    globals()[sys.argv[1]](sys.argv[2])
    print("OK", flush=True)
