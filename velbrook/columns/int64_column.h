// `Int64Column`: the result of a column conversion, a fixed-length run of
// signed 64-bit integers with
//   - a validity bitmap of the elements that failed (none when nothing
//     failed), which Arrow readers see as nulls;
//   - a unit (epoch seconds, epoch milliseconds or day ordinals), or none;
// that numpy, pandas and Arrow read in place through the buffer protocol
// (format "q") and the Arrow PyCapsule interface, and that lists, indexes,
// slices, iterates, compares and pickles as a sequence of int.
//
// The converters that need numpy, pandas, pyarrow or polars live in the
// Python module velbrook._interop, imported on first use: this module
// imports none of those libraries.
#pragma once

#include "../_shared/python.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "../_shared/capi.h"
#include "../_shared/compat.h"
#include "../_shared/encoding.h"
#include "../_shared/ref.h"
#include "arrow_export.h"

namespace vb {

// What the integers of a column count.
enum class ColumnUnit : int { none, seconds, milliseconds, dayOrdinal };

// The unit's name as Python code spells it; null for none.
inline const char* unitName(ColumnUnit unit) noexcept
{
    switch (unit) {
        case ColumnUnit::seconds:
            return "s";
        case ColumnUnit::milliseconds:
            return "ms";
        case ColumnUnit::dayOrdinal:
            return "ordinal";
        case ColumnUnit::none:
            break;
    }
    return nullptr;
}

// The unit of the integers a format makes, by the date module's rule.
inline ColumnUnit unitOfFormat(const char* fmt) noexcept
{
    switch (classifyFormat(fmt).written()) {
        case Encoding::epochMilliseconds:
            return ColumnUnit::milliseconds;
        case Encoding::epochSeconds:
            return ColumnUnit::seconds;
        case Encoding::dayOrdinal:
            break;
    }
    return ColumnUnit::dayOrdinal;
}

struct ColumnObject {
    PyObject ob_base;
    std::int64_t* data;  // `size` items: from std::malloc, or in `base`
    Py_ssize_t size;
    Py_ssize_t itemsize;   // 8, pointed to as the buffer's stride
    PyObject* base;        // a slice's column, owner of `data`; else null
    PyObject* validity;    // bytes, bit i set: item i valid; null: all valid
    Py_ssize_t nullCount;  // clear bits among the first `size`
    ColumnUnit unit;
};

inline PyTypeObject columnType;

inline ColumnObject* asColumn(PyObject* o) noexcept
{
    return reinterpret_cast<ColumnObject*>(o);
}

inline std::int64_t* columnData(PyObject* column) noexcept
{
    return asColumn(column)->data;
}

// Bitmaps as Arrow lays them out: bit i in byte i / 8, least significant
// bit first.
namespace bits {

inline std::size_t bytesFor(std::size_t n) noexcept
{
    return n / 8 + (n % 8 != 0);
}

inline bool get(const std::uint8_t* b, std::size_t i) noexcept
{
    return (b[i >> 3] >> (i & 7)) & 1;
}

inline void set(std::uint8_t* b, std::size_t i) noexcept
{
    b[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
}

// Set bits among the first `n`.
inline std::size_t count(const std::uint8_t* b, std::size_t n) noexcept
{
    std::size_t c = 0;
    for (std::size_t i = 0; i < n / 8; ++i) {
        c += static_cast<std::size_t>(__builtin_popcount(b[i]));
    }
    if (n % 8) {
        c += static_cast<std::size_t>(
            __builtin_popcount(b[n / 8] & ((1u << (n % 8)) - 1)));
    }
    return c;
}

// Bits [from, from + n) of `src` into bits [0, n) of `dst`; the bits of
// the last byte past `n` are cleared.
inline void copy(const std::uint8_t* src, std::size_t from, std::uint8_t* dst,
                 std::size_t n) noexcept
{
    const std::size_t shift = from & 7;
    const std::uint8_t* s = src + (from >> 3);
    const std::size_t nbytes = bytesFor(n);
    if (shift == 0) {
        std::memcpy(dst, s, nbytes);
    } else {
        for (std::size_t j = 0; j < nbytes; ++j) {
            unsigned v = s[j] >> shift;
            // The high bits come from the next byte, read only when some
            // of them are among the n.
            if (8 * j + 8 - shift < n) {
                v |= static_cast<unsigned>(s[j + 1]) << (8 - shift);
            }
            dst[j] = static_cast<std::uint8_t>(v);
        }
    }
    if (n % 8) {
        dst[nbytes - 1] &= static_cast<std::uint8_t>((1u << (n % 8)) - 1);
    }
}

}  // namespace bits

inline std::uint8_t* bytesData(PyObject* bytes) noexcept
{
    return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes));
}

