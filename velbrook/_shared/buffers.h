// Numbers read straight from an object's buffer, for the objects whose
// iteration is known to yield exactly those numbers, in order: the exact
// types memoryview, bytes, bytearray, array.array and one-dimensional
// numpy.ndarray.  Anything else (a subclass, which may override
// `__iter__`; another shape or element format) is left to iteration.
//
// Also numeric columns of the exact types pandas.Series, polars.Series and
// pyarrow's arrays, read in place through `__array__` or the Arrow
// PyCapsule interface, with nulls where iteration yields a missing value.
#pragma once

#include "python.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "arrow_c.h"
#include "compat.h"
#include "ref.h"

namespace vb {

static_assert(std::numeric_limits<double>::is_iec559 &&
                  std::numeric_limits<float>::is_iec559,
              "IEEE 754 binary64 and binary32 required");

// New reference to `name` in the namespace of module `module` as now
// found in sys.modules, or empty.  Only dictionary look-ups with `str`
// keys are made, so no interpreter code runs; no exception is left set.
inline Ref moduleAttribute(const char* module, const char* name) noexcept
{
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref found =
        modules && PyDict_Check(modules) ? dictItem(modules, module) : Ref();
    found = found && PyModule_Check(found.get())
                ? dictItem(PyModule_GetDict(found.get()), name)
                : Ref();
    PyErr_Clear();
    return found;
}

// True when `type` is the object that module `module`, as now found in
// sys.modules, binds to `name`.  Only dictionary look-ups with `str` keys
// are made, so no interpreter code runs; any failure means "not proved"
// and leaves no exception.
inline bool isModuleType(PyTypeObject* type, const char* module,
                         const char* name) noexcept
{
    // The type's own name must say "module.name" first: a cheap filter
    // that keeps the look-ups away from every other type.
    const std::size_t length = std::strlen(module);
    const char* typeName = type->tp_name;
    if (std::strncmp(typeName, module, length) != 0 ||
        typeName[length] != '.' ||
        std::strcmp(typeName + length + 1, name) != 0) {
        return false;
    }
    return moduleAttribute(module, name).get() ==
           reinterpret_cast<PyObject*>(type);
}

// True when `type` is the class `module.name`, for classes written in
// Python, whose tp_name is their bare name.
inline bool isModuleClass(PyTypeObject* type, const char* module,
                          const char* name) noexcept
{
    return std::strcmp(type->tp_name, name) == 0 &&
           moduleAttribute(module, name).get() ==
               reinterpret_cast<PyObject*>(type);
}

// What the first character of a struct-module format says of its byte
// order and sizes: none or '@', the machine's order and the C compiler's
// sizes; '=', the machine's order and the standard sizes; '<', '>' and
// '!', little-, big- and big-endian with the standard sizes.
struct ByteOrder {
    bool standardSizes;
    bool swapped;  // not the machine's order
};

// The byte order of `format`, which is moved past the character saying
// it: the one place where that prefix is read.
inline ByteOrder takeByteOrder(const char*& format) noexcept
{
    const bool little = PY_LITTLE_ENDIAN;
    switch (*format) {
        case '@':
            ++format;
            return {false, false};
        case '=':
            ++format;
            return {true, false};
        case '<':
            ++format;
            return {true, !little};
        case '>':
        case '!':
            ++format;
            return {true, little};
        default:
            return {false, false};
    }
}

namespace buffer_detail {

// Element `i` of a strided run of `T`, as a double.  Signed and unsigned
// 64-bit integers convert with round-to-nearest-even, as `float(int)`
// does; a float widens exactly.  The copy allows unaligned elements.
template <class T>
struct Strided {
    const char* data;
    Py_ssize_t stride;

