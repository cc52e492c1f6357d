// Reading module globals by name at the moment they are needed, so that
// rebinding a global changes later behaviour.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/host.h"

namespace vorn {

// Looks name up in the module's dictionary, then among the builtins.
// Returns a new reference, or null with NameError ("name '%U' is not
// defined") or the error that the look-up itself raised.
PyObject* lookup_global(PyObject* name);

// The look-ups the codec makes, bound to this module's globals.
extern const codec::Host kCodecHost;

}  // namespace vorn
