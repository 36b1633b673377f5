// Argument binding and argument conversion shared by the module functions.
// The messages are the modules' own and do not depend on the interpreter
// version the module runs under.
#pragma once

#include "python.h"

#include <cstdint>
#include <cstring>

#include "ref.h"

namespace vb {

// ---------------------------------------------------------------------------
// Binding of positional and keyword arguments.

// The parameters of one function: interned names (created at import) in
// declaration order; the first `required` ones have no default.
struct Signature {
    const char* function;
    const char* const* names;
    PyObject** interned;  // `count` entries, filled by `internSignature`
    Py_ssize_t required;
    Py_ssize_t count;
};

inline bool internSignature(Signature& sig) noexcept
{
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (!sig.interned[i] &&
            !(sig.interned[i] = PyUnicode_InternFromString(sig.names[i]))) {
            return false;
        }
    }
    return true;
}

inline void raiseArgCount(const Signature& sig, Py_ssize_t given) noexcept
{
    const bool exact = sig.required == sig.count;
    const Py_ssize_t expected =
        given < sig.required ? sig.required : sig.count;
    const char* moreOrLess = exact                  ? "exactly"
                             : given < sig.required ? "at least"
                                                    : "at most";
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 sig.function, moreOrLess, expected, expected == 1 ? "" : "s",
                 given);
}

// -1 on error, 0 on no match, 1 on a match of `key` against `name`.
inline int sameName(PyObject* name, PyObject* key) noexcept
{
    if (name == key) {
        return 1;
    }
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) {
        return 0;
    }
    int cmp = PyUnicode_Compare(name, key);
    if (cmp == -1 && PyErr_Occurred()) {
        return -1;
    }
    return cmp == 0;
}

// Assigns the keywords left after the positional arguments (`firstKw` on)
// and rejects keywords that name nothing, a positional argument, or are not
// strings.  Keywords are examined in the dictionary's order.
inline bool bindRemainingKeywords(const Signature& sig, PyObject* kwds,
                                  Py_ssize_t firstKw, Ref* values) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        Py_ssize_t i = firstKw;
        while (i < sig.count && sig.interned[i] != key) {
            ++i;
        }
        if (i == sig.count) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError,
                             "%.200s() keywords must be strings",
                             sig.function);
                return false;
            }
            for (i = firstKw; i < sig.count; ++i) {
                int same = sameName(sig.interned[i], key);
                if (same < 0) {
                    return false;
                }
                if (same) {
                    break;
                }
            }
        }
        if (i < sig.count) {
            values[i] = Ref::incref(value);
            continue;
        }
        for (Py_ssize_t j = 0; j < firstKw; ++j) {
            int same = sameName(sig.interned[j], key);
            if (same < 0) {
                return false;
            }
            if (same) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword "
                             "argument '%U'",
                             sig.function, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%U'",
                     sig.function, key);
        return false;
    }
    return true;
}

// Binds `args` and `kwds` to `values` (optional parameters not given stay
// empty).  A missing required argument is reported with the number of
// arguments before it.  The values are held by references of their own: a
// caller's `**kwargs` dict can reach the function as it is, and interpreter
// code run later in the call (an `__int__`, a `__bool__`) could empty it.
inline bool bindArguments(const Signature& sig, PyObject* args, PyObject* kwds,
                          Ref* values) noexcept
{
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > sig.count || (!kwds && npos < sig.required)) {
        raiseArgCount(sig, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        values[i] = Ref::incref(PyTuple_GET_ITEM(args, i));
    }
    if (!kwds) {
        return true;
    }
    Py_ssize_t left = PyDict_Size(kwds);
    for (Py_ssize_t i = npos; i < sig.count; ++i) {
        if (i >= sig.required && left == 0) {
            break;
        }
        values[i] =
            Ref::incref(PyDict_GetItemWithError(kwds, sig.interned[i]));
        if (values[i]) {
            --left;
        } else if (PyErr_Occurred()) {
            return false;
        } else if (i < sig.required) {
            raiseArgCount(sig, i);
            return false;
        }
    }
    return left <= 0 || bindRemainingKeywords(sig, kwds, npos, values);
}

