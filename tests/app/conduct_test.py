#!/usr/bin/python3
"""The three programs as a Linux user, systemd and journald meet them: --help and --version
start nothing, unknown switches are said and ignored, log lines carry the journal's priority
when standard error is the journal, early signals do not end a service, the sd_notify
messages (ready, status, reload, stopping, watchdog pings only while the pump loop runs), the
events a user must read (refused or silent TCP DTUs once, a UDP DTU going offline, datagrams of no port
summed up, UDP 3700 taken late), a second service start's status and the first run's guidance.
Runs in a network namespace of its own under a session bus of its own.
Arguments: MV5840VSP, mv5840vspctl, mv5840vsp-run. CONDUCT_ONLY=<part> runs one part."""
import ctypes
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, verdict, wait_until  # noqa: E402

PROGRAM, CTL, RUN = sys.argv[1:4]
SERVER = ("127.0.0.1", 3700)




def udp_3700_free():
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.bind(("0.0.0.0", 3700))
        return True
    except OSError:
        return False
    finally:
        probe.close()


class Home:
    """A user's folders with a configuration file."""

    def __init__(self, config_text=None):
        self.runtime = tempfile.mkdtemp()
        self.config = tempfile.mkdtemp()
        os.chmod(self.runtime, 0o700)
        if config_text is not None:
            os.makedirs(self.config + "/Torvane")
            with open(self.config + "/Torvane/HOLBRN.conf", "w") as f:
                f.write(config_text)

    def env(self, **extra):
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime, XDG_CONFIG_HOME=self.config,
                   ASAN_OPTIONS="detect_leaks=0")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET", "WATCHDOG_USEC",
                     "JOURNAL_STREAM"):
            env.pop(name, None)
        for name, value in extra.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def link(self, name):
        return self.runtime + "/MV5840VSP/" + name


