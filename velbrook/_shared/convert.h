// Conversions of argument values to native ones, with the interpreter's
// own messages, the same on every version the modules run under.
#pragma once

#include "python.h"

#include <cstdint>
#include <cstring>

#include "compat.h"
#include "ref.h"

namespace vb {

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
    if (PyLong_CheckExact(x)) {  // the common case, without a reference
        int overflow;
        const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (overflow == 0) {
            out = v;
            return true;
        }
        // Beyond 64 bits: the conversion below raises its own error.
    }
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
//
// Without the GIL another thread may write the bytearray while the text is
// parsed, so the text is then a copy taken under the bytearray's lock (the
// one its own methods take), taken again by `reread()`; the pin keeps its
// size, so the copy's storage is allocated once.
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
        if (PyBytes_CheckExact(o)) {
            owner_ = Ref::incref(o);
            text_ = PyBytes_AS_STRING(o);
            size_ = PyBytes_GET_SIZE(o);
            return true;
        }
        if (PyByteArray_Check(o)) {
            CriticalSection lock(o);  // the export count: see getBuffer
            if (byteArraySlots()->bf_getbuffer(o, &view_, PyBUF_SIMPLE) < 0) {
                return false;
            }
            pinned_ = true;
            size_ = view_.len;
#if VB_FREE_THREADED
            char* copy = static_cast<char*>(PyMem_Malloc(size_ + 1));
            if (!copy) {
                PyErr_NoMemory();
                return false;  // the release below is the destructor's
            }
            copy[size_] = '\0';
            std::memcpy(copy, view_.buf, size_);
            copy_ = copy;
            text_ = copy;
#else
            text_ = static_cast<const char*>(view_.buf);
#endif
            return true;
        }
        char* s;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(o, &s, &n) < 0) {
            return false;
        }
        owner_ = Ref::incref(o);
        text_ = s;
        size_ = n;
        return true;
    }

    const char* c_str() const noexcept { return text_; }

    // The text as it is now: after interpreter code ran, a bytearray may
    // hold other bytes (never another size: it is pinned).
    const char* reread() noexcept
    {
#if VB_FREE_THREADED
        if (copy_) {
            CriticalSection lock(view_.obj);
            std::memcpy(copy_, view_.buf, size_);
        }
#endif
        return text_;
    }

    // Bytes before the terminating NUL, counting embedded NULs.
    Py_ssize_t size() const noexcept { return size_; }

    // The exact `bytes` the text is borrowed from (its content cannot
    // change), or null for a bytearray or a subclass of either.
    PyObject* exactBytes() const noexcept
    {
        PyObject* o = owner_.get();
        return o && PyBytes_CheckExact(o) ? o : nullptr;
    }

private:
    static PyBufferProcs* byteArraySlots() noexcept
    {
        return PyByteArray_Type.tp_as_buffer;
    }

    void release() noexcept
    {
        if (pinned_) {
            // The counterpart of the export above, not the subclass's.
            {
                CriticalSection lock(view_.obj);
                byteArraySlots()->bf_releasebuffer(view_.obj, &view_);
            }
            Py_CLEAR(view_.obj);
            pinned_ = false;
        }
#if VB_FREE_THREADED
        PyMem_Free(copy_);
        copy_ = nullptr;
#endif
        owner_ = Ref();
        text_ = "";
        size_ = 0;
    }

    Py_buffer view_;  // filled only while `pinned_`
    bool pinned_ = false;
    Ref owner_;
    const char* text_ = "";
    Py_ssize_t size_ = 0;
#if VB_FREE_THREADED
    char* copy_ = nullptr;  // a bytearray's text, copied under its lock
#endif
};

}  // namespace vb
