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
// version tag, a one-entry cache keyed on it skips the dictionary search
// while the namespace is unchanged: the entry found last time is still in
// it.  Elsewhere a plain lookup is made (an interned key with a cached
// hash: one probe).
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
        PyObject* value =
            PyDict_GetItemWithError(moduleState.dict, name_.get());
#if VB_HAS_DICT_VERSION
        if (!PyErr_Occurred()) {
            cached_ = value;  // borrowed; valid while the version holds
            version_ = dict->ma_version_tag;
        }
#endif
        if (value) {
            return Ref::incref(value);
        }
        if (PyErr_Occurred()) {
            return Ref();
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

}  // namespace vb
