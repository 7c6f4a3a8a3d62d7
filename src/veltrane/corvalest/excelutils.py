"""Type names shared by the data readers."""

# Type names of files read as delimited text.
simpleRangeType = frozenset(("csv", "txt"))
# Type names of workbooks, which hold one data range per worksheet.
multiRangesType = frozenset(("xls", "xlsx"))
