#!/usr/bin/python3
"""The program in service mode under a low descriptor limit, with a port directory another
user made first, and on a devpts mounted as Debian mounts it (gid=5, mode=620). Runs as root in
a network and mount namespace of its own (a private /tmp, mounted before the session bus of its
own, and a private /dev/pts); the program's path is the first argument."""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, verdict, wait_until  # noqa: E402

PROGRAM = sys.argv[1]
BUS = ["gdbus", "call", "--session", "--dest", "MV5840VSP.IMV5840VSP", "--object-path", "/IMV5840VSP",
       "--method", "MV5840VSP.IPortManager.ListPorts"]




def ports():
    """The port dictionaries of ListPorts as {key: text}, None while nobody answers."""
    done = subprocess.run(BUS, capture_output=True, text=True)
    if done.returncode != 0:
        return None
    found = []
    for body in re.findall(r"\{([^{}]*)\}", done.stdout):
        found.append({k: v.replace("int64 ", "").strip("'") for k, v in re.findall(r"'(\w+)': <([^>]*)>", body)})
    return found


def write_config(home, count, shared=False, tcp=False):
    """count ports COM1... with codes D001...; TCP ones reach for a DTU on 127.0.0.1 that is not there."""
    os.makedirs(home + "/Torvane", exist_ok=True)
    with open(home + "/Torvane/HOLBRN.conf", "w") as f:
        f.write("[General]\nSocketPort=3700\nOnlyOnePort=%d\nVPortNo=5\nPassword=\n\n" % (1 if shared else 0))
        for i in range(1, count + 1):
            f.write("[%d]\nPortNumber=%d\nUseFixedIP=0\nUseTcp=%d\nLoginInterval=300\nCode=D%03d\nPeerIP=%s\n\n"
                    % (i, i, 1 if tcp else 0, i, "127.0.0.1" if tcp else "0.0.0.0"))


