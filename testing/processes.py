"""Stopping the processes that tests and benchmarks start, by their PID."""

import os
import signal
import subprocess


def stop_process(proc, timeout=10):
    """Ends a process started with a stdout pipe: SIGTERM to its PID, SIGKILL
    if it has not exited after `timeout` seconds."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
    if proc.stdout:
        proc.stdout.close()
