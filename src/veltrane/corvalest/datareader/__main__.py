"""python -m veltrane.corvalest.datareader [OPTIONS] [PATH...]: the fileinspect command."""
import sys

from .cli import main

# The guard keeps worker processes started with "spawn" from running the command again.
if __name__ == "__main__":
    sys.exit(main(prog="python -m veltrane.corvalest.datareader"))
