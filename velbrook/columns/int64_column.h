// `Int64Column`: the result of a column conversion, a fixed-length run of
// signed 64-bit integers that numpy, pandas and Arrow read in place
// through the buffer protocol (format "q"), and that lists, indexes,
// iterates, compares and pickles as a sequence of int.
#pragma once

#include "../_shared/python.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../_shared/capi.h"
#include "../_shared/compat.h"
#include "../_shared/ref.h"

namespace vb {

struct ColumnObject {
    PyObject ob_base;
    std::int64_t* data;  // owned, from std::malloc; `size` items
    Py_ssize_t size;
    Py_ssize_t itemsize;  // 8, pointed to as the buffer's stride
};

inline PyTypeObject columnType;

inline std::int64_t* columnData(PyObject* column) noexcept
{
    return reinterpret_cast<ColumnObject*>(column)->data;
}

// A new column of `n` items, not yet written.
inline Ref newColumn(Py_ssize_t n) noexcept
{
    if (n < 0 ||
        static_cast<std::size_t>(n) > PY_SSIZE_T_MAX / sizeof(std::int64_t)) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref self = Ref::steal(columnType.tp_alloc(&columnType, 0));
    if (!self) {
        return self;
    }
    auto* c = reinterpret_cast<ColumnObject*>(self.get());
    c->itemsize = sizeof(std::int64_t);
    // The C library's allocator: the threads that fill it run without the
    // interpreter lock, and it hands out a large block without writing it
    // (a debug interpreter's allocator fills every byte, on allocation and
    // again on release, which for 10^8 items delays Ctrl-C by seconds).
    c->data = static_cast<std::int64_t*>(std::malloc(
        static_cast<std::size_t>(n ? n : 1) * sizeof(std::int64_t)));
    if (!c->data) {
        PyErr_NoMemory();
        return Ref();
    }
    c->size = n;
    return self;
}

namespace detail {

inline void columnDealloc(PyObject* self) noexcept
{
    std::free(reinterpret_cast<ColumnObject*>(self)->data);
    Py_TYPE(self)->tp_free(self);
}

inline int columnGetBuffer(PyObject* self, Py_buffer* view, int flags) noexcept
{
    auto* c = reinterpret_cast<ColumnObject*>(self);
    view->obj = Ref::incref(self).release();
    view->buf = c->data;
    view->len = c->size * c->itemsize;
    view->readonly = 0;
    view->itemsize = c->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("q") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &c->size : nullptr;
    view->strides =
        (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &c->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

inline Py_ssize_t columnLength(PyObject* self) noexcept
{
    return reinterpret_cast<ColumnObject*>(self)->size;
}

inline PyObject* columnItem(PyObject* self, Py_ssize_t i) noexcept
{
    auto* c = reinterpret_cast<ColumnObject*>(self);
    if (i < 0 || i >= c->size) {
        PyErr_SetString(PyExc_IndexError, "Int64Column index out of range");
        return nullptr;
    }
    return PyLong_FromLongLong(c->data[i]);
}

inline PyObject* columnToList(PyObject* self, PyObject*) noexcept
{
    auto* c = reinterpret_cast<ColumnObject*>(self);
    Ref list = Ref::steal(PyList_New(c->size));
    for (Py_ssize_t i = 0; list && i < c->size; ++i) {
        PyObject* item = PyLong_FromLongLong(c->data[i]);
        if (!item) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i, item);  // steals `item`
    }
    return list.release();
}

// Int64Column(values): a copy of an int64 buffer ("q" or "l"), or of any
// iterable of int.
inline PyObject* columnNew(PyTypeObject*, PyObject* args,
                           PyObject* kwds) noexcept
{
    PyObject* values = nullptr;
    static const char* names[] = {"values", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:Int64Column",
                                     const_cast<char**>(names), &values)) {
        return nullptr;
    }
    if (!values) {
        return newColumn(0).release();
    }
    if (PyObject_CheckBuffer(values)) {
        Py_buffer view;
        if (PyObject_GetBuffer(values, &view,
                               PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            const char* f = view.format ? view.format : "B";
            if (*f == '@' || *f == '=' || (*f == '<' && PY_LITTLE_ENDIAN)) {
                ++f;
            }
            const bool int64 = view.itemsize == 8 && f[1] == '\0' &&
                               (f[0] == 'q' || f[0] == 'l');
            Ref column;
            if (int64) {
                column = newColumn(view.len / 8);
                if (column) {
                    std::memcpy(columnData(column.get()), view.buf,
                                static_cast<std::size_t>(view.len));
                }
            }
            PyBuffer_Release(&view);
            if (int64) {
                return column.release();
            }
        } else {
            PyErr_Clear();
        }
    }
    Ref list = Ref::steal(PySequence_List(values));
    if (!list) {
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    Ref column = newColumn(n);
    for (Py_ssize_t i = 0; column && i < n; ++i) {
        const long long v = PyLong_AsLongLong(PyList_GET_ITEM(list.get(), i));
        if (v == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        columnData(column.get())[i] = v;
    }
    return column.release();
}

// Pickled as Int64Column(array.array("q", <bytes>)).
inline PyObject* columnReduce(PyObject* self, PyObject*) noexcept
{
    auto* c = reinterpret_cast<ColumnObject*>(self);
    Ref array = Ref::steal(PyImport_ImportModule("array"));
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(c->data), c->size * c->itemsize));
    if (!array || !bytes) {
        return nullptr;
    }
    Ref values = Ref::steal(
        PyObject_CallMethod(array.get(), "array", "sO", "q", bytes.get()));
    if (!values) {
        return nullptr;
    }
    return Py_BuildValue("O(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         values.get());
}

inline PyObject* columnRepr(PyObject* self) noexcept
{
    auto* c = reinterpret_cast<ColumnObject*>(self);
    const Py_ssize_t shown = c->size < 8 ? c->size : 6;
    Ref items = Ref::steal(PyUnicode_FromString(""));
    for (Py_ssize_t i = 0; items && i < shown; ++i) {
        items = Ref::steal(
            PyUnicode_FromFormat(i ? "%U, %lld" : "%U%lld", items.get(),
                                 static_cast<long long>(c->data[i])));
    }
    if (!items) {
        return nullptr;
    }
    return PyUnicode_FromFormat("Int64Column([%U%s], length=%zd)", items.get(),
                                shown < c->size ? ", ..." : "", c->size);
}

// Equal to another Int64Column with the same items; anything else is
// compared as the interpreter compares unrelated objects.
inline PyObject* columnRichCompare(PyObject* a, PyObject* b, int op) noexcept
{
    if (Py_TYPE(b) != &columnType || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    auto* x = reinterpret_cast<ColumnObject*>(a);
    auto* y = reinterpret_cast<ColumnObject*>(b);
    const bool same =
        x->size == y->size &&
        std::memcmp(x->data, y->data,
                    static_cast<std::size_t>(x->size) * sizeof *x->data) == 0;
    return PyBool_FromLong(same == (op == Py_EQ));
}

inline PySequenceMethods columnSequence = {};
inline PyBufferProcs columnBuffer = {};
inline PyMethodDef columnMethods[] = {
    {"tolist", castFunction<PyCFunction>(&columnToList), METH_NOARGS,
     "tolist($self, /)\n--\n\nThe items as a list of int."},
    {"__reduce__", castFunction<PyCFunction>(&columnReduce), METH_NOARGS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace detail

// Readies the type and binds it as the module's `Int64Column`.
inline bool readyColumnType(PyObject* module) noexcept
{
    PyTypeObject& t = columnType;
    if (!(t.tp_flags & Py_TPFLAGS_READY)) {
        detail::columnSequence.sq_length = detail::columnLength;
        detail::columnSequence.sq_item = detail::columnItem;
        detail::columnBuffer.bf_getbuffer = detail::columnGetBuffer;
        setRefcount(reinterpret_cast<PyObject*>(&t), 1);
        t.tp_name = "velbrook.columns.Int64Column";
        t.tp_basicsize = sizeof(ColumnObject);
        t.tp_dealloc = detail::columnDealloc;
        t.tp_repr = detail::columnRepr;
        t.tp_as_sequence = &detail::columnSequence;
        t.tp_as_buffer = &detail::columnBuffer;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_doc =
            "Int64Column(values=())\n--\n\n"
            "A column of signed 64-bit integers: numpy.asarray(column) is "
            "an int64\nview of it without a copy; it indexes, iterates, "
            "pickles and\ncompares as a sequence of int.";
        t.tp_richcompare = detail::columnRichCompare;
        t.tp_methods = detail::columnMethods;
        t.tp_new = detail::columnNew;
        if (PyType_Ready(&t) < 0) {
            return false;
        }
    }
    Py_INCREF(&t);  // the module's reference
    if (PyModule_AddObject(module, "Int64Column",
                           reinterpret_cast<PyObject*>(&t)) < 0) {
        Py_DECREF(&t);
        return false;
    }
    return true;
}

}  // namespace vb
