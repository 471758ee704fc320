#!/usr/bin/python3
"""The configuration file as users keep it, and as a careless user or a hostile file leaves it,
met by the built program in service mode and by mv5840vspctl; the port directory removed under
the running program. Runs in a network and mount
namespace of its own (the program binds UDP 3700; a read-only folder is a bind mount) under a
session bus of its own. Arguments: the program's path, mv5840vspctl's path."""
import json
import os
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, failures, verdict, wait_until  # noqa: E402

PROGRAM, CTL = sys.argv[1], sys.argv[2]
started = []  # every program run, ended at the latest when the test ends




def ctl(*arguments):
    try:
        done = subprocess.run([CTL, *arguments], capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        return None, "", "no answer in 30 s"
    return done.returncode, done.stdout, done.stderr


def ports():
    status, out, _ = ctl("list", "--json")
    return json.loads(out) if status == 0 else None


class Run:
    """One start of the program in service mode with a configuration home of its own."""

    def __init__(self, config_text=None, config=None):
        self.runtime = tempfile.mkdtemp()
        self.config = config or tempfile.mkdtemp()
        self.file = self.config + "/Torvane/HOLBRN.conf"
        if config_text is not None:
            write(self.file, config_text)
        self.log = open(self.runtime + "/service.log", "w+")
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime, XDG_CONFIG_HOME=self.config,
                   ASAN_OPTIONS="detect_leaks=0")
        env.pop("DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)
        self.process = subprocess.Popen([PROGRAM, "--service"], stderr=self.log, env=env)
        started.append(self.process)
        self.up = wait_until(lambda: ports() is not None, 30)

    def text(self):
        self.log.flush()
        return open(self.log.name).read()

    def device(self, number):
        return self.runtime + "/MV5840VSP/COM%d" % number

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = None
        if failures:
            print(self.text())
        return status


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())
    os.chmod(path, mode)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def slot(group, number, code):
    return "[%d]\nCode=%s\nLoginInterval=300\nPeerIP=0.0.0.0\nPortNumber=%d\nUseFixedIP=0\nUseTcp=0\n\n" % (
        group, code, number)


def hand_kept_file():
    """A byte-order mark, comment lines, keys in another letter case and an empty group."""
    text = (b"\xef\xbb\xbf; ports of the north site\n[1]\n# from the label\nportnumber=7\ncode=C7\n\n"
            b"[3]\n\n; the rest\n[General]\nsocketport=3700 ; the DTUs' port\n")
    run = Run(text)
    check(run.up, "the service starts on a hand-kept file")
    listed = ports() or []
    # Slots as the file numbers its groups; an empty code is null.
    check([(p["slot"], p["number"], p["code"]) for p in listed] == [(1, 7, "C7"), (3, 0, None)],
          "odd-case keys and an empty group are served: %s" % listed)
    empty = listed[1] if len(listed) > 1 else {}
    check(empty.get("transport") == "udp" and empty.get("fixed_ip") is None and empty.get("interval") == 300,
          "an empty group is a dynamic UDP port with interval 300: %s" % empty)
    check(read(run.file) == text, "start-up leaves the file as it is")
    run.process.send_signal(signal.SIGHUP)
    check(wait_until(lambda: "configuration reloaded" in run.text()), "a reload")
    check(read(run.file) == text, "a reload leaves the file as it is")
    warnings = [line for line in run.text().splitlines() if "can be read by other users" in line]
    check(len(warnings) == 1 and run.file in warnings[0], "an open file is named once: %s" % warnings)

    status, out, err = ctl("add", "--number", "9")
    check(status == 2 and "--code CODE is required" in err, "add without --code is wrong arguments: %d %s" % (status, err))
    check(len(ports() or []) == 2, "and adds nothing")
    status, out, err = ctl("add", "--number", "9", "--code", "C9")
    check(status == 0 and err == "", "a save into a file with comments succeeds and says so: %d %s" % (status, err))
    after = read(run.file)
    check(after.startswith(b"\xef\xbb\xbf; ports of the north site\n[1]\n# from the label\n"),
          "the byte-order mark and the comments stay in place: %r" % after)
    check(b"; the rest\n" in after and b"socketport=3700 ; the DTUs' port\n" in after, "the other lines stay")
    check(after.endswith(b"\n[2]\nCode=C9\nLoginInterval=300\nPeerIP=0.0.0.0\nPortNumber=9\nUseFixedIP=0\nUseTcp=0\n"),
          "the new group is written at the end: %r" % after)
    check(stat.S_IMODE(os.stat(run.file).st_mode) == 0o600, "a rewritten file is private")
    check(stat.S_IMODE(os.stat(run.config + "/Torvane").st_mode) == 0o700, "its folder is private")

    # Edited: only the value the edit makes is written; the other lines stay as they are.
    before = read(run.file)
    status, _, err = ctl("edit", "--number", "7", "--interval", "60")
    check(status == 0 and err == "", "edit: %d %s" % (status, err))
    after = read(run.file)
    check(after == before.replace(b"code=C7\n", b"code=C7\nLoginInterval=60\n"),
          "an edit adds its one line and leaves the odd-case keys alone: %r" % after)
    status, _, err = ctl("edit", "--number", "7", "--new-number", "8")
    check(status == 0, "edit of the number: " + err)
    check(read(run.file) == after.replace(b"portnumber=7\n", b"portnumber=8\n"),
          "a change of number rewrites its own line in its own case: %r" % read(run.file))
    check(run.stop() == 0, "SIGTERM ends the service")


