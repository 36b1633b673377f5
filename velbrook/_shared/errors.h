// Failures as the interpreter sees them: traceback entries named after the
// failing function, and the one boundary that turns C++ exceptions into
// interpreter exceptions.
#pragma once

#include "python.h"

#include <cstdio>
#include <exception>
#include <new>

#include "compat.h"
#include "ref.h"
#include "state.h"

namespace vb {

// A module function as tracebacks show it: the module's full name, a dot
// and `name`, at the line of this declaration in the module's source.
struct FunctionName {
    constexpr FunctionName(const char* name, int line = __builtin_LINE())
        : name(name), line(line)
    {
    }

    const char* name;  // "int2time"
    int line;
    // The code object of its traceback entries, made at the first failure
    // and kept: one per function rather than one per failure, which is
    // cheaper, and which 3.13t needs, since it never frees a code object
    // made once a second thread has run.
    mutable Immortal code;
};

// New reference to an empty code object named `qualname` at `line` of the
// module's source.
inline Ref tracebackCode(const char* qualname, int line) noexcept
{
    return Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(moduleState.sourceFile, qualname, line)));
}

// Adds a traceback entry running `code` (made by `tracebackCode`, or null:
// then nothing) to the pending exception, which is kept whatever happens
// meanwhile.
inline void addTracebackEntry(PyObject* code) noexcept
{
    if (!moduleState.dict || !code) {
        return;  // no globals to run a frame with (failed initialisation)
    }
    Ref frame;
    {
        SavedError saved;
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
            moduleState.dict, nullptr)));
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

// The same for a one-off entry `qualname` at `line`.
inline void addTraceback(const char* qualname, int line) noexcept
{
    Ref code;
    {
        SavedError saved;
        code = tracebackCode(qualname, line);
    }
    addTracebackEntry(code.get());
}

// Out of line and cold: the functions that may fail keep their success
// path small.
__attribute__((noinline, cold)) inline void addTraceback(
    const FunctionName& fn) noexcept
{
    {
        SavedError saved;
        fn.code.once([&] {
            char qualname[256];
            std::snprintf(qualname, sizeof qualname, "%s.%s",
                          moduleState.fullName, fn.name);
            return tracebackCode(qualname, fn.line);
        });
    }
    addTracebackEntry(fn.code.get());
}

// Adds `fn`'s traceback entry when the scope is left with an exception
// set: every failure path of a function is covered by one declaration.
class TracebackOnError {
public:
    explicit TracebackOnError(const FunctionName& fn) noexcept : fn_(fn) {}
    TracebackOnError(const TracebackOnError&) = delete;
    TracebackOnError& operator=(const TracebackOnError&) = delete;
    ~TracebackOnError()
    {
        if (PyErr_Occurred()) {
            addTraceback(fn_);
        }
    }

private:
    const FunctionName& fn_;
};

// `result`, with `fn`'s traceback entry added when it is null (and the
// exception set): what a TracebackOnError around the call that made it
// would do, for a function whose only failure is a null result, without
// testing for an exception on the way out of a success.
inline PyObject* tracedResult(PyObject* result,
                              const FunctionName& fn) noexcept
{
    if (__builtin_expect(result == nullptr, 0)) {
        addTraceback(fn);
    }
    return result;
}

// How the boundary reports running out of memory.
enum class OnBadAlloc {
    valueError,   // like any standard exception: ValueError("std::bad_alloc")
    memoryError,  // the interpreter's MemoryError
};

// Runs `body` (a callable returning bool: true on success) and turns any
// C++ exception that escapes it into an interpreter exception: `ValueError`
// (the builtin looked up at import) with the `what()` text of a standard
// exception, without a message for anything else.  Returns false when the
// interpreter's exception is set.
template <class Body>
inline bool guarded(Body&& body,
                    OnBadAlloc onBadAlloc = OnBadAlloc::valueError) noexcept
{
    PyObject* valueError = moduleState.valueError
                               ? moduleState.valueError.get()
                               : PyExc_ValueError;
    try {
        return body();
    } catch (const std::bad_alloc& e) {
        if (onBadAlloc == OnBadAlloc::memoryError) {
            PyErr_NoMemory();
        } else {
            PyErr_SetString(valueError, e.what());
        }
    } catch (const std::exception& e) {
        PyErr_SetString(valueError, e.what());
    } catch (...) {
        PyErr_SetNone(valueError);
    }
    return false;
}

// Raises `excType(*args)` where `args` is a prebuilt argument tuple, so the
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
