// velbrook.dateToInt.calendar_text_codec: date text to integers and
// datetime objects.
//
// The parsing rules, the compiled formats, the integer encodings and the
// zone suffix live in the headers beside this file; this file only binds
// arguments, turns interpreter objects into the byte strings those
// headers read, removes a trailing numeric time-zone suffix when asked
// to, raises the cores' failures, builds the results and initialises the
// module.  The cores throw nothing.
#include "../_shared/python.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "../_shared/capi.h"
#include "../_shared/compat.h"
#include "../_shared/convert.h"
#include "../_shared/errors.h"
#include "../_shared/frame.h"
#include "../_shared/function.h"
#include "../_shared/imports.h"
#include "../_shared/names.h"
#include "../_shared/published.h"
#include "PosixFctns.h"
#include "zone_suffix.h"

namespace vb {
namespace {

Function date2intFn{"date2intWrapper", {"x", "fmt", "skip_tz"}, 2};
Function date2intSafeFn{"date2intSafeWrapper", {"x", "fmt", "skip_tz"}, 2};
Function strptimeFn{"strptime", {"x", "fmt"}};

// Bound at import; the integer-to-time module is never unloaded.
TmToDatetime tmToDatetime = nullptr;

// ---------------------------------------------------------------------------
// Constants created at import and kept for the process.

Immortal encodeName;   // interned "encode"
Immortal emptyString;  // "", the replacement of a zone suffix

// The pattern of a trailing numeric zone such as " +0100" or "-05"; the
// rule it stands for is findZoneSuffixIn's.
constexpr const char* tzRegexp = "\\s*[\\+-][0-9]+$";

// Module attributes read at every call that removes a zone suffix.
GlobalName searchName("search");
GlobalName subName("sub");
GlobalName tzRegexpName("TZ_REGEXP");

// ---------------------------------------------------------------------------
// Formats.

// The compiled form of the last exact `bytes` format a kind of call saw.
// Exact bytes never change, and the entry holds its key, so no other
// object can take the key's address while it is cached: an entry found by
// address is the compiled form of that very text. Kept for the process.
//
// Without the GIL each thread has its own (`VB_PER_THREAD`): one shared
// entry would be rewritten by one call while another reads it.  A
// thread's entry cannot hold a reference past the thread's end, so it
// keeps a copy of the text instead and is found by content; a longer text
// is compiled at each call.
template <Prefix prefix>
class FormatCache {
public:
    // Valid until interpreter code runs: a call made from it may replace
    // the entry.
    const CompiledFormat& get(PyObject* bytes) noexcept
    {
#if VB_FREE_THREADED
        const char* text = PyBytes_AS_STRING(bytes);
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
        if (n >= sizeof text_) {
            size_ = sizeof text_;  // no entry
            compiled_ = CompiledFormat(text, prefix);
        } else if (n != size_ || std::memcmp(text, text_, n) != 0) {
            std::memcpy(text_, text, n + 1);  // with its NUL
            size_ = n;
            compiled_ = CompiledFormat(text_, prefix);
        }
#else
        if (bytes != key_.get()) {
            compiled_ = CompiledFormat(PyBytes_AS_STRING(bytes), prefix);
            key_.set(Ref::incref(bytes));
        }
#endif
        return compiled_;
    }

private:
#if VB_FREE_THREADED
    char text_[64];
    std::size_t size_ = sizeof text_;  // of the text in `text_`; or none
#else
    Immortal key_;
#endif
    CompiledFormat compiled_{nullptr, prefix};
};

VB_PER_THREAD FormatCache<Prefix::marker> integerFormats;
VB_PER_THREAD FormatCache<Prefix::text> datetimeFormats;

// The format of one call, compiled. A text that may change while
// interpreter code runs (a bytearray's content, a C-level caller's buffer)
// is compiled again once such code has run, since the parse must read it
// as it is then; exact bytes cannot change.
class CallFormat {
public:
    // `fixed`: the exact bytes `text` belongs to, or null.
    CallFormat(const char* text, PyObject* fixed) noexcept
        : text_(text), fixed_(fixed)
    {
        interpreterRan();
    }

    // The text of `fmt`, read again after interpreter code ran.
    explicit CallFormat(ByteString& fmt) noexcept
        : text_(fmt.c_str()), fixed_(fmt.exactBytes()), source_(&fmt)
    {
        interpreterRan();
    }