// Item i is valid (did not fail).
inline bool columnValid(const ColumnObject* c, Py_ssize_t i) noexcept
{
    return !c->validity ||
           bits::get(bytesData(c->validity), static_cast<std::size_t>(i));
}

// A new column of `n` items, not yet written, without unit or nulls.
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
    auto* c = asColumn(self.get());
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

// A bitmap of `n` bits, all clear, as a new bytes object (the conversion
// marks failed elements in it before anyone else can see it).
inline Ref newBitmap(std::size_t n) noexcept
{
    Ref b = Ref::steal(PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(bits::bytesFor(n))));
    if (b) {
        std::memset(bytesData(b.get()), 0, bits::bytesFor(n));
    }
    return b;
}

// Gives `column` its unit and, when `count` of its items failed, the
// inverse of `failed` (a bitmap from newBitmap with a bit set for each
// failed item) as its validity bitmap.
inline void finishColumn(PyObject* column, ColumnUnit unit, Ref failed,
                         std::size_t count) noexcept
{
    auto* c = asColumn(column);
    c->unit = unit;
    if (count == 0 || !failed) {
        return;
    }
    const auto n = static_cast<std::size_t>(c->size);
    std::uint8_t* b = bytesData(failed.get());
    for (std::size_t j = 0; j < bits::bytesFor(n); ++j) {
        b[j] = static_cast<std::uint8_t>(~b[j]);
    }
    if (n % 8) {
        b[n / 8] &= static_cast<std::uint8_t>((1u << (n % 8)) - 1);
    }
    c->validity = failed.release();
    c->nullCount = static_cast<Py_ssize_t>(count);
}

namespace detail {

inline void columnDealloc(PyObject* self) noexcept
{
    auto* c = asColumn(self);
    if (c->base) {
        Py_DECREF(c->base);
    } else {
        std::free(c->data);
    }
    Py_XDECREF(c->validity);
    Py_TYPE(self)->tp_free(self);
}

inline int columnGetBuffer(PyObject* self, Py_buffer* view, int flags) noexcept
{
    auto* c = asColumn(self);
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
    return asColumn(self)->size;
}

inline PyObject* columnItem(PyObject* self, Py_ssize_t i) noexcept
{
    auto* c = asColumn(self);
    if (i < 0 || i >= c->size) {
        PyErr_SetString(PyExc_IndexError, "Int64Column index out of range");
        return nullptr;
    }
    return PyLong_FromLongLong(c->data[i]);
}

// Items start, start + step, ... (n of them) as a column of the same unit.
// A slice of step 1 shares the values (and keeps their owner alive);
// others copy them. The validity bits are copied either way.
inline Ref columnSlice(ColumnObject* c, Py_ssize_t start, Py_ssize_t step,
                       Py_ssize_t n) noexcept
{
    Ref out;
    if (step == 1) {
        out = Ref::steal(columnType.tp_alloc(&columnType, 0));
        if (!out) {
            return out;
        }
        auto* s = asColumn(out.get());
        s->itemsize = sizeof(std::int64_t);
        s->data = c->data + start;
        s->size = n;
        s->base =
            Ref::incref(c->base ? c->base : reinterpret_cast<PyObject*>(c))
                .release();
    } else {
        out = newColumn(n);
        if (!out) {
            return out;
        }
        std::int64_t* d = columnData(out.get());
        for (Py_ssize_t k = 0; k < n; ++k) {
            d[k] = c->data[start + k * step];
        }
    }
    auto* s = asColumn(out.get());
    s->unit = c->unit;
    if (c->validity && n > 0) {
        const auto count = static_cast<std::size_t>(n);
        Ref v = newBitmap(count);
        if (!v) {
            return Ref();
        }
        const std::uint8_t* from = bytesData(c->validity);
        std::uint8_t* to = bytesData(v.get());
        if (step == 1) {
            bits::copy(from, static_cast<std::size_t>(start), to, count);
        } else {
            for (std::size_t k = 0; k < count; ++k) {
                const Py_ssize_t i = start + static_cast<Py_ssize_t>(k) * step;
                if (bits::get(from, static_cast<std::size_t>(i))) {
                    bits::set(to, k);
                }
            }
        }
        const std::size_t valid = bits::count(to, count);
        if (valid < count) {
            s->validity = v.release();
            s->nullCount = static_cast<Py_ssize_t>(count - valid);
        }
    }
    return out;
}

// column[i] (negative counts from the end) and column[a:b:step].
inline PyObject* columnSubscript(PyObject* self, PyObject* key) noexcept
{
    auto* c = asColumn(self);
    if (PyIndex_Check(key)) {
        Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        return columnItem(self, i < 0 ? i + c->size : i);
    }
    if (PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) {
            return nullptr;
        }
        const Py_ssize_t n =
            PySlice_AdjustIndices(c->size, &start, &stop, step);
        return columnSlice(c, start, step, n).release();
    }
    PyErr_Format(PyExc_TypeError,
                 "Int64Column indices must be integers or slices, not %.200s",
                 Py_TYPE(key)->tp_name);
    return nullptr;
}

