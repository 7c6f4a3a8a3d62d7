// content_digest(fd): a 64-bit digest of the whole file, with which
// excelsource tells an unchanged .xls from one rewritten within a timestamp tick.
#include "sheetscan/entry_points.hpp"

#include "sheetscan/xls/file_digest.hpp"
#include "sheetscan/xls/python_values.hpp"

namespace sheetscan {

PyObject* content_digest(PyObject* module, PyObject* args) {
  int fd;
  if (!PyArg_ParseTuple(args, "i:content_digest", &fd)) return nullptr;
  xls::Problem problem;
  uint64_t digest;
  if (!xls::file_digest(fd, &digest, &problem)) return xls::raise(module, problem);
  return PyLong_FromUnsignedLongLong(digest);
}

}  // namespace sheetscan
