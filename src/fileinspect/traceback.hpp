// Traceback entries that name this module's functions and source lines.
//
// An entry is added by making an empty code object for the place (file,
// function, line), a frame for it, and letting the interpreter prepend that
// frame to the traceback of the exception being raised. An entry added later
// stands outside the earlier ones, as an enclosing statement would.
#pragma once

namespace fileinspect {

enum class Function { init, getfiletype, getDataFileRanges, inspectFile };

// Adds an entry for `function` at source line `line` to the exception being
// raised. The exception stays as it is, also when no entry can be made.
void add_traceback_entry(Function function, int line);

}  // namespace fileinspect
