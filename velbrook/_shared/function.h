// A module function taking positional and keyword arguments, declared once
// with its name and parameters:
//
//     Function int2timeFn{"int2time", {"x", "fmt"}};
//     Function date2intFn{"date2intWrapper", {"x", "fmt", "skip_tz"}, 2};
//
// and the binding of a call's arguments to those parameters.  Functions
// are registered with the fast calling convention,
//
//     {name, method(&f), METH_FASTCALL | METH_KEYWORDS, doc}
//     PyObject* f(PyObject*, PyObject* const* args, Py_ssize_t nargs,
//                 PyObject* kwnames) noexcept
//
// so that no call builds an argument tuple or a keyword dict.  The
// messages are the modules' own and do not depend on the interpreter
// version, except that from 3.9 on (3.7 and 3.8 leave it to the function)
// the interpreter itself refuses keywords that are not strings, with its
// own words, before calling a function of this convention.
#pragma once

#include "python.h"

#include <cstddef>

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

// Index in `kwnames` of the keyword naming the parameter `name`: the
// same object, else an equal `str`; -1 for none, -2 on error.
inline Py_ssize_t findKeyword(PyObject* name, PyObject* kwnames) noexcept
{
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) {
            return k;
        }
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        if (PyUnicode_Check(key)) {
            const int same = sameName(name, key);
            if (same != 0) {
                return same < 0 ? -2 : k;
            }
        }
    }
    return -1;
}

// Assigns the keywords left after the positional arguments (`firstKw` on)
// and rejects keywords that name nothing, a positional argument, or are not
// strings.  Keywords are examined in the order the caller gave them.
inline bool bindRemainingKeywords(const Signature& sig, PyObject* kwnames,
                                  PyObject* const* kwvalues,
                                  Py_ssize_t firstKw, Ref* values) noexcept
{
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);  // borrowed
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
            values[i] = Ref::incref(kwvalues[k]);
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

// Binds a call made with the fast calling convention (`nargs` positional
// arguments at `args`, then one value per name of `kwnames`, which is null
// when there are none) to `values`; optional parameters not given stay
// empty.  A missing required argument is reported with the number of
// arguments before it.  The values are held by references of their own:
// the arguments may be borrowed from a caller's `**kwargs` dict, and
// interpreter code run later in the call (an `__int__`, a `__bool__`)
// could empty it.
inline bool bindArguments(const Signature& sig, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames,
                          Ref* values) noexcept
{
    if (nargs > sig.positional || (!kwnames && nargs < sig.required)) {
        raiseArgCount(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = Ref::incref(args[i]);
    }
    if (!kwnames) {
        return true;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t left = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = nargs; i < sig.count; ++i) {
        if (i >= sig.required && left == 0) {
            break;
        }
        const Py_ssize_t k = findKeyword(sig.interned[i].get(), kwnames);
        if (k >= 0) {
            values[i] = Ref::incref(kwvalues[k]);
            --left;
        } else if (k == -2) {
            return false;
        } else if (i < sig.required) {
            raiseArgCount(sig, i);
            return false;
        }
    }
    return left <= 0 ||
           bindRemainingKeywords(sig, kwnames, kwvalues, nargs, values);
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

    // Binds a fast call's arguments to `values`, as `bindArguments` does.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              Ref (&values)[N]) noexcept
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (!interned_[i].once([&] { return internName(params_[i]); })) {
                return false;
            }
        }
        const Signature sig = {
            name, interned_, static_cast<Py_ssize_t>(required_),
            static_cast<Py_ssize_t>(positional_), static_cast<Py_ssize_t>(N)};
        return bindArguments(sig, args, nargs, kwnames, values);
    }

    // As `bind`, but a call without keywords is not copied: `values` are
    // then the caller's own arguments, which stay alive for the call
    // (only a keyword dict can be changed under it).  Otherwise `held`
    // holds them.  An optional parameter not given is null.
    bool bindBorrowed(PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Ref (&held)[N],
                      PyObject* (&values)[N]) noexcept
    {
        if (!kwnames && nargs >= static_cast<Py_ssize_t>(required_) &&
            nargs <= static_cast<Py_ssize_t>(positional_)) {
            for (std::size_t i = 0; i < N; ++i) {
                values[i] =
                    static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
            }
            return true;
        }
        if (!bind(args, nargs, kwnames, held)) {
            return false;
        }
        for (std::size_t i = 0; i < N; ++i) {
            values[i] = held[i].get();
        }
        return true;
    }

private:
    const char* params_[N] = {};
    std::size_t required_;
    std::size_t positional_;
    Immortal interned_[N];
};

}  // namespace vb
