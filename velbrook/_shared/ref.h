// Owned interpreter references.
//
// Rules used throughout the extension modules:
//  * A `Ref` owns exactly one strong reference, or nothing.  It is
//    move-only; the reference is released when the `Ref` dies.
//  * Borrowed references stay raw `PyObject*` and are marked "borrowed"
//    where that is not obvious from the call that produced them.
//  * Functions that hand a new reference to the interpreter call
//    `release()` on the way out; nothing else balances counts by hand.
//  * Objects kept for the life of the process (interned names, constant
//    argument tuples, the standard functions a shortcut compares with) are
//    `Immortal`: one reference each, never released, because at exit the
//    interpreter is gone before static destructors run.
//  * Without the GIL a borrowed reference out of a list or dict another
//    thread can change may be freed before it is used: `dictItem` and
//    `listItem` give strong ones.
#pragma once

#include "python.h"

#include <utility>

#include "compat.h"

namespace vb {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (null allowed: an empty Ref).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref incref(PyObject* o) noexcept
    {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept
    {
        Ref tmp(std::move(o));
        std::swap(p_, tmp.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// One strong reference kept for the process, or nothing.  Trivially
// destructible on purpose: it is never released.  `set` and `clear` run
// only in a module's initialisation, before its functions may run
// (`moduleReady`); `once` may run in any call, in several threads at once
// without the GIL: the first object stored wins and the others are
// dropped, so a pointer read by `get` stays valid for the process.
class Immortal {
public:
    constexpr Immortal() noexcept = default;

    PyObject* get() const noexcept { return p_.load(); }
    explicit operator bool() const noexcept { return get() != nullptr; }

    // Keeps `value` in place of the current object; false when `value` is
    // empty (an exception is then set by whatever failed to make it).
    bool set(Ref value) noexcept
    {
        if (!value) {
            return false;
        }
        Py_XDECREF(p_.exchange(value.release()));
        return true;
    }

    void clear() noexcept { Py_XDECREF(p_.exchange(nullptr)); }

    // Sets the object once: true when it is there already or was made now.
    template <class Make>
    bool once(Make make) noexcept
    {
        if (get()) {
            return true;
        }
        Ref made = make();
        if (!made) {
            return false;
        }
        PyObject* expected = nullptr;
        if (p_.replace(expected, made.get())) {
            made.release();  // kept; otherwise another thread's is
        }
        return true;
    }

private:
    ThreadShared<PyObject*> p_{nullptr};
};

// The interned `str` for `text` (new reference).
inline Ref internName(const char* text) noexcept
{
    return Ref::steal(PyUnicode_InternFromString(text));
}

// New reference to `f(*args)`, positional arguments only (all non-null),
// through the cheapest call each version offers.
template <class... Args>
inline Ref call(PyObject* f, Args*... args) noexcept
{
#if VB_HAS_CALL_ONE_ARG
    if constexpr (sizeof...(args) == 1) {
        return Ref::steal(PyObject_CallOneArg(f, args...));
    }
#endif
    return Ref::steal(PyObject_CallFunctionObjArgs(f, args..., nullptr));
}

// New reference to `dict[key]`; empty when the key is missing (no
// exception) or the search failed (exception set).
inline Ref dictItem(PyObject* dict, PyObject* key) noexcept
{
#if VB_FREE_THREADED
    PyObject* value;
    PyDict_GetItemRef(dict, key, &value);
    return Ref::steal(value);
#else
    return Ref::incref(PyDict_GetItemWithError(dict, key));
#endif
}

// The same for a key given as UTF-8 text.
inline Ref dictItem(PyObject* dict, const char* key) noexcept
{
    Ref text = Ref::steal(PyUnicode_FromString(key));
    return text ? dictItem(dict, text.get()) : Ref();
}

// New reference to item `i` (0 or more) of an exact list, or an empty Ref
// and no exception when the list is shorter, as it is at this moment.
inline Ref listItem(PyObject* list, Py_ssize_t i) noexcept
{
#if VB_FREE_THREADED
    Ref item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) {
        PyErr_Clear();  // IndexError
    }
    return item;
#else
    return i < PyList_GET_SIZE(list) ? Ref::incref(PyList_GET_ITEM(list, i))
                                     : Ref();
#endif
}

}  // namespace vb
