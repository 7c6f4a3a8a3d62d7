#include "traceback.hpp"

#include <frameobject.h>

#include "base.hpp"
#include "state.hpp"

namespace fileinspect {

namespace {

constexpr const char* kSourcePath = "veltrane/corvalest/datareader/fileInspect";

const char* entry_name(Function function) {
  switch (function) {
    case Function::init:
      return "init veltrane.corvalest.datareader.fileInspect";
    case Function::getfiletype:
      return "veltrane.corvalest.datareader.fileInspect.getfiletype";
    case Function::getDataFileRanges:
      return "veltrane.corvalest.datareader.fileInspect.getDataFileRanges";
    case Function::inspectFile:
      return "veltrane.corvalest.datareader.fileInspect.inspectFile";
  }
  return "";
}

// The empty code object whose first line is the entry's line (borrowed from
// the state), so that a frame for it reports that line on every version.
PyCodeObject* code_for(Line line) {
  if (line.number <= 0 || line.number >= kLineCount) return nullptr;
  PyCodeObject*& slot = state.entry_code[static_cast<int>(line.function)][line.number];
  if (slot) return slot;
  PyCodeObject* code = PyCode_NewEmpty(kSourcePath, entry_name(line.function), line.number);
  // Making the code object may have let another thread fill the slot.
  if (slot) {
    Ref unused = steal(reinterpret_cast<PyObject*>(code));
  } else {
    slot = code;
  }
  return slot;
}

}  // namespace

void add_traceback_entry(Line line) {
  Ref frame;
  {
    // The frame is built with the exception put aside, as the C API expects;
    // a failure to build it must not replace the exception.
    PendingException pending;
    PyCodeObject* code = code_for(line);
    Ref globals = borrow(state.namespaces.module_dict);
    if (!globals) globals = steal(PyDict_New());
    if (code && globals)
      frame = steal(reinterpret_cast<PyObject*>(
          PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr)));
    PyErr_Clear();
  }
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace fileinspect
