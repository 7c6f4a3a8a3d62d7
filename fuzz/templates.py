"""Small valid workbooks, part by part, that the harnesses complete fuzz inputs with.

Each is a list of (member name, bytes, deflated) for parts.archive(): the parts
the scanner reads (relationships, workbook, styles, shared strings, worksheets),
with cells of every type, shared strings that are empty, rich or escaped, and
cell formats of numbers, dates and durations, so that a worksheet from a fuzz
input finds something to refer to.
"""
import struct

TRANSITIONAL = {
    "main": "http://schemas.openxmlformats.org/spreadsheetml/2006/main",
    "relationships": "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
    "package": "http://schemas.openxmlformats.org/package/2006/relationships",
}
STRICT = {
    "main": "http://purl.oclc.org/ooxml/spreadsheetml/main",
    "relationships": "http://purl.oclc.org/ooxml/officeDocument/relationships",
    "package": "http://schemas.openxmlformats.org/package/2006/relationships",
}

SHEET_XML = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<worksheet xmlns="{main}" xmlns:r="{relationships}"><dimension ref="A1:F5"/><sheetData>
<row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c><c r="C1" t="s"><v>2</v></c>\
<c r="D1" t="inlineStr"><is><t>when</t></is></c><c r="E1" t="s"><v>4</v></c></row>
<row r="2"><c r="A2" t="s"><v>3</v></c><c r="B2" s="1"><v>4.5</v></c>\
<c r="C2" t="b"><v>1</v></c><c r="D2" s="2"><v>45000.25</v></c><c r="E2" s="4"><v>1.5</v></c>\
<c r="F2" t="e"><v>#N/A</v></c></row>
<row r="3"><c r="A3" t="str"><f>A2</f><v>text</v></c><c r="B3" s="3"><v>-2E-3</v></c>\
<c r="C3" t="b"><v>0</v></c><c r="D3" s="2"><v>1</v></c><c r="E3" t="n"><v>7</v></c></row>
<row r="5" spans="1:6"><c r="A5" t="s"><v>5</v></c><c r="B5"><f>SUM(B2:B3)</f><v>4.498</v></c>\
<c r="D5" t="str"><v></v></c></row>
</sheetData></worksheet>"""

CORNERS_XML = """<worksheet xmlns="{main}"><sheetData><row><c t="inlineStr"><is><t>top</t></is></c>\
</row><row r="1048576"><c r="D1048576"><v>7</v></c></row></sheetData></worksheet>"""

WORKBOOK_XML = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<workbook xmlns="{main}" xmlns:r="{relationships}"><workbookPr date1904="0"/><sheets>\
<sheet name="Data" sheetId="1" r:id="rId1"/>\
<sheet name="Bob's &amp; more" sheetId="2" r:id="rId2"/></sheets></workbook>"""

STYLES_XML = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<styleSheet xmlns="{main}"><numFmts count="2"><numFmt numFmtId="164" formatCode="yyyy-mm-dd"/>\
<numFmt numFmtId="165" formatCode="[h]:mm:ss"/></numFmts><cellXfs count="5"><xf numFmtId="0"/>\
<xf numFmtId="2"/><xf numFmtId="164"/><xf numFmtId="10"/><xf numFmtId="165"/></cellXfs>\
</styleSheet>"""

STRINGS_XML = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<sst xmlns="{main}" count="6" uniqueCount="6"><si><t>name</t></si>\
<si><t xml:space="preserve"> qty </t></si><si><r><t>ri</t></r><r><rPr><b/></rPr><t>ch</t></r>\
<rPh sb="0" eb="1"><t>x</t></rPh></si><si><t/></si>\
<si><t>a_x005F_b</t></si><si><t>&lt;&#233;&gt;</t></si></sst>"""

PACKAGE_RELS = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="{package}"><Relationship Id="rId1" \
Type="{relationships}/officeDocument" Target="xl/workbook.xml"/></Relationships>"""

WORKBOOK_RELS = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="{package}">\
<Relationship Id="rId1" Type="{relationships}/worksheet" Target="worksheets/sheet1.xml"/>\
<Relationship Id="rId2" Type="{relationships}/worksheet" Target="/xl/worksheets/sheet2.xml"/>\
<Relationship Id="rId3" Type="{relationships}/styles" Target="styles.xml"/>\
<Relationship Id="rId4" Type="{relationships}/sharedStrings" Target="./sharedStrings.xml"/>\
</Relationships>"""


def xml_package(namespaces=TRANSITIONAL):
    """The parts of a two-sheet workbook, its first worksheet xl/worksheets/sheet1.xml."""
    def part(name, text, deflated=False):
        return name, text.format(**namespaces).encode("utf-8"), deflated

    return [
        part("_rels/.rels", PACKAGE_RELS),
        part("xl/workbook.xml", WORKBOOK_XML),
        part("xl/_rels/workbook.xml.rels", WORKBOOK_RELS),
        part("xl/styles.xml", STYLES_XML),
        part("xl/sharedStrings.xml", STRINGS_XML),
        part("xl/worksheets/sheet1.xml", SHEET_XML, deflated=True),
        part("xl/worksheets/sheet2.xml", CORNERS_XML),
    ]


# --- binary workbooks (.xlsb): records of a type, a length and the bytes

def varint(number):
    out = bytearray()
    while True:
        out.append((number & 0x7F) | (0x80 if number > 0x7F else 0))
        number >>= 7
        if not number:
            return bytes(out)


