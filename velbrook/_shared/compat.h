// Everything that differs between the interpreter versions the modules
// support, behind named gates: no other file tests PY_VERSION_HEX.
#pragma once

#include "python.h"

#include <cstdio>
#include <cstring>

#include "ref.h"

// The dict version tag, which lets a lookup be cached while a namespace is
// unchanged: deprecated from 3.12 on, so used only before.
#define VB_HAS_DICT_VERSION (PY_VERSION_HEX < 0x030C0000)

// Tuples cache their hash in the object from 3.14 on; -1 means "not
// computed yet".
#define VB_TUPLE_HASH_CACHE (PY_VERSION_HEX >= 0x030E0000)

// A `str` may need PyUnicode_READY before its data is read, until 3.12.
#define VB_STR_NEEDS_READY (PY_VERSION_HEX < 0x030C0000)

namespace vb {

// The pending exception, taken out for the life of this object and put
// back when it ends, whatever interpreter code ran meanwhile.
class SavedError {
public:
    SavedError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError()
    {
        PyErr_Clear();  // anything raised meanwhile must not replace it
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, value_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_;
#else
    PyObject *type_, *value_, *tb_;
#endif
};

// The pending exception taken out, as one normalised object (new
// reference); an empty Ref when none is set.
inline Ref takeError() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) {
        return Ref();
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

// The major.minor of the headers the module was compiled with and of the
// running interpreter, as text ("3.11").
struct VersionTexts {
    char built[16];
    char running[16] = {0};

    VersionTexts() noexcept
    {
        std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION,
                      PY_MINOR_VERSION);
        // The running version's major.minor: digits, one dot, digits.
        const char* text = Py_GetVersion();
        bool dot = false;
        for (size_t i = 0; i + 1 < sizeof running; ++i) {
            const char c = text[i];
            if (c == '.' && !dot) {
                dot = true;
            } else if (c < '0' || c > '9') {
                break;
            }
            running[i] = c;
        }
    }
};

inline bool runsOnBuildVersion() noexcept
{
    VersionTexts v;
    return std::strcmp(v.built, v.running) == 0;
}

// Sets the reference count of a statically allocated object before it is
// readied.
inline void setRefcount(PyObject* o, Py_ssize_t n) noexcept
{
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(o, n);
#else
    Py_REFCNT(o) = n;
#endif
}

// The running interpreter's id.
inline long long currentInterpreterId() noexcept
{
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// True once the interpreter has begun to shut down: a thread that does
// not hold the lock must then not try to take it.
inline bool interpreterFinalizing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// New reference to `f(*args)`, positional arguments only (all non-null),
// through the cheapest call each version offers.
template <class... Args>
inline Ref call(PyObject* f, Args*... args) noexcept
{
#if PY_VERSION_HEX >= 0x03090000
    if constexpr (sizeof...(args) == 1) {
        return Ref::steal(PyObject_CallOneArg(f, args...));
    }
#endif
    return Ref::steal(PyObject_CallFunctionObjArgs(f, args..., nullptr));
}

}  // namespace vb