class Service:
    """One run of the program with --service, standard error in a file."""

    def __init__(self, env, prefix=(), count=200, shared=False, tcp=False):
        self.dir = tempfile.mkdtemp()
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.dir + "/config", ASAN_OPTIONS="detect_leaks=0")
        self.env.update(env)
        for key in [k for k, v in self.env.items() if v is None]:
            del self.env[key]
        write_config(self.dir + "/config", count, shared, tcp)
        self.log = open(self.dir + "/service.log", "w+")
        self.process = subprocess.Popen(list(prefix) + [PROGRAM, "--service"], stderr=self.log, env=self.env)

    def text(self):
        return open(self.log.name).read()

    def end(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None


def runtime_env():
    runtime = tempfile.mkdtemp()
    return {"XDG_RUNTIME_DIR": runtime}, runtime + "/MV5840VSP"


def descriptor_limit(limit, tcp=False):
    env, _ = runtime_env()
    service = Service(env, ["prlimit", "--nofile=%d:%d" % (limit, limit)], tcp=tcp)
    listed = None
    if wait_until(lambda: (ports() or []) and len(ports()) == 200 and "serving" in service.text(), limit=60.0, step=0.1):
        listed = ports()
    check(listed is not None, "limit %d: the service runs and lists its 200 ports: %s" % (limit, service.text()[-2000:]))
    listed = listed or []
    served = [p for p in listed if p.get("state") != "not-served"]
    unserved = [p for p in listed if p.get("state") == "not-served"]
    print("limit %d%s: %d served, %d not served, %d descriptors open" % (
        limit, " (TCP)" if tcp else "", len(served), len(unserved),
        len(os.listdir("/proc/%d/fd" % service.process.pid))), flush=True)
    check(len(served) > 0, "limit %d: what can be served is served" % limit)
    for p in served:
        check(os.path.exists(p["device"]), "limit %d: %s's link leads to its terminal" % (limit, p["device"]))
    text = service.text()
    for p in unserved:
        check("descriptor limit %d" % limit in p.get("reason", ""),
              "limit %d: COM%s's reason names the limit: %r" % (limit, p["number"], p.get("reason")))
        check(re.search(r"COM%s \(slot \d+\) is not served: .*descriptor limit %d" % (p["number"], limit), text),
              "limit %d: the log names COM%s" % (limit, p["number"]))
    check("terminate called" not in text and "runtime_error" not in text, "limit %d: no uncaught exception" % limit)
    check(service.end() == 0, "limit %d: SIGTERM ends the service cleanly: %s" % (limit, text[-2000:]))
    return len(unserved)


def few_descriptors_without_ports():
    env, _ = runtime_env()
    service = Service(env, count=0)
    check(wait_until(lambda: ports() is not None, limit=60.0, step=0.1), "the service without ports answers")
    held = len(os.listdir("/proc/%d/fd" % service.process.pid))
    print("no port configured: %d descriptors open" % held, flush=True)
    check(held < 60, "without ports the program holds few descriptors: %d" % held)
    check(service.end() == 0, "the service without ports ends cleanly")


def private_devpts():
    """A devpts of this namespace, mounted as Debian mounts its own: new slaves are group tty
    (5) and group-writable."""
    subprocess.run(["mount", "-t", "devpts", "-o", "newinstance,gid=5,mode=620,ptmxmode=0666", "devpts", "/dev/pts"],
                   check=True)
    subprocess.run(["mount", "--bind", "/dev/pts/ptmx", "/dev/ptmx"], check=True)
    master, slave = os.openpty()
    mode = os.fstat(slave).st_mode & 0o777
    os.close(master)
    os.close(slave)
    return mode


def terminal_mode():
    default = private_devpts()
    check(default == 0o620, "the private devpts gives new terminals mode 0620: %o" % default)
    env, directory = runtime_env()
    service = Service(env, count=2)
    check(wait_until(lambda: os.path.exists(directory + "/COM2"), limit=60.0, step=0.1), "the ports are made")
    for name in ("COM1", "COM2"):
        st = os.stat(directory + "/" + name)
        check(st.st_mode & 0o777 == 0o600 and st.st_uid == os.geteuid(),
              "%s's terminal is the user's alone: mode %o" % (name, st.st_mode & 0o777))
    check(service.end() == 0, "the service on the private devpts ends cleanly")


def squatted_directory():
    """Without XDG_RUNTIME_DIR the ports go to /tmp/MV5840VSP-<uid>; another user made it first."""
    squatted = "/tmp/MV5840VSP-%d" % os.geteuid()
    os.mkdir(squatted, 0o700)
    os.chown(squatted, 65534, 65534)
    home = tempfile.mkdtemp()
    env = {"XDG_RUNTIME_DIR": None, "HOME": home, "XDG_CACHE_HOME": None}
    first = Service(env, count=3)
    check(wait_until(lambda: ports() is not None and len(ports()) == 3 and "serving" in first.text(), limit=60.0, step=0.1),
          "the service with a squatted directory answers: " + first.text())
    for p in ports() or []:
        check(p.get("state") == "not-served" and "belongs to user 65534" in p.get("reason", ""),
              "COM%s is not served and says why: %r" % (p.get("number"), p.get("reason")))
    text = first.text()
    check("no port can be served (the single-instance lock is held in" in text, "the log says where the lock is: " + text)
    check(os.listdir(squatted) == [], "nothing is made in the other user's directory")

    # Without a bus the bus name keeps nobody out: the lock must.
    second = Service(dict(env, DBUS_SESSION_BUS_ADDRESS=None), count=3)
    status = second.process.wait(60)
    check(status == 150 and "another instance (process %d) already holds the single-instance lock" % first.process.pid
          in second.text(), "a second start is kept out: %s %s" % (status, second.text()))
    check(first.end() == 0, "the service with a squatted directory ends cleanly")

    # Shared-port mode: every port says the same.
    shared = Service(env, count=3, shared=True)
    check(wait_until(lambda: ports() is not None and len(ports()) == 3, limit=60.0, step=0.1), "the shared-port service answers")
    for p in ports() or []:
        check(p.get("state") == "not-served" and "belongs to user 65534" in p.get("reason", ""),
              "shared COM%s is not served and says why: %r" % (p.get("number"), p.get("reason")))
    check(shared.end() == 0, "the shared-port service ends cleanly")


def main():
    if os.geteuid() != 0:
        print("needs root (a mount namespace, a directory of another user)")
        return 77
    os.environ.pop("DISPLAY", None)
    os.environ.pop("QT_QPA_PLATFORM", None)
    few_descriptors_without_ports()
    check(descriptor_limit(256) > 0, "at 256 some ports cannot be served")
    check(descriptor_limit(1024) == 0, "at 1024 all 200 UDP ports are served")
    # A TCP link holds one descriptor, its socket, and only while it connects or is connected.
    check(descriptor_limit(1024, tcp=True) == 0, "at 1024 all 200 TCP ports whose DTUs are away are served")
    squatted_directory()
    terminal_mode()
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
