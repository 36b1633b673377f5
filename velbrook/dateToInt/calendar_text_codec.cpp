// velbrook.dateToInt.calendar_text_codec: date text to integers and
// datetime objects.
//
// The parsing rules and the integer encodings live in "strptime.h" and
// "PosixFctns.h"; this file only binds arguments, turns interpreter
// objects into the byte strings those headers read, removes a trailing
// numeric time-zone suffix when asked to, builds the results and
// initialises the module.  C++ exceptions of the cores stop at `guarded`.
#include "../_shared/python.h"

#include <cstring>
#include <ctime>

#include "../_shared/capi.h"
#include "../_shared/compat.h"
#include "../_shared/convert.h"
#include "../_shared/errors.h"
#include "../_shared/frame.h"
#include "../_shared/function.h"
#include "../_shared/imports.h"
#include "../_shared/names.h"
#include "../_shared/zone_suffix.h"
#include "PosixFctns.h"

namespace vb {
namespace {

Function date2intFn{"date2intWrapper", {"x", "fmt", "skip_tz"}, 2};
Function date2intSafeFn{"date2intSafeWrapper", {"x", "fmt", "skip_tz"}, 2};
Function strptimeFn{"strptime", {"x", "fmt"}};

// ---------------------------------------------------------------------------
// C-level records and the function bound from the integer-to-time module.

// Optional arguments of the C-level date2intWrapper and
// date2intSafeWrapper, laid out as their C-level callers pass them.
struct Date2intOptions {
    int __pyx_n;  // optional arguments supplied: 0 or 1
    bool skip_tz;
};

// Optional arguments of ordinal_unfolder's tm_to_datetime.
struct TmToDatetimeOptions {
    int __pyx_n;       // 1: `microseconds` is given
    int microseconds;  // 0..999999
};

using TmToDatetime = PyObject* (*)(const struct tm&, TmToDatetimeOptions*);

constexpr const char* unfolderModule = "velbrook.intToTime.ordinal_unfolder";
constexpr const char* tmToDatetimeSignature =
    "PyObject *(struct tm const &, struct "
    "__pyx_opt_args_8velbrook_9intToTime_16ordinal_unfolder_tm_to_datetime "
    "*__pyx_optional_args)";

// Bound at import; the integer-to-time module is never unloaded.
TmToDatetime tmToDatetime = nullptr;

// ---------------------------------------------------------------------------
// Constants created at import and kept for the process.

Immortal encodeName;   // interned "encode"
Immortal emptyString;  // "", the replacement of a zone suffix

// Module attributes read at every call that removes a zone suffix.
GlobalName searchName("search");
GlobalName subName("sub");
GlobalName tzRegexpName("TZ_REGEXP");

// ---------------------------------------------------------------------------
// Date text.

// The NUL-terminated UTF-8 (or whatever `encode()` makes) bytes of a date
// object, kept alive as long as this view.  An exact `str` is encoded as
// its `encode()` method would, without the method call; an ASCII one
// lends its own buffer, so the common case copies nothing.
class DateText {
public:
    // False with the interpreter's exception set.
    bool set(PyObject* x) noexcept
    {
        if (PyUnicode_CheckExact(x)) {
            if (PyUnicode_IS_COMPACT_ASCII(x)) {
                // The UTF-8 form of a compact ASCII string is its data.
                const char* data = PyUnicode_AsUTF8AndSize(x, nullptr);
                if (!data) {
                    return false;
                }
                owner_ = Ref::incref(x);
                text_ = data;
                return true;
            }
            Ref encoded = Ref::steal(PyUnicode_AsUTF8String(x));
            return encoded && viewBytes(encoded.get());
        }
        Ref encoded = Ref::steal(
            PyObject_CallMethodObjArgs(x, encodeName.get(), nullptr));
        return encoded && viewBytes(encoded.get());
    }

    const char* c_str() const noexcept { return text_; }

private:
    bool viewBytes(PyObject* encoded) noexcept
    {
        if (!bytes_.set(encoded)) {
            return false;
        }
        text_ = bytes_.c_str();
        return true;
    }

