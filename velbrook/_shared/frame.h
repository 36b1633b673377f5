// The module frame shared by the extension modules: multi-phase
// initialisation with a create step and an exec step, and the helpers the
// modules' own initialisation steps use.
//
// A module supplies a description type `M` with
//     static constexpr const char* shortName;  // "ordinal_unfolder"
//     static constexpr const char* fullName;   // "velbrook.intToTime...."
//     static constexpr const char* sourceFile;
//     static PyMethodDef methods[];
//     static bool init(PyObject* module);      // the module's own steps
// and exports `PyInit_<shortName>` returning `Frame<M>::initialise()`.
#pragma once

#include "python.h"

#include <cstdio>
#include <cstring>

#include "args.h"
#include "capi.h"
#include "errors.h"
#include "names.h"
#include "ref.h"

#define VB_EXPORT_INIT extern "C" __attribute__((visibility("default")))

// Tuples cache their hash in the object from 3.14 on; -1 means "not
// computed yet".
#define VB_TUPLE_HASH_CACHE (PY_VERSION_HEX >= 0x030E0000)

namespace vb {

// Casts a method implementation to the type the method table stores.
template <class F>
inline PyCFunction method(F* f) noexcept
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The builtin `name`, with NameError when it is missing.
inline Ref lookupBuiltin(const char* name) noexcept
{
    Ref key = Ref::steal(PyUnicode_FromString(name));
    return key ? builtinName(key.get()) : Ref();
}

// Looks up the builtin `ValueError` and keeps it as the exception that C++
// exceptions caught at the module's boundary become.
inline bool keepValueError() noexcept
{
    Ref valueError = lookupBuiltin("ValueError");
    if (!valueError) {
        return false;
    }
    Py_XDECREF(moduleState.valueError);
    moduleState.valueError = valueError.release();
    return true;
}

// `from <name> import <attr>` for a standard module: tried first relative
// to the module's own package (level 1), then, only on ImportError, as an
// absolute import.  Returns the imported module (new reference).
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

inline bool setGlobal(const char* name, PyObject* value) noexcept
{
    return PyDict_SetItemString(moduleState.dict, name, value) == 0;
}

// `from <module> import <name>` for a standard module, bound under `name`
// in the module namespace.  Returns the value (new reference).
inline Ref bindImportedName(const char* module, const char* name) noexcept
{
    Ref fromList = Ref::steal(Py_BuildValue("[s]", name));
    Ref imported;
    if (fromList) {
        imported = importStandardModule(module, fromList.get());
    }
    Ref value;
    if (imported) {
        value = importFrom(imported.get(), name);
    }
    if (value && !setGlobal(name, value.get())) {
        return Ref();
    }
    return value;
}

// A named-tuple type made by `namedtuple(typeName, fields)`, given this
// module's name as its `__module__` so that its instances pickle.
inline Ref makeRecordType(PyObject* namedtuple, const char* typeName,
                          const char* const* fields, Py_ssize_t n) noexcept
{
    Ref list = Ref::steal(PyList_New(n));
    if (!list) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* field = PyUnicode_FromString(fields[i]);
        if (!field) {
            return Ref();
        }
        PyList_SET_ITEM(list.get(), i, field);  // steals `field`
    }
    Ref type = Ref::steal(
        PyObject_CallFunction(namedtuple, "sO", typeName, list.get()));
    PyObject* moduleName =
        PyDict_GetItemString(moduleState.dict, "__name__");  // borrowed
    if (type && moduleName &&
        PyObject_SetAttrString(type.get(), "__module__", moduleName) < 0) {
        return Ref();
    }
    return type;
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

// A plain function as it stood when it was pinned: while the same object
// still has the same code, defaults and keyword defaults, calling it runs
// exactly what ran then.  The references are kept for the process (plain
// pointers, never released at exit), so no other object can take a pinned
// address.
class PinnedFunction {
public:
    // Pins `f` when it is a plain function; otherwise pins nothing.
    void pin(PyObject* f) noexcept
    {
        clear();
        if (!f || !PyFunction_Check(f)) {
            return;
        }
        keep(function_, f);
        keep(code_, PyFunction_GET_CODE(f));
        keep(defaults_, PyFunction_GET_DEFAULTS(f));
        keep(kwdefaults_, PyFunction_GET_KW_DEFAULTS(f));
    }

    void clear() noexcept
    {
        Py_CLEAR(function_);
        Py_CLEAR(code_);
        Py_CLEAR(defaults_);
        Py_CLEAR(kwdefaults_);
    }

