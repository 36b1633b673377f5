// Error reporting shared by the extension modules: traceback entries named
// after the failing function, and the boundary that turns C++ exceptions
// into interpreter exceptions.
#pragma once

#include "python.h"

#include <cstddef>
#include <exception>

#include "ref.h"

namespace vb {

// Process-wide state of the one module held by this shared library.  Every
// extension module is its own shared library built from one translation
// unit, and all symbols are hidden, so each module has its own copy.
struct ModuleState {
    PyObject* module = nullptr;      // owned while the module is initialised
    PyObject* dict = nullptr;        // borrowed from `module`
    PyObject* builtins = nullptr;    // owned; the `builtins` module
    PyObject* valueError = nullptr;  // owned; the builtin `ValueError`
    long long interpreterId = -1;
    // True once the module's initialisation has run to its end.  Until
    // then (and for good after a failed one) its functions, which a failed
    // import can leave reachable, must not touch the state above.
    bool ready = false;
    const char* fullName = "";  // "velbrook.intToTime.ordinal_unfolder"
};

inline ModuleState moduleState;

// True when the module is initialised; otherwise raises RuntimeError.
inline bool moduleReady() noexcept
{
    if (moduleState.ready) {
        return true;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "module %s is not initialised: its import failed or has not "
                 "finished",
                 moduleState.fullName);
    return false;
}

// Polls for pending signals (Ctrl-C) in a loop whose length the caller
// controls, after about `budget` units of work, so that a long loop stops
// promptly while a short step pays only an addition and a comparison.
class InterruptPoll {
public:
    // Adds `work` units; false with the exception set when a signal
    // handler raised (KeyboardInterrupt).
    bool tick(std::size_t work) noexcept
    {
        done_ += work;
        if (done_ < budget) {
            return true;
        }
        done_ = 0;
        return PyErr_CheckSignals() == 0;
    }

    static constexpr std::size_t budget = std::size_t{1} << 16;

private:
    std::size_t done_ = 0;
};

// A function as it appears in tracebacks: its full dotted name and the
// source file that implements it.
struct FunctionInfo {
    const char* qualname;  // "velbrook.intToTime.ordinal_unfolder.int2time"
    const char* filename;
    int line;
};

// Adds a traceback entry for `fn` to the pending exception.  The pending
// exception is kept whatever happens while the entry is built.
inline void addTraceback(const FunctionInfo& fn) noexcept
{
    if (!moduleState.dict) {
        return;  // no globals to run a frame with (failed initialisation)
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(fn.filename, fn.qualname, fn.line)));
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
            moduleState.dict, nullptr)));
    }
    PyErr_Clear();  // a failure to build the entry must not replace `exc`
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

// Raises `ValueError` (the builtin looked up at import) for an exception
// caught at the boundary between a native core and the interpreter: the
// `what()` text of a standard exception, no message for anything else.
// Must be called from inside a catch block.
inline void setErrorFromCurrentException() noexcept
{
    PyObject* valueError =
        moduleState.valueError ? moduleState.valueError : PyExc_ValueError;
    try {
        throw;
    } catch (const std::exception& e) {
        PyErr_SetString(valueError, e.what());
    } catch (...) {
        PyErr_SetNone(valueError);
    }
}

// Runs `body` (a callable returning bool: true on success) and turns any
// C++ exception that escapes it into an interpreter exception.  Returns
// false when the interpreter's exception is set.
template <class Body>
inline bool guarded(Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        setErrorFromCurrentException();
        return false;
    }
}

// Raises `exc_type(*args)` where `args` is a prebuilt argument tuple, so the
// exception's `args` is exactly that tuple.
inline void raiseWithArgs(PyObject* excType, PyObject* args) noexcept
{
    Ref exc = Ref::steal(PyObject_Call(excType, args, nullptr));
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())),
                        exc.get());
    }
}

}  // namespace vb