inline PyObject* columnToList(PyObject* self, PyObject*) noexcept
{
    auto* c = asColumn(self);
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

// The unit named by `value` (None or a unit's name); false with
// ValueError for anything else.
inline bool parseUnit(PyObject* value, ColumnUnit& unit) noexcept
{
    unit = ColumnUnit::none;
    if (!value || value == Py_None) {
        return true;
    }
    for (ColumnUnit u : {ColumnUnit::seconds, ColumnUnit::milliseconds,
                         ColumnUnit::dayOrdinal}) {
        if (PyUnicode_Check(value) &&
            PyUnicode_CompareWithASCIIString(value, unitName(u)) == 0) {
            unit = u;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError,
                 "Int64Column() unit must be None, 's', 'ms' or 'ordinal', "
                 "not %R",
                 value);
    return false;
}

// Marks the items `mask` calls null (a true item, or a nonzero byte of a
// buffer of bytes or bools) in `failed`, a bitmap from newBitmap; their
// count, or -1 with the exception set.
inline Py_ssize_t readMask(PyObject* mask, Py_ssize_t n,
                           std::uint8_t* failed) noexcept
{
    Py_ssize_t count = 0, length;
    Py_buffer view;
    if (PyObject_CheckBuffer(mask) &&
        PyObject_GetBuffer(mask, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) ==
            0) {
        const char* f = view.format ? view.format : "B";
        const bool bytes = view.itemsize == 1 && f[1] == '\0' &&
                           std::strchr("?Bbc", f[0]) != nullptr;
        length = view.len;
        const auto* b = static_cast<const std::uint8_t*>(view.buf);
        for (Py_ssize_t i = 0; bytes && length == n && i < n; ++i) {
            if (b[i]) {
                bits::set(failed, static_cast<std::size_t>(i));
                ++count;
            }
        }
        PyBuffer_Release(&view);
        if (bytes && length == n) {
            return count;
        }
        if (bytes) {
            PyErr_Format(PyExc_ValueError,
                         "Int64Column() mask has %zd items for %zd values",
                         length, n);
            return -1;
        }
    } else {
        PyErr_Clear();  // no buffer: read as a sequence
    }
    // A tuple of its own: a list could change under a __bool__.
    Ref items = Ref::steal(PySequence_Tuple(mask));
    if (!items) {
        return -1;
    }
    length = PyTuple_GET_SIZE(items.get());
    if (length != n) {
        PyErr_Format(PyExc_ValueError,
                     "Int64Column() mask has %zd items for %zd values", length,
                     n);
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int truth = PyObject_IsTrue(PyTuple_GET_ITEM(items.get(), i));
        if (truth < 0) {
            return -1;
        }
        if (truth) {
            bits::set(failed, static_cast<std::size_t>(i));
            ++count;
        }
    }
    return count;
}

// The values of Int64Column(values): a copy of an int64 buffer ("q" or
// "l"), or of any iterable of int.
inline Ref columnFromValues(PyObject* values) noexcept
{
    if (!values) {
        return newColumn(0);
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
                return column;
            }
        } else {
            PyErr_Clear();
        }
    }
    Ref list = Ref::steal(PySequence_List(values));
    if (!list) {
        return Ref();
    }
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    Ref column = newColumn(n);
    for (Py_ssize_t i = 0; column && i < n; ++i) {
        const long long v = PyLong_AsLongLong(PyList_GET_ITEM(list.get(), i));
        if (v == -1 && PyErr_Occurred()) {
            return Ref();
        }
        columnData(column.get())[i] = v;
    }
    return column;
}

// Int64Column(values=(), unit=None, mask=None).
inline PyObject* columnNew(PyTypeObject*, PyObject* args,
                           PyObject* kwds) noexcept
{
    PyObject *values = nullptr, *unitArg = nullptr, *mask = nullptr;
    static const char* names[] = {"values", "unit", "mask", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOO:Int64Column",
                                     const_cast<char**>(names), &values,
                                     &unitArg, &mask)) {
        return nullptr;
    }
    ColumnUnit unit;
    if (!parseUnit(unitArg, unit)) {
        return nullptr;
    }
    Ref column = columnFromValues(values);
    if (!column) {
        return nullptr;
    }
    Ref failed;
    Py_ssize_t count = 0;
    if (mask && mask != Py_None) {
        const Py_ssize_t n = asColumn(column.get())->size;
        failed = newBitmap(static_cast<std::size_t>(n));
        if (!failed ||
            (count = readMask(mask, n, bytesData(failed.get()))) < 0) {
            return nullptr;
        }
    }
    finishColumn(column.get(), unit, std::move(failed),
                 static_cast<std::size_t>(count));
    return column.release();
}

