"""What the black-box tests of the built programs share: checks that are counted rather than
fatal, so one run reports every fault it finds, and waits for a condition with a limit."""
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


def verdict():
    """The test's exit status, after one line saying how it went."""
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0
