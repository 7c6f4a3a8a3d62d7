"""The fuzz harnesses: each takes the fuzzer's bytes, drives the native code
through its Python entry points, and raises where an answer is wrong.

  zip       the bytes are the file: the zip reader on anything at all
  parts     the bytes are package parts (parts.py), completed from a small
            workbook and written as a valid archive: relationships, workbook,
            styles and shared strings parsed for real
  sheet     the bytes are the first worksheet's XML, in a valid workbook
  xlsb      the bytes are the parts of a binary workbook, completed and
            archived like `parts`: its records
  rowcount  the bytes are a delimited file: the native row count and title
            row against the csv reader loop (delimited_checks.py)
  sniff     the bytes are a sample: the native sniff against csv.Sniffer
  xls       the bytes are the .xls file: the compound file reader on anything
            at all, then the records it finds
  biff      the bytes are the records of a workbook stream (biff.py), written
            as a valid compound file: globals, shared strings, cells

The workbook harnesses check every answer of the scanner (workbook_checks.py),
the .xls ones every answer of the .xls reader and its agreement with xlrd
(xls_checks.py). Each returns a word saying how the input went, which the
runner tallies.
"""
import collections
import struct

import biff
import parts
import templates
from delimited_checks import check_row_count, check_sniff
from workbook_checks import check_workbook
from xls_checks import check_xls

# check(bytes) -> a word; the longest input; the libFuzzer dictionary (in fuzz/); the
# folders of src/ whose coverage tells how well the harness does.
Harness = collections.namedtuple("Harness", "check max_len dictionary aim")
WORKBOOK = ("sheetscan",)
DELIMITED = ("fileinspect", "delimited")
XLS = ("sheetscan/xls",)

XML_TEMPLATES = {False: templates.xml_package(templates.TRANSITIONAL),
                 True: templates.xml_package(templates.STRICT)}
BINARY_TEMPLATE = templates.binary_package()
FIRST_SHEET = "xl/worksheets/sheet1.xml"


def xml_template(data):
    """The small workbook in the namespace that `data` names."""
    return XML_TEMPLATES[templates.STRICT["main"].encode() in data]


def zip_archive(data):
    return check_workbook(data)


def workbook_parts(data):
    return check_workbook(parts.archive(parts.merged(parts.parse(data), xml_template(data))))


def worksheet_xml(data):
    sheet = [(FIRST_SHEET, data, False)]
    return check_workbook(parts.archive(parts.merged(sheet, xml_template(data))))


def xlsb_records(data):
    return check_workbook(parts.archive(parts.merged(parts.parse(data), BINARY_TEMPLATE)))


def xls_file(data):
    return check_xls(data, data if xlrd_reads_sectors_of(data) else None)


def xlrd_reads_sectors_of(data):
    """Whether xlrd reads the sectors of the compound file `data` where they are: it
    takes every sector for one of 512 bytes after a header of 512 (a size beyond 1 MiB
    it takes for 512 bytes, as the native reader does)."""
    shift = struct.unpack_from("<H", data, 30)[0] if len(data) >= 32 else 9
    return shift == 9 or shift > 20


def biff_records(data):
    return check_xls(*biff.compound_files(data))


HARNESSES = collections.OrderedDict([
    ("zip", Harness(zip_archive, 65536, "workbook.dict", WORKBOOK)),
    ("parts", Harness(workbook_parts, 65536, "workbook.dict", WORKBOOK)),
    ("sheet", Harness(worksheet_xml, 32768, "workbook.dict", WORKBOOK)),
    ("xlsb", Harness(xlsb_records, 65536, "workbook.dict", WORKBOOK)),
    ("rowcount", Harness(check_row_count, 8192, "delimited.dict", DELIMITED)),
    ("sniff", Harness(check_sniff, 4096, "delimited.dict", DELIMITED)),
    ("xls", Harness(xls_file, 65536, "xls.dict", XLS)),
    ("biff", Harness(biff_records, 65536, "xls.dict", XLS)),
])
