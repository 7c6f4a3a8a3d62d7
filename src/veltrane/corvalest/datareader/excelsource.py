"""Data ranges of workbooks (placeholder until workbooks are read)."""


def getranges(filename, ftype):
    """Return the data ranges of the workbook `filename` of type `ftype`."""
    raise NotImplementedError("reading %s workbooks is not available yet" % ftype)


def analyseRangeData(filename, ftype, arange):
    """Return the layout of the range `arange` of the workbook `filename`."""
    raise NotImplementedError("reading %s workbooks is not available yet" % ftype)