    // True while `f` is the pinned function, unchanged.
    bool is(PyObject* f) const noexcept
    {
        return function_ && f == function_ &&
               PyFunction_GET_CODE(f) == code_ &&
               PyFunction_GET_DEFAULTS(f) == defaults_ &&
               PyFunction_GET_KW_DEFAULTS(f) == kwdefaults_;
    }

private:
    static void keep(PyObject*& slot, PyObject* value) noexcept
    {
        Py_XINCREF(value);
        Py_XSETREF(slot, value);
    }

    PyObject* function_ = nullptr;
    PyObject* code_ = nullptr;
    PyObject* defaults_ = nullptr;
    PyObject* kwdefaults_ = nullptr;
};

// New reference to `name` as the standard module `module` defines it: the
// object bound under `name` in the namespace of the absolute import of
// `module`, when it is a plain function whose globals are that very
// namespace.  Anything else (a wrapper installed over it, a callable of
// another kind) gives an empty Ref and no exception.
inline Ref standardFunction(const char* module, const char* name) noexcept
{
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    PyObject* dict = imported && PyModule_Check(imported.get())
                         ? PyModule_GetDict(imported.get())
                         : nullptr;  // borrowed
    PyObject* f = dict ? PyDict_GetItemString(dict, name) : nullptr;
    if (!f) {
        PyErr_Clear();  // a failure here only means "not the standard one"
    }
    if (!f || !PyFunction_Check(f) || PyFunction_GET_GLOBALS(f) != dict) {
        return Ref();
    }
    return Ref::incref(f);
}

// A record type this module made with `makeRecordType` and bound in its
// namespace, with a quicker way to build its instances.  Calling a named
// tuple type runs its interpreter-level `__new__`, which hands the fields,
// packed in a tuple, to `tuple.__new__`.  When the type came from the
// standard `namedtuple`, and while the object found under the type's name
// is still that type, with the same `__new__` function running the same
// code and no `__init__`, `build` makes that `tuple.__new__` call itself.
// Anything else (another `namedtuple`, a rebound name, a replaced
// `__new__` or code, an added `__init__`) is called.
class RecordType {
public:
    bool create(PyObject* namedtuple, const char* typeName,
                const char* const* fields, Py_ssize_t n) noexcept
    {
        Ref type = makeRecordType(namedtuple, typeName, fields, n);
        if (!type || !setGlobal(typeName, type.get())) {
            return false;
        }
        Py_CLEAR(type_);
        Py_CLEAR(newInDict_);
        new_.clear();
        // The instance layout filled by `build` is that of the headers this
        // module was compiled with: only the same major.minor is known to
        // share it.
        Ref standard = standardFunction("collections", "namedtuple");
        if (!runsOnBuildVersion() || namedtuple != standard.get() ||
            !isPlainTupleType(type.get(), n)) {
            return !PyErr_Occurred();
        }
        if (!newName_ && !(newName_ = internName("__new__"))) {
            return false;
        }
        // The type's own `__new__`: a staticmethod around a function.
        PyObject* inDict = typeDictNew(type.get());  // borrowed
        Ref function = staticFunction(inDict, type.get());
        if (!function) {
            return !PyErr_Occurred();
        }
        new_.pin(function.get());
        Py_INCREF(inDict);
        newInDict_ = inDict;
        typeNew_ = reinterpret_cast<PyTypeObject*>(type.get())->tp_new;
        type_ = type.release();
        return true;
    }

