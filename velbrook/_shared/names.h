// Module-level names read at each use: first the module namespace, then the
// builtins.  Rebinding a module attribute changes what the next call sees.
#pragma once

#include "python.h"

#include <cstdint>

#include "errors.h"
#include "ref.h"

namespace vb {

// Interned `str` for a name, created once and kept for the process.
inline PyObject* internName(const char* text) noexcept
{
    return PyUnicode_InternFromString(text);
}

inline Ref builtinName(PyObject* name) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttr(moduleState.builtins, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

// A name looked up in the module namespace, with a one-entry cache keyed on
// the namespace's version tag: while the namespace is unchanged, the entry
// found last time is still in it and no dictionary search is needed.
// Interpreters from 3.12 on deprecate the version tag; there a plain
// lookup is made (an interned key with a cached hash: one probe).
class GlobalName {
public:
    explicit GlobalName(const char* text) noexcept : text_(text) {}

    // New reference to the current value, or null with NameError set.
    Ref get() noexcept
    {
#if PY_VERSION_HEX < 0x030C0000
        auto* dict = reinterpret_cast<PyDictObject*>(moduleState.dict);
        if (version_ != 0 && version_ == dict->ma_version_tag) {
            return cached_ ? Ref::incref(cached_) : builtinName(name_);
        }
#endif
        if (!name_ && !(name_ = internName(text_))) {
            return Ref();
        }
        PyObject* value = PyDict_GetItemWithError(moduleState.dict, name_);
#if PY_VERSION_HEX < 0x030C0000
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
        return builtinName(name_);
    }

private:
    const char* text_;
    PyObject* name_ = nullptr;  // interned, kept for the process
#if PY_VERSION_HEX < 0x030C0000
    std::uint64_t version_ = 0;
    PyObject* cached_ = nullptr;
#endif
};

}  // namespace vb
