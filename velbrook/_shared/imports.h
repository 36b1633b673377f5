// What a module's initialisation imports from the standard library, and how
// a shortcut proves that what it skips calling is the standard library's
// own function, unchanged.
#pragma once

#include "python.h"

#include <cstring>
#include <utility>

#include "ref.h"
#include "state.h"

namespace vb {

inline bool setGlobal(const char* name, PyObject* value) noexcept
{
    return PyDict_SetItemString(moduleState.dict, name, value) == 0;
}

// `from <name> import <fromList>` for a standard module: tried first
// relative to the module's own package (level 1), then, only on
// ImportError, as an absolute import.  Returns the imported module (new
// reference).
inline Ref importStandardModule(const char* name, PyObject* fromList) noexcept
{
    Ref text = Ref::steal(PyUnicode_FromString(name));
    Ref locals = Ref::steal(PyDict_New());
    if (!text || !locals) {
        return Ref();
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(
        text.get(), moduleState.dict, locals.get(), fromList, 1));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            return Ref();
        }
        PyErr_Clear();
        module = Ref::steal(PyImport_ImportModuleLevelObject(
            text.get(), moduleState.dict, locals.get(), fromList, 0));
    }
    return module;
}

// The attribute `name` of an imported module, with ImportError
// "cannot import name ..." when it is missing.
inline Ref importFrom(PyObject* module, const char* name) noexcept
{
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) {
        return Ref();
    }
    Ref value = Ref::steal(PyObject_GetAttr(module, key.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", key.get());
    }
    return value;
}

// `from <module> import <names...>` for a standard module, each bound under
// its own name in the module namespace.  Fills `values` (new references).
template <std::size_t N>
inline bool bindImportedNames(const char* module,
                              const char* const (&names)[N],
                              Ref (&values)[N]) noexcept
{
    Ref fromList = Ref::steal(PyList_New(N));
    for (std::size_t i = 0; fromList && i < N; ++i) {
        PyObject* name = PyUnicode_FromString(names[i]);
        if (!name) {
            return false;
        }
        PyList_SET_ITEM(fromList.get(), i, name);  // steals `name`
    }
    Ref imported =
        fromList ? importStandardModule(module, fromList.get()) : Ref();
    if (!imported) {
        return false;
    }
    for (std::size_t i = 0; i < N; ++i) {
        values[i] = importFrom(imported.get(), names[i]);
        if (!values[i] || !setGlobal(names[i], values[i].get())) {
            return false;
        }
    }
    return true;
}

// New reference to `name` as the standard module `module` defines it: the
// object bound under `name` in the namespace of the absolute import of
// `module`, when it is a plain function whose globals are that very
// namespace, or a builtin function that module itself defines.  Anything
// else (a wrapper installed over it, a callable of another kind) gives an
// empty Ref and no exception.
inline Ref standardFunction(const char* module, const char* name) noexcept
{
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    PyObject* dict = imported && PyModule_Check(imported.get())
                         ? PyModule_GetDict(imported.get())
                         : nullptr;  // borrowed
    Ref f = dict ? dictItem(dict, name) : Ref();
    if (!f) {
        PyErr_Clear();  // a failure here only means "not the standard one"
        return Ref();
    }
    if (PyFunction_Check(f.get())) {
        return PyFunction_GET_GLOBALS(f.get()) == dict ? std::move(f) : Ref();
    }
    if (PyCFunction_Check(f.get())) {
        auto* cf = reinterpret_cast<PyCFunctionObject*>(f.get());
        if (cf->m_self == imported.get() &&
            std::strcmp(cf->m_ml->ml_name, name) == 0) {
            return f;
        }
    }
    return Ref();
}

// A plain function as it stood when it was pinned: while the same object
// still has the same code, defaults and keyword defaults, calling it runs
// exactly what ran then.  Kept for the process, so no other object can
// take a pinned address: `is` only compares addresses, which stays sound
// without the GIL while another thread replaces the function's code (it
// then sees the old or the new pointer, and never follows either).
class PinnedFunction {
public:
    // Pins `f` when it is a plain function; otherwise pins nothing.
    void pin(PyObject* f) noexcept
    {
        clear();
        if (!f || !PyFunction_Check(f)) {
            return;
        }
        function_.set(Ref::incref(f));
        code_.set(Ref::incref(PyFunction_GET_CODE(f)));
        // Either may be absent: then kept as null.
        defaults_.set(Ref::incref(PyFunction_GET_DEFAULTS(f)));
        kwdefaults_.set(Ref::incref(PyFunction_GET_KW_DEFAULTS(f)));
    }

    void clear() noexcept
    {
        function_.clear();
        code_.clear();
        defaults_.clear();
        kwdefaults_.clear();
    }

    // True while `f` is the pinned function, unchanged.
    bool is(PyObject* f) const noexcept
    {
        return function_ && f == function_.get() &&
               PyFunction_GET_CODE(f) == code_.get() &&
               PyFunction_GET_DEFAULTS(f) == defaults_.get() &&
               PyFunction_GET_KW_DEFAULTS(f) == kwdefaults_.get();
    }

private:
    Immortal function_, code_, defaults_, kwdefaults_;
};

}  // namespace vb