// The null mask as n bytes, 1 for a null item.
inline Ref maskBytes(const ColumnObject* c) noexcept
{
    Ref b = Ref::steal(PyBytes_FromStringAndSize(nullptr, c->size));
    if (b) {
        char* out = PyBytes_AS_STRING(b.get());
        for (Py_ssize_t i = 0; i < c->size; ++i) {
            out[i] = columnValid(c, i) ? 0 : 1;
        }
    }
    return b;
}

// Pickled as Int64Column(array.array("q", <bytes>)), with the unit's name
// and the mask's bytes after it when the column has either.
inline PyObject* columnReduce(PyObject* self, PyObject*) noexcept
{
    auto* c = asColumn(self);
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
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (c->unit == ColumnUnit::none && !c->validity) {
        return Py_BuildValue("O(O)", type, values.get());
    }
    Ref mask = c->validity ? maskBytes(c) : Ref::incref(Py_None);
    Ref unit = c->unit == ColumnUnit::none
                   ? Ref::incref(Py_None)
                   : Ref::steal(PyUnicode_FromString(unitName(c->unit)));
    if (!mask || !unit) {
        return nullptr;
    }
    return Py_BuildValue("O(OOO)", type, values.get(), unit.get(), mask.get());
}

// Int64Column([1614834367, None, ...], length=3, unit='s', null_count=1):
// the first values (None for a null), the length, and for a column with a
// unit or nulls, the unit and the null count.
inline PyObject* columnRepr(PyObject* self) noexcept
{
    auto* c = asColumn(self);
    const Py_ssize_t shown = c->size < 8 ? c->size : 6;
    Ref items = Ref::steal(PyUnicode_FromString(""));
    for (Py_ssize_t i = 0; items && i < shown; ++i) {
        const char* sep = i ? ", " : "";
        items = columnValid(c, i) ? Ref::steal(PyUnicode_FromFormat(
                                        "%U%s%lld", items.get(), sep,
                                        static_cast<long long>(c->data[i])))
                                  : Ref::steal(PyUnicode_FromFormat(
                                        "%U%sNone", items.get(), sep));
    }
    if (!items) {
        return nullptr;
    }
    Ref tail = Ref::steal(PyUnicode_FromString(""));
    if (tail && c->unit != ColumnUnit::none) {
        tail =
            Ref::steal(PyUnicode_FromFormat(", unit='%s'", unitName(c->unit)));
    }
    if (tail && (c->unit != ColumnUnit::none || c->validity)) {
        tail = Ref::steal(PyUnicode_FromFormat("%U, null_count=%zd",
                                               tail.get(), c->nullCount));
    }
    if (!tail) {
        return nullptr;
    }
    return PyUnicode_FromFormat("Int64Column([%U%s], length=%zd%U)",
                                items.get(), shown < c->size ? ", ..." : "",
                                c->size, tail.get());
}

