"""Type names and range designations shared by the data readers.

A range designation names a block of cells of a worksheet in A1 notation::

    designation := sheet [ "!" area ]
    sheet       := "'" name "'"      a quote inside the name written twice
                 | plain-name        any text without "!" that does not start with a quote
    area        := cell [ ":" cell ]
    cell        := ["$"] column ["$"] row
    column      := 1 to 3 letters, A to XFD, in either case
    row         := decimal digits, 1 to 1048576

`formatRangeDesignation` writes the sheet name plainly when it holds only
letters, digits and underscores and quotes it otherwise, as spreadsheet
programs do: ``Sheet1!B2:D20``, ``'Bob''s data'!A1:C3``. A designation
without an area names the used cells of the sheet.
"""

import collections
import re

# Type names of files read as delimited text.
simpleRangeType = frozenset(("csv", "txt"))
# Type names of workbooks, which hold one data range per worksheet.
multiRangesType = frozenset(("xls", "xlsx"))

# The largest worksheet that either workbook format can describe.
MAX_ROWS = 1048576
MAX_COLUMNS = 16384

# A rectangle of cells, 1-based and inclusive, first corner top left.
Area = collections.namedtuple("Area", "first_row first_column last_row last_column")

_PLAIN_SHEET_NAME = re.compile(r"\w+\Z")
_CELL = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)\Z")


def columnLetters(column):
    """Return the letters of the 1-based column number `column` (1 -> A, 28 -> AB)."""
    letters = ""
    while column > 0:
        column, rest = divmod(column - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


def columnNumber(letters):
    """Return the 1-based number of the column named by `letters` (either case)."""
    number = 0
    for letter in letters.upper():
        number = number * 26 + ord(letter) - ord("A") + 1
    return number


def formatRangeDesignation(sheet, area):
    """Return the designation of `area` (an Area) on the worksheet named `sheet`."""
    start = "%s%d" % (columnLetters(area.first_column), area.first_row)
    end = "%s%d" % (columnLetters(area.last_column), area.last_row)
    cells = start if start == end else start + ":" + end
    return quoteSheetName(sheet) + "!" + cells


def quoteSheetName(sheet):
    """Return `sheet` as it stands in a designation: plain or between single quotes."""
    if _PLAIN_SHEET_NAME.match(sheet):
        return sheet
    return "'" + sheet.replace("'", "''") + "'"


def parseRangeDesignation(designation):
    """Split `designation` into (sheet name, Area), the Area None for a sheet alone.

    Raises TypeError for a designation that is not text and ValueError for
    one that does not follow the grammar of this module.
    """
    if not isinstance(designation, str):
        raise TypeError("a range designation is text, not %s" % type(designation).__name__)
    if designation.startswith("'"):
        sheet, rest = _split_quoted_sheet(designation)
    else:
        sheet, bang, cells = designation.partition("!")
        rest = bang + cells
    if not sheet and not designation.startswith("'"):
        raise ValueError("range designation %r names no sheet" % designation)
    if not rest:
        return sheet, None
    if not rest.startswith("!"):
        raise ValueError("range designation %r has text after the quoted sheet name" % designation)
    return sheet, _parse_area(rest[1:], designation)


def _split_quoted_sheet(designation):
    """Return the unquoted sheet name that opens `designation` and the text after it."""
    name = []
    position = 1
    while True:
        quote = designation.find("'", position)
        if quote < 0:
            raise ValueError("range designation %r lacks the closing quote" % designation)
        name.append(designation[position:quote])
        if designation.startswith("''", quote):
            name.append("'")
            position = quote + 2
        else:
            return "".join(name), designation[quote + 1:]


def _parse_area(text, designation):
    """Return the Area that `text`, one cell or two joined by ":", covers."""
    corners = [_parse_cell(cell, designation) for cell in text.split(":")]
    if len(corners) > 2:
        raise ValueError("range designation %r has more than two corners" % designation)
    rows = [row for row, _ in corners]
    columns = [column for _, column in corners]
    return Area(min(rows), min(columns), max(rows), max(columns))


def _parse_cell(text, designation):
    """Return (row, column) of the cell written `text`, such as B2 or $B$2."""
    match = _CELL.match(text)
    if not match:
        raise ValueError("range designation %r: %r is not a cell such as B2" % (designation, text))
    column = columnNumber(match.group(1))
    row = int(match.group(2))
    if not 1 <= row <= MAX_ROWS or column > MAX_COLUMNS:
        raise ValueError(
            "range designation %r: cell %r lies outside A1:XFD%d" % (designation, text, MAX_ROWS)
        )
    return row, column
