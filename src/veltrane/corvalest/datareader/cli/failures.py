"""Error records, with the causes of the usual failures of delimited text told plainly."""
import codecs
import csv
import os

SNIFFED_CHARACTERS = 1024  # what inspectFile gives the csv sniffer
SCAN_BLOCK = 1024 * 1024


def error_record(path, exc):
    return {"path": path, "error": {"type": error_type_name(exc), "message": message(path, exc)}}


def error_type_name(exc):
    """Class name of an exception, with its module unless built-in ("csv.Error", "OSError")."""
    cls = type(exc)
    module = cls.__module__
    if module == "builtins":
        return cls.__qualname__
    # C modules behind public ones ("_csv") are shown under the public name.
    return "%s.%s" % (module.lstrip("_"), cls.__qualname__)


def message(path, exc):
    """The exception's text, or for undecodable or undelimited text what is wrong with the file."""
    if isinstance(exc, UnicodeDecodeError):
        return not_utf8_message(path, exc)
    if isinstance(exc, csv.Error) and str(exc) == "Could not determine delimiter":
        return no_delimiter_message(path)
    return str(exc)


def not_utf8_message(path, exc):
    where = first_invalid_utf8(path)
    if where is None:  # the file changed since, or cannot be read again
        where = (exc.object[exc.start:exc.start + 1], None)
    invalid, offset = where
    detail = "invalid byte 0x%02x" % invalid[0]
    if offset is not None:
        detail += " at offset %d" % offset
    return "not UTF-8 text (%s): delimited files are read as UTF-8" % detail


def first_invalid_utf8(path):
    """(the invalid bytes, their offset in the file) of the first bad UTF-8 sequence, or None."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    fed = 0
    try:
        with open(path, "rb") as stream:
            while True:
                block = stream.read(SCAN_BLOCK)
                # Bytes held back from the previous block (a sequence cut in two)
                # come first in what the error's offsets count.
                held = len(decoder.getstate()[0])
                try:
                    decoder.decode(block, final=not block)
                except UnicodeDecodeError as exc:
                    return exc.object[exc.start:exc.end], fed - held + exc.start
                if not block:
                    return None
                fed += len(block)
    except OSError:
        return None


def no_delimiter_message(path):
    try:
        empty = os.path.getsize(path) == 0
    except OSError:
        empty = False
    if empty:
        return "empty file"
    return "no delimiter found in the first %d characters" % SNIFFED_CHARACTERS