// Equal to another Int64Column with the same items, the same unit and
// the same nulls; anything else is compared as the interpreter compares
// unrelated objects.
inline PyObject* columnRichCompare(PyObject* a, PyObject* b, int op) noexcept
{
    if (Py_TYPE(b) != &columnType || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    auto* x = asColumn(a);
    auto* y = asColumn(b);
    bool same =
        x->size == y->size && x->unit == y->unit &&
        x->nullCount == y->nullCount &&
        std::memcmp(x->data, y->data,
                    static_cast<std::size_t>(x->size) * sizeof *x->data) == 0;
    for (Py_ssize_t i = 0; same && x->nullCount && i < x->size; ++i) {
        same = columnValid(x, i) == columnValid(y, i);
    }
    return PyBool_FromLong(same == (op == Py_EQ));
}

// is_null(): a read-only memoryview of bool, True for each null item.
inline PyObject* columnIsNull(PyObject* self, PyObject*) noexcept
{
    Ref mask = maskBytes(asColumn(self));
    Ref view = mask ? Ref::steal(PyMemoryView_FromObject(mask.get())) : Ref();
    if (!view) {
        return nullptr;
    }
    return PyObject_CallMethod(view.get(), "cast", "s", "?");
}

// Calls f(i) for each null item i, reading the validity bitmap a byte at a
// time (a byte of valid items costs one comparison); stops where f gives
// false. False when it stopped.
template <class F>
bool eachNull(const ColumnObject* c, F f) noexcept
{
    if (!c->validity) {
        return true;
    }
    const std::uint8_t* valid = bytesData(c->validity);
    for (Py_ssize_t j = 0; j < (c->size + 7) / 8; ++j) {
        for (Py_ssize_t i = 8 * j;
             valid[j] != 0xFF && i < 8 * j + 8 && i < c->size; ++i) {
            if (!((valid[j] >> (i & 7)) & 1) && !f(i)) {
                return false;
            }
        }
    }
    return true;
}

// null_indices(): the positions of the null items, ascending, as a column.
inline PyObject* columnNullIndices(PyObject* self, PyObject*) noexcept
{
    auto* c = asColumn(self);
    Ref out = newColumn(c->nullCount);
    if (!out) {
        return nullptr;
    }
    std::int64_t* d = columnData(out.get());
    Py_ssize_t k = 0;
    eachNull(c, [&](Py_ssize_t i) {
        d[k++] = i;
        return true;
    });
    return out.release();
}

// The items x whose (x - shift) * scale is a value of `Out` (the int64
// minimum excluded: it is numpy's NaT): [lo, hi]. scale >= 1, shift >= 0.
template <class Out>
void shiftBounds(std::int64_t shift, std::int64_t scale, std::int64_t& lo,
                 std::int64_t& hi) noexcept
{
    const std::int64_t most = std::numeric_limits<Out>::max();
    const std::int64_t least = -most;  // int32's minimum is a date too
    const std::int64_t qmin = -(-least / scale), qmax = most / scale;
    lo = qmin + shift;
    hi = qmax > INT64_MAX - shift ? INT64_MAX : qmax + shift;
}

// to[i] = (x - shift) * scale for the valid items, `null` for the others.
// The values are computed for every item in one tight pass (in unsigned
// arithmetic, which wraps), counting the items out of range; a pass over
// the validity bytes then writes the nulls and counts those of them out
// of range, so a valid item out of range shows as a difference of the two
// counts. The position of the first one, or -1.
template <class Out>
Py_ssize_t shiftValues(const ColumnObject* c, std::int64_t shift,
                       std::int64_t scale, Out null,
                       Out* __restrict__ to) noexcept
{
    std::int64_t lo, hi;
    shiftBounds<Out>(shift, scale, lo, hi);
    // Locals: a store through `to` may not change them.
    const std::int64_t* __restrict__ from = c->data;
    const Py_ssize_t n = c->size;
    const auto ushift = static_cast<std::uint64_t>(shift);
    const auto uscale = static_cast<std::uint64_t>(scale);
    // lo <= x <= hi as one unsigned comparison: x - lo <= hi - lo.
    const auto ulo = static_cast<std::uint64_t>(lo);
    const auto width = static_cast<std::uint64_t>(hi) - ulo;
    std::size_t outside = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto x = static_cast<std::uint64_t>(from[i]);
        outside += x - ulo > width;
        to[i] = static_cast<Out>((x - ushift) * uscale);
    }
    std::size_t nullsOutside = 0;
    eachNull(c, [&](Py_ssize_t i) {
        nullsOutside += from[i] < lo || from[i] > hi;
        to[i] = null;
        return true;
    });
    for (Py_ssize_t i = 0; outside != nullsOutside && i < n; ++i) {
        if (columnValid(c, i) && (from[i] < lo || from[i] > hi)) {
            return i;
        }
    }
    return -1;
}

