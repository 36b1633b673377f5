// The state of the one module a shared library holds.  Every extension
// module is its own shared library built from one translation unit, with
// all symbols hidden, so each module has its own copy.
#pragma once

#include "python.h"

#include "compat.h"
#include "ref.h"

namespace vb {

// Written by the module's initialisation only; its functions read the
// fields once `ready` says they are complete.
struct ModuleState {
    PyObject* module = nullptr;  // owned while the module is initialised
    PyObject* dict = nullptr;    // borrowed from `module`
    Immortal builtins;           // the `builtins` module
    Immortal valueError;         // the builtin `ValueError`
    // The interpreter the module was first created in, or -1.
    ThreadShared<long long> interpreterId{-1};
    // True once the module's initialisation has run to its end.  Until
    // then (and for good after a failed one) its functions, which a failed
    // import can leave reachable, must not touch the state above.  Stored
    // last: a thread that reads true sees all of the state (and every
    // other static the initialisation set) complete.
    ThreadShared<bool> ready{false};
    const char* fullName = "";    // "velbrook.intToTime.ordinal_unfolder"
    const char* sourceFile = "";  // "velbrook/intToTime/ordinal_unfolder.cpp"
};

inline ModuleState moduleState;

// True when the module is initialised; otherwise raises RuntimeError.
inline bool moduleReady() noexcept
{
    if (moduleState.ready.load()) {
        return true;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "module %s is not initialised: its import failed or has not "
                 "finished",
                 moduleState.fullName);
    return false;
}

}  // namespace vb
