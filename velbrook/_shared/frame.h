// The module frame shared by the extension modules: multi-phase
// initialisation with a create step and an exec step.  A module source
// ends with one declaration,
//
//     VB_MODULE(ordinal_unfolder, "velbrook.intToTime.ordinal_unfolder",
//               methods, init)
//
// which exports `PyInit_ordinal_unfolder`; tracebacks name the source file
// as the build names it ("velbrook/intToTime/ordinal_unfolder.cpp"), and
// `init` runs the module's own initialisation steps.
#pragma once

#include "python.h"

#include <cstdio>
#include <cstring>

#include "capi.h"
#include "compat.h"
#include "errors.h"
#include "names.h"
#include "ref.h"
#include "state.h"

#define VB_EXPORT_INIT extern "C" __attribute__((visibility("default")))

namespace vb {

struct ModuleSpec {
    const char* fullName;
    const char* sourceFile;  // as tracebacks show it
    PyMethodDef* methods;
    bool (*init)(PyObject* module);
};

template <class F>
inline PyCFunction method(F* f) noexcept
{
    return castFunction<PyCFunction>(f);
}

// Warns when the module runs under another major.minor than the headers it
// was compiled against.
inline bool checkRuntimeVersion(const char* fullName) noexcept
{
    VersionTexts v;
    if (std::strcmp(v.built, v.running) == 0) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match "
                  "runtime version %s",
                  v.built, fullName, v.running);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

template <const ModuleSpec& M>
struct Frame {
    static PyObject* initialise() noexcept
    {
        const char* dot = std::strrchr(M.fullName, '.');
        def.m_name = dot ? dot + 1 : M.fullName;
        moduleState.fullName = M.fullName;
        moduleState.sourceFile = M.sourceFile;
        return PyModuleDef_Init(&def);
    }

    static PyObject* create(PyObject* spec, PyModuleDef*) noexcept
    {
        if (!checkSingleInterpreter()) {
            return nullptr;
        }
        if (moduleState.module) {
            Py_INCREF(moduleState.module);
            return moduleState.module;
        }
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) {
            return nullptr;
        }
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        if (!module) {
            return nullptr;
        }
        PyObject* dict = PyModule_GetDict(module.get());  // borrowed
        if (!copySpec(spec, dict, "loader", "__loader__", true) ||
            !copySpec(spec, dict, "origin", "__file__", true) ||
            !copySpec(spec, dict, "parent", "__package__", true) ||
            !copySpec(spec, dict, "submodule_search_locations", "__path__",
                      false)) {
            return nullptr;
        }
        return module.release();
    }

    static int exec(PyObject* module) noexcept
    {
        if (moduleState.module) {
            if (moduleState.module == module) {
                return 0;
            }
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. "
                         "Re-initialisation is not supported.",
                         def.m_name);
            return -1;
        }
        Py_INCREF(module);
        moduleState.module = module;
        moduleState.dict = PyModule_GetDict(module);
        moduleState.ready.store(false);
        if (execSteps(module)) {
            moduleState.ready.store(true);
            return 0;
        }
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ImportError, "init %s", M.fullName);
        }
        char initName[256];
        std::snprintf(initName, sizeof initName, "init %s", M.fullName);
        addTraceback(initName, 1);
        moduleState.dict = nullptr;
        Py_CLEAR(moduleState.module);
        return -1;
    }

private:
    static bool checkSingleInterpreter() noexcept
    {
        const long long current = currentInterpreterId();
        if (current == -1) {
            return false;
        }
        long long first = -1;
        if (moduleState.interpreterId.replace(first, current) ||
            first == current) {
            return true;
        }
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can "
                        "only be loaded into one interpreter per "
                        "process.");
        return false;
    }

    static bool copySpec(PyObject* spec, PyObject* dict, const char* from,
                         const char* to, bool allowNone) noexcept
    {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                return true;
            }
            return false;
        }
        if (!allowNone && value.get() == Py_None) {
            return true;
        }
        return PyDict_SetItemString(dict, to, value.get()) == 0;
    }

    static bool execSteps(PyObject* module) noexcept
    {
        if (!checkRuntimeVersion(M.fullName)) {
            return false;
        }
        if (!moduleState.builtins.once(
                [] { return Ref::incref(PyImport_AddModule("builtins")); })) {
            return false;
        }
        if (PyObject_SetAttrString(module, "__builtins__",
                                   moduleState.builtins.get()) < 0) {
            return false;
        }
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        Ref name = Ref::steal(PyUnicode_FromString(M.fullName));
        if (!modules || !name) {
            return false;
        }
        int present = PyDict_Contains(modules, name.get());
        if (present < 0 ||
            (!present && PyDict_SetItem(modules, name.get(), module) < 0)) {
            return false;
        }
        // The builtin `ValueError`, which C++ exceptions caught at the
        // module's boundary become.
        if (!moduleState.valueError.set(lookupBuiltin("ValueError")) ||
            !M.init(module)) {
            return false;
        }
        Ref test = Ref::steal(PyDict_New());
        return test && PyDict_SetItemString(moduleState.dict, "__test__",
                                            test.get()) == 0;
    }

    // Every piece of state the module's functions share is immutable after
    // the initialisation, atomic, or read under the interpreter's own
    // per-object locks, so the module runs without the GIL where the
    // interpreter can.
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&create)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
#if VB_HAS_MOD_GIL
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
        {0, nullptr},
    };

    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT,
        nullptr,  // the short name, set by `initialise`
        nullptr,  // no docstring
        0,        // no per-module state
        M.methods,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
};

}  // namespace vb

// Declares the module and exports its initialisation function, named after
// the short name as the interpreter expects.
#define VB_MODULE(shortName, fullName, methods, init)                \
    namespace vb {                                                   \
    namespace {                                                      \
    constexpr ModuleSpec spec = {fullName, __FILE__, methods, init}; \
    }                                                                \
    }                                                                \
    VB_EXPORT_INIT PyObject* PyInit_##shortName()                    \
    {                                                                \
        return vb::Frame<vb::spec>::initialise();                    \
    }