// _epoch_values(scale=1, itemsize=8, out=None): the items as instants
// counted from 1970-01-01 in the column's unit (days for day ordinals),
// times `scale`, in one pass, with nulls as the int64 minimum (numpy's NaT)
// for 8-byte items and 0 for 4-byte ones (Arrow's date32, whose nulls are
// in the bitmap). The column itself where it already is that; else
// written into `out`, a writable, aligned buffer of the size that takes
// (the target library's own memory, which it hands out faster than a new
// bytearray's pages fault in), or a new bytearray, and returned.
inline PyObject* columnEpochValues(PyObject* self, PyObject* args) noexcept
{
    auto* c = asColumn(self);
    Py_ssize_t scale = 1, itemsize = 8;
    PyObject* outArg = Py_None;
    if (!PyArg_ParseTuple(args, "|nnO:_epoch_values", &scale, &itemsize,
                          &outArg)) {
        return nullptr;
    }
    if (c->unit == ColumnUnit::none) {
        PyErr_SetString(PyExc_ValueError,
                        "this Int64Column has no unit: its integers are not "
                        "known to be instants");
        return nullptr;
    }
    if (scale < 1 || (itemsize != 8 && itemsize != 4)) {
        PyErr_SetString(PyExc_ValueError,
                        "_epoch_values() takes a scale of at least 1 and an "
                        "itemsize of 4 or 8");
        return nullptr;
    }
    const std::int64_t shift =
        c->unit == ColumnUnit::dayOrdinal ? epochOrdinal : 0;
    if (shift == 0 && scale == 1 && itemsize == 8 &&
        eachNull(c, [&](Py_ssize_t i) { return c->data[i] == INT64_MIN; })) {
        return Ref::incref(self).release();
    }
    Ref out = Ref::incref(outArg);
    if (outArg == Py_None) {
        out = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
        if (!out || PyByteArray_Resize(out.get(), c->size * itemsize) < 0) {
            return nullptr;
        }
    }
    Py_buffer view;
    if (PyObject_GetBuffer(out.get(), &view,
                           PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    Py_ssize_t bad = -1;
    const bool fits =
        view.len == c->size * itemsize &&
        reinterpret_cast<std::uintptr_t>(view.buf) % itemsize == 0;
    if (fits && itemsize == 8) {
        bad = shiftValues<std::int64_t>(c, shift, scale, INT64_MIN,
                                        static_cast<std::int64_t*>(view.buf));
    } else if (fits) {
        bad = shiftValues<std::int32_t>(c, shift, scale, 0,
                                        static_cast<std::int32_t*>(view.buf));
    }
    PyBuffer_Release(&view);
    if (!fits) {
        PyErr_Format(PyExc_ValueError,
                     "_epoch_values() needs an out of %zd bytes, aligned",
                     c->size * itemsize);
        return nullptr;
    }
    if (bad >= 0) {
        PyErr_Format(PyExc_OverflowError,
                     "Int64Column item %lld at position %zd is out of range "
                     "as a date or time",
                     static_cast<long long>(c->data[bad]), bad);
        return nullptr;
    }
    return out.release();
}

// __arrow_c_schema__(): int64, nullable.
inline PyObject* columnArrowSchema(PyObject*, PyObject*) noexcept
{
    return arrow_export::schemaCapsule(arrow_export::int64Format).release();
}

// The column as an Arrow array of `format` (with its nulls): "l" (int64),
// or a datetime type of its unit: "tss:" for seconds and "tsm:" for
// milliseconds (the column's own buffers), "tsm:" for seconds (times 1000)
// and "tdD" (date32) for day ordinals (values of the capsule's own, made in
// one pass). A pair of capsules; a null Ref for a format the column cannot
// give, with ValueError set when `raise`, without an exception otherwise.
inline Ref exportArrow(PyObject* self, const char* format, bool raise) noexcept
{
    auto* c = asColumn(self);
    const auto is = [&](const char* f) { return std::strcmp(format, f) == 0; };
    std::int64_t scale = 0;  // 0: the column's own values
    Py_ssize_t itemsize = 8;
    if (is(arrow_export::secondsFormat) && c->unit == ColumnUnit::seconds) {
    } else if (is(arrow_export::millisecondsFormat) &&
               c->unit == ColumnUnit::milliseconds) {
    } else if (is(arrow_export::millisecondsFormat) &&
               c->unit == ColumnUnit::seconds) {
        scale = 1000;
    } else if (is(arrow_export::date32Format) &&
               c->unit == ColumnUnit::dayOrdinal) {
        scale = 1;
        itemsize = 4;
    } else if (!is(arrow_export::int64Format)) {
        if (raise) {
            PyErr_Format(PyExc_ValueError,
                         "an Int64Column of unit %s cannot be exported as "
                         "Arrow format '%.50s'",
                         unitName(c->unit) ? unitName(c->unit) : "None",
                         format);
        }
        return Ref();
    }
    const void* values = c->data;
    if (scale) {
        void* own = std::malloc(
            static_cast<std::size_t>((c->size ? c->size : 1) * itemsize));
        if (!own) {
            PyErr_NoMemory();
            return Ref();
        }
        const std::int64_t shift = itemsize == 4 ? epochOrdinal : 0;
        const Py_ssize_t bad =
            itemsize == 8
                ? shiftValues<std::int64_t>(c, shift, scale, INT64_MIN,
                                            static_cast<std::int64_t*>(own))
                : shiftValues<std::int32_t>(c, shift, scale, 0,
                                            static_cast<std::int32_t*>(own));
        if (bad >= 0) {
            std::free(own);
            PyErr_Format(PyExc_OverflowError,
                         "Int64Column item %lld at position %zd is out of "
                         "range as a date or time",
                         static_cast<long long>(c->data[bad]), bad);
            return Ref();
        }
        values = own;
    }
    // The format strings are static: the schema may outlive this call.
    const char* kept =
        is(arrow_export::int64Format)     ? arrow_export::int64Format
        : is(arrow_export::secondsFormat) ? arrow_export::secondsFormat
        : is(arrow_export::millisecondsFormat)
            ? arrow_export::millisecondsFormat
            : arrow_export::date32Format;
    Ref schema = arrow_export::schemaCapsule(kept);
    if (!schema) {
        if (scale) {
            std::free(const_cast<void*>(values));
        }
        return Ref();
    }
    Ref array = arrow_export::arrayCapsule(
        self, values, c->validity ? bytesData(c->validity) : nullptr, c->size,
        c->nullCount, scale != 0);
    if (!array) {
        return Ref();
    }
    return Ref::steal(PyTuple_Pack(2, schema.get(), array.get()));
}

// __arrow_c_array__(requested_schema=None): the column as an Arrow int64
// array, or in the requested datetime type where exportArrow gives it;
// other requests are ignored, as the interface allows.
inline PyObject* columnArrowArray(PyObject* self, PyObject* args,
                                  PyObject* kwds) noexcept
{
    PyObject* requested = nullptr;
    static const char* names[] = {"requested_schema", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:__arrow_c_array__",
                                     const_cast<char**>(names), &requested)) {
        return nullptr;
    }
    if (const char* wanted = arrow_export::requestedFormat(requested)) {
        Ref pair = exportArrow(self, wanted, false);
        if (pair || PyErr_Occurred()) {
            return pair.release();
        }
    }
    return exportArrow(self, arrow_export::int64Format, true).release();
}

// _arrow_c_array_as(format): exportArrow's capsules for one of its
// formats, for converters that hand the column to a library in a datetime
// type without asking it for a schema capsule.
inline PyObject* columnArrowArrayAs(PyObject* self, PyObject* format) noexcept
{
    const char* text =
        PyUnicode_Check(format) ? PyUnicode_AsUTF8(format) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError,
                            "_arrow_c_array_as() takes a str format");
        }
        return nullptr;
    }
    return exportArrow(self, text, true).release();
}

