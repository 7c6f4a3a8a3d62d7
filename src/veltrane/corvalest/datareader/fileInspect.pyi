"""What kind of data file a path names and how it is laid out, before it is read."""
import csv
import os
from typing import List, Literal, Optional, Tuple, Type, Union, overload

from typing_extensions import TypeAlias, Unpack

StrPath: TypeAlias = Union[str, "os.PathLike[str]"]
BytesPath: TypeAlias = Union[bytes, "os.PathLike[bytes]"]
AnyPath: TypeAlias = Union[StrPath, BytesPath]

# Type names that inspectFile reads as delimited text: "csv" is semicolon-delimited,
# "txt" any other delimiter.
TextType: TypeAlias = Literal["csv", "txt"]
WorkbookType: TypeAlias = Literal["xls", "xlsx"]

# (type, data lines, first row holds titles, title row, sniffed dialect); the type is
# decided again from the delimiter, whatever type name was given.
TextInspection: TypeAlias = Tuple[TextType, int, bool, List[str], Type[csv.Dialect]]
# (type name unchanged, 0, forceTitles, [], None) for a type that is neither text nor workbook.
DefaultInspection: TypeAlias = Tuple[str, int, bool, List[str], None]
# Analysis of one workbook range: (type, data rows, first row holds titles, titles, None).
# In a WorkbookInspection the first item is the range designation instead.
RangeInspection: TypeAlias = Tuple[str, int, bool, List[str], None]
# ("xls" or "xlsx", one RangeInspection per range of the workbook...).
WorkbookInspection: TypeAlias = Tuple[str, Unpack[Tuple[RangeInspection, ...]]]
Inspection: TypeAlias = Union[TextInspection, DefaultInspection, RangeInspection, WorkbookInspection]

# True when python-magic could not be imported: types then come from file name extensions.
KOmagic: bool

# MIME mode: "csv", "txt", "xls", "xlsx", "unknown spreadsheet", "unknown application"
# or "unknown". Extension mode: the extension without its dot, of the path's own type.
@overload
def getfiletype(filename: StrPath, /) -> str: ...
@overload
def getfiletype(filename: BytesPath, /) -> Union[str, bytes]: ...

# [] for delimited text, the range designations of a workbook, None for anything else.
@overload
def getDataFileRanges(filename: AnyPath, ftype: TextType) -> List[str]: ...
@overload
def getDataFileRanges(filename: AnyPath, ftype: WorkbookType) -> List[str]: ...
@overload
def getDataFileRanges(filename: AnyPath, ftype: Optional[str] = "") -> Optional[List[str]]: ...
@overload
def inspectFile(
    filename: AnyPath, ftype: TextType, arange: str = "", forceTitles: bool = False
) -> TextInspection: ...
@overload
def inspectFile(
    filename: AnyPath, ftype: WorkbookType, arange: Literal[""] = "", forceTitles: bool = False
) -> WorkbookInspection: ...
@overload
def inspectFile(
    filename: AnyPath, ftype: WorkbookType, arange: str, forceTitles: bool = False
) -> Union[RangeInspection, WorkbookInspection]: ...
@overload
def inspectFile(
    filename: AnyPath, ftype: Optional[str] = "", arange: str = "", forceTitles: bool = False
) -> Inspection: ...