def hand_edits_survive_an_edit():
    """A group edited by hand and not reloaded: an edit of its port keeps the hand edit and says so."""
    run = Run(slot(1, 1, "H1") + slot(2, 2, "H2"))
    check(run.up, "the service starts")
    handmade = read(run.file).replace(b"Code=H2", b"Code=HANDMADE")
    write(run.file, handmade, 0o600)
    status, out, err = ctl("edit", "--number", "2", "--interval", "120")
    check(status == 0, "the edit succeeds: %d %s" % (status, err))
    check(read(run.file) == handmade.replace(b"LoginInterval=300\nPeerIP=0.0.0.0\nPortNumber=2",
                                             b"LoginInterval=120\nPeerIP=0.0.0.0\nPortNumber=2"),
          "only the interval is written, Code=HANDMADE stays: %r" % read(run.file))
    check("group [2] (Code) was edited by hand" in err and "next reload" in err,
          "the tool says the hand edit was kept: %r" % err)
    check("group [2] (Code) was edited by hand" in run.text(), "and so does the log")
    status, out, err = ctl("edit", "--number", "2", "--interval", "130", "--json")
    check(status == 0 and "edited by hand" in (json.loads(out).get("note") or ""), "--json carries it as note")
    run.process.send_signal(signal.SIGHUP)
    check(wait_until(lambda: "configuration reloaded" in run.text()), "a reload")
    check([p["code"] for p in ports() or []] == ["H1", "HANDMADE"], "the reload applies the hand edit")
    status, _, err = ctl("edit", "--number", "2", "--interval", "140")
    check(status == 0 and err == "", "once reloaded there is nothing to say: %r" % err)
    check(run.stop() == 0, "SIGTERM ends the service")


def leftovers_of_killed_saves():
    """Files left by saves cut short go at the next start and the next save; nothing else does."""
    run = Run(slot(1, 1, "K1"))
    check(run.up, "the service starts")
    folder = run.config + "/Torvane/"
    write(folder + ".HOLBRN.conf.Ab12Cd", "Password=secret\n", 0o600)
    write(folder + ".HOLBRN.conf.keepme1", "not ours\n", 0o600)
    check(ctl("edit", "--number", "1", "--interval", "60")[0] == 0, "an edit")
    check(sorted(os.listdir(folder)) == [".HOLBRN.conf.keepme1", "HOLBRN.conf"],
          "the save removed the leftover and nothing else: %s" % os.listdir(folder))
    check("removed " + folder + ".HOLBRN.conf.Ab12Cd" in run.text(), "and said so")
    # A service killed while it saves over and over leaves what it leaves; a start clears it.
    for _ in range(3):
        saver = subprocess.Popen(["sh", "-c", "while :; do %s edit --number 1 --interval 61 >/dev/null 2>&1; "
                                  "%s edit --number 1 --interval 62 >/dev/null 2>&1; done" % (CTL, CTL)])
        time.sleep(0.7)
        run.process.kill()
        run.process.wait()
        saver.kill()
        saver.wait()
        write(folder + ".HOLBRN.conf.Zz99Yy", "Password=secret\n", 0o600)
        run = Run(config=run.config)
        check(run.up, "the service starts again")
        left = [name for name in os.listdir(folder) if name.startswith(".HOLBRN.conf.") and len(name) == 19]
        check(left == [], "the start removed the leftovers: %s" % left)
    check(run.stop() == 0, "SIGTERM ends the service")


