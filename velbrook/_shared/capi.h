// The C-level function table: the module attribute "__pyx_capi__", a dict
// from function name to a capsule whose name is the function's signature
// string.  Native modules publish functions through it and bind each
// other's functions by name at import time.
#pragma once

#include "python.h"

#include "ref.h"

namespace vb {

using AnyFunction = void (*)();

// Casts a function pointer to the type a table stores it as: `AnyFunction`
// in the C-level table, `PyCFunction` in a method table.
template <class To = AnyFunction, class F>
inline To castFunction(F* f) noexcept
{
    return reinterpret_cast<To>(reinterpret_cast<AnyFunction>(f));
}

// Adds one entry to the module's table, creating the table on first use.
inline bool publishFunction(PyObject* module, const char* name, AnyFunction f,
                            const char* signature) noexcept
{
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!table) {
        PyErr_Clear();
        table = Ref::steal(PyDict_New());
        if (!table ||
            PyObject_SetAttrString(module, "__pyx_capi__", table.get()) < 0) {
            return false;
        }
    }
    // No destructor: the function lives as long as the process.
    Ref capsule = Ref::steal(
        PyCapsule_New(reinterpret_cast<void*>(f), signature, nullptr));
    return capsule &&
           PyDict_SetItemString(table.get(), name, capsule.get()) == 0;
}

// One entry of a module's table.
struct CFunction {
    const char* name;
    AnyFunction f;
    const char* signature;
};

// Publishes `entries` in their order.
template <size_t N>
inline bool publishTable(PyObject* module,
                         const CFunction (&entries)[N]) noexcept
{
    for (const CFunction& e : entries) {
        if (!publishFunction(module, e.name, e.f, e.signature)) {
            return false;
        }
    }
    return true;
}

// Binds `name` from the table of the module `moduleName`, checking that its
// signature string is exactly `signature`.  Returns null with the
// interpreter's exception set on failure.
inline AnyFunction bindFunction(const char* moduleName, const char* name,
                                const char* signature) noexcept
{
    Ref module = Ref::steal(PyImport_ImportModule(moduleName));
    if (!module) {
        return nullptr;
    }
    Ref table =
        Ref::steal(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!table) {
        return nullptr;
    }
    const char* shown = PyModule_GetName(module.get());
    if (!shown) {
        PyErr_Clear();  // an imported object that is not a module
        shown = moduleName;
    }
    PyObject* capsule = PyDict_Check(table.get())
                            ? PyDict_GetItemString(table.get(), name)
                            : nullptr;  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError,
                     "%.200s does not export expected C function %.200s",
                     shown, name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* got = PyCapsule_GetName(capsule);
        PyErr_Clear();  // not a capsule at all: report an empty name
        PyErr_Format(PyExc_TypeError,
                     "C function %.200s.%.200s has wrong signature "
                     "(expected %.500s, got %.500s)",
                     shown, name, signature, got ? got : "");
        return nullptr;
    }
    return reinterpret_cast<AnyFunction>(
        PyCapsule_GetPointer(capsule, signature));
}

}  // namespace vb
