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
