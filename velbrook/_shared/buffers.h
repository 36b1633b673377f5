// Numbers read straight from an object's buffer, for the objects whose
// iteration is known to yield exactly those numbers, in order: the exact
// types memoryview, bytes, bytearray, array.array and one-dimensional
// numpy.ndarray.  Anything else (a subclass, which may override
// `__iter__`; another shape or element format) is left to iteration.
#pragma once

#include "python.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "compat.h"
#include "ref.h"

namespace vb {

static_assert(std::numeric_limits<double>::is_iec559 &&
                  std::numeric_limits<float>::is_iec559,
              "IEEE 754 binary64 and binary32 required");

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
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref found =
        modules && PyDict_Check(modules) ? dictItem(modules, module) : Ref();
    found = found && PyModule_Check(found.get())
                ? dictItem(PyModule_GetDict(found.get()), name)
                : Ref();
    PyErr_Clear();
    return found.get() == reinterpret_cast<PyObject*>(type);
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

}  // namespace vb