// Methods written in Python, in velbrook._interop: each is called there
// with the column first.
inline PyObject* forward(const char* name, PyObject* self, PyObject* args,
                         PyObject* kwds) noexcept
{
    Ref moduleName = Ref::steal(PyUnicode_FromString("velbrook._interop"));
    if (!moduleName) {
        return nullptr;
    }
    Ref module = Ref::steal(PyImport_GetModule(moduleName.get()));
    if (!module && !PyErr_Occurred()) {
        module = Ref::steal(PyImport_Import(moduleName.get()));
    }
    Ref f = module ? Ref::steal(PyObject_GetAttrString(module.get(), name))
                   : Ref();
    const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    Ref all = f ? Ref::steal(PyTuple_New(n + 1)) : Ref();
    if (!all) {
        return nullptr;
    }
    PyTuple_SET_ITEM(all.get(), 0, Ref::incref(self).release());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(all.get(), i + 1,
                         Ref::incref(PyTuple_GET_ITEM(args, i)).release());
    }
    return PyObject_Call(f.get(), all.get(), kwds);
}

inline constexpr const char* forwardedNames[] = {
    "array", "arrow_array", "to_numpy", "to_arrow", "to_pandas", "to_polars",
};

template <int K>
PyObject* forwarded(PyObject* self, PyObject* args, PyObject* kwds) noexcept
{
    return forward(forwardedNames[K], self, args, kwds);
}

inline PyObject* columnDtype(PyObject* self, void*) noexcept
{
    return forward("dtype", self, nullptr, nullptr);
}

inline PyObject* columnUnit(PyObject* self, void*) noexcept
{
    const char* name = unitName(asColumn(self)->unit);
    return name ? PyUnicode_FromString(name) : Ref::incref(Py_None).release();
}

inline PyObject* columnNullCount(PyObject* self, void*) noexcept
{
    return PyLong_FromSsize_t(asColumn(self)->nullCount);
}

inline PyObject* columnShape(PyObject* self, void*) noexcept
{
    return Py_BuildValue("(n)", asColumn(self)->size);
}

inline PyObject* columnNdim(PyObject*, void*) noexcept
{
    return PyLong_FromLong(1);
}

inline PyObject* columnValidity(PyObject* self, void*) noexcept
{
    PyObject* v = asColumn(self)->validity;
    return Ref::incref(v ? v : Py_None).release();
}

inline PySequenceMethods columnSequence = {};
inline PyMappingMethods columnMapping = {};
inline PyBufferProcs columnBuffer = {};

template <class F>
constexpr PyCFunction cMethod(F* f) noexcept
{
    return castFunction<PyCFunction>(f);
}