    const CompiledFormat& get() const noexcept { return *compiled_; }

    // After interpreter code ran: compiles a changeable text again, and
    // finds the cached form of exact bytes again (another call may have
    // taken the cache's entry meanwhile).
    void interpreterRan() noexcept
    {
        if (fixed_) {
            compiled_ = &integerFormats.get(fixed_);
        } else {
            if (source_ && compiled_) {
                text_ = source_->reread();
            }
            compiled_ = &own_.emplace(text_);
        }
    }

private:
    const char* text_;
    PyObject* fixed_;  // borrowed; kept alive by the caller
    ByteString* source_ = nullptr;
    const CompiledFormat* compiled_ = nullptr;
    std::optional<CompiledFormat> own_;
};

// ---------------------------------------------------------------------------
// Date text.

// The data of an exact `str` of ASCII characters stored compactly: its own
// UTF-8, NUL-terminated, so the bytes `encode()` returns for it, read
// without the call. Null for any other object.
const char* asciiData(PyObject* x) noexcept
{
    return PyUnicode_CheckExact(x) && PyUnicode_IS_COMPACT_ASCII(x)
               ? static_cast<const char*>(PyUnicode_DATA(x))
               : nullptr;
}

std::size_t textLength(PyObject* s) noexcept
{
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
}

// A date text as the conversions read it: `size()` bytes, then a NUL
// (embedded NULs end the text for the parser). The bytes are the UTF-8
// (or whatever `encode()` makes) of a date object, kept alive as long as
// this view.  An exact `str` is encoded as its `encode()` method would,
// without the method call; an ASCII one lends its own buffer, so the
// common case copies nothing.
class DateText {
public:
    // False with the interpreter's exception set. `ranCode` is set when
    // interpreter code (the object's `encode`) was called.
    bool set(PyObject* x, bool& ranCode) noexcept
    {
        if (const char* ascii = asciiData(x)) {
            owner_ = Ref::incref(x);
            text_ = ascii;
            size_ = textLength(x);
            return true;
        }
        if (PyUnicode_CheckExact(x)) {
            Ref encoded = Ref::steal(PyUnicode_AsUTF8String(x));
            return encoded && viewBytes(encoded.get());
        }
        ranCode = true;
        Ref encoded = Ref::steal(
            PyObject_CallMethodObjArgs(x, encodeName.get(), nullptr));
        return encoded && viewBytes(encoded.get());
    }

    // A copy of `head` followed by `tail`, when short enough to be held
    // here; false otherwise (nothing is set).
    bool setJoined(const char* head, std::size_t headSize, const char* tail,
                   std::size_t tailSize) noexcept
    {
        if (headSize + tailSize >= sizeof copy_) {
            return false;
        }
        std::memcpy(copy_, head, headSize);
        std::memcpy(copy_ + headSize, tail, tailSize);
        copy_[headSize + tailSize] = '\0';
        text_ = copy_;
        size_ = headSize + tailSize;
        return true;
    }

    const char* c_str() const noexcept { return text_; }
    std::size_t size() const noexcept { return size_; }

private:
    bool viewBytes(PyObject* encoded) noexcept
    {
        if (!bytes_.set(encoded)) {
            return false;
        }
        text_ = bytes_.c_str();
        size_ = static_cast<std::size_t>(bytes_.size());
        return true;
    }

    Ref owner_;         // the str whose buffer `text_` points into
    ByteString bytes_;  // or the bytes/bytearray `encode()` returned
    char copy_[64];     // or a short text cut out of a str
    const char* text_ = "";
    std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// Time-zone suffix.

// The standard library's `re.search` and `re.sub` as bound at import, and
// the pattern string this module bound as TZ_REGEXP.  The functions are
// pinned only when they are the `re` module's own plain functions.  While
// the module's names still hold exactly these objects, with their code and
// defaults unchanged, the suffix is found and removed here, with the same
// result as the calls (checked against them by the tests), without
// calling them.  Kept for the process.
PinnedFunction standardSearch;
PinnedFunction standardSub;
Immortal ownPattern;

// The code points of a `str`, for findZoneSuffixIn.
struct CodePoints {
    int kind;
    const void* data;

