"""What the real-time tests share: their checks, and starting and stopping the
private sound servers of scripts/ (pulse-server.sh, pipewire-server.sh)."""

import os
import subprocess

failures = []


def check(condition, message):
    """Records a failed check and goes on, so that one run reports them all."""
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def start_server(script, folder):
    """Starts the server and returns the environment that reaches it: the
    script prints it as one line of "export NAME=value ..."."""
    output = subprocess.run(["bash", script, "start", folder], check=True,
                            capture_output=True, text=True).stdout
    environment = dict(os.environ)
    for line in output.splitlines():
        if line.startswith("export "):
            for assignment in line[len("export "):].split():
                name, _, value = assignment.partition("=")
                environment[name] = value
    return environment


def stop_server(script, folder):
    subprocess.run(["bash", script, "stop", folder], check=False)


def check_marked_output(name, out, expected):
    """Checks standard output against `expected` once underrun marks are
    taken out: a server may report an underrun at any time, at start-up most
    often. An overrun mark is left in, so it fails the check: a capture
    stream of these servers never reports one. Returns the number of marks."""
    marks = out.count(b"\nPX\n")
    print(f"{name}: {marks} underrun mark(s)", flush=True)
    check(out.replace(b"\nPX\n", b"") == expected, f"{name}: standard output {out!r}")
    return marks


def exit_status():
    """The test's exit status, after a line that sums up the checks."""
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0
