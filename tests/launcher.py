"""The command that starts a Python subprocess like the interpreter running the tests.

Under user-mode emulation a subprocess of the emulated interpreter would start
as a host program, so FILEINSPECT_PYTHON_LAUNCHER may hold a prefix (for
example the emulator and its root) to put before the interpreter's path.
"""
import os
import shlex
import sys


def python_command():
    """The argument list that starts this interpreter in a subprocess."""
    return shlex.split(os.environ.get("FILEINSPECT_PYTHON_LAUNCHER", "")) + [sys.executable]
