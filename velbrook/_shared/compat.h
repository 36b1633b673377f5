// Everything that differs between the interpreter versions the modules
// support, behind named gates: no other file tests PY_VERSION_HEX.
#pragma once

#include "python.h"

#include <atomic>
#include <cstdio>
#include <cstring>

// The free-threaded build (3.13t on): no global lock orders the threads,
// so state shared between calls must order itself (ThreadShared), lists
// and dicts are read under their own locks (CriticalSection) or through
// the calls that return strong references, and the module says it runs
// without the GIL.  Every gate below that depends on it is a no-op, or the
// unchanged code, under the GIL.
#ifdef Py_GIL_DISABLED
#define VB_FREE_THREADED 1
#else
#define VB_FREE_THREADED 0
#endif

// A static that each thread has a copy of without the GIL (a cache that
// calls rewrite), and one for all under it.
#if VB_FREE_THREADED
#define VB_PER_THREAD thread_local
#else
#define VB_PER_THREAD
#endif

// The module slot that declares whether a module needs the GIL (3.13 on;
// ignored by builds that have a GIL).
#ifdef Py_mod_gil
#define VB_HAS_MOD_GIL 1
#else
#define VB_HAS_MOD_GIL 0
#endif

// PyObject_CallOneArg, the cheapest call of one argument (3.9 on).
#define VB_HAS_CALL_ONE_ARG (PY_VERSION_HEX >= 0x03090000)

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

// A value that threads read and write with no lock held: on free-threaded
// builds an atomic, whose loads see everything written before the store
// they read (acquire and release); under the GIL a plain variable, since
// the lock already orders every access.  Trivially destructible and
// constant-initialised, so it may be a static.
template <class T>
class ThreadShared {
public:
    constexpr ThreadShared() noexcept : value_() {}
    constexpr explicit ThreadShared(T value) noexcept : value_(value) {}
    ThreadShared(const ThreadShared&) = delete;
    ThreadShared& operator=(const ThreadShared&) = delete;

#if VB_FREE_THREADED
    T load() const noexcept { return value_.load(std::memory_order_acquire); }
    void store(T value) noexcept
    {
        value_.store(value, std::memory_order_release);
    }
    T exchange(T value) noexcept
    {
        return value_.exchange(value, std::memory_order_acq_rel);
    }
    // Stores `desired` when the value is `expected`; otherwise loads the
    // value into `expected` and returns false.
    bool replace(T& expected, T desired) noexcept
    {
        return value_.compare_exchange_strong(expected, desired,
                                              std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }

private:
    std::atomic<T> value_;
#else
    T load() const noexcept { return value_; }
    void store(T value) noexcept { value_ = value; }
    T exchange(T value) noexcept
    {
        T old = value_;
        value_ = value;
        return old;
    }
    bool replace(T& expected, T desired) noexcept
    {
        if (value_ != expected) {
            expected = value_;
            return false;
        }
        value_ = desired;
        return true;
    }

private:
    T value_;
#endif
};

// Holds the per-object lock of `o` for the life of this object, as the
// interpreter's own operations on `o` do on free-threaded builds: while
// it is held no other thread changes a list, a dict or a buffer's export
// count.  It is let go (and taken again before control comes back) only
// where the holding thread would block, for instance inside interpreter
// code that waits for another lock, which is where the GIL would let other
// threads run too.  Nothing at all under the GIL.
class CriticalSection {
public:
#if VB_FREE_THREADED
    explicit CriticalSection(PyObject* o) noexcept
    {
        PyCriticalSection_Begin(&section_, o);
    }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#if VB_FREE_THREADED
    PyCriticalSection section_;
#endif
};

// A buffer export and its release, each made under the exporter's lock:
// the export count of a bytearray, an array.array or a memoryview is a
// plain counter that two threads exporting the same object at once (the
// same bytearray format in many calls, say) could otherwise corrupt,
// after which the object could be resized under a reader.
inline int getBuffer(PyObject* o, Py_buffer* view, int flags) noexcept
{
    CriticalSection lock(o);
    return PyObject_GetBuffer(o, view, flags);
}

inline void releaseBuffer(Py_buffer* view) noexcept
{
#if VB_FREE_THREADED
    PyObject* owner = view->obj;  // borrowed: the view's own reference
    if (owner) {
        Py_INCREF(owner);  // outlives the release of the view's reference
        {
            CriticalSection lock(owner);
            PyBuffer_Release(view);
        }
        Py_DECREF(owner);
        return;
    }
#endif
    PyBuffer_Release(view);
}

}  // namespace vb