inline PyMethodDef columnMethods[] = {
    {"tolist", cMethod(&columnToList), METH_NOARGS,
     "tolist($self, /)\n--\n\n"
     "The items as a list of int (a null item gives the value it holds)."},
    {"is_null", cMethod(&columnIsNull), METH_NOARGS,
     "is_null($self, /)\n--\n\n"
     "A read-only memoryview of bool, True where the item is null (failed "
     "or\nmissing); numpy.asarray reads it as a bool array."},
    {"null_indices", cMethod(&columnNullIndices), METH_NOARGS,
     "null_indices($self, /)\n--\n\n"
     "The positions of the null items, ascending, as an Int64Column."},
    {"to_numpy", cMethod(&forwarded<2>), METH_VARARGS | METH_KEYWORDS,
     "to_numpy($self, /, datetime=False)\n--\n\n"
     "A numpy array: the int64 items without a copy, or with "
     "datetime=True\ndatetime64[s], [ms] or [D] by the column's unit, "
     "with NaT for nulls."},
    {"to_arrow", cMethod(&forwarded<3>), METH_VARARGS | METH_KEYWORDS,
     "to_arrow($self, /, datetime=False)\n--\n\n"
     "A pyarrow Array with the nulls: int64 without a copy, or with "
     "datetime=True\ntimestamp[s] or timestamp[ms] (no copy) or date32 by "
     "the column's unit."},
    {"to_pandas", cMethod(&forwarded<4>), METH_VARARGS | METH_KEYWORDS,
     "to_pandas($self, /, datetime=False, index=None, name=None)\n--\n\n"
     "A pandas Series: int64 (Int64 when some items are null), or with\n"
     "datetime=True datetime64 with NaT for nulls. Assigned to a frame, a\n"
     "Series aligns on the index: pass index=frame.index for a frame "
     "whose\nindex is not 0..n-1."},
    {"to_polars", cMethod(&forwarded<5>), METH_VARARGS | METH_KEYWORDS,
     "to_polars($self, /, datetime=False, name='')\n--\n\n"
     "A polars Series with the nulls: Int64, or with datetime=True "
     "Datetime('ms')\nor Date by the column's unit."},
    {"__array__", cMethod(&forwarded<0>), METH_VARARGS | METH_KEYWORDS,
     "__array__($self, /, dtype=None, copy=None)\n--\n\n"
     "numpy's array protocol: the int64 items."},
    {"__arrow_array__", cMethod(&forwarded<1>), METH_VARARGS | METH_KEYWORDS,
     "__arrow_array__($self, /, type=None)\n--\n\n"
     "pyarrow's array protocol: to_arrow(), cast to `type` if given."},
    {"__arrow_c_schema__", cMethod(&columnArrowSchema), METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\n"
     "The Arrow PyCapsule interface: the schema capsule, nullable int64."},
    {"__arrow_c_array__", cMethod(&columnArrowArray),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\n"
     "The Arrow PyCapsule interface: schema and array capsules over the\n"
     "column's own memory, nulls in the validity bitmap."},
    {"_epoch_values", cMethod(&columnEpochValues), METH_VARARGS, nullptr},
    {"_arrow_c_array_as", cMethod(&columnArrowArrayAs), METH_O, nullptr},
    {"__reduce__", cMethod(&columnReduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef columnGetSet[] = {
    {"unit", columnUnit, nullptr,
     "What the integers count: 's' (epoch seconds), 'ms' (epoch "
     "milliseconds),\n'ordinal' (day ordinals, 1970-01-01 = 719163) or "
     "None.",
     nullptr},
    {"null_count", columnNullCount, nullptr,
     "How many items are null (failed or missing).", nullptr},
    {"dtype", columnDtype, nullptr,
     "numpy.dtype('int64') (the string 'int64' without numpy).", nullptr},
    {"shape", columnShape, nullptr, "(len(column),)", nullptr},
    {"ndim", columnNdim, nullptr, "1", nullptr},
    {"_validity", columnValidity, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace detail

// Readies the type and binds it as the module's `Int64Column`.
inline bool readyColumnType(PyObject* module) noexcept
{
    PyTypeObject& t = columnType;
    if (!(t.tp_flags & Py_TPFLAGS_READY)) {
        detail::columnSequence.sq_length = detail::columnLength;
        detail::columnSequence.sq_item = detail::columnItem;
        detail::columnMapping.mp_length = detail::columnLength;
        detail::columnMapping.mp_subscript = detail::columnSubscript;
        detail::columnBuffer.bf_getbuffer = detail::columnGetBuffer;
        setRefcount(reinterpret_cast<PyObject*>(&t), 1);
        t.tp_name = "velbrook.columns.Int64Column";
        t.tp_basicsize = sizeof(ColumnObject);
        t.tp_dealloc = detail::columnDealloc;
        t.tp_repr = detail::columnRepr;
        t.tp_as_sequence = &detail::columnSequence;
        t.tp_as_mapping = &detail::columnMapping;
        t.tp_as_buffer = &detail::columnBuffer;
        t.tp_iter = PySeqIter_New;
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_doc =
            "Int64Column(values=(), unit=None, mask=None)\n--\n\n"
            "A column of signed 64-bit integers, with a unit ('s', 'ms' or\n"
            "'ordinal') and the nulls of the elements a conversion could "
            "not read.\n\n"
            "numpy.asarray(column) is an int64 view of it without a copy "
            "(nulls keep\nthe value they hold); pandas, pyarrow and polars "
            "take it as a column,\nthe last two with its nulls. It indexes, "
            "slices (a slice of step 1\nshares the memory), iterates, "
            "pickles and compares as a sequence of int.\n"
            "mask: True (or a nonzero byte) for each null item.";
        t.tp_richcompare = detail::columnRichCompare;
        t.tp_methods = detail::columnMethods;
        t.tp_getset = detail::columnGetSet;
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