// ---------------------------------------------------------------------------
// Conversions.

// New reference to an `int` for `x` through its `__int__`, or null with the
// exception set.
inline Ref intFromObject(PyObject* x) noexcept
{
    if (PyLong_Check(x)) {
        return Ref::incref(x);
    }
    PyNumberMethods* m = Py_TYPE(x)->tp_as_number;
    Ref result;
    if (m && m->nb_int) {
        result = Ref::steal(m->nb_int(x));
    }
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        }
        return result;
    }
    if (PyLong_CheckExact(result.get())) {
        return result;
    }
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(
                PyExc_DeprecationWarning, 1,
                "__int__ returned non-int (type %.200s).  The ability to "
                "return an instance of a strict subclass of int is "
                "deprecated, and may be removed in a future version of "
                "Python.",
                Py_TYPE(result.get())->tp_name) < 0) {
            return Ref();
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)",
                 "int", "int", Py_TYPE(result.get())->tp_name);
    return Ref();
}

// Signed 64-bit integer argument.
inline bool toInt64(PyObject* x, std::int64_t& out) noexcept
{
    Ref n = intFromObject(x);
    if (!n) {
        return false;
    }
    long long v = PyLong_AsLongLong(n.get());
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    out = v;
    return true;
}

// Unsigned 64-bit integer argument (sizes and counts).
inline bool toSize(PyObject* x, std::uint64_t& out) noexcept
{
    Ref n = intFromObject(x);
    if (!n) {
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_SetString(PyExc_OverflowError,
                        "can't convert negative value to size_t");
        return false;
    }
    if (overflow == 0) {
        out = static_cast<std::uint64_t>(v);
        return true;
    }
    unsigned long long u = PyLong_AsUnsignedLongLong(n.get());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = u;
    return true;
}

// Double argument: an exact float by value, anything else through the
// interpreter's float conversion.
inline bool toDouble(PyObject* x, double& out) noexcept
{
    if (PyFloat_CheckExact(x)) {
        out = PyFloat_AS_DOUBLE(x);
        return true;
    }
    out = PyFloat_AsDouble(x);
    return !(out == -1.0 && PyErr_Occurred());
}

// A NUL-terminated byte string borrowed from a `bytes` or `bytearray` (or a
// subclass of either); bytes after an embedded NUL are not seen.  A
// bytearray is pinned by a buffer export for as long as the view lives, so
// interpreter code run meanwhile cannot resize it under the pointer.  The
// export is taken from bytearray's own buffer slot: from 3.12 on a subclass
// may define `__buffer__` and hand out other memory, which need not end in
// a NUL, whereas a bytearray's own storage always does.
class ByteString {
public:
    ByteString() noexcept = default;
    ByteString(const ByteString&) = delete;
    ByteString& operator=(const ByteString&) = delete;
    ~ByteString() { release(); }

    // False with TypeError set for any other type.
    bool set(PyObject* o) noexcept
    {
        release();
        if (PyByteArray_Check(o)) {
            if (byteArraySlots()->bf_getbuffer(o, &view_, PyBUF_SIMPLE) < 0) {
                return false;
            }
            pinned_ = true;
            text_ = static_cast<const char*>(view_.buf);
            return true;
        }
        char* s;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(o, &s, &n) < 0) {
            return false;
        }
        owner_ = Ref::incref(o);
        text_ = s;
        return true;
    }

    const char* c_str() const noexcept { return text_; }

private:
    static PyBufferProcs* byteArraySlots() noexcept
    {
        return PyByteArray_Type.tp_as_buffer;
    }

    void release() noexcept
    {
        if (pinned_) {
            // The counterpart of the export above, not the subclass's.
            byteArraySlots()->bf_releasebuffer(view_.obj, &view_);
            Py_CLEAR(view_.obj);
            pinned_ = false;
        }
        owner_ = Ref();
        text_ = "";
    }

    Py_buffer view_{};
    bool pinned_ = false;
    Ref owner_;
    const char* text_ = "";
};

}  // namespace vb
