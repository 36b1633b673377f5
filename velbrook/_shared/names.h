// Module-level names read at each use: first the module namespace, then the
// builtins.  Rebinding a module attribute changes what the next call sees.
#pragma once

#include "python.h"

#include <cstdint>

#include "compat.h"
#include "ref.h"
#include "state.h"

namespace vb {

// New reference to the builtin `name`, with NameError when it is missing.
inline Ref builtinName(PyObject* name) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttr(moduleState.builtins.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

inline Ref lookupBuiltin(const char* name) noexcept
{
    Ref key = Ref::steal(PyUnicode_FromString(name));
    return key ? builtinName(key.get()) : Ref();
}

// A name looked up in the module namespace.  Where the namespace has a
// version tag (only builds with a GIL have one), a one-entry cache keyed on
// it skips the dictionary search while the namespace is unchanged: the
// entry found last time is still in it.  Elsewhere a plain lookup is made
// (an interned key with a cached hash: one probe), which without the GIL
// takes its strong reference inside the dict's own read, so a value that
// another thread rebinds at that moment is never used after being freed.
class GlobalName {
public:
    explicit constexpr GlobalName(const char* text) noexcept : text_(text) {}

    // New reference to the current value, or null with NameError set.
    // Inlined: on the calls that read names at each use, the call itself
    // costs about what the cached lookup does.
    __attribute__((always_inline)) Ref get() noexcept
    {
#if VB_HAS_DICT_VERSION
        auto* dict = reinterpret_cast<PyDictObject*>(moduleState.dict);
        if (version_ != 0 && version_ == dict->ma_version_tag) {
            return cached_ ? Ref::incref(cached_) : builtinName(name_.get());
        }
#endif
        if (!name_.once([&] { return internName(text_); })) {
            return Ref();
        }
        Ref value = dictItem(moduleState.dict, name_.get());
#if VB_HAS_DICT_VERSION
        if (!PyErr_Occurred()) {
            cached_ = value.get();  // borrowed; valid while the version holds
            version_ = dict->ma_version_tag;
        }
#endif
        if (value || PyErr_Occurred()) {
            return value;
        }
        return builtinName(name_.get());
    }

private:
    const char* text_;
    Immortal name_;  // interned
#if VB_HAS_DICT_VERSION
    std::uint64_t version_ = 0;
    PyObject* cached_ = nullptr;
#endif
};

// A module name as one call last read it, for a loop that uses it per
// item.  Under the GIL a module namespace changes only while interpreter
// code runs: other threads run only then, and so does anything of the
// call's own (a conversion, a signal handler) that could rebind the name.
// So the value read once stays the current one until the call runs
// interpreter code again (`forget`), and items that run none cost no
// lookup.  Without the GIL the same rule keeps each stretch of such items
// on one value, as it would be under the GIL, and a rebinding made by
// another thread is seen from the next read on, at the latest by the calls
// that start after it.
class CallName {
public:
    explicit CallName(GlobalName& name) noexcept : name_(name) {}
    CallName(const CallName&) = delete;
    CallName& operator=(const CallName&) = delete;

    // Borrowed from this object (valid until `forget`), or null with
    // NameError set.
    PyObject* get() noexcept
    {
        if (!value_) {
            value_ = name_.get();
        }
        return value_.get();
    }

    // Interpreter code has run: the next `get` reads the namespace again.
    void forget() noexcept { value_ = Ref(); }

private:
    GlobalName& name_;
    Ref value_;
};

}  // namespace vb
