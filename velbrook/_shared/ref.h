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
#pragma once

#include "python.h"

#include <utility>

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
// destructible on purpose: it is never released.  A new import of the
// module (after `del sys.modules[...]`) may replace the object.
class Immortal {
public:
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Keeps `value` in place of the current object; false when `value` is
    // empty (an exception is then set by whatever failed to make it).
    bool set(Ref value) noexcept
    {
        if (!value) {
            return false;
        }
        Py_XSETREF(p_, value.release());
        return true;
    }

    void clear() noexcept { Py_CLEAR(p_); }

    // Sets the object once: true when it is there already or was made now.
    template <class Make>
    bool once(Make make) noexcept
    {
        return p_ || set(make());
    }

private:
    PyObject* p_ = nullptr;
};

// The interned `str` for `text` (new reference).
inline Ref internName(const char* text) noexcept
{
    return Ref::steal(PyUnicode_InternFromString(text));
}

}  // namespace vb