    double operator[](Py_ssize_t i) const noexcept
    {
        T value;
        std::memcpy(&value, data + i * stride, sizeof value);
        return static_cast<double>(value);
    }
};

}  // namespace buffer_detail

// The numbers of one object, read through its buffer while this lives.
// Empty when the object is not one of the types above, its export fails,
// or its elements are not one number each in a format listed below; no
// exception is left set then.
class NumberBuffer {
public:
    explicit NumberBuffer(PyObject* o) noexcept
    {
        PyTypeObject* type = Py_TYPE(o);
        // Iterating a numpy array reads each element by its dtype,
        // whatever format the export reports (an unaligned array reports
        // "=d"); a memoryview iterates only native formats ("d", "@d"),
        // and the other types export nothing else.  memoryview has no
        // subclasses, so its check is exact.
        bool orderPrefixes = false;
        if (isModuleType(type, "numpy", "ndarray")) {
            orderPrefixes = true;
        } else if (!PyMemoryView_Check(o) && !PyBytes_CheckExact(o) &&
                   !PyByteArray_CheckExact(o) &&
                   !isModuleType(type, "array", "array")) {
            return;
        }
        if (getBuffer(o, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        // One dimension: a 0-d array does not iterate, a 2-d one yields
        // rows.
        if (view_.ndim != 1 || !view_.shape || !view_.strides ||
            view_.suboffsets) {
            return;
        }
        kind_ = kindOf(view_.format ? view_.format : "B", view_.itemsize,
                       orderPrefixes);
    }

    NumberBuffer(const NumberBuffer&) = delete;
    NumberBuffer& operator=(const NumberBuffer&) = delete;

    ~NumberBuffer()
    {
        if (held_) {
            releaseBuffer(&view_);
        }
    }

    explicit operator bool() const noexcept { return kind_ != Kind::none; }

    // Number of elements; 0 for an empty object.
    Py_ssize_t size() const noexcept { return view_.shape[0]; }

    // Calls `f(elements)` once, where `elements[i]` is element i as a
    // double, with the element type resolved outside the caller's loop.
    template <class F>
    void visit(F&& f) const
    {
        using buffer_detail::Strided;
        const char* data = static_cast<const char*>(view_.buf);
        const Py_ssize_t stride = view_.strides[0];
        switch (kind_) {
            case Kind::float64:
                return f(Strided<double>{data, stride});
            case Kind::float32:
                return f(Strided<float>{data, stride});
            case Kind::int8:
                return f(Strided<std::int8_t>{data, stride});
            case Kind::uint8:
                return f(Strided<std::uint8_t>{data, stride});
            case Kind::int16:
                return f(Strided<std::int16_t>{data, stride});
            case Kind::uint16:
                return f(Strided<std::uint16_t>{data, stride});
            case Kind::int32:
                return f(Strided<std::int32_t>{data, stride});
            case Kind::uint32:
                return f(Strided<std::uint32_t>{data, stride});
            case Kind::int64:
                return f(Strided<std::int64_t>{data, stride});
            case Kind::uint64:
                return f(Strided<std::uint64_t>{data, stride});
            case Kind::none:
                return;
        }
    }

private:
    enum class Kind {
        none,
        float64,
        float32,
        int8,
        uint8,
        int16,
        uint16,
        int32,
        uint32,
        int64,
        uint64,
    };

    // The element kind of a struct-module format of one number in the
    // machine's byte order, when `itemsize` is its size; none otherwise.
    // A bare code or '@' has the C compiler's sizes; with `orderPrefixes`,
    // '=' (and '<' on a little-endian machine) is also read, with the
    // standard sizes, where 'l' is 4 bytes.
    static Kind kindOf(const char* format, Py_ssize_t itemsize,
                       bool orderPrefixes) noexcept
    {
        const ByteOrder order = takeByteOrder(format);
        if (order.swapped || (order.standardSizes && !orderPrefixes)) {
            return Kind::none;
        }
        const bool native = !order.standardSizes;
        if (format[0] == '\0' || format[1] != '\0') {
            return Kind::none;
        }
        Py_ssize_t size = 0;
        bool isSigned = false;
        switch (format[0]) {
            case 'd':
                return itemsize == 8 ? Kind::float64 : Kind::none;
            case 'f':
                return itemsize == 4 ? Kind::float32 : Kind::none;
            case 'b':
                isSigned = true;
                [[fallthrough]];
            case 'B':
                size = 1;
                break;
            case 'h':
                isSigned = true;
                [[fallthrough]];
            case 'H':
                size = 2;
                break;
            case 'i':
                isSigned = true;
                [[fallthrough]];
            case 'I':
                size = native ? sizeof(int) : 4;
                break;
            case 'l':
                isSigned = true;
                [[fallthrough]];
            case 'L':
                size = native ? sizeof(long) : 4;
                break;
            case 'q':
                isSigned = true;
                [[fallthrough]];
            case 'Q':
                size = 8;
                break;
            default:
                return Kind::none;
        }
        if (size != itemsize) {
            return Kind::none;
        }
        switch (size) {
            case 1:
                return isSigned ? Kind::int8 : Kind::uint8;
            case 2:
                return isSigned ? Kind::int16 : Kind::uint16;
            case 4:
                return isSigned ? Kind::int32 : Kind::uint32;
            case 8:
                return isSigned ? Kind::int64 : Kind::uint64;
            default:
                return Kind::none;
        }
    }

    Py_buffer view_{};
    bool held_ = false;
    Kind kind_ = Kind::none;
};

// ---------------------------------------------------------------------------
// Numeric columns read in place.
//
// pandas.Series of a numpy dtype hands out its values through
// `__array__()` as a numpy array (read with `NumberBuffer`); a Series of
// another dtype (Arrow-backed, nullable), a polars.Series and a pyarrow
// array or chunked array export Arrow arrays.  Only these exact types: a
// subclass may iterate otherwise.  Iterating them yields the same
// numbers in the same order, and for a null None (polars), pandas.NA
// (pandas) or a null scalar (pyarrow), which the builders treat as a
// missing value.

// One Arrow array of numbers: element i is `valid(i)` and `elements[i]`.
struct ArrowNumbers {
    enum class Kind { f64, f32, i8, u8, i16, u16, i32, u32, i64, u64 };
    Kind kind;
    const char* data;              // element 0
    const std::uint8_t* validity;  // null when every element is valid
    std::int64_t bit;              // bit of element 0 in `validity`
    std::int64_t length;

    bool valid(std::int64_t i) const noexcept
    {
        const std::int64_t b = bit + i;
        return !validity || ((validity[b >> 3] >> (b & 7)) & 1);
    }

    // Calls f(elements) with element i as a double, as `float(x)` gives
    // for the element x that iteration yields.
    template <class F>
    void visit(F&& f) const
    {
        using buffer_detail::Strided;
        switch (kind) {
            case Kind::f64:
                return f(Strided<double>{data, 8});
            case Kind::f32:
                return f(Strided<float>{data, 4});
            case Kind::i8:
                return f(Strided<std::int8_t>{data, 1});
            case Kind::u8:
                return f(Strided<std::uint8_t>{data, 1});
            case Kind::i16:
                return f(Strided<std::int16_t>{data, 2});
            case Kind::u16:
                return f(Strided<std::uint16_t>{data, 2});
            case Kind::i32:
                return f(Strided<std::int32_t>{data, 4});
            case Kind::u32:
                return f(Strided<std::uint32_t>{data, 4});
            case Kind::i64:
                return f(Strided<std::int64_t>{data, 8});
            case Kind::u64:
                return f(Strided<std::uint64_t>{data, 8});
        }
    }

    // New reference to element i as iteration of a polars Series gives
    // it: None, a float or an exact int.
    PyObject* object(std::int64_t i) const noexcept
    {
        if (!valid(i)) {
            Py_INCREF(Py_None);
            return Py_None;
        }
        switch (kind) {
            case Kind::f64:
            case Kind::f32: {
                double x = 0;
                visit([&](auto e) { x = e[i]; });
                return PyFloat_FromDouble(x);
            }
            case Kind::u64: {
                std::uint64_t x;
                std::memcpy(&x, data + 8 * i, 8);
                return PyLong_FromUnsignedLongLong(x);
            }
            case Kind::i64: {
                std::int64_t x;
                std::memcpy(&x, data + 8 * i, 8);
                return PyLong_FromLongLong(x);
            }
            default: {
                double x = 0;  // exact: the narrower integers fit
                visit([&](auto e) { x = e[i]; });
                return PyLong_FromLongLong(static_cast<long long>(x));
            }
        }
    }
};

class ColumnNumbers {
public:
    enum class Source { none, ndarray, arrow };

    ColumnNumbers() = default;
    ColumnNumbers(const ColumnNumbers&) = delete;
    ColumnNumbers& operator=(const ColumnNumbers&) = delete;
    ~ColumnNumbers() { releaseArrow(arrays_, schema_); }

    // Reads `o` when it is one of the column types; `source()` tells
    // what was found.  Interpreter code of the column's own type runs
    // (the export); an ordinary failure (an Exception), or a column that
    // is not of numbers, leaves Source::none and no exception: iteration
    // then decides.  False with the exception set for anything else
    // (KeyboardInterrupt, SystemExit).  May throw bad_alloc.
    bool import(PyObject* o)
    {
        PyTypeObject* type = Py_TYPE(o);
        if (isModuleClass(type, "pandas", "Series")) {
            if (numpyDtype(o)) {
                Ref array =
                    Ref::steal(PyObject_CallMethod(o, "__array__", nullptr));
                if (array &&
                    isModuleType(Py_TYPE(array.get()), "numpy", "ndarray")) {
                    array_ = std::move(array);
                    source_ = Source::ndarray;
                }
            } else {
                fromExport(o, "__arrow_c_stream__");
            }
        } else if (isModuleClass(type, "polars", "Series")) {
            fromExport(o, "__arrow_c_stream__");
        } else if (isPyarrowArray(type, "ChunkedArray")) {
            fromExport(o, "__arrow_c_stream__");
        } else if (isPyarrowArray(type, nullptr)) {
            fromExport(o, "__arrow_c_array__");
        }
        if (PyErr_Occurred()) {
            source_ = Source::none;
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                return false;
            }
            PyErr_Clear();
        }
        return true;
    }

    Source source() const noexcept { return source_; }

    // The numpy array of a pandas Series (Source::ndarray); borrowed.
    PyObject* ndarray() const noexcept { return array_.get(); }

    // The Arrow arrays, in order (Source::arrow).
    const std::vector<ArrowNumbers>& chunks() const noexcept
    {
        return chunks_;
    }

private:
    // True for a Series whose dtype is a numpy dtype.
    static bool numpyDtype(PyObject* series) noexcept
    {
        Ref dtypeType = moduleAttribute("numpy", "dtype");
        if (!dtypeType || !PyType_Check(dtypeType.get())) {
            return false;
        }
        Ref dtype = Ref::steal(PyObject_GetAttrString(series, "dtype"));
        return dtype && PyObject_TypeCheck(
                            dtype.get(),
                            reinterpret_cast<PyTypeObject*>(dtypeType.get()));
    }

    // pyarrow.lib.<name>, or with a null name any pyarrow.lib.*Array.
    static bool isPyarrowArray(PyTypeObject* type, const char* name) noexcept
    {
        static const char prefix[] = "pyarrow.lib.";
        const char* full = type->tp_name;
        if (std::strncmp(full, prefix, sizeof prefix - 1) != 0) {
            return false;
        }
        const char* own = full + sizeof prefix - 1;
        const std::size_t length = std::strlen(own);
        if (name ? std::strcmp(own, name) != 0
                 : length < 5 || std::strcmp(own + length - 5, "Array") != 0) {
            return false;
        }
        return isModuleType(type, "pyarrow.lib", own);
    }

    static bool kindOf(const ArrowSchema& schema, ArrowNumbers::Kind& kind)
    {
        using Kind = ArrowNumbers::Kind;
        const char* f = schema.format;
        if (!f || schema.dictionary || schema.n_children != 0 || !f[0] ||
            f[1]) {
            return false;
        }
        // Arrow's one-letter number formats.
        static constexpr struct {
            char format;
            Kind kind;
        } kinds[] = {{'g', Kind::f64}, {'f', Kind::f32}, {'c', Kind::i8},
                     {'C', Kind::u8},  {'s', Kind::i16}, {'S', Kind::u16},
                     {'i', Kind::i32}, {'I', Kind::u32}, {'l', Kind::i64},
                     {'L', Kind::u64}};
        for (const auto& k : kinds) {
            if (f[0] == k.format) {
                kind = k.kind;
                return true;
            }
        }
        return false;
    }

    static std::size_t widthOf(ArrowNumbers::Kind kind)
    {
        using Kind = ArrowNumbers::Kind;
        switch (kind) {
            case Kind::i8:
            case Kind::u8:
                return 1;
            case Kind::i16:
            case Kind::u16:
                return 2;
            case Kind::f32:
            case Kind::i32:
            case Kind::u32:
                return 4;
            default:
                return 8;
        }
    }

    // False when the array does not have the layout of its format.
    bool addChunk(const ArrowArray& a, ArrowNumbers::Kind kind)
    {
        if (a.length < 0 || a.offset < 0 || a.n_children != 0 ||
            a.n_buffers != 2 ||
            (a.length > 0 && (!a.buffers || !a.buffers[1]))) {
            return false;
        }
        if (a.length == 0) {
            return true;
        }
        const auto* validity =
            a.null_count != 0 ? static_cast<const std::uint8_t*>(a.buffers[0])
                              : nullptr;
        const char* data = static_cast<const char*>(a.buffers[1]) +
                           a.offset * static_cast<std::int64_t>(widthOf(kind));
        chunks_.push_back(
            ArrowNumbers{kind, data, validity, a.offset, a.length});
        return true;
    }

    // Calls `method` and reads what it exports: a (schema, array) pair of
    // capsules, or a stream capsule.
    void fromExport(PyObject* o, const char* method)
    {
        Ref result = Ref::steal(PyObject_CallMethod(o, method, nullptr));
        if (!result) {
            return;
        }
        keep_ = Ref::incref(result.get());
        ArrowNumbers::Kind kind;
        if (PyTuple_Check(result.get())) {
            if (PyTuple_GET_SIZE(result.get()) != 2) {
                return;
            }
            auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(
                PyTuple_GET_ITEM(result.get(), 0), "arrow_schema"));
            auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(
                PyTuple_GET_ITEM(result.get(), 1), "arrow_array"));
            if (schema && array && kindOf(*schema, kind) &&
                addChunk(*array, kind)) {
                source_ = Source::arrow;
            }
            return;
        }
        auto* stream = static_cast<ArrowArrayStream*>(
            PyCapsule_GetPointer(result.get(), "arrow_array_stream"));
        if (!stream || stream->get_schema(stream, &schema_) != 0) {
            schema_.release = nullptr;
            return;
        }
        if (!kindOf(schema_, kind)) {
            return;
        }
        // Every array first: they must stay where they are once read.
        for (;;) {
            ArrowArray next;
            std::memset(&next, 0, sizeof next);
            if (stream->get_next(stream, &next) != 0) {
                return;
            }
            if (!next.release) {
                break;  // the end
            }
            try {
                arrays_.push_back(next);
            } catch (...) {
                next.release(&next);
                throw;
            }
        }
        for (const ArrowArray& a : arrays_) {
            if (!addChunk(a, kind)) {
                chunks_.clear();
                return;
            }
        }
        source_ = Source::arrow;
    }

    Source source_ = Source::none;
    Ref array_;                       // Source::ndarray
    Ref keep_;                        // the capsules that own what is read
    ArrowSchema schema_ = {};         // a stream's schema, ours to release
    std::vector<ArrowArray> arrays_;  // a stream's arrays, ours to release
    std::vector<ArrowNumbers> chunks_;
};

}  // namespace vb
