// Name lookup: the module namespace first, then the built-ins, at every use.
//
// Only `print` and `open` are fetched once, at initialisation, and held (in
// the module state), so that replacing them in `builtins` later does not
// change this module.
#pragma once

#include "base.hpp"

namespace fileinspect {

// Remembers the module namespace and the built-ins' namespace that the
// lookups read from, and the built-ins' `__import__` as it is now.
// Returns 0, or -1 with the error of the lookup set.
int set_namespaces(PyObject* module_dict, PyObject* builtins_dict);

// The value bound to `name` in the module namespace or else in the
// built-ins; null with NameError "name 'X' is not defined" when neither has
// it, or with the error a dictionary lookup raised.
Ref lookup_global(PyObject* name);

// The value bound to `name` in the built-ins alone; NameError when missing.
Ref lookup_builtin(PyObject* name);

// What an import statement of this module does: calls `__import__` from the
// built-ins as (name, module namespace, None, fromlist, level), so that a
// replaced `__import__` sees the import; while it is still the one found at
// initialisation, the import machinery is entered directly, as the
// interpreter does. ImportError "__import__ not found" when it is missing.
Ref import_name(PyObject* name, PyObject* fromlist, int level);

}  // namespace fileinspect
