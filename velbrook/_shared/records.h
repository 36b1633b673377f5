// Result records: named-tuple types made at import by `namedtuple`, and
// the quick way to build their instances while that is provably what
// calling the type would do.
#pragma once

#include "python.h"

#include <utility>

#include "compat.h"
#include "imports.h"
#include "ref.h"
#include "state.h"

namespace vb {

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
    if (!type) {
        return type;
    }
    Ref moduleName = dictItem(moduleState.dict, "__name__");
    if (moduleName && PyObject_SetAttrString(type.get(), "__module__",
                                             moduleName.get()) < 0) {
        return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(type);
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
        type_.clear();
        newInDict_.clear();
        new_.clear();
        // The instance layout filled by `build` is that of the headers this
        // module was compiled with: only the same major.minor is known to
        // share it.
        Ref standard = standardFunction("collections", "namedtuple");
        if (!runsOnBuildVersion() || namedtuple != standard.get() ||
            !isPlainTupleType(type.get(), n)) {
            return !PyErr_Occurred();
        }
        if (!newName_.once([] { return internName("__new__"); })) {
            return false;
        }
        // The type's own `__new__`: a staticmethod around a function.
        PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
        Ref inDict = dict && PyDict_CheckExact(dict)
                         ? dictItem(dict, newName_.get())
                         : Ref();
        Ref function = staticFunction(inDict.get(), type.get());
        if (!function) {
            return !PyErr_Occurred();
        }
        new_.pin(function.get());
        newInDict_.set(std::move(inDict));
        typeNew_ = reinterpret_cast<PyTypeObject*>(type.get())->tp_new;
        type_.set(std::move(type));
        return true;
    }

    // New reference to `type(*items)`, where `type` is the object now
    // bound under the type's name; takes over the references in `items`
    // (all non-null).  Null with the exception set.
    Ref build(PyObject* type, Ref* items, Py_ssize_t n) const noexcept
    {
        if (type == type_.get() && isUnchanged()) {
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

    // The `__new__` entry of the type's own dict, or null: borrowed, so
    // only compared with the object kept in `newInDict_` (without the GIL
    // another thread may replace and free it meanwhile).
    PyObject* typeDictNew(PyObject* type) const noexcept
    {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
        // An exact dict and an interned str key: the search cannot fail.
        return dict && PyDict_CheckExact(dict)
                   ? PyDict_GetItemWithError(dict, newName_.get())
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
        PyObject* type = type_.get();
        auto* t = reinterpret_cast<PyTypeObject*>(type);
        if (Py_TYPE(t) != &PyType_Type || t->tp_new != typeNew_ ||
            t->tp_init != PyBaseObject_Type.tp_init ||
            typeDictNew(type) != newInDict_.get()) {
            return false;
        }
        return new_.is(staticFunction(newInDict_.get(), type).get());
    }

    // While quick building is on, else null: the type as made at import,
    // its `__new__` staticmethod and the function that staticmethod wraps.
    Immortal type_;
    Immortal newInDict_;
    PinnedFunction new_;
    newfunc typeNew_ = nullptr;
    Immortal newName_;  // interned "__new__"
};

}  // namespace vb
