"""A one-line count of the files done, on standard error when it is a terminal."""
import time

from .paths import file_size


class Progress:
    """Shows from the start when the run looks long (many files, or many
    bytes), otherwise once the run has lasted a while.
    """

    MANY_FILES = 200
    MANY_BYTES = 64 * 1024 * 1024
    DELAY = 2.0
    INTERVAL = 0.2

    def __init__(self, prog, targets, stream):
        self.prog = prog
        self.stream = stream
        self.total_files = len(targets)
        self.total_bytes = sum(file_size(path) for path, error in targets if error is None)
        self.enabled = self.total_files > 0 and is_terminal(stream)
        self.done_files = 0
        self.done_bytes = 0
        long_run = self.total_files >= self.MANY_FILES or self.total_bytes >= self.MANY_BYTES
        self.start = time.monotonic() - (self.DELAY if long_run else 0)
        self.last = 0.0
        self.visible = False

    def advance(self, size):
        self.done_files += 1
        self.done_bytes += size

    def show(self):
        now = time.monotonic()
        if not self.enabled or now - self.start < self.DELAY or now - self.last < self.INTERVAL:
            return
        self.last = now
        self.visible = True
        self.stream.write("\r\033[K%s: %d/%d files, %.1f/%.1f MB" % (
            self.prog, self.done_files, self.total_files,
            self.done_bytes / 1e6, self.total_bytes / 1e6))
        self.stream.flush()

    def clear(self):
        """Wipe the line, before anything else is written to the terminal."""
        if self.visible:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.visible = False
            self.last = 0.0


def is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False