class Service:
    """MV5840VSP --service (or its window's run) with its standard error in a file."""

    def __init__(self, home, *switches, stderr=None, window=False, **env):
        self.log = tempfile.NamedTemporaryFile("w+", delete=False)
        command = [PROGRAM, *switches] if window else [PROGRAM, "--service", *switches]
        self.process = subprocess.Popen(command, env=home.env(**env),
                                        stderr=stderr if stderr is not None else self.log,
                                        stdout=subprocess.DEVNULL)

    def text(self):
        return open(self.log.name, errors="replace").read()

    def says(self, text, limit=10.0):
        return wait_until(lambda: text in self.text(), limit)

    def end(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return -1


def group(slot, number, code, tcp=False, interval=300):
    return "[%d]\nPortNumber=%d\nCode=%s\nUseTcp=%d\nUseFixedIP=%d\nPeerIP=%s\nLoginInterval=%d\n\n" % (
        slot, number, code, int(tcp), int(tcp), "127.0.0.1" if tcp else "0.0.0.0", interval)


def dtu_datagram(code, kind, payload=b""):
    return code.encode() + b"\0" * (12 - len(code)) + bytes([kind]) + payload


def help_and_version():
    for program, name in ((PROGRAM, "MV5840VSP"), (CTL, "mv5840vspctl"), (RUN, "mv5840vsp-run")):
        home = Home(group(1, 7, "A1"))
        for switch in ("--help", "-h"):
            started = time.monotonic()
            done = subprocess.run([program, switch], env=home.env(DBUS_SESSION_BUS_ADDRESS=None),
                                  capture_output=True, text=True, timeout=30)
            check(done.returncode == 0 and done.stdout.startswith("Usage: " + name) and done.stderr == "",
                  "%s %s: status %d, %r %r" % (name, switch, done.returncode, done.stdout[:60], done.stderr))
            check(time.monotonic() - started < 10, "%s %s ends at once" % (name, switch))
        for switch in ("--version", "-V"):
            done = subprocess.run([program, switch], env=home.env(), capture_output=True, text=True, timeout=30)
            words = done.stdout.split()
            check(done.returncode == 0 and len(words) == 2 and words[0] == name and words[1][0].isdigit()
                  and done.stdout.endswith("\n"), "%s %s: %r" % (name, switch, done.stdout))
        check(udp_3700_free(), "%s's help and version leave UDP 3700 free" % name)
        check(not os.path.exists(home.link("")), "%s's help and version open no port" % name)
    # Output lost to a full disk is a failed run, not a file that looks written.
    with open("/dev/full", "w") as full:
        done = subprocess.run([CTL, "--version"], stdout=full, stderr=subprocess.PIPE, text=True, timeout=30)
        check(done.returncode == 1
              and done.stderr == "mv5840vspctl: cannot write the output: No space left on device\n",
              "mv5840vspctl --version >/dev/full: status %d, %r" % (done.returncode, done.stderr))
        done = subprocess.run([PROGRAM, "--version"], stdout=full, stderr=subprocess.PIPE, text=True, timeout=30)
        check(done.returncode == 1 and "cannot write to standard output: No space left on device" in done.stderr,
              "MV5840VSP --version >/dev/full: status %d, %r" % (done.returncode, done.stderr))
        done = subprocess.run([RUN, "--version"], stdout=full, stderr=subprocess.PIPE, text=True, timeout=30)
        check(done.returncode == 1 and "I/O error" in done.stderr,
              "mv5840vsp-run --version >/dev/full: status %d, %r" % (done.returncode, done.stderr))
    versions = {subprocess.run([p, "--version"], capture_output=True, text=True).stdout.split()[-1]
                for p in (PROGRAM, CTL, RUN)}
    check(len(versions) == 1, "one version for the three programs: %s" % versions)
    # The launcher runs a program that starts with "-" after "--".
    done = subprocess.run([RUN, "--", "sh", "-c", "echo ran"], capture_output=True, text=True)
    check(done.stdout == "ran\n", "mv5840vsp-run -- PROGRAM runs it")


def unknown_switches_and_journal_prefix():
    home = Home(group(1, 7, "A1"))
    # Standard error is a pipe, and JOURNAL_STREAM names it: the journal's stream protocol.
    read_end, write_end = os.pipe()
    stat = os.fstat(write_end)
    service = Service(home, "--bogus", "-x", stderr=write_end, JOURNAL_STREAM="%d:%d" % (stat.st_dev, stat.st_ino))
    os.close(write_end)
    check(wait_until(lambda: os.path.islink(home.link("COM7"))), "unknown switches still start the service")
    check(service.end() == 0, "the service with unknown switches ends cleanly")
    lines = os.read(read_end, 1 << 20).decode(errors="replace").splitlines()
    while True:
        more = os.read(read_end, 1 << 20)
        if not more:
            break
        lines += more.decode(errors="replace").splitlines()
    os.close(read_end)
    check("<4>ignoring unknown switches --bogus -x (see MV5840VSP --help)" in lines,
          "one warning names the ignored switches, with the journal's prefix: %s" % lines)
    check(any(line.startswith("<5>serving 1 of 1 ports") for line in lines), "notice prefix: %s" % lines)
    check(all(line[0] == "<" and line[2] == ">" and "MV5840VSP: " not in line for line in lines if line),
          "every line carries a priority and no program name: %s" % lines)

    # A JOURNAL_STREAM that names another file: lines as on a terminal.
    other = tempfile.NamedTemporaryFile()
    stat = os.fstat(other.fileno())
    service = Service(home, "--bogus", JOURNAL_STREAM="%d:%d" % (stat.st_dev, stat.st_ino))
    check(service.says("MV5840VSP: ignoring unknown switch --bogus"), "without the journal: the program's name")
    check(service.end() == 0, "ends")
    # Standard error a file the stream names.
    log = tempfile.NamedTemporaryFile("w+")
    stat = os.fstat(log.fileno())
    service = Service(home, stderr=log, JOURNAL_STREAM="%d:%d" % (stat.st_dev, stat.st_ino))
    check(wait_until(lambda: "<5>serving 1 of 1 ports" in open(log.name).read()), "a file named by JOURNAL_STREAM")
    check(service.end() == 0, "ends")
    check("<6>ports closed, ending" in open(log.name).read(), "info prefix")
    # Qt's own warnings carry the priority too: a window on a display that is not there.
    log = tempfile.NamedTemporaryFile("w+")
    stat = os.fstat(log.fileno())
    subprocess.run([PROGRAM], env=home.env(DISPLAY=":987", JOURNAL_STREAM="%d:%d" % (stat.st_dev, stat.st_ino)),
                   stderr=log, stdout=subprocess.DEVNULL, timeout=60)
    check("<4>qt.qpa.xcb: could not connect to display :987" in open(log.name).read(),
          "a Qt warning under the journal: %s" % open(log.name).read()[:300])
    # A platform the user names is no missing display.
    for switches, env in ((["-platform", "offscreen"], {}), ([], {"QT_QPA_PLATFORM": "offscreen"})):
        window = subprocess.Popen([PROGRAM, *switches], env=home.env(**env), stderr=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, text=True)
        check(wait_until(lambda: os.path.islink(home.link("COM7"))), "the window's run serves the port")
        window.send_signal(signal.SIGTERM)
        said = window.communicate(timeout=30)[1]
        check("no display found" not in said, "%s %s: %r" % (switches, env, said))


def signals_held(pid):
    """True once the process blocks SIGHUP, SIGINT and SIGTERM: the first thing it does, before
    its libraries start (what comes before that, the loading of its libraries, no program can
    act on)."""
    wanted = (1 << (signal.SIGHUP - 1)) | (1 << (signal.SIGINT - 1)) | (1 << (signal.SIGTERM - 1))
    try:
        for line in open("/proc/%d/status" % pid):
            if line.startswith("SigBlk:"):
                return int(line.split()[1], 16) & wanted == wanted
    except OSError:
        pass
    return False


def early_signals():
    home = Home(group(1, 7, "A1"))
    for delay in (0.0, 0.002, 0.005, 0.01, 0.02, 0.03, 0.05):
        service = Service(home)
        check(wait_until(lambda: signals_held(service.process.pid) or service.process.poll() is not None, 5, 0),
              "the signals are held at the start")
        time.sleep(delay)
        service.process.send_signal(signal.SIGHUP)
        check(wait_until(lambda: os.path.islink(home.link("COM7"))) and service.process.poll() is None,
              "a SIGHUP %g s into the start does not end the service (status %s)" % (delay, service.process.poll()))
        check(service.end() == 0, "then SIGTERM ends it cleanly")
    for delay in (0.0, 0.01, 0.03):
        service = Service(home)
        wait_until(lambda: signals_held(service.process.pid) or service.process.poll() is not None, 5, 0)
        time.sleep(delay)
        service.process.send_signal(signal.SIGTERM)
        status = service.process.wait(30)
        check(status == 0, "a SIGTERM %g s into the start ends it cleanly, status %d" % (delay, status))
        check(not os.path.lexists(home.link("COM7")), "and leaves no link behind")


class NotifySocket:
    def __init__(self, abstract):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            name = "mv5840vsp-test-%d" % os.getpid()
            self.sock.bind("\0" + name)
            self.name = "@" + name
        else:
            self.name = tempfile.mkdtemp() + "/notify"
            self.sock.bind(self.name)
        self.messages = []  # (monotonic time of arrival, text)
        threading.Thread(target=self.receive, daemon=True).start()

    def receive(self):
        while True:
            text = self.sock.recv(4096).decode()
            self.messages.append((time.monotonic(), text))

    def take(self):
        return list(self.messages)

    def has(self, field, since=0.0, limit=10.0):
        return wait_until(lambda: any(field in text.split("\n") for at, text in self.take() if at >= since), limit)

    def pings(self, start, end):
        return [at for at, text in self.take() if "WATCHDOG=1" in text.split("\n") and start <= at <= end]

    def statuses(self):
        return [line[7:] for at, text in self.take() for line in text.split("\n") if line.startswith("STATUS=")]


def pumps_thread(pid):
    for tid in os.listdir("/proc/%d/task" % pid):
        if open("/proc/%d/task/%s/comm" % (pid, tid)).read().strip() == "mv-pumps":
            return int(tid)
    return None


def stop_thread(tid):
    """Stops one thread of the program (not the whole process) by ptrace; True when stopped."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    if libc.ptrace(0x4206, tid, None, None) != 0:  # PTRACE_SEIZE
        return False
    libc.ptrace(0x4207, tid, None, None)  # PTRACE_INTERRUPT
    os.waitpid(tid, 0x40000000)  # __WALL
    return True


def resume_thread(tid):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    libc.ptrace(17, tid, None, None)  # PTRACE_DETACH


def systemd_notify_and_events():
    # One UDP port (interval 10 s, so it goes offline within the test) and one TCP port whose
    # DTU refuses: nothing listens on TCP 3700 here.
    home = Home(group(1, 7, "A1", interval=10) + group(2, 8, "T1", tcp=True))
    for abstract in (False, True):
        notify = NotifySocket(abstract)
        started = time.monotonic()
        service = Service(home, NOTIFY_SOCKET=notify.name, WATCHDOG_USEC="1000000")
        check(notify.has("READY=1"), "READY=1 (%s socket)" % ("abstract" if abstract else "path"))
        check(notify.statuses()[:1] == ["2 ports, 0 online"], "first status: %s" % notify.statuses())
        if abstract:
            check(service.end() == 0, "ends")
            check(notify.has("STOPPING=1"), "STOPPING=1 on SIGTERM")
            continue

        dtu = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        dtu.bind(("127.0.0.1", 0))
        dtu.settimeout(5)
        dtu.sendto(dtu_datagram("A1", 0), SERVER)
        check(dtu.recv(100)[12:] == b"\x01OK", "the DTU logs in")
        check(wait_until(lambda: "2 ports, 1 online" in notify.statuses(), 5), "status follows: %s" % notify.statuses())
        # Datagrams of no port: one line at once, not one each.
        for _ in range(20):
            dtu.sendto(dtu_datagram("ZZ\n9", 3, b"x"), SERVER)
        check(service.says('dropped, the latest with code "ZZ\\x0A9" from 127.0.0.1:'),
              "datagrams of no port are said")
        # More within the minute: not said now, but at the end of the run.
        for _ in range(5):
            dtu.sendto(dtu_datagram("ZZ\n9", 3, b"x"), SERVER)

        # Watchdog pings at least every half second while the loop runs.
        time.sleep(2.2)
        now = time.monotonic()
        pings = notify.pings(now - 2.0, now)
        check(len(pings) >= 3, "watchdog pings while the pump loop runs: %d in 2 s" % len(pings))
        tid = pumps_thread(service.process.pid)
        check(tid is not None, "the pump loop's thread is named mv-pumps")
        if tid and stop_thread(tid):
            stopped = time.monotonic()
            time.sleep(2.5)
            gap = notify.pings(stopped + 0.6, time.monotonic())
            check(gap == [], "no pings while the pump loop is stopped: %d" % len(gap))
            check(service.process.poll() is None, "the rest of the program runs on")
            resume_thread(tid)
            resumed = time.monotonic()
            check(wait_until(lambda: notify.pings(resumed, time.monotonic()) != [], 3), "pings again once it runs")

        reload_at = time.monotonic()
        service.process.send_signal(signal.SIGHUP)
        check(notify.has("RELOADING=1", reload_at), "RELOADING=1 on SIGHUP")
        reloads = [text for at, text in notify.take() if at >= reload_at and "RELOADING=1" in text]
        check(reloads and any(line.startswith("MONOTONIC_USEC=") for line in reloads[0].split("\n")),
              "RELOADING=1 carries MONOTONIC_USEC: %s" % reloads)
        check(notify.has("READY=1", reload_at), "READY=1 after the reload")

        # The UDP DTU is silent: offline after its interval and a grace of 2 s.
        check(service.says('COM7 (DTU "A1"): DTU at 127.0.0.1:%d went offline' % dtu.getsockname()[1], 16),
              "a UDP DTU going offline is said")
        check(wait_until(lambda: notify.statuses()[-1:] == ["2 ports, 0 online"], 3), "status after it: %s"
              % notify.statuses()[-3:])
        # The updates of the status alone (ready, reloading and stopping carry one of their own).
        status_times = [at for at, text in notify.take() if text.startswith("STATUS=") and "\n" not in text]
        check(all(b - a >= 0.9 for a, b in zip(status_times, status_times[1:])), "status at most once a second")
        check(service.end() == 0, "SIGTERM ends the service")
        check(notify.has("STOPPING=1"), "STOPPING=1 on SIGTERM")
        text = service.text()
        refusal = 'COM8 (DTU "T1"): cannot connect to the DTU at 127.0.0.1:3700: Connection refused'
        check(text.count(refusal) == 1, "a refusing TCP DTU is said once over %d s: %d times"
              % (time.monotonic() - started, text.count(refusal)))
        said = [int(n) for n in re.findall(r"(\d+) (?:more )?datagrams? matched no port", text)]
        check(len(said) == 2 and sum(said) == 25, "datagrams of no port are summed up, not said each, "
              "and the rest at the end: %s" % said)
    # Without NOTIFY_SOCKET the service runs as before.
    service = Service(home)
    check(wait_until(lambda: os.path.islink(home.link("COM7"))), "runs without NOTIFY_SOCKET")
    check(service.end() == 0, "and ends")


def tcp_dtu_times_out():
    """A TCP DTU that never answers: its listener's queue is full, so the SYNs are dropped, and
    this namespace gives up on a connection after one retry (about 3 s)."""
    try:
        with open("/proc/sys/net/ipv4/tcp_syn_retries", "w") as f:
            f.write("1")
    except OSError as error:
        print("skipped: the namespace's SYN retries cannot be set:", error)
        return
    listener = socket.socket()
    listener.bind(("127.0.0.1", 3700))
    listener.listen(0)
    queued = []
    for _ in range(2):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(("127.0.0.1", 3700))
        queued.append(filler)
    home = Home(group(2, 8, "T1", tcp=True))
    service = Service(home)
    line = 'COM8 (DTU "T1"): cannot connect to the DTU at 127.0.0.1:3700: Connection timed out'
    check(service.says(line, 15), "a TCP DTU that does not answer is said")
    time.sleep(7)  # two more attempts time out
    check(service.end() == 0, "ends")
    check(service.text().count(line) == 1, "once: %d times" % service.text().count(line))
    for sock in queued + [listener]:
        sock.close()


def udp_port_taken_late():
    home = Home(group(1, 7, "A1"))
    squatter = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    squatter.bind(("0.0.0.0", 3700))
    notify = NotifySocket(False)
    service = Service(home, NOTIFY_SOCKET=notify.name)
    check(service.says("UDP port 3700 cannot be opened"), "the taken port is said")
    check(wait_until(lambda: "1 port, 0 online; UDP port 3700 is held by another program" in notify.statuses()),
          "and in the status: %s" % notify.statuses())
    squatter.close()
    check(service.says("UDP port 3700 is free now and taken; DTUs can log in", 5), "and when it is ours after all")
    check(wait_until(lambda: notify.statuses()[-1:] == ["1 port, 0 online"], 5),
          "the status says it no more: %s" % notify.statuses())
    check(service.end() == 0, "ends")


def second_service_and_first_run():
    home = Home(group(3, 7, "A1") + group(5, 8, "B2"))
    first = Service(home)
    check(wait_until(lambda: os.path.islink(home.link("COM7"))), "first service runs")

    # The tool's JSON: slots as the file's groups, times in ISO 8601 UTC, nothing empty but null.
    dtu = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dtu.settimeout(5)
    dtu.sendto(dtu_datagram("A1", 0), SERVER)
    check(dtu.recv(100)[12:] == b"\x01OK", "the DTU logs in")
    env = home.env()
    listing = lambda: json.loads(subprocess.run([CTL, "list", "--json"], env=env, capture_output=True,
                                                text=True).stdout or "[]")
    check(wait_until(lambda: len(listing()) == 2), "the tool lists the ports")
    by_code = {port["code"]: port for port in listing()}
    check(by_code["A1"]["slot"] == 3 and by_code["B2"]["slot"] == 5, "slots are the file's groups: %s" % by_code)
    check(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", by_code["A1"]["last_heard"] or ""),
          "last_heard in ISO 8601 UTC: %s" % by_code["A1"]["last_heard"])
    check(by_code["B2"]["last_heard"] is None and by_code["B2"]["peer"] is None and by_code["B2"]["reason"] is None
          and by_code["B2"]["fixed_ip"] is None, "nothing empty, null instead: %s" % by_code["B2"])
    check(all(value != "" for port in by_code.values() for value in port.values()), "no empty text")
    shown = subprocess.run([CTL, "show", "--number", "8", "--json"], env=env, capture_output=True, text=True)
    check(json.loads(shown.stdout or "{}").get("slot") == 5, "show gives the same slot: %s" % shown.stdout)
    # Completion offers the running instance's ports.
    completion = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../res/mv5840vspctl.bash")
    env = home.env(PATH=os.path.dirname(CTL) + ":" + os.environ["PATH"])
    script = 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _mv5840vspctl; echo "${COMPREPLY[@]}"'
    words = lambda *line: subprocess.run(["bash", "-c", script, "complete", completion, *line], env=env,
                                         capture_output=True, text=True).stdout.split()
    check(wait_until(lambda: words("mv5840vspctl", "show", "--number", "") == ["7", "8"]),
          "completion of --number: %s" % words("mv5840vspctl", "show", "--number", ""))
    check(words("mv5840vspctl", "select", "") == ["A1", "B2"], "completion of select's code")
    check(words("mv5840vspctl", "li") == ["list"], "completion of li")
    second = Service(home)
    check(second.process.wait(30) == 150, "a second service start ends with status 150: %s" % second.process.poll())
    check(first.end() == 0, "the first ends cleanly")

    empty = Home()
    service = Service(empty)
    check(service.says('no port configured yet; add one with "mv5840vspctl add --number N --code CODE"'),
          "the first run says how to add a port")
    check(empty.config + "/Torvane/HOLBRN.conf" in service.text(), "and names the file")
    check("session bus" not in service.text(), "with a bus, nothing about one")
    check(service.end() == 0, "ends")
    service = Service(empty, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent")
    check(service.says("mv5840vspctl reaches the program through the session bus"), "without a bus it says so")
    check(service.end() == 0, "ends")
    # A window nobody sees (no display) guides as well; it reads the file again only at a start.
    window = Service(empty, window=True)
    check(window.says("no port configured yet; add one with"), "a window on no display says how to add a port")
    check(window.end() == 0, "ends")
    check("and start the program again" in window.text(), "and that the file counts at the next start")


def main():
    parts = (help_and_version, unknown_switches_and_journal_prefix, early_signals, systemd_notify_and_events,
             tcp_dtu_times_out, udp_port_taken_late, second_service_and_first_run)
    only = os.environ.get("CONDUCT_ONLY")
    for part in parts:
        if only and part.__name__ != only:
            continue
        print("--", part.__name__, flush=True)
        part()
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
