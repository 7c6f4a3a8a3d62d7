"""--version: the installed distribution's version and how file types are detected."""
import argparse
import os
import sys
from email.parser import HeaderParser

from .. import fileInspect

DIST_NAME = "veltrane-fileinspect"


def package_version():
    """The installed distribution's version, or "unknown" when it is not installed."""
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # Python 3.7
        try:
            from importlib_metadata import PackageNotFoundError, version
        except ImportError:
            return version_from_dist_info()
    try:
        return version(DIST_NAME)
    except PackageNotFoundError:
        return "unknown"


def version_from_dist_info():
    """Reads the Version field of the installed METADATA (no metadata library needed)."""
    prefix = DIST_NAME.replace("-", "_") + "-"
    for folder in sys.path:
        try:
            names = os.listdir(folder or ".")
        except OSError:
            continue
        for name in sorted(names):
            if name.startswith(prefix) and name.endswith(".dist-info"):
                metadata = os.path.join(folder, name, "METADATA")
                try:
                    with open(metadata, encoding="utf-8") as stream:
                        return HeaderParser().parse(stream)["Version"] or "unknown"
                except OSError:
                    continue
    return "unknown"


def version_text(prog):
    if fileInspect.KOmagic:
        detection = "file types from file name extensions; python-magic is not available"
    else:
        detection = "file types from MIME types through python-magic"
    return "%s %s (%s)" % (prog, package_version(), detection)


class VersionAction(argparse.Action):
    """--version, looking the version up only when asked."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help=None):
        super().__init__(option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write(version_text(parser.prog) + "\n")
        parser.exit()