def record(kind, payload=b""):
    return varint(kind) + varint(len(payload)) + payload


def wide(text):
    units = text.encode("utf-16-le")
    return struct.pack("<I", len(units) // 2) + units


def cell(column, style=0):
    return struct.pack("<II", column, style)


BINARY_SHEET = b"".join([
    record(129),  # BrtBeginSheet, skipped
    record(145),  # BrtBeginSheetData
    record(0, struct.pack("<I", 0) + bytes(13)),  # BrtRowHdr, row 1
    record(7, cell(0) + struct.pack("<I", 0)),  # BrtCellIsst
    record(7, cell(1) + struct.pack("<I", 1)),
    record(6, cell(2) + wide("when")),  # BrtCellSt
    record(62, cell(3) + b"\x00" + wide("rich")),  # BrtCellRString
    record(0, struct.pack("<I", 1) + bytes(13)),  # row 2
    record(2, cell(0, 1) + struct.pack("<I", (4500 << 2) | 3)),  # RK integer x 100
    record(5, cell(1, 2) + struct.pack("<d", 45000.25)),  # BrtCellReal, a date
    record(4, cell(2) + b"\x01"),  # BrtCellBool
    record(3, cell(3) + b"\x2a"),  # BrtCellError #N/A
    record(1, cell(4)),  # BrtCellBlank
    record(0, struct.pack("<I", 4) + bytes(13)),  # row 5
    record(2, cell(0, 3) + struct.pack("<I", 0x3FF00000)),  # RK double 1.0
    record(9, cell(1) + struct.pack("<d", -0.5) + bytes(6)),  # BrtFmlaNum
    record(8, cell(2) + wide("f") + bytes(6)),  # BrtFmlaString
    record(10, cell(3) + b"\x00" + bytes(6)),  # BrtFmlaBool
    record(11, cell(5) + b"\x07" + bytes(6)),  # BrtFmlaError
    record(146),  # BrtEndSheetData
    record(130),  # BrtEndSheet
])

BINARY_CORNERS = b"".join([
    record(145),
    record(0, struct.pack("<I", 0) + bytes(13)),
    record(6, cell(0) + wide("top")),
    record(0, struct.pack("<I", 1048575) + bytes(13)),  # the last row
    record(2, cell(3) + struct.pack("<I", 7 << 2 | 2)),
    record(146),
])

BINARY_WORKBOOK = b"".join([
    record(131),  # BrtBeginBook
    record(153, struct.pack("<I", 0) + bytes(8) + wide("")),  # BrtWbProp, 1900 dates
    record(143),  # BrtBeginBundleShs
    record(156, struct.pack("<II", 0, 1) + wide("rId1") + wide("Data")),
    record(156, struct.pack("<II", 0, 2) + wide("rId2") + wide("Second")),
    record(144),  # BrtEndBundleShs
    record(132),  # BrtEndBook
])

BINARY_STYLES = b"".join([
    record(615, struct.pack("<I", 1)),  # BrtBeginFmts
    record(44, struct.pack("<H", 164) + wide("yyyy-mm-dd")),  # BrtFmt
    record(616),  # BrtEndFmts
    record(617, struct.pack("<I", 4)),  # BrtBeginCellXFs
    record(47, struct.pack("<HH", 0xFFFF, 0) + bytes(12)),  # BrtXF
    record(47, struct.pack("<HH", 0, 2) + bytes(12)),
    record(47, struct.pack("<HH", 0, 164) + bytes(12)),
    record(47, struct.pack("<HH", 0, 10) + bytes(12)),
    record(618),  # BrtEndCellXFs
])

BINARY_STRINGS = b"".join([
    record(159, struct.pack("<II", 3, 3)),  # BrtBeginSst
    record(19, b"\x00" + wide("name")),  # BrtSSTItem
    record(19, b"\x00" + wide("")),
    record(19, b"\x01" + wide("r\U0001d11e") + struct.pack("<I", 0)),  # rich, astral
    record(160),  # BrtEndSst
])

BINARY_WORKBOOK_RELS = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="{package}">\
<Relationship Id="rId1" Type="{relationships}/worksheet" Target="worksheets/sheet1.bin"/>\
<Relationship Id="rId2" Type="{relationships}/worksheet" Target="worksheets/sheet2.bin"/>\
<Relationship Id="rId3" Type="{relationships}/styles" Target="styles.bin"/>\
<Relationship Id="rId4" Type="{relationships}/sharedStrings" Target="sharedStrings.bin"/>\
</Relationships>"""


def binary_package():
    """The parts of a two-sheet binary workbook."""
    def text(template):
        return template.format(**TRANSITIONAL).encode("utf-8")

    return [
        ("_rels/.rels", text(PACKAGE_RELS).replace(b"workbook.xml", b"workbook.bin"), False),
        ("xl/workbook.bin", BINARY_WORKBOOK, False),
        ("xl/_rels/workbook.bin.rels", text(BINARY_WORKBOOK_RELS), False),
        ("xl/styles.bin", BINARY_STYLES, False),
        ("xl/sharedStrings.bin", BINARY_STRINGS, True),
        ("xl/worksheets/sheet1.bin", BINARY_SHEET, True),
        ("xl/worksheets/sheet2.bin", BINARY_CORNERS, False),
    ]
