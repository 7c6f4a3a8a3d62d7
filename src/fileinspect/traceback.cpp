#include "traceback.hpp"

#include "lookup.hpp"
#include "pyref.hpp"

#include <frameobject.h>

namespace fileinspect {

namespace {

constexpr const char* kSourcePath = "veltrane/corvalest/datareader/fileInspect";
constexpr int kFunctionCount = 4;
constexpr int kLineCount = 128;  // the module's source lines are 1 to 127

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

// Code objects made so far, one per place; they live as long as the process.
PyCodeObject* code_cache[kFunctionCount][kLineCount];

// The empty code object whose first line is `line` (borrowed from the
// cache), so that a frame for it reports that line on every version.
PyCodeObject* code_for(Function function, int line) {
  if (line <= 0 || line >= kLineCount) return nullptr;
  PyCodeObject*& slot = code_cache[static_cast<int>(function)][line];
  if (slot) return slot;
  PyCodeObject* code = PyCode_NewEmpty(kSourcePath, entry_name(function), line);
  // Making the code object may have let another thread fill the slot.
  if (slot) {
    Py_XDECREF(code);
  } else {
    slot = code;
  }
  return slot;
}

}  // namespace

void add_traceback_entry(Function function, int line) {
  // The frame is built with the exception put aside, as the C API expects.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyCodeObject* code = code_for(function, line);
  Ref globals = borrow(module_namespace());
  if (!globals) globals = steal(PyDict_New());
  Ref frame;
  if (code && globals)
    frame = steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr)));
  PyErr_Clear();  // a failure to build the entry must not replace the exception
  PyErr_Restore(type, value, traceback);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace fileinspect
