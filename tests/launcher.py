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


# Source of peak_kb() for a probe run in a subprocess: its own peak resident
# size. Linux keeps ru_maxrss across fork and exec, so a child of a large test
# process would report the parent's size; VmHWM belongs to the new process.
PEAK_KB = """
def peak_kb():
    try:
        with open("/proc/self/status") as status:
            return int([line.split()[1] for line in status if line.startswith("VmHWM:")][0])
    except (OSError, IndexError):
        import resource
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
"""