    std::uint32_t unit(std::size_t i) const noexcept
    {
        return PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
    }
    std::size_t spaceBefore(std::size_t p) const noexcept
    {
        return isUnicodeSpace(unit(p - 1)) ? 1 : 0;
    }
};

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

// `search` (or `sub`) and TZ_REGEXP, read from the module namespace now.
// False with NameError set.
__attribute__((always_inline)) inline bool readNames(GlobalName& function,
                                                     Ref& f,
                                                     Ref& pattern) noexcept
{
    f = function.get();
    pattern = f ? tzRegexpName.get() : Ref();
    return bool(pattern);
}

// Whether the names a call read are those bound at import, unchanged, so
// that the search (or the cut) is done here instead of calling them.
bool ownSearch(PyObject* search, PyObject* pattern) noexcept
{
    return standardSearch.is(search) && pattern == ownPattern.get();
}

bool ownSub(PyObject* sub, PyObject* pattern) noexcept
{
    return standardSub.is(sub) && pattern == ownPattern.get();
}

// Sets `date` to the `str` `text` without the match of TZ_REGEXP a search
// found: at [start, end) when the search ran here (`searchedHere`), and
// then cut here too while `sub` and `pattern` are the names bound at
// import; otherwise what `sub` returns.  False with the exception set.
bool setWithoutMatch(PyObject* text, bool searchedHere, std::size_t start,
                     std::size_t end, PyObject* sub, PyObject* pattern,
                     DateText& date, bool& ranCode) noexcept
{
    Ref stripped;
    if (searchedHere && ownSub(sub, pattern)) {
        // What is left of an ASCII text is its own UTF-8: no object for it
        // when it is short.
        if (PyUnicode_IS_COMPACT_ASCII(text)) {
            const auto* data = static_cast<const char*>(PyUnicode_DATA(text));
            const std::size_t n = textLength(text);
            if (date.setJoined(data, start, data + end, n - end)) {
                return true;
            }
        }
        stripped = cutOut(text, static_cast<Py_ssize_t>(start),
                          static_cast<Py_ssize_t>(end));
    } else {
        ranCode = true;
        stripped = call(sub, pattern, emptyString.get(), text);
    }
    return stripped && date.set(stripped.get(), ranCode);
}

// Sets `date` to the `str` `text` without a trailing match of TZ_REGEXP,
// found with the `search` and `pattern` this call read; `sub` and
// TZ_REGEXP are read only when there is a match.  False with the
// exception set.  `ranCode` is set when interpreter code may have run.
bool setWithoutSuffix(PyObject* text, PyObject* search, PyObject* pattern,
                      DateText& date, bool& ranCode) noexcept
{
    std::size_t start = 0, end = 0;
    int found;
    const bool here = ownSearch(search, pattern);
    if (here) {
#if VB_STR_NEEDS_READY
        if (PyUnicode_READY(text) < 0) {
            return false;
        }
#endif
        const std::size_t n = textLength(text);
        if (PyUnicode_IS_COMPACT_ASCII(text)) {
            const ByteText bytes = {
                static_cast<const unsigned char*>(PyUnicode_DATA(text))};
            found = findZoneSuffixIn(bytes, n, start, end);
        } else {
            const CodePoints points = {static_cast<int>(PyUnicode_KIND(text)),
                                       PyUnicode_DATA(text)};
            found = findZoneSuffixIn(points, n, start, end);
        }
    } else {
        ranCode = true;
        Ref match = call(search, pattern, text);
        found = match ? PyObject_IsTrue(match.get()) : -1;
    }
    if (found <= 0) {
        return found == 0 && date.set(text, ranCode);
    }
    Ref sub, subPattern;
    return readNames(subName, sub, subPattern) &&
           setWithoutMatch(text, here, start, end, sub.get(), subPattern.get(),
                           date, ranCode);
}

// Sets `date` to `str(x)` with a trailing match of TZ_REGEXP removed, all
// three names read from the module namespace now.  False with the
// exception set.  `ranCode` is set when interpreter code may have run.
bool setWithoutZone(PyObject* x, DateText& date, bool& ranCode) noexcept
{
    Ref text;
    if (PyUnicode_CheckExact(x)) {
        text = Ref::incref(x);  // what `str` returns for it
    } else {
        ranCode = true;
        text = Ref::steal(PyObject_Str(x));
        if (!text) {
            return false;
        }
    }
    Ref search, pattern;
    return readNames(searchName, search, pattern) &&
           setWithoutSuffix(text.get(), search.get(), pattern.get(), date,
                            ranCode);
}

// ---------------------------------------------------------------------------
// C-level bodies of the module functions.

enum class OnMismatch { raise, minusOne };

void raiseFailure(Failure why) noexcept
{
    PyErr_SetString(moduleState.valueError.get(), failureText(why));
}

// The integer of `date[0..size)` (a NUL after it), or -1 or null with the
// exception set when the text has none.
template <OnMismatch mode>
PyObject* encodedDate(const char* date, std::size_t size,
                      const CompiledFormat& fmt) noexcept
{
    std::int64_t value = -1;
    const Failure why = dateToInt(date, size, fmt, value);
    if (why != Failure::none && mode == OnMismatch::raise) {
        raiseFailure(why);
        return nullptr;
    }
    return PyLong_FromLongLong(value);
}

// Shared body of date2intWrapper and date2intSafeWrapper.  `x` and the
// format's text must stay alive for the call.
template <OnMismatch mode>
PyObject* date2int(PyObject* x, CallFormat& fmt, bool skipTz) noexcept
{
    TracebackOnError scope(mode == OnMismatch::raise ? date2intFn
                                                     : date2intSafeFn);
    if (!moduleReady()) {
        return nullptr;
    }
    DateText date;
    bool ranCode = false;
    const bool zone = !skipTz && fmt.get().markers.minutes;
    if (!(zone ? setWithoutZone(x, date, ranCode) : date.set(x, ranCode))) {
        return nullptr;
    }
    // A name missing from the module namespace is looked up among the
    // builtins, which can run interpreter code too.
    if (ranCode || zone) {
        fmt.interpreterRan();
    }
    return encodedDate<mode>(date.c_str(), date.size(), fmt.get());
}

// date2int of an exact ASCII `str` `x` and an exact `bytes` format, both
// alive for the call, without a traceback entry: the text is read in
// place and the format's compiled form comes from the cache.  That form
// is fetched again after each name lookup, which may run interpreter code
// (through the builtins) that replaces the cache's entry.  While the suffix
// names are those bound at import, no other code runs.
//
// `data` is asciiData(x).
template <OnMismatch mode>
PyObject* asciiDate2int(PyObject* x, const char* data, PyObject* fmt,
                        bool skipTz) noexcept
{
    const std::size_t n = textLength(x);
    if (skipTz || !integerFormats.get(fmt).markers.minutes) {
        return encodedDate<mode>(data, n, integerFormats.get(fmt));
    }
    Ref search, pattern;
    if (!readNames(searchName, search, pattern)) {
        return nullptr;
    }
    DateText date;
    bool ranCode = false;
    if (!ownSearch(search.get(), pattern.get())) {
        if (!setWithoutSuffix(x, search.get(), pattern.get(), date, ranCode)) {
            return nullptr;
        }
        return encodedDate<mode>(date.c_str(), date.size(),
                                 integerFormats.get(fmt));
    }
    std::size_t start, end;
    if (!findZoneSuffixIn(
            ByteText{reinterpret_cast<const unsigned char*>(data)}, n, start,
            end)) {
        return encodedDate<mode>(data, n, integerFormats.get(fmt));
    }
    Ref sub;
    if (!readNames(subName, sub, pattern)) {
        return nullptr;
    }
    // Cut at the end: the text left is data[0..start), which the plan
    // reads in place; the parser needs it copied, with its NUL.
    std::int64_t value;
    if (end == n && ownSub(sub.get(), pattern.get()) &&
        plannedDateToInt(data, start, integerFormats.get(fmt), value)) {
        return PyLong_FromLongLong(value);
    }
    if (!setWithoutMatch(x, true, start, end, sub.get(), pattern.get(), date,
                         ranCode)) {
        return nullptr;
    }
    return encodedDate<mode>(date.c_str(), date.size(),
                             integerFormats.get(fmt));
}

bool skipTzOption(const Date2intOptions* opt) noexcept
{
    return opt != nullptr && opt->__pyx_n >= 1 && opt->skip_tz;
}

PyObject* date2intWrapper(PyObject* x, const char* fmt, int /*skip_dispatch*/,
                          Date2intOptions* opt) noexcept
{
    CallFormat format(fmt, nullptr);
    return date2int<OnMismatch::raise>(x, format, skipTzOption(opt));
}

PyObject* date2intSafeWrapper(PyObject* x, const char* fmt,
                              int /*skip_dispatch*/,
                              Date2intOptions* opt) noexcept
{
    CallFormat format(fmt, nullptr);
    return date2int<OnMismatch::minusOne>(x, format, skipTzOption(opt));
}

// The datetime of a checked record, or null with the exception set.
PyObject* datetimeOf(const vb_tm& tmb) noexcept
{
    TmToDatetimeOptions opt = {1, tmb.tm_micro_sec};
    return tmToDatetime(tmb, &opt);
}

// Shared body of the two strptime functions: `fixed` is the exact bytes
// `fmt` belongs to, or null; `source`, when given, the text to read again
// if the date's `encode()` ran.  The format is compiled once the date text
// is known, after the last interpreter code of the call.
PyObject* strptimeBody(PyObject* x, const char* fmt, PyObject* fixed,
                       ByteString* source = nullptr) noexcept
{
    TracebackOnError scope(strptimeFn);
    vb_tm tmb;
    {
        DateText date;
        bool ranCode = false;
        if (!moduleReady() || !date.set(x, ranCode)) {
            return nullptr;
        }
        if (source && ranCode) {
            fmt = source->reread();
        }
        const Failure why =
            strptime_c(date.c_str(), date.size(),
                       fixed ? datetimeFormats.get(fixed)
                             : CompiledFormat(fmt, Prefix::text),
                       tmb);
        if (why != Failure::none) {
            raiseFailure(why);
            return nullptr;
        }
    }
    return datetimeOf(tmb);
}

// strptimeBody of an exact ASCII `str` `x`, whose asciiData is `data`,
// and an exact `bytes` format, without a traceback entry: no interpreter
// code runs before the record is built.
__attribute__((always_inline)) inline PyObject* asciiStrptime(
    PyObject* x, const char* data, PyObject* fmt) noexcept
{
    vb_tm tmb;
    const Failure why =
        strptime_c(data, textLength(x), datetimeFormats.get(fmt), tmb);
    if (why != Failure::none) {
        raiseFailure(why);
        return nullptr;
    }
    return datetimeOf(tmb);
}

PyObject* strptime(PyObject* x, const char* fmt,
                   int /*skip_dispatch*/) noexcept
{
    return strptimeBody(x, fmt, nullptr);
}

// ---------------------------------------------------------------------------
// Interpreter-level functions.

// The asciiData of `x` when the arguments are read as they are: an exact
// ASCII `str`, exact `bytes` and a skip_tz (null when absent) whose truth
// value needs no interpreter code, which is then `skipTz`. Null
// otherwise.
const char* plainArguments(PyObject* x, PyObject* fmt, PyObject* flag,
                           bool& skipTz) noexcept
{
    skipTz = flag == Py_True;
    return (skipTz || flag == nullptr || flag == Py_False ||
            flag == Py_None) &&
                   PyBytes_CheckExact(fmt)
               ? asciiData(x)
               : nullptr;
}

template <OnMismatch mode>
__attribute__((noinline)) PyObject* boundDate2int(PyObject* const* args,
                                                  Py_ssize_t nargs,
                                                  PyObject* kwnames) noexcept
{
    auto& fn = mode == OnMismatch::raise ? date2intFn : date2intSafeFn;
    Ref held[3];
    PyObject* values[3];
    if (!moduleReady() ||
        !fn.bindBorrowed(args, nargs, kwnames, held, values)) {
        addTraceback(fn);
        return nullptr;
    }
    bool plainSkipTz;
    if (const char* data =
            plainArguments(values[0], values[1], values[2], plainSkipTz)) {
        return tracedResult(
            asciiDate2int<mode>(values[0], data, values[1], plainSkipTz), fn);
    }
    ByteString fmt;
    int skipTz = 0;
    {
        TracebackOnError scope(fn);
        if (!fmt.set(values[1]) ||
            (values[2] && (skipTz = PyObject_IsTrue(values[2])) < 0)) {
            return nullptr;
        }
    }
    // Compiled after skip_tz's truth test, which may run interpreter code.
    CallFormat format(fmt);
    return date2int<mode>(values[0], format, skipTz != 0);
}

// The common call, by position with arguments read as they are, is taken
// before anything is bound; every other call is bound first.
template <OnMismatch mode>
PyObject* py_date2int(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept
{
    bool skipTz;
    const char* data = nullptr;
    if (!kwnames && (nargs == 2 || nargs == 3) && moduleState.ready.load() &&
        (data = plainArguments(args[0], args[1],
                               nargs == 3 ? args[2] : nullptr, skipTz))) {
        return tracedResult(
            asciiDate2int<mode>(args[0], data, args[1], skipTz),
            mode == OnMismatch::raise ? date2intFn : date2intSafeFn);
    }
    return boundDate2int<mode>(args, nargs, kwnames);
}

__attribute__((noinline)) PyObject* boundStrptime(PyObject* const* args,
                                                  Py_ssize_t nargs,
                                                  PyObject* kwnames) noexcept
{
    Ref held[2];
    PyObject* values[2];
    if (!moduleReady() ||
        !strptimeFn.bindBorrowed(args, nargs, kwnames, held, values)) {
        addTraceback(strptimeFn);
        return nullptr;
    }
    const char* data;
    if (PyBytes_CheckExact(values[1]) && (data = asciiData(values[0]))) {
        return tracedResult(asciiStrptime(values[0], data, values[1]),
                            strptimeFn);
    }
    ByteString fmt;
    {
        TracebackOnError scope(strptimeFn);
        if (!fmt.set(values[1])) {
            return nullptr;
        }
    }
    return strptimeBody(values[0], fmt.c_str(), fmt.exactBytes(), &fmt);
}

PyObject* py_strptime(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept
{
    const char* data;
    if (!kwnames && nargs == 2 && moduleState.ready.load() &&
        PyBytes_CheckExact(args[1]) && (data = asciiData(args[0]))) {
        return tracedResult(asciiStrptime(args[0], data, args[1]), strptimeFn);
    }
    return boundStrptime(args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Initialisation.

bool publishCFunctions(PyObject* module) noexcept
{
    const CFunction entries[] = {
        {"date2intWrapper", castFunction(&date2intWrapper),
         signatures::date2intWrapper},
        {"date2intSafeWrapper", castFunction(&date2intSafeWrapper),
         signatures::date2intSafeWrapper},
        {"strptime", castFunction(&strptime), signatures::strptime},
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
    standardSearch.clear();
    standardSub.clear();
    Ref ownSearch = standardFunction("re", "search");
    Ref ownSub = standardFunction("re", "sub");
    if (found[0].get() == ownSearch.get() && found[1].get() == ownSub.get()) {
        standardSearch.pin(ownSearch.get());
        standardSub.pin(ownSub.get());
    }
    return !PyErr_Occurred();
}

PyMethodDef methods[] = {
    {date2intFn.name, method(&py_date2int<OnMismatch::raise>),
     METH_FASTCALL | METH_KEYWORDS,
     "date2intWrapper($module, /, x, fmt, skip_tz=False)\n--\n\n"
     "date2intWrapper(x, const char *fmt, bool skip_tz=False)"},
    {date2intSafeFn.name, method(&py_date2int<OnMismatch::minusOne>),
     METH_FASTCALL | METH_KEYWORDS,
     "date2intSafeWrapper($module, /, x, fmt, skip_tz=False)\n--\n\n"
     "date2intSafeWrapper(x, const char *fmt, bool skip_tz=False)"},
    {strptimeFn.name, method(&py_strptime), METH_FASTCALL | METH_KEYWORDS,
     "strptime($module, /, x, fmt)\n--\n\n"
     "strptime(x, const char *fmt)"},
    {nullptr, nullptr, 0, nullptr},
};

bool init(PyObject* module) noexcept
{
    if (!createConstants() || !publishCFunctions(module)) {
        return false;
    }
    AnyFunction bound = bindFunction(unfolderModule, "tm_to_datetime",
                                     signatures::tm_to_datetime);
    if (!bound) {
        return false;
    }
    tmToDatetime = reinterpret_cast<TmToDatetime>(bound);
    if (!importRegexFunctions()) {
        return false;
    }
    Ref pattern = Ref::steal(PyUnicode_FromString(tzRegexp));
    return pattern && setGlobal("TZ_REGEXP", pattern.get()) &&
           ownPattern.set(std::move(pattern));
}

}  // namespace
}  // namespace vb

VB_MODULE(calendar_text_codec, "velbrook.dateToInt.calendar_text_codec",
          methods, init)