    Ref owner_;         // the str whose buffer `text_` points into
    ByteString bytes_;  // or the bytes/bytearray `encode()` returned
    const char* text_ = "";
};

// ---------------------------------------------------------------------------
// Time-zone suffix.

// The standard library's `re.search` and `re.sub` as bound at import, and
// the pattern string this module bound as TZ_REGEXP.  While the module's
// names still hold what this proves, the suffix is found and removed
// here, with the same result as the calls (checked against them by the
// tests), at a fraction of their cost.
ZoneSuffixProof zoneSuffixProof;

// Where `re.search(TZ_REGEXP, s)` matches in `s`: a sign and ASCII digits
// ending at the end of `s` or just before a final newline, with any run of
// whitespace (as `re` counts it) right before the sign.  False for no
// match.  A match can only end there, so it is also the only one that
// `re.sub` removes.
bool findZoneSuffix(PyObject* s, Py_ssize_t& start, Py_ssize_t& end) noexcept
{
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    Py_ssize_t e = (n > 0 && at(n - 1) == '\n') ? n - 1 : n;
    Py_ssize_t d = e;
    while (d > 0 && at(d - 1) >= '0' && at(d - 1) <= '9') {
        --d;
    }
    if (d == e || d == 0 || (at(d - 1) != '+' && at(d - 1) != '-')) {
        return false;
    }
    Py_ssize_t p = d - 1;
    while (p > 0 && Py_UNICODE_ISSPACE(at(p - 1))) {
        --p;
    }
    start = p;
    end = e;
    return true;
}

// `text` without [start, end): what `re.sub` returns for that match.
Ref cutOut(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept
{
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Ref head = Ref::steal(PyUnicode_Substring(text, 0, start));
    if (!head || end == n) {
        return head;
    }
    Ref tail = Ref::steal(PyUnicode_Substring(text, end, n));
    return tail ? Ref::steal(PyUnicode_Concat(head.get(), tail.get())) : Ref();
}

// `str(x)` with a trailing match of TZ_REGEXP removed, all three names
// read from the module namespace now.  Null with the exception set.
Ref removeZoneSuffix(PyObject* x) noexcept
{
    Ref text = Ref::steal(PyObject_Str(x));
    if (!text) {
        return text;
    }
    Ref search = searchName.get();
    Ref pattern = search ? tzRegexpName.get() : Ref();
    if (!pattern) {
        return pattern;
    }
    Py_ssize_t start = 0, end = 0;
    int found;
    const bool native = zoneSuffixProof.search(search.get(), pattern.get());
    if (native) {
#if VB_STR_NEEDS_READY
        if (PyUnicode_READY(text.get()) < 0) {
            return Ref();
        }
#endif
        found = findZoneSuffix(text.get(), start, end);
    } else {
        Ref match = call(search.get(), pattern.get(), text.get());
        found = match ? PyObject_IsTrue(match.get()) : -1;
    }
    if (found <= 0) {
        return found == 0 ? std::move(text) : Ref();
    }
    Ref sub = subName.get();
    pattern = sub ? tzRegexpName.get() : Ref();
    if (!pattern) {
        return pattern;
    }
    if (native && zoneSuffixProof.sub(sub.get(), pattern.get())) {
        return cutOut(text.get(), start, end);
    }
    return call(sub.get(), pattern.get(), emptyString.get(), text.get());
}

// ---------------------------------------------------------------------------
// C-level bodies of the module functions.

enum class OnMismatch { raise, minusOne };

// Shared body of date2intWrapper and date2intSafeWrapper.  `x` and `fmt`
// must stay alive for the call; `fmt` must not change while interpreter
// code (str, search, sub, encode) runs.
template <OnMismatch mode>
PyObject* date2int(PyObject* x, const char* fmt, bool skipTz) noexcept
{
    TracebackOnError scope(mode == OnMismatch::raise ? date2intFn
                                                     : date2intSafeFn);
    if (!moduleReady()) {
        return nullptr;
    }
    Ref stripped;
    if (!skipTz && containsMinutes(fmt)) {
        stripped = removeZoneSuffix(x);
        if (!stripped) {
            return nullptr;
        }
        x = stripped.get();
    }
    DateText date;
    std::time_t value = -1;
    bool ok = date.set(x);
    if (ok) {
        if constexpr (mode == OnMismatch::minusOne) {
            value = dateToIntSafe(date.c_str(), fmt);
        } else {
            ok = guarded([&] {
                value = dateToInt(date.c_str(), fmt);
                return true;
            });
        }
    }
    return ok ? PyLong_FromLongLong(value) : nullptr;
}

bool skipTzOption(const Date2intOptions* opt) noexcept
{
    return opt != nullptr && opt->__pyx_n >= 1 && opt->skip_tz;
}

PyObject* date2intWrapper(PyObject* x, const char* fmt, int /*skip_dispatch*/,
                          Date2intOptions* opt) noexcept
{
    return date2int<OnMismatch::raise>(x, fmt, skipTzOption(opt));
}

PyObject* date2intSafeWrapper(PyObject* x, const char* fmt,
                              int /*skip_dispatch*/,
                              Date2intOptions* opt) noexcept
{
    return date2int<OnMismatch::minusOne>(x, fmt, skipTzOption(opt));
}

PyObject* strptime(PyObject* x, const char* fmt,
                   int /*skip_dispatch*/) noexcept
{
    TracebackOnError scope(strptimeFn);
    vb_tm tmb{};
    bool ok;
    {
        DateText date;
        ok = moduleReady() && date.set(x) && guarded([&] {
                 tmb = strptime_c(date.c_str(), fmt);
                 return true;
             });
    }
    if (!ok) {
        return nullptr;
    }
    TmToDatetimeOptions opt = {1, tmb.tm_micro_sec};
    return tmToDatetime(tmb, &opt);
}

// ---------------------------------------------------------------------------
// Interpreter-level functions.

template <OnMismatch mode>
PyObject* py_date2int(PyObject*, PyObject* args, PyObject* kwds) noexcept
{
    auto& fn = mode == OnMismatch::raise ? date2intFn : date2intSafeFn;
    Ref values[3];
    ByteString fmt;
    int skipTz = 0;
    {
        TracebackOnError scope(fn);
        if (!moduleReady() || !fn.bind(args, kwds, values) ||
            !fmt.set(values[1].get()) ||
            (values[2] && (skipTz = PyObject_IsTrue(values[2].get())) < 0)) {
            return nullptr;
        }
    }
    return date2int<mode>(values[0].get(), fmt.c_str(), skipTz != 0);
}

PyObject* py_strptime(PyObject*, PyObject* args, PyObject* kwds) noexcept
{
    Ref values[2];
    ByteString fmt;
    {
        TracebackOnError scope(strptimeFn);
        if (!moduleReady() || !strptimeFn.bind(args, kwds, values) ||
            !fmt.set(values[1].get())) {
            return nullptr;
        }
    }
    return strptime(values[0].get(), fmt.c_str(), 0);
}

// ---------------------------------------------------------------------------
// Initialisation.

bool publishCFunctions(PyObject* module) noexcept
{
    const CFunction entries[] = {
        {"date2intWrapper", castFunction(&date2intWrapper),
         "PyObject *(PyObject *, char const *, int __pyx_skip_dispatch, "
         "struct __pyx_opt_args_8velbrook_9dateToInt_19calendar_text_codec_"
         "date2intWrapper *__pyx_optional_args)"},
        {"date2intSafeWrapper", castFunction(&date2intSafeWrapper),
         "PyObject *(PyObject *, char const *, int __pyx_skip_dispatch, "
         "struct __pyx_opt_args_8velbrook_9dateToInt_19calendar_text_codec_"
         "date2intSafeWrapper *__pyx_optional_args)"},
        {"strptime", castFunction(&strptime),
         "PyObject *(PyObject *, char const *, int __pyx_skip_dispatch)"},
    };
    return publishTable(module, entries);
}

bool createConstants() noexcept
{
    return encodeName.once([] { return internName("encode"); }) &&
           emptyString.once(
               [] { return Ref::steal(PyUnicode_FromString("")); });
}

// `from re import search, sub`, bound as module attributes; pinned when
// they are the standard module's own functions.
bool importRegexFunctions() noexcept
{
    Ref found[2];
    if (!bindImportedNames("re", {"search", "sub"}, found)) {
        return false;
    }
    zoneSuffixProof.pin(found[0].get(), found[1].get());
    return !PyErr_Occurred();
}

PyMethodDef methods[] = {
    {date2intFn.name, method(&py_date2int<OnMismatch::raise>),
     METH_VARARGS | METH_KEYWORDS,
     "date2intWrapper($module, /, x, fmt, skip_tz=False)\n--\n\n"
     "date2intWrapper(x, const char *fmt, bool skip_tz=False)"},
    {date2intSafeFn.name, method(&py_date2int<OnMismatch::minusOne>),
     METH_VARARGS | METH_KEYWORDS,
     "date2intSafeWrapper($module, /, x, fmt, skip_tz=False)\n--\n\n"
     "date2intSafeWrapper(x, const char *fmt, bool skip_tz=False)"},
    {strptimeFn.name, method(&py_strptime), METH_VARARGS | METH_KEYWORDS,
     "strptime($module, /, x, fmt)\n--\n\n"
     "strptime(x, const char *fmt)"},
    {nullptr, nullptr, 0, nullptr},
};

bool init(PyObject* module) noexcept
{
    if (!createConstants() || !publishCFunctions(module)) {
        return false;
    }
    AnyFunction bound =
        bindFunction(unfolderModule, "tm_to_datetime", tmToDatetimeSignature);
    if (!bound) {
        return false;
    }
    tmToDatetime = reinterpret_cast<TmToDatetime>(bound);
    if (!importRegexFunctions()) {
        return false;
    }
    Ref pattern = Ref::steal(PyUnicode_FromString(tzRegexp));
    return pattern && setGlobal("TZ_REGEXP", pattern.get()) &&
           zoneSuffixProof.setOwnPattern(std::move(pattern));
}

}  // namespace
}  // namespace vb

VB_MODULE(calendar_text_codec, "velbrook.dateToInt.calendar_text_codec",
          methods, init)
