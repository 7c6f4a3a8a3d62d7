#!/usr/bin/env python3
"""Write the sample workbooks that the command-line front end shows.

    python tools/make_sample_workbooks.py [FOLDER]

FOLDER defaults to the package's samples folder. Writes sales.xlsx (a sheet
with a title row over dates and numbers, and a sheet of numbers that starts at
C3) and warehouse.xls (one sheet with a title row). Needs openpyxl and xlwt.
Two runs with the same versions of those give the same bytes: the time stamps
that openpyxl puts in the archive and in its document properties are fixed.
"""

import datetime
import io
import re
import sys
import zipfile
from pathlib import Path

import openpyxl
import xlwt

DEFAULT_FOLDER = (
    Path(__file__).resolve().parents[1]
    / "src" / "veltrane" / "corvalest" / "datareader" / "samples"
)
FIXED_TIME = datetime.datetime(2024, 1, 1)
_ISO_TIME = re.compile(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")

SALES = [
    ["region", "month", "units", "revenue"],
    ["North", datetime.date(2024, 1, 1), 120, 3480.0],
    ["North", datetime.date(2024, 2, 1), 95, 2755.5],
    ["South", datetime.date(2024, 1, 1), 210, 6090.0],
    ["South", datetime.date(2024, 2, 1), 188, 5452.0],
    ["West", datetime.date(2024, 1, 1), 64, 1856.0],
    ["West", datetime.date(2024, 2, 1), 71, 2059.0],
]
READINGS = [
    [1, 20.5, 40.1, 1013],
    [2, 20.9, 39.8, 1012],
    [3, 21.4, 38.2, 1012],
    [4, 21.8, 37.5, 1011],
    [5, 22.1, 37.9, 1010],
    [6, 21.7, 38.8, 1011],
]
STOCK = [
    ["item", "site", "qty", "unit price"],
    ["bolt M6", "Lyon", 1200, 0.08],
    ["nut M6", "Lyon", 1500, 0.05],
    ["washer 6", "Porto", 900, 0.02],
    ["hinge", "Porto", 48, 2.4],
    ["bracket", "Lyon", 130, 1.15],
]


def sales_workbook():
    """Return the bytes of sales.xlsx."""
    workbook = openpyxl.Workbook()
    sales = workbook.active
    sales.title = "Sales"
    for row in SALES:
        sales.append(row)
    for cell in sales["B"][1:]:
        cell.number_format = "yyyy-mm"
    readings = workbook.create_sheet("Sensor readings")
    for rowx, row in enumerate(READINGS, 3):
        for colx, value in enumerate(row, 3):
            readings.cell(row=rowx, column=colx, value=value)
    workbook.properties.created = FIXED_TIME
    buffer = io.BytesIO()
    workbook.save(buffer)
    return _with_fixed_times(buffer.getvalue())


def _with_fixed_times(xlsx):
    """Return the archive `xlsx` with its member times and document times set to FIXED_TIME."""
    stamp = FIXED_TIME.strftime("%Y-%m-%dT%H:%M:%SZ").encode("ascii")
    source = zipfile.ZipFile(io.BytesIO(xlsx))
    buffer = io.BytesIO()
    with source, zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as target:
        for info in source.infolist():
            data = source.read(info)
            if info.filename == "docProps/core.xml":
                data = _ISO_TIME.sub(stamp, data)
            member = zipfile.ZipInfo(info.filename, date_time=FIXED_TIME.timetuple()[:6])
            member.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(member, data)
    return buffer.getvalue()


def warehouse_workbook():
    """Return the bytes of warehouse.xls."""
    workbook = xlwt.Workbook()
    sheet = workbook.add_sheet("Stock")
    for rowx, row in enumerate(STOCK):
        for colx, value in enumerate(row):
            sheet.write(rowx, colx, value)
    buffer = io.BytesIO()
    workbook.save(buffer)
    return buffer.getvalue()


def main(argv):
    folder = Path(argv[1]) if len(argv) > 1 else DEFAULT_FOLDER
    folder.mkdir(parents=True, exist_ok=True)
    for name, data in (("sales.xlsx", sales_workbook()), ("warehouse.xls", warehouse_workbook())):
        (folder / name).write_bytes(data)
        print("wrote %s (%d bytes)" % (folder / name, len(data)))


if __name__ == "__main__":
    main(sys.argv)
