"""Gathering the files to inspect from the paths on the command line."""
import os
import stat

from .failures import error_record

SAMPLES_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples")

# What a path that is neither a regular file nor a folder names.
FILE_KINDS = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


def collect_targets(paths, recursive):
    """(path, error record or None) for each file to inspect, in argument order."""
    targets = []
    for path in paths:
        if os.path.isdir(path):
            targets.extend(walk_files(path) if recursive else [(path, folder_error(path))])
        else:
            targets.append((path, not_regular_error(path)))
    return targets


def folder_error(path):
    message = "is a directory (use --recursive to inspect the files in it)"
    return {"path": path, "error": {"type": "IsADirectoryError", "message": message}}


def not_regular_error(path):
    """An error record for a path naming a FIFO, a device or a socket, else None.

    Such files are refused before anything opens them: opening a FIFO waits
    for a writer, and a device may never end. A path that cannot be looked at
    is left to the inspection, which reports why.
    """
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return None
    if stat.S_ISREG(mode):
        return None
    kind = next((name for test, name in FILE_KINDS if test(mode)), "not a file")
    message = "not a regular file (%s)" % kind
    return {"path": path, "error": {"type": "OSError", "message": message}}


def walk_files(top):
    """The regular files under `top`, in sorted order; unreadable folders become error records."""
    errors = []
    for folder, subfolders, names in os.walk(top, onerror=errors.append):
        subfolders.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                yield path, None
        for error in _drain(errors):
            yield error.filename, _walk_error(error)
    for error in _drain(errors):
        yield error.filename, _walk_error(error)


def _walk_error(error):
    return error_record(error.filename, error)


def _drain(items):
    drained = list(items)
    del items[:]
    return drained


def sample_files():
    return sorted(os.path.join(SAMPLES_DIR, name) for name in os.listdir(SAMPLES_DIR))


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