def removed_port_directory():
    """The port directory or a link removed while the service runs: made again and said; a reload
    or an edit makes a missing link again in any case."""
    run = Run(slot(1, 1, "P1") + slot(2, 2, "P2"))
    check(run.up, "the service starts")
    folder = run.runtime + "/MV5840VSP"
    subprocess.run(["rm", "-rf", folder], check=True)
    check(wait_until(lambda: os.path.islink(run.device(1)) and os.path.islink(run.device(2)), 10),
          "rm -rf of the port directory: both links are made again")
    check(wait_until(lambda: "port directory %s was removed; it is made again with the links of 2 ports" % folder
                     in run.text()), "and the log says so")
    check(stat.S_IMODE(os.stat(folder).st_mode) == 0o700, "the directory is private again")
    check(os.path.exists(folder + "/.lock"), "with its lock")
    with open(run.device(1), "rb+", buffering=0) as application:
        dtu = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        dtu.settimeout(5)
        dtu.sendto(b"P1" + b"\0" * 10 + b"\0", ("127.0.0.1", 3700))
        check(dtu.recvfrom(100)[0][12:] == b"\x01OK", "the DTU logs in")
        dtu.sendto(b"P1" + b"\0" * 10 + b"\x03hello", ("127.0.0.1", 3700))
        os.set_blocking(application.fileno(), False)
        got = b""
        deadline = time.monotonic() + 5
        while len(got) < 5 and time.monotonic() < deadline:
            try:
                got += os.read(application.fileno(), 100)
            except BlockingIOError:
                time.sleep(0.01)
        check(got == b"hello", "an application opens the port through the new link: %r" % got)

    os.remove(run.device(2))
    check(wait_until(lambda: os.path.islink(run.device(2)), 10), "one link removed: made again")
    check(wait_until(lambda: "the link COM2 in %s was removed; made again" % folder in run.text()), "and said")
    # Removed and replaced by the user's own file: left alone.
    os.remove(run.device(2))
    write(run.device(2), "mine\n")
    run.process.send_signal(signal.SIGHUP)
    check(wait_until(lambda: "configuration reloaded" in run.text()), "a reload")
    check(read(run.device(2)) == b"mine\n", "a file of the user's own is left alone")
    os.remove(run.device(2))
    run.process.send_signal(signal.SIGHUP)
    check(wait_until(lambda: os.path.islink(run.device(2)), 5), "and the missing link is made again")
    check(run.stop() == 0, "SIGTERM ends the service")
    check(not os.path.exists(run.device(1)) and not os.path.exists(run.device(2)), "and the links go with it")


def refused_saves():
    """A change the file cannot keep is not made; what runs is what a restart gives."""
    run = Run(slot(1, 7, "A1") + slot(2, 8, "B2"))
    check(run.up, "the service starts")
    original = read(run.file)
    before = ports()

    def refused(what, reason):
        said = run.text().count(reason)
        status, _, err = ctl("add", "--number", "9", "--code", "C9")
        check(status == 1 and err.count("\n") == 1, "%s: add refused: %d %s" % (what, status, err))
        status, _, err = ctl("remove", "--number", "8", "--force")
        check(status == 1, "%s: remove refused: %d %s" % (what, status, err))
        status, _, err = ctl("edit", "--number", "7", "--interval", "60")
        check(status == 1, "%s: edit refused: %d %s" % (what, status, err))
        check(run.text().count(reason) == said + 3, "%s: each refusal logged with its reason" % what)
        check(ports() == before, "%s: nothing changed in service" % what)
        check(not os.path.exists(run.device(9)) and os.path.islink(run.device(8)), "%s: the ports as they were" % what)

    write(run.file, original + b"this is no setting\n", 0o600)
    refused("a line that is not a setting", "line %d is not a setting" % (original.count(b"\n") + 1))
    write(run.file, original, 0o600)

    os.remove(run.file)
    os.mkfifo(run.file, 0o600)
    refused("a FIFO", "is a FIFO, not a regular file")
    os.remove(run.file)
    write(run.file, original, 0o600)

    folder = run.config + "/Torvane"
    if subprocess.run(["mount", "--bind", folder, folder]).returncode == 0:
        subprocess.run(["mount", "-o", "remount,ro,bind", folder], check=True)
        refused("a read-only folder", "Read-only file system")
        subprocess.run(["umount", folder], check=True)
    else:
        print("no mount namespace: the read-only folder is left out", flush=True)
    check(read(run.file) == original, "the file is as it was")
    check(run.stop() == 0, "SIGTERM ends the service")

    stored = lambda listed: [(p["slot"], p["number"], p["code"], p["transport"], p["interval"]) for p in listed or []]
    again = Run(config=run.config)
    check(again.up and stored(ports()) == stored(before), "a restart serves what ran")
    again.stop()