    // New reference to `type(*items)`, where `type` is the object now
    // bound under the type's name; takes over the references in `items`
    // (all non-null).  Null with the exception set.
    Ref build(PyObject* type, Ref* items, Py_ssize_t n) const noexcept
    {
        if (type == type_ && isUnchanged()) {
            // What `tuple.__new__(type, fields)` does for a subclass: a
            // fresh instance from the type's allocator (items null, as
            // during any tuple's construction), filled before anyone else
            // sees it, with its hash cache marked "not computed yet" on the
            // versions that have one.
            auto* t = reinterpret_cast<PyTypeObject*>(type);
            Ref record = Ref::steal(t->tp_alloc(t, n));
            if (!record) {
                return record;
            }
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyTuple_SET_ITEM(record.get(), i, items[i].release());
            }
#if VB_TUPLE_HASH_CACHE
            reinterpret_cast<PyTupleObject*>(record.get())->ob_hash = -1;
#endif
            return record;
        }
        Ref fields = Ref::steal(PyTuple_New(n));
        for (Py_ssize_t i = 0; fields && i < n; ++i) {
            PyTuple_SET_ITEM(fields.get(), i, items[i].release());
        }
        return fields ? Ref::steal(PyObject_Call(type, fields.get(), nullptr))
                      : Ref();
    }

private:
    // A subclass of tuple whose metaclass is `type`, declaring `n` fields.
    static bool isPlainTupleType(PyObject* type, Py_ssize_t n) noexcept
    {
        if (!PyType_Check(type) || Py_TYPE(type) != &PyType_Type ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                              &PyTuple_Type)) {
            return false;
        }
        Ref declared = Ref::steal(PyObject_GetAttrString(type, "_fields"));
        PyErr_Clear();
        return declared && PyTuple_CheckExact(declared.get()) &&
               PyTuple_GET_SIZE(declared.get()) == n;
    }

    // The `__new__` entry of the type's own dict (borrowed), or null.
    PyObject* typeDictNew(PyObject* type) const noexcept
    {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
        // An exact dict and an interned str key: the search cannot fail.
        return dict && PyDict_CheckExact(dict)
                   ? PyDict_GetItemWithError(dict, newName_)
                   : nullptr;
    }

    // New reference to the function an exact staticmethod `sm` wraps, read
    // through its own descriptor slot, or an empty Ref.
    static Ref staticFunction(PyObject* sm, PyObject* type) noexcept
    {
        if (!sm || Py_TYPE(sm) != &PyStaticMethod_Type) {
            return Ref();
        }
        Ref f =
            Ref::steal(PyStaticMethod_Type.tp_descr_get(sm, nullptr, type));
        if (!f) {
            PyErr_Clear();  // an uninitialised staticmethod: no quick path
        }
        return f;
    }

    bool isUnchanged() const noexcept
    {
        PyObject* type = type_;
        auto* t = reinterpret_cast<PyTypeObject*>(type);
        if (Py_TYPE(t) != &PyType_Type || t->tp_new != typeNew_ ||
            t->tp_init != PyBaseObject_Type.tp_init ||
            typeDictNew(type) != newInDict_) {
            return false;
        }
        return new_.is(staticFunction(newInDict_, type).get());
    }

    // Kept for the process while quick building is on, else null: the type
    // as made at import, its `__new__` staticmethod and the function that
    // staticmethod wraps.
    PyObject* type_ = nullptr;
    PyObject* newInDict_ = nullptr;
    PinnedFunction new_;
    newfunc typeNew_ = nullptr;
    PyObject* newName_ = nullptr;  // interned "__new__", kept for the process
};

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

template <class M>
struct Frame {
    static PyObject* initialise() noexcept { return PyModuleDef_Init(&def); }

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
                         M::shortName);
            return -1;
        }
        Py_INCREF(module);
        moduleState.module = module;
        moduleState.dict = PyModule_GetDict(module);
        moduleState.fullName = M::fullName;
        moduleState.ready = false;
        if (execSteps(module)) {
            moduleState.ready = true;
            return 0;
        }
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ImportError, "init %s", M::fullName);
        }
        static char initName[256];
        std::snprintf(initName, sizeof initName, "init %s", M::fullName);
        addTraceback(FunctionInfo{initName, M::sourceFile, 1});
        moduleState.dict = nullptr;
        Py_CLEAR(moduleState.module);
        return -1;
    }

private:
    static bool checkSingleInterpreter() noexcept
    {
#if PY_VERSION_HEX >= 0x03090000
        long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
#else
        long long current =
            PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
        if (moduleState.interpreterId == -1) {
            moduleState.interpreterId = current;
            return current != -1;
        }
        if (moduleState.interpreterId != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can "
                            "only be loaded into one interpreter per "
                            "process.");
            return false;
        }
        return true;
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
        if (!checkRuntimeVersion(M::fullName)) {
            return false;
        }
        if (!moduleState.builtins) {
            moduleState.builtins = PyImport_AddModule("builtins");
            if (!moduleState.builtins) {
                return false;
            }
            Py_INCREF(moduleState.builtins);  // kept for the process
        }
        if (PyObject_SetAttrString(module, "__builtins__",
                                   moduleState.builtins) < 0) {
            return false;
        }
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        Ref name = Ref::steal(PyUnicode_FromString(M::fullName));
        if (!modules || !name) {
            return false;
        }
        int present = PyDict_Contains(modules, name.get());
        if (present < 0 ||
            (!present && PyDict_SetItem(modules, name.get(), module) < 0)) {
            return false;
        }
        if (!M::init(module)) {
            return false;
        }
        Ref test = Ref::steal(PyDict_New());
        return test && setGlobal("__test__", test.get());
    }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&create)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
        {0, nullptr},
    };

    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT,
        M::shortName,
        nullptr,  // no docstring
        0,        // no per-module state
        M::methods,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
};

}  // namespace vb
