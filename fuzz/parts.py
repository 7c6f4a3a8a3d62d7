"""Workbook packages written as plain fuzz inputs, and back.

A zip archive is no input for a mutating fuzzer: its CRCs and recorded sizes
make nearly every change a damaged archive, refused before any part is parsed.
The package harnesses take the parts instead, one after another:

    member name, b"\\n", the member's bytes, SEPARATOR, member name, b"\\n", ...

and write them into a valid archive (stored, or deflated when the name starts
with "*"), so that mutations land in the XML and the records themselves.
"""
import io
import warnings
import zipfile

SEPARATOR = b"\n\xfe\xffPART\xff\xfe\n"
DEFLATED_MARK = "*"
LONGEST_NAME = 4096  # bytes taken of a name: a zip archive holds names of at most 65535


def parse(data):
    """[(member name, bytes, deflated)] of a fuzz input; a piece without a newline is a
    name alone."""
    parts = []
    for piece in data.split(SEPARATOR):
        name, _, content = piece.partition(b"\n")
        name = name[:LONGEST_NAME].decode("utf-8", "replace")
        deflated = name.startswith(DEFLATED_MARK)
        if deflated:
            name = name[len(DEFLATED_MARK):]
        if name:
            parts.append((name, content, deflated))
    return parts


def unparse(parts):
    """The fuzz input of [(member name, bytes, deflated)]."""
    return SEPARATOR.join(
        (DEFLATED_MARK if deflated else "").encode("utf-8") + name.encode("utf-8") + b"\n" + content
        for name, content, deflated in parts)


def archive(parts):
    """A valid zip archive of [(member name, bytes, deflated)], members in that order
    (a name given twice is written twice, as a damaged archive may hold it)."""
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zipfile warns of duplicate names
        with zipfile.ZipFile(out, "w") as package:
            for name, content, deflated in parts:
                info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED if deflated else zipfile.ZIP_STORED
                package.writestr(info, content)
    return out.getvalue()


def members(data):
    """[(member name, bytes, deflated)] of the zip archive `data`."""
    with zipfile.ZipFile(io.BytesIO(data)) as package:
        return [(info.filename, package.read(info), info.compress_type == zipfile.ZIP_DEFLATED)
                for info in package.infolist()]


def merged(parts, template):
    """`template`'s parts with those of `parts` put in place of the same names, and the
    other parts of `parts` after them."""
    given = {name for name, _, _ in parts}
    return [part for part in template if part[0] not in given] + parts