def not_regular_files():
    """A FIFO or a link to /dev/zero as the file: refused, and the service stays responsive."""
    config = tempfile.mkdtemp()
    os.makedirs(config + "/Torvane")
    os.mkfifo(config + "/Torvane/HOLBRN.conf", 0o600)
    run = Run(config=config)
    check(run.up and ports() == [], "a FIFO does not block start-up")
    check(config + "/Torvane/HOLBRN.conf is a FIFO, not a regular file" in run.text(), "the FIFO is named")
    started = time.monotonic()
    check(run.stop() == 0 and time.monotonic() - started < 10, "SIGTERM ends it at once")

    config = tempfile.mkdtemp()
    os.makedirs(config + "/Torvane")
    os.symlink("/dev/zero", config + "/Torvane/HOLBRN.conf")
    run = Run(config=config)
    check(run.up and ports() == [], "a link to /dev/zero does not hold up start-up")
    time.sleep(1)
    with open("/proc/%d/status" % run.process.pid) as f:
        rss = [int(line.split()[1]) for line in f if line.startswith("VmRSS:")][0]
    check(rss < 400 * 1024, "nothing of /dev/zero is read: %d kB resident" % rss)
    check("is a character device, not a regular file" in run.text(), "the device is named")
    check(run.stop() == 0, "SIGTERM ends it")
    check(os.path.islink(config + "/Torvane/HOLBRN.conf"), "the link stays")


def fresh_home_and_a_readded_port():
    """What the program creates is private; a re-added port shows nothing of the removed one."""
    os.umask(0o022)
    run = Run()
    check(run.up, "the service starts without a configuration")
    check(not os.path.exists(run.config + "/Torvane"), "start-up creates nothing")
    status, _, err = ctl("add", "--number", "9", "--code", "D9")
    check(status == 0, "add: " + err)
    check(stat.S_IMODE(os.stat(run.config + "/Torvane").st_mode) == 0o700, "the folder is made 0700")
    check(stat.S_IMODE(os.stat(run.file).st_mode) == 0o600, "the file is made 0600")

    dtu = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dtu.settimeout(5)
    dtu.sendto(b"D9" + b"\0" * 10 + b"\0", ("127.0.0.1", 3700))
    check(dtu.recvfrom(100)[0][12:] == b"\x01OK", "the DTU logs in")
    shown = lambda: json.loads(ctl("show", "--number", "9", "--json")[1] or "{}")
    heard = lambda port: isinstance(port.get("last_heard"), str)  # ISO 8601, null for never
    check(wait_until(lambda: heard(shown())), "the login is heard")
    check(ctl("remove", "--number", "9")[0] == 0, "remove")
    check(ctl("add", "--number", "9", "--code", "D9")[0] == 0, "add again")
    port = shown()
    check(not heard(port) and port.get("state") == "offline" and port.get("peer") is None,
          "a re-added port starts fresh: %s" % port)
    check(run.stop() == 0, "SIGTERM ends the service")


def shared_selection_through_a_reload():
    """With one shared port, a reload that changes another setting keeps the selected DTU."""
    globals_text = "[General]\nOnlyOnePort=1\nVPortNo=3\n\n"
    run = Run(globals_text + slot(1, 3, "AA") + slot(2, 3, "BB"))
    check(run.up, "the service starts in shared-port mode")
    check(ctl("select", "BB")[0] == 0, "select BB")
    write(run.file, globals_text + slot(1, 3, "AA") + slot(2, 3, "BB").replace("LoginInterval=300", "LoginInterval=60"),
          0o600)
    run.process.send_signal(signal.SIGHUP)
    check(wait_until(lambda: "configuration reloaded" in run.text()), "the reload")
    check(ctl("selected")[1] == "BB\n", "the selection stays: %s" % ctl("selected")[1])
    check([p["interval"] for p in ports() or []] == [300, 60], "the reload applies the change")
    run.stop()


def main():
    try:
        hand_kept_file()
        hand_edits_survive_an_edit()
        leftovers_of_killed_saves()
        removed_port_directory()
        refused_saves()
        not_regular_files()
        fresh_home_and_a_readded_port()
        shared_selection_through_a_reload()
    finally:
        for process in started:
            if process.poll() is None:
                process.kill()
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
