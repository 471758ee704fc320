#!/usr/bin/python3
"""mv5840vsp-run finds the program's ports whatever XDG_RUNTIME_DIR the application has, and
says once why when there are none. Runs as root in network, mount and process namespaces of
its own (a private /tmp and /proc, so no other run's ports or programs are seen); arguments:
the program and the launcher."""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, verdict  # noqa: E402

PROGRAM, LAUNCHER = sys.argv[1], sys.argv[2]



def launch(env, *command):
    """Runs command through the launcher with the environment changed as env says (None: unset)."""
    full = dict(os.environ)
    for key, value in env.items():
        if value is None:
            full.pop(key, None)
        else:
            full[key] = value
    return subprocess.run([LAUNCHER, *command], env=full, capture_output=True, text=True, timeout=60)


def main():
    if os.geteuid() != 0:
        print("needs root (namespaces of its own)")
        return 77
    config = tempfile.mkdtemp()
    runtime = tempfile.mkdtemp()
    os.makedirs(config + "/Torvane")
    with open(config + "/Torvane/HOLBRN.conf", "w") as f:
        f.write("[1]\nPortNumber=7\nUseFixedIP=0\nUseTcp=0\nLoginInterval=300\nCode=A1\nPeerIP=0.0.0.0\n")
    env = dict(os.environ, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen",
               ASAN_OPTIONS="detect_leaks=0")
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    program = subprocess.Popen([PROGRAM, "--service"], env=env, stderr=subprocess.DEVNULL)
    port = runtime + "/MV5840VSP/COM7"
    end = time.monotonic() + 30
    while not os.path.exists(port) and time.monotonic() < end:
        time.sleep(0.05)
    check(os.path.exists(port), "the program makes its port")
    elsewhere = tempfile.mkdtemp()
    try:
        # stty reads its settings back and fails when parity was dropped: only the library
        # keeps them, and only on a port it recognises.
        for what, change in [("the same XDG_RUNTIME_DIR", {"XDG_RUNTIME_DIR": runtime}),
                             ("none", {"XDG_RUNTIME_DIR": None}),
                             ("another one", {"XDG_RUNTIME_DIR": elsewhere})]:
            done = launch(change, "stty", "-F", port, "parenb", "cs7")
            check(done.returncode == 0 and done.stderr == "",
                  "with %s the application's settings are kept: %d %r" % (what, done.returncode, done.stderr))
    finally:
        program.terminate()
        program.wait(30)

    # No program and no port directory: said once, and the application still runs.
    done = launch({"XDG_RUNTIME_DIR": elsewhere}, "echo", "ran")
    lines = done.stderr.splitlines()
    check(done.returncode == 0 and done.stdout == "ran\n", "the application runs: %r" % done.stdout)
    check(len(lines) == 1 and lines[0].startswith("mv5840vsp-run: no port directory of MV5840VSP found (no "
                                                  + elsewhere + "/MV5840VSP; no /run/user/0/MV5840VSP; "),
          "one line says why no port is found: %r" % done.stderr)
    return verdict()


if __name__ == "__main__":
    sys.exit(main())
