// A module function taking positional and keyword arguments, declared once
// with its name and parameters:
//
//     Function int2timeFn{"int2time", {"x", "fmt"}};
//     Function date2intFn{"date2intWrapper", {"x", "fmt", "skip_tz"}, 2};
//
// and the binding of a call's arguments to those parameters.  The messages
// are the modules' own and do not depend on the interpreter version.
#pragma once

#include "python.h"

#include <cstddef>

#include "compat.h"
#include "errors.h"
#include "ref.h"

namespace vb {

// The parameters as the binder reads them: interned names in declaration
// order; the first `required` ones have no default.
struct Signature {
    const char* function;
    const Immortal* interned;
    Py_ssize_t required;
    Py_ssize_t positional;  // the rest are keyword-only
    Py_ssize_t count;
};

inline void raiseArgCount(const Signature& sig, Py_ssize_t given) noexcept
{
    const bool exact = sig.required == sig.positional;
    const Py_ssize_t expected =
        given < sig.required ? sig.required : sig.positional;
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
        while (i < sig.count && sig.interned[i].get() != key) {
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
                int same = sameName(sig.interned[i].get(), key);
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
            int same = sameName(sig.interned[j].get(), key);
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
// Without the GIL another thread could change it meanwhile too, so it is
// read under its own lock.
inline bool bindArguments(const Signature& sig, PyObject* args, PyObject* kwds,
                          Ref* values) noexcept
{
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > sig.positional || (!kwds && npos < sig.required)) {
        raiseArgCount(sig, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        values[i] = Ref::incref(PyTuple_GET_ITEM(args, i));
    }
    if (!kwds) {
        return true;
    }
    CriticalSection lock(kwds);
    Py_ssize_t left = PyDict_Size(kwds);
    for (Py_ssize_t i = npos; i < sig.count; ++i) {
        if (i >= sig.required && left == 0) {
            break;
        }
        values[i] = dictItem(kwds, sig.interned[i].get());
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

// A function's traceback name and its parameters, interned on first use
// and kept for the process.
template <std::size_t N>
class Function : public FunctionName {
public:
    constexpr Function(const char* name, const char* const (&params)[N],
                       std::size_t required = N, std::size_t positional = N,
                       int line = __builtin_LINE()) noexcept
        : FunctionName(name, line),
          required_(required),
          positional_(positional)
    {
        for (std::size_t i = 0; i < N; ++i) {
            params_[i] = params[i];
        }
    }

    // Binds `args` and `kwds` to `values`, as `bindArguments` does.
    bool bind(PyObject* args, PyObject* kwds, Ref (&values)[N]) noexcept
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (!interned_[i].once([&] { return internName(params_[i]); })) {
                return false;
            }
        }
        const Signature sig = {
            name, interned_, static_cast<Py_ssize_t>(required_),
            static_cast<Py_ssize_t>(positional_), static_cast<Py_ssize_t>(N)};
        return bindArguments(sig, args, kwds, values);
    }

private:
    const char* params_[N] = {};
    std::size_t required_;
    std::size_t positional_;
    Immortal interned_[N];
};

}  // namespace vb
