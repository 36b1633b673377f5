// velbrook.columns: whole columns of date text to integers.
//
// Each element gets exactly what the date module's date2intWrapper gives
// it (the rule lives in "date_column.h" over the date module's own
// parser); this file finds the texts of a column (Arrow arrays through
// the Arrow PyCapsule interface, numpy unicode arrays, any iterable of
// str), runs the conversion over them, in several threads where their
// memory cannot move, and returns an `Int64Column` with its unit and its
// nulls.  Only what is proved to read as date2intWrapper reads it is read
// here: an exact str, an exact numpy.ndarray, an Arrow string array, and
// the zone suffix while the date module's names hold what its own
// shortcut proves.  Anything else (a str subclass, whose str() or
// encode() may give other text; every text while those names are
// rebound) goes through date2intWrapper itself, with the interpreter lock
// held.
#include "../_shared/python.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../_shared/buffers.h"
#include "../_shared/capi.h"
#include "../_shared/compat.h"
#include "../_shared/convert.h"
#include "../_shared/errors.h"
#include "../_shared/frame.h"
#include "../_shared/function.h"
#include "../_shared/interrupts.h"
#include "../_shared/published.h"
#include "../_shared/ref.h"
#include "../dateToInt/zone_suffix_proof.h"
#include "arrow.h"
#include "date_column.h"
#include "int64_column.h"

namespace vb {
namespace {

// `format` is a keyword-only alias of `fmt`, so neither is required by the
// binder; the call checks that exactly one is given.
Function date2intFn{
    "date2int",
    {"texts", "fmt", "skip_tz", "errors", "fill", "threads", "format"},
    1,
    2};

// ---------------------------------------------------------------------------
// How a column is cut up.

// A thread gets at least this many elements: fewer do not pay for its
// start.
constexpr std::size_t minPartSize = std::size_t{1} << 12;
// Elements per thread in one batch, between two looks for Ctrl-C.
constexpr std::size_t batchPerThread = std::size_t{1} << 16;
// Interpreter objects gathered at a time for the threads, each held with
// its text until its batch is converted: what a call needs beyond its
// result stays the same whatever the column's length.  A multiple of 64,
// so that a batch's failure bits start on a byte and its threads' shares
// on a word of them.
constexpr std::size_t gatherBatch = std::size_t{1} << 17;
static_assert(gatherBatch % 64 == 0, "batches start on a bitmap word");
// threads=None: every core, up to `maxDefaultThreads`, for a column of at
// least `defaultThreadsFrom` elements.
constexpr std::size_t defaultThreadsFrom = 4 * minPartSize;
constexpr std::size_t maxDefaultThreads = 64;
// More threads asked for are this many.
constexpr std::size_t maxThreads = 256;

// ---------------------------------------------------------------------------
// Sources: the i-th text of a column. `get` may use `buffer` for a text it
// has to re-encode; the returned bytes live until the next call with it.
// Neither allocates otherwise nor throws: the threads call them.
// `written(i)`: element i has its value in the output already.

// Marks an element that went through date2intWrapper while its batch was
// gathered. Every other text with no failure has its bytes somewhere.
constexpr TextRef writtenText = {nullptr, 0, Failure::none};

inline bool isWritten(const TextRef& t) noexcept
{
    return t.data == nullptr && t.failure == Failure::none;
}

// Texts gathered from interpreter objects (held by the caller) while the
// interpreter lock was held.
struct GatheredSource {
    const std::vector<TextRef>& texts;
    TextRef get(std::size_t i, Scratch&) const noexcept { return texts[i]; }
    bool written(std::size_t i) const noexcept { return isWritten(texts[i]); }
};

// A 1-D buffer of fixed-width UCS4 strings (numpy's unicode arrays), read
// in place; trailing NULs are padding, as numpy reads them.
struct Ucs4Source {
    const char* base;
    Py_ssize_t stride;
    std::size_t width;  // code points per element
    bool swapped;       // in the other byte order than the machine's

    const char* itemAt(std::size_t i) const noexcept
    {
        return base + static_cast<Py_ssize_t>(i) * stride;
    }

    std::uint32_t codePoint(const char* item, std::size_t k) const noexcept
    {
        std::uint32_t c;
        std::memcpy(&c, item + 4 * k, 4);  // the buffer may be unaligned
        return swapped ? __builtin_bswap32(c) : c;
    }

    // Code points of an element without numpy's trailing NUL padding.
    std::size_t lengthOf(const char* item) const noexcept
    {
        std::size_t n = width;
        while (n > 0 && codePoint(item, n - 1) == 0) {
            --n;
        }
        return n;
    }

    // Element i as a str (new reference; lone surrogates kept). Empty with
    // the exception set when there is no memory for it, empty without one
    // for a value beyond U+10FFFF, which no str holds.
    Ref item(std::size_t i) const noexcept
    {
        const char* item = itemAt(i);
        std::vector<Py_UCS4> copy;
        try {
            copy.resize(lengthOf(item));
        } catch (...) {
            PyErr_NoMemory();
            return Ref();
        }
        for (std::size_t k = 0; k < copy.size(); ++k) {
            copy[k] = codePoint(item, k);
            if (copy[k] > 0x10FFFF) {
                return Ref();
            }
        }
        return Ref::steal(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, copy.data(),
                                      static_cast<Py_ssize_t>(copy.size())));
    }

    TextRef get(std::size_t i, Scratch& buffer) const noexcept
    {
        const char* item = itemAt(i);
        const std::size_t n = lengthOf(item);
        // The most UTF-8 that n code points take; one more byte, so that
        // even an empty text has an address.
        char* const begin = buffer.reserve(4 * n + 1);
        if (!begin) {
            return {nullptr, 0, Failure::noMemory};
        }
        char* end = begin;
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t c = codePoint(item, k);
            if (c < 0x80) {
                *end++ = static_cast<char>(c);
            } else if (utf8Length(c) != 0) {
                end = putUtf8(end, c);
            } else {
                return {nullptr, 0, Failure::notText};
            }
        }
        return {begin, static_cast<std::size_t>(end - begin), Failure::none};
    }

    bool written(std::size_t) const noexcept { return false; }
};

struct ArrowSource {
    const ArrowStrings& strings;
    TextRef get(std::size_t i, Scratch&) const noexcept
    {
        const char* data;
        std::size_t size;
        if (!strings.get(i, data, size)) {
            return {nullptr, 0, Failure::missing};
        }
        return {data, size, Failure::none};
    }
    bool written(std::size_t) const noexcept { return false; }
};

// ---------------------------------------------------------------------------
// The conversion loop.

// The failures of a range of elements: how many, and the first few.
struct Failures {
    static constexpr std::size_t shown = 5;  // kept for the message
    std::size_t count = 0;
    std::size_t kept = 0;
    std::size_t position[shown];
    Failure why[shown];
    bool noMemory = false;  // the range stopped at a failed allocation

    void add(std::size_t i, Failure w) noexcept
    {
        if (kept < shown) {
            position[kept] = i;
            why[kept] = w;
            ++kept;
        }
        ++count;
        noMemory = noMemory || w == Failure::noMemory;
    }

    // Adds the failures of a range that follows this one.
    void merge(const Failures& later) noexcept
    {
        for (std::size_t k = 0; k < later.kept && kept < shown; ++k) {
            position[kept] = later.position[k];
            why[kept] = later.why[k];
            ++kept;
        }
        count += later.count;
        noMemory = noMemory || later.noMemory;
    }
};

// Where a conversion writes: element i of a source goes to values[i], and
// its failure to bit offset + i of the column's failure bitmap.
struct Output {
    std::int64_t* values;
    std::uint8_t* failed;
    std::size_t offset;
};

struct Options {
    bool raise;  // errors="raise": the call fails when any element fails
    std::int64_t fill;
    std::size_t threads;  // 1 to maxThreads
};

// Every element is converted, also with errors="raise", whose message
// tells how many failed; only a failed allocation stops the range.
template <class Source>
void convertRange(const Source& source, const ColumnFormat& format,
                  const Options& options, std::size_t begin, std::size_t end,
                  Output out, Failures& found) noexcept
{
    // `out` by value: its pointers stay in registers, where the parser's
    // char writes could otherwise make them reloaded at every element.
    Scratch buffer, scratch;
    for (std::size_t i = begin; i < end; ++i) {
        if (source.written(i)) {
            continue;
        }
        const Failure why =
            format.convert(source.get(i, buffer), out.values[i], scratch);
        if (why == Failure::none) {
            continue;
        }
        out.values[i] = options.fill;
        bits::set(out.failed, out.offset + i);
        found.add(i, why);
        if (why == Failure::noMemory) {
            return;
        }
    }
}

// Releases the interpreter lock for the life of the object.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// How many parts `length` elements are cut into for `threads` threads.
inline std::size_t partsFor(std::size_t length, std::size_t threads) noexcept
{
    const std::size_t most = (length + minPartSize - 1) / minPartSize;
    return std::max<std::size_t>(1, std::min(threads, most));
}

// Where part t of [begin, end) starts when parts are `step` long: on a
// multiple of 64 elements of the whole column (at `offset` + i), so that
// no two threads write one byte of the failure bitmap.
inline std::size_t shareStart(std::size_t begin, std::size_t end,
                              std::size_t step, std::size_t t,
                              std::size_t offset) noexcept
{
    if (t == 0) {
        return begin;
    }
    const std::size_t at = (offset + begin + t * step + 63) / 64 * 64;
    return std::min(end, at - offset);
}

// One part of a batch, converted by `run`, on a thread of its own or on
// the calling one.
template <class Source>
struct Part {
    const Source* source;
    const ColumnFormat* format;
    const Options* options;
    std::size_t begin, end;
    Output out;
    Failures found;
    pthread_t thread;  // where one was started for it

    void run() noexcept
    {
        convertRange(*source, *format, *options, begin, end, out, found);
    }

    static void* start(void* part) noexcept
    {
        static_cast<Part*>(part)->run();
        return nullptr;
    }
};

// Starts a thread for each of parts[1] to parts[count - 1], in order, up
// to the first that cannot start (no memory, no thread left under a
// process limit). Returns how many parts then have a thread, counting
// parts[0], which is left to the caller. The C library reports a failure
// by its result: nothing here throws.
template <class Source>
std::size_t startThreads(Part<Source>* parts, std::size_t count) noexcept
{
    std::size_t started = 1;
    while (started < count &&
           pthread_create(&parts[started].thread, nullptr,
                          &Part<Source>::start, &parts[started]) == 0) {
        ++started;
    }
    return started;
}

// Converts [begin, end) in `count` parts (1 to maxThreads): part 0 on this
// thread, every other on a thread of its own where one starts. A part
// whose thread did not start runs here once every started thread has
// been joined: the values, the failure bits and the failures are the same
// as with every thread.
template <class Source>
void convertParts(const Source& source, const ColumnFormat& format,
                  const Options& options, std::size_t begin, std::size_t end,
                  std::size_t count, const Output& out,
                  Failures& found) noexcept
{
    // More than one part: on the heap, as the calling thread's stack may
    // be small, from an allocator that reports failure by a null; without
    // memory for them, the batch is one part.
    Part<Source> single;
    std::unique_ptr<Part<Source>[]> many(
        count > 1 ? new (std::nothrow) Part<Source>[count] : nullptr);
    if (!many) {
        count = 1;
    }
    Part<Source>* parts = many ? many.get() : &single;
    const std::size_t step = (end - begin + count - 1) / count;
    for (std::size_t t = 0; t < count; ++t) {
        parts[t] = {&source,
                    &format,
                    &options,
                    shareStart(begin, end, step, t, out.offset),
                    shareStart(begin, end, step, t + 1, out.offset),
                    out,
                    Failures(),
                    pthread_t()};
    }
    const std::size_t started = startThreads(parts, count);
    parts[0].run();
    for (std::size_t t = 1; t < started; ++t) {
        pthread_join(parts[t].thread, nullptr);
    }
    for (std::size_t t = started; t < count; ++t) {
        parts[t].run();  // the fallback: no thread of its own
    }
    for (std::size_t t = 0; t < count; ++t) {
        found.merge(parts[t].found);
    }
}

// Converts elements [0, n) of `source` into `out`, in batches, each split
// over the threads with the interpreter lock released, polling for Ctrl-C
// between batches. False with the exception set when a signal handler
// raised; `found` holds the failures, in the order of their positions.
template <class Source>
bool convertAll(const Source& source, std::size_t n,
                const ColumnFormat& format, const Options& options,
                const Output& out, Failures& found) noexcept
{
    const std::size_t batch = batchPerThread * options.threads;
    for (std::size_t begin = 0; begin < n; begin += batch) {
        const std::size_t end = std::min(n, begin + batch);
        {
            WithoutInterpreterLock unlocked;
            convertParts(source, format, options, begin, end,
                         partsFor(end - begin, options.threads), out, found);
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        if (found.noMemory) {
            return true;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// date2intWrapper itself, for what cannot be read in place.

// What date2intWrapper gave an element.
enum class ScalarResult { value, failure, error };

// The date module, bound on first need and kept for the process (modules
// are never unloaded): its C-level date2intWrapper, its namespace, and
// re.search and re.sub pinned here as the standard library defines them.
class DateModule {
public:
    // False with the exception set when the date module cannot be
    // imported or does not export date2intWrapper.
    bool bind() noexcept
    {
        if (wrapper_.load(std::memory_order_acquire)) {
            return true;
        }
        Ref module = Ref::steal(PyImport_ImportModule(codecModule));
        if (!module) {
            return false;
        }
        AnyFunction f = bindFunction(codecModule, "date2intWrapper",
                                     signatures::date2intWrapper);
        PyObject* dict = PyModule_Check(module.get())
                             ? PyModule_GetDict(module.get())
                             : nullptr;  // borrowed
        if (!f || !dict ||
            !namespace_.once([dict] { return Ref::incref(dict); }) ||
            !search_.once([] { return internName("search"); }) ||
            !sub_.once([] { return internName("sub"); }) ||
            !pattern_.once([] { return internName("TZ_REGEXP"); })) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ImportError, "%s is not a module",
                             codecModule);
            }
            return false;
        }
        // One thread pins; a call that meanwhile finds nothing pinned
        // takes the scalar route, with the same result.
        bool pinning = false;
        if (pinned_.compare_exchange_strong(pinning, true)) {
            proof_.pinStandard();
        }
        wrapper_.store(reinterpret_cast<Date2intWrapper>(f),
                       std::memory_order_release);
        return true;
    }

    // True when the date module's search, sub and TZ_REGEXP, read as it
    // reads them (its namespace, then the builtins), are now what its own
    // shortcut proves: the zone suffix may then be removed here.
    bool zoneSuffixProved() noexcept
    {
        const Ref search = lookup(search_);
        const Ref sub = lookup(sub_);
        const Ref pattern = lookup(pattern_);
        return proof_.search(search.get(), pattern.get()) &&
               proof_.sub(sub.get(), pattern.get());
    }

    // date2intWrapper(x, fmt, skip_tz): `out` set; or a failure, for the
    // ValueError that means one (`why`, and for another text than the
    // parser's its str in `message`); or error, with the exception set.
    ScalarResult convert(PyObject* x, const char* fmt, bool skipTz,
                         std::int64_t& out, Failure& why,
                         Ref& message) noexcept
    {
        Date2intOptions options = {1, skipTz};
        Ref value = Ref::steal(
            wrapper_.load(std::memory_order_acquire)(x, fmt, 0, &options));
        if (value) {
            const long long v = PyLong_AsLongLong(value.get());
            if (v == -1 && PyErr_Occurred()) {
                return ScalarResult::error;
            }
            out = v;
            return ScalarResult::value;
        }
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return ScalarResult::error;
        }
        Ref error = takeError();
        if (PyErr_GivenExceptionMatches(error.get(),
                                        PyExc_UnicodeEncodeError)) {
            why = Failure::notText;  // as for an exact str
            return ScalarResult::failure;
        }
        Ref text = Ref::steal(PyObject_Str(error.get()));
        if (!text) {
            return ScalarResult::error;
        }
        why = Failure::otherValueError;
        for (Failure parser :
             {Failure::failedToRead, Failure::yearOutOfRange}) {
            if (PyUnicode_CompareWithASCIIString(text.get(),
                                                 failureText(parser)) == 0) {
                why = parser;
            }
        }
        if (why == Failure::otherValueError) {
            message = std::move(text);
        }
        return ScalarResult::failure;
    }

private:
    using Date2intWrapper = PyObject* (*)(PyObject*, const char*, int,
                                          Date2intOptions*);

    // The date module's `name`, or empty (no exception): dictionary
    // look-ups only, no interpreter code.
    Ref lookup(const Immortal& name) noexcept
    {
        Ref value = dictItem(namespace_.get(), name.get());
        if (!value && !PyErr_Occurred()) {
            value = dictItem(PyModule_GetDict(moduleState.builtins.get()),
                             name.get());
        }
        if (!value) {
            PyErr_Clear();
        }
        return value;
    }

    std::atomic<Date2intWrapper> wrapper_{nullptr};
    std::atomic<bool> pinned_{false};
    Immortal namespace_;
    Immortal search_, sub_, pattern_;  // interned names
    ZoneSuffixProof proof_;
};

DateModule dateModule;

// ---------------------------------------------------------------------------
// Missing values.

// `name` of the module `module` in sys.modules, or empty (no exception).
Ref loadedModuleItem(const char* module, const char* name) noexcept
{
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref found = modules ? dictItem(modules, module) : Ref();
    Ref item = found && PyModule_Check(found.get())
                   ? dictItem(PyModule_GetDict(found.get()), name)
                   : Ref();
    PyErr_Clear();
    return item;
}

// What marks a missing element besides None and a float NaN: pandas.NA
// and pandas.NaT, and the NaN or NaT of numpy's scalar kinds, read from
// the modules loaded when the call starts (no module is imported).
class MissingValues {
public:
    void find() noexcept
    {
        na_ = loadedModuleItem("pandas", "NA");
        nat_ = loadedModuleItem("pandas", "NaT");
        const char* names[] = {"inexact", "datetime64", "timedelta64"};
        for (std::size_t k = 0; k < kinds_.size(); ++k) {
            Ref kind = loadedModuleItem("numpy", names[k]);
            if (kind && PyType_Check(kind.get())) {
                kinds_[k] = std::move(kind);
            }
        }
    }

    // 1 for a missing value, 0 for anything else, -1 with the exception
    // set.
    int test(PyObject* item) noexcept
    {
        if (item == Py_None) {
            return 1;
        }
        if (PyFloat_Check(item)) {
            return std::isnan(PyFloat_AS_DOUBLE(item)) ? 1 : 0;
        }
        if ((na_ && item == na_.get()) || (nat_ && item == nat_.get())) {
            return 1;
        }
        for (const Ref& kind : kinds_) {
            auto* type = reinterpret_cast<PyTypeObject*>(kind.get());
            if (type && PyObject_TypeCheck(item, type)) {
                // numpy's NaN and NaT are the values unequal to themselves.
                Ref unequal =
                    Ref::steal(PyObject_RichCompare(item, item, Py_NE));
                return unequal ? PyObject_IsTrue(unequal.get()) : -1;
            }
        }
        return 0;
    }

private:
    Ref na_, nat_;
    std::array<Ref, 3> kinds_;
};

// ---------------------------------------------------------------------------
// One call.

struct Call {
    Call(const char* fmt, PyObject* fmtObject, bool skipTz, Options options)
        : fmtText(fmt),
          fmtObject(fmtObject),
          skipTz(skipTz),
          format(fmtText.c_str(), skipTz),
          unit(unitOf(format.markers)),
          options(options)
    {
    }

    // Reads what the call depends on besides its arguments: the markers
    // of missing values and, where the zone suffix is removed, whether the
    // date module's names let that be done here. False with the exception
    // set.
    bool prepare() noexcept
    {
        missing.find();
        if (format.stripZone) {
            if (!dateModule.bind()) {
                return false;
            }
            everyTextScalar = !dateModule.zoneSuffixProved();
        }
        return true;
    }

    // date2intWrapper(x, fmt, skip_tz) for the element at `position`.
    ScalarResult scalar(PyObject* x, std::size_t position, std::int64_t& out,
                        Failure& why) noexcept
    {
        if (!dateModule.bind()) {
            return ScalarResult::error;
        }
        Ref message;
        const ScalarResult r =
            dateModule.convert(x, fmtText.c_str(), skipTz, out, why, message);
        // Positions come in order: the first few are the ones shown.
        if (message && messagesKept < Failures::shown) {
            messagePosition[messagesKept] = position;
            messages[messagesKept++] = std::move(message);
        }
        return r;
    }

    // The text of the Failure::otherValueError at `position` (new
    // reference), when it is among the first few; else empty.
    Ref messageAt(std::size_t position) const noexcept
    {
        for (std::size_t k = 0; k < messagesKept; ++k) {
            if (messagePosition[k] == position) {
                return Ref::incref(messages[k].get());
            }
        }
        return Ref();
    }

    // A copy: a bytearray format may change while the lock is released.
    const std::string fmtText;
    PyObject* const fmtObject;  // borrowed, for messages
    const bool skipTz;
    const ColumnFormat format;
    const ColumnUnit unit;  // what the integers count
    const Options options;
    MissingValues missing;
    // The zone suffix cannot be removed here: every text goes through
    // date2intWrapper.
    bool everyTextScalar = false;
    // The texts of the first few Failure::otherValueError, and where.
    Ref messages[Failures::shown];
    std::size_t messagePosition[Failures::shown];
    std::size_t messagesKept = 0;
};

// The failures of a whole call, with what the first few elements held
// (the object a text came from, else its text, else None), kept while
// the source can still show them.
struct Report {
    std::size_t count = 0;
    std::size_t kept = 0;
    std::size_t position[Failures::shown];
    Failure why[Failures::shown];
    Ref shown[Failures::shown];
    Ref message[Failures::shown];  // date2intWrapper's own text, or empty
    bool noMemory = false;

    // `item` is the element's object, or empty to show `text`; `text` the
    // ValueError's own text of an otherValueError.
    void add(std::size_t at, Failure w, const TextRef& text, Ref item,
             Ref own = Ref())
    {
        if (kept < Failures::shown) {
            if (!item) {
                item = text.data
                           ? Ref::steal(PyUnicode_DecodeUTF8(
                                 text.data, static_cast<Py_ssize_t>(text.size),
                                 "replace"))
                           : Ref::incref(Py_None);
                PyErr_Clear();  // nothing to show: the message says None
            }
            position[kept] = at;
            why[kept] = w;
            shown[kept] = item ? std::move(item) : Ref::incref(Py_None);
            message[kept] = std::move(own);
            ++kept;
        }
        ++count;
        noMemory = noMemory || w == Failure::noMemory;
    }

    // Why failure k happened, as the message words it (new reference).
    Ref reason(std::size_t k) const noexcept
    {
        return message[k]
                   ? Ref::incref(message[k].get())
                   : Ref::steal(PyUnicode_FromString(failureText(why[k])));
    }
};

// The ValueError of errors="raise": the first failure (its position, what
// it held, the format), then how many of the `total` elements failed and
// where the next few are. MemoryError when an allocation failed instead.
void raiseFailures(const Report& report, std::size_t total,
                   const Call& call) noexcept
{
    if (report.noMemory) {
        PyErr_NoMemory();
        return;
    }
    const Ref first = report.reason(0);
    Ref message =
        first ? Ref::steal(PyUnicode_FromFormat(
                    "date2int(): %U at position %zu: %R (format "
                    "%R); %zu of %zu elements failed",
                    first.get(), report.position[0], report.shown[0].get(),
                    call.fmtObject, report.count, total))
              : Ref();
    for (std::size_t k = 1; message && k < report.kept; ++k) {
        const char* lead = k > 1             ? ", "
                           : report.kept > 2 ? ", also at positions "
                                             : ", also at position ";
        // The reason is named where it differs from the first one's.
        const Ref why = report.reason(k);
        const int same =
            why ? PyObject_RichCompareBool(why.get(), first.get(), Py_EQ) : -1;
        if (same < 0) {
            return;
        }
        PyObject* shown = report.shown[k].get();
        message = Ref::steal(
            same
                ? PyUnicode_FromFormat("%U%s%zu: %R", message.get(), lead,
                                       report.position[k], shown)
                : PyUnicode_FromFormat("%U%s%zu: %R (%U)", message.get(), lead,
                                       report.position[k], shown, why.get()));
    }
    if (message && report.count > report.kept) {
        message = Ref::steal(PyUnicode_FromFormat("%U, ...", message.get()));
    }
    if (message) {
        PyErr_SetObject(moduleState.valueError.get(), message.get());
    }
}

// The column of a finished conversion of `total` elements: with its unit
// and its nulls, or, for errors="raise" when some failed, null with the
// exception set.
PyObject* finish(Ref column, Ref failed, const Report& report,
                 std::size_t total, const Call& call) noexcept
{
    if (report.noMemory || (report.count && call.options.raise)) {
        raiseFailures(report, total, call);
        return nullptr;
    }
    finishColumn(column.get(), call.unit, std::move(failed), report.count);
    return column.release();
}

// A column of `n` items and its failure bitmap; false with the exception
// set.
bool newOutput(std::size_t n, Ref& column, Ref& failed) noexcept
{
    column = newColumn(static_cast<Py_ssize_t>(n));
    failed = column ? newBitmap(n) : Ref();
    return static_cast<bool>(failed);
}

// Converts the `n` texts of `source` into `out` and adds their failures
// to `report` (at `out.offset` on). False with the exception set (Ctrl-C);
// `itemAt(i)` is the object a failing text i came from (new reference), or
// an empty Ref.
template <class Source, class ItemAt>
bool run(const Source& source, std::size_t n, const Output& out,
         Report& report, const Call& call, ItemAt itemAt) noexcept
{
    Failures found;
    if (!convertAll(source, n, call.format, call.options, out, found)) {
        return false;
    }
    Scratch buffer;
    for (std::size_t k = 0; k < found.kept; ++k) {
        const std::size_t i = found.position[k];
        Ref item = itemAt(i);
        PyErr_Clear();  // no object to show: the bytes are shown instead
        report.add(out.offset + i, found.why[k], source.get(i, buffer),
                   std::move(item), call.messageAt(out.offset + i));
    }
    report.count += found.count - found.kept;
    return true;
}

constexpr auto noItem = [](std::size_t) { return Ref(); };

// A column of `n` elements that are all missing: every one a failure,
// shown by its item of `texts`.
PyObject* missingColumn(PyObject* texts, std::size_t n,
                        const Call& call) noexcept
{
    Ref column, failed;
    if (!newOutput(n, column, failed)) {
        return nullptr;
    }
    std::fill_n(columnData(column.get()), n, call.options.fill);
    std::memset(bytesData(failed.get()), 0xFF, bits::bytesFor(n));
    Report report;
    for (std::size_t i = 0; i < std::min(n, Failures::shown); ++i) {
        Ref item =
            Ref::steal(PySequence_GetItem(texts, static_cast<Py_ssize_t>(i)));
        report.add(i, Failure::missing, {nullptr, 0, Failure::missing},
                   std::move(item));
    }
    report.count = n;
    return finish(std::move(column), std::move(failed), report, n, call);
}

// ---------------------------------------------------------------------------
// Elements that are interpreter objects.

// An exact, compact ASCII str is its own UTF-8 form.
inline TextRef asciiText(PyObject* s) noexcept
{
    return {static_cast<const char*>(PyUnicode_DATA(s)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)), Failure::none};
}

// Bytes that stay where they are until `clear`: the UTF-8 copies of the
// texts of one batch, in blocks of their own.
class TextArena {
public:
    // Room for `n` bytes; throws std::bad_alloc.
    char* take(std::size_t n)
    {
        if (n > left_) {
            const std::size_t size = std::max(blockSize, n);
            std::unique_ptr<char[]> block(new char[size]);
            blocks_.push_back(std::move(block));
            next_ = blocks_.back().get();
            left_ = size;
            if (blocks_.size() == 1) {
                firstSize_ = size;
            }
        }
        char* p = next_;
        next_ += n;
        left_ -= n;
        return p;
    }

    // The last `n` bytes of the last `take`, unused after all.
    void giveBack(std::size_t n) noexcept
    {
        next_ -= n;
        left_ += n;
    }

    // Everything given back; the first block is kept for the next texts.
    void clear() noexcept
    {
        if (blocks_.empty()) {
            return;
        }
        blocks_.resize(1);
        next_ = blocks_[0].get();
        left_ = firstSize_;
    }

private:
    static constexpr std::size_t blockSize = std::size_t{1} << 16;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
    std::size_t firstSize_ = 0;
};

template <class Char>
TextRef utf8Of(const Char* s, std::size_t n, TextArena& arena)
{
    // At most 2 bytes for a code point below U+0100, 3 below U+10000.
    const std::size_t most = n * (sizeof(Char) == 1   ? 2
                                  : sizeof(Char) == 2 ? 3
                                                      : 4);
    char* const begin = arena.take(most + 1);  // never null, even for ""
    char* end = begin;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = s[i];
        if (c < 0x80) {
            *end++ = static_cast<char>(c);
        } else if (utf8Length(c) != 0) {
            end = putUtf8(end, c);
        } else {
            arena.giveBack(most + 1);
            return {nullptr, 0, Failure::notText};
        }
    }
    const auto size = static_cast<std::size_t>(end - begin);
    arena.giveBack(most - size);  // the extra byte stays: no empty range
    return {begin, size, Failure::none};
}

// The UTF-8 form of a ready str, copied into `arena` (which may throw
// std::bad_alloc), as its strict `encode()` gives it: a lone surrogate has
// none. The str is left as it was (the interpreter's own encoder would
// keep a copy on it for the rest of its life).
TextRef utf8Text(PyObject* s, TextArena& arena)
{
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return utf8Of(PyUnicode_1BYTE_DATA(s), n, arena);
        case PyUnicode_2BYTE_KIND:
            return utf8Of(PyUnicode_2BYTE_DATA(s), n, arena);
        default:
            return utf8Of(PyUnicode_4BYTE_DATA(s), n, arena);
    }
}

// One element of a column of objects: the object, or (when it has none)
// a failure known without one.
struct Element {
    Ref object;
    Failure failure = Failure::none;
};

// Reads element `e` at `position` into `text`: an exact str as its UTF-8
// bytes, a missing value as that failure. A str that date2intWrapper may
// read otherwise (a subclass, or any str while `everyTextScalar`) goes
// through date2intWrapper now: its value is written to `out` (and `text`
// is `writtenText`), or `text` holds its failure. False with the
// exception set: TypeError for anything else.
bool readElement(const Element& e, std::size_t position, Call& call,
                 TextRef& text, std::int64_t& out, TextArena& arena)
{
    PyObject* item = e.object.get();
    if (!item) {
        text = {nullptr, 0, e.failure};
        return true;
    }
    if (PyUnicode_CheckExact(item) && !call.everyTextScalar) {
        if (PyUnicode_IS_COMPACT_ASCII(item)) {
            text = asciiText(item);
            return true;
        }
#if VB_STR_NEEDS_READY
        if (PyUnicode_READY(item) < 0) {
            return false;
        }
#endif
        text = utf8Text(item, arena);
        return true;
    }
    if (PyUnicode_Check(item)) {
        Failure why = Failure::none;
        switch (call.scalar(item, position, out, why)) {
            case ScalarResult::value:
                text = writtenText;
                return true;
            case ScalarResult::failure:
                text = {nullptr, 0, why};
                return true;
            case ScalarResult::error:
                break;
        }
        return false;
    }
    const int missing = call.missing.test(item);
    if (missing != 0) {
        text = {nullptr, 0, Failure::missing};
        return missing > 0;
    }
    PyErr_Format(PyExc_TypeError,
                 "date2int() texts must hold str (or None for a missing "
                 "value), not %.200s at position %zu",
                 Py_TYPE(item)->tp_name, position);
    return false;
}

// Strong references (or nulls) for as long as a batch is converted.
class HeldObjects {
public:
    HeldObjects() = default;
    HeldObjects(const HeldObjects&) = delete;
    HeldObjects& operator=(const HeldObjects&) = delete;
    ~HeldObjects() { clear(); }

    // Takes over a reference; throws std::bad_alloc (`o` then keeps it).
    void push(Ref o)
    {
        objects_.push_back(o.get());
        o.release();
    }

    PyObject* at(std::size_t i) const noexcept { return objects_[i]; }

    void reserve(std::size_t n) { objects_.reserve(n); }

    void clear() noexcept
    {
        for (PyObject* o : objects_) {
            Py_XDECREF(o);
        }
        objects_.clear();
    }

private:
    std::vector<PyObject*> objects_;
};

// Pages of the system's own, given back as soon as they are released:
// the allocator would keep a freed block for later, resident.
class PageBlock {
public:
    explicit PageBlock(std::size_t bytes) noexcept : bytes_(bytes)
    {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<std::int64_t*>(p);
    }
    PageBlock(PageBlock&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)),
          bytes_(o.bytes_),
          used_(o.used_)
    {
    }
    PageBlock(const PageBlock&) = delete;
    PageBlock& operator=(const PageBlock&) = delete;
    PageBlock& operator=(PageBlock&&) = delete;
    ~PageBlock() { release(); }

    std::int64_t* data() const noexcept { return data_; }

    // Values written at data().
    std::size_t used() const noexcept { return used_; }
    void setUsed(std::size_t n) noexcept { used_ = n; }

    void release() noexcept
    {
        if (data_) {
            munmap(data_, bytes_);
            data_ = nullptr;
        }
    }

private:
    std::int64_t* data_;
    std::size_t bytes_;
    std::size_t used_ = 0;
};

// The values of a column of objects, and their failure bits: written
// straight into the column when its length is known; else the values
// into blocks of pages, copied into the column at the end and given back
// one by one, so that no more than one block is resident beside the
// column, and the bits (a 64th of the values) into one growing bitmap.
class ColumnOutput {
public:
    static constexpr std::size_t unknownLength = SIZE_MAX;

    // False with MemoryError set.
    bool start(std::size_t length) noexcept
    {
        length_ = length;
        return length == unknownLength || newOutput(length, column_, failed_);
    }

    // Where the next batch goes (its `offset` is its position in the
    // column), with room for `room` elements (0 once a known length is
    // reached); false with MemoryError set.
    bool next(Output& out, std::size_t& room) noexcept
    {
        if (length_ != unknownLength) {
            room = std::min(gatherBatch, length_ - written_);
            out = {columnData(column_.get()) + written_,
                   bytesData(failed_.get()), written_};
            return true;
        }
        // Every block before this one is full: the batch starts at a
        // multiple of gatherBatch, on a byte of the bitmap.
        room = gatherBatch;
        try {
            blocks_.emplace_back(gatherBatch * sizeof(std::int64_t));
            blockBits_.resize(bits::bytesFor(written_ + gatherBatch));
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        if (!blocks_.back().data()) {
            blocks_.pop_back();
            PyErr_NoMemory();
            return false;
        }
        out = {blocks_.back().data(), blockBits_.data(), written_};
        return true;
    }

    // The batch given by `next` wrote `n` values.
    void commit(std::size_t n) noexcept
    {
        written_ += n;
        if (!blocks_.empty()) {
            blocks_.back().setUsed(n);
        }
    }

    // The column of every value written, and its failure bitmap; false
    // with the exception set.
    bool finish(Ref& column, Ref& failed) noexcept
    {
        if (length_ == unknownLength) {
            if (!newOutput(written_, column_, failed_)) {
                return false;
            }
            std::int64_t* out = columnData(column_.get());
            for (PageBlock& b : blocks_) {
                std::memcpy(out, b.data(), b.used() * sizeof(std::int64_t));
                out += b.used();
                b.release();
            }
            if (written_ != 0) {
                std::memcpy(bytesData(failed_.get()), blockBits_.data(),
                            bits::bytesFor(written_));
            }
        } else {
            // A list shortened meanwhile ends the column there.
            asColumn(column_.get())->size = static_cast<Py_ssize_t>(written_);
        }
        column = std::move(column_);
        failed = std::move(failed_);
        return true;
    }

private:
    std::size_t length_ = 0;
    std::size_t written_ = 0;
    Ref column_, failed_;
    std::vector<PageBlock> blocks_;
    std::vector<std::uint8_t> blockBits_;
};

// Sources of elements for `fromObjects`: `next(e)` gives 1 with an
// element, 0 at the end, -1 with the exception set.

// The items of an exact list or tuple, where they lie. A list that
// interpreter code (a signal handler, a str subclass's methods) shortens
// meanwhile ends there; items it adds are not read.
class SequenceItems {
public:
    explicit SequenceItems(PyObject* sequence) noexcept
        : sequence_(sequence), length_(PySequence_Fast_GET_SIZE(sequence))
    {
    }

    std::size_t length() const noexcept
    {
        return static_cast<std::size_t>(length_);
    }

    // The object whose lock a batch is gathered under: the sequence.
    PyObject* lockable() const noexcept { return sequence_; }

    int next(Element& e) noexcept
    {
        if (i_ >= length_ || i_ >= PySequence_Fast_GET_SIZE(sequence_)) {
            return 0;
        }
        e.object = Ref::incref(PySequence_Fast_GET_ITEM(sequence_, i_++));
        return 1;
    }

private:
    PyObject* sequence_;  // borrowed from the call's arguments
    Py_ssize_t length_;
    Py_ssize_t i_ = 0;
};

class IteratorItems {
public:
    explicit IteratorItems(Ref iterator) noexcept
        : iterator_(std::move(iterator))
    {
    }

    PyObject* lockable() const noexcept { return nullptr; }

    int next(Element& e) noexcept
    {
        e.object = Ref::steal(PyIter_Next(iterator_.get()));
        return e.object ? 1 : PyErr_Occurred() ? -1 : 0;
    }

private:
    Ref iterator_;
};

// The elements of Arrow string arrays as str objects (a null as None).
class ArrowItems {
public:
    explicit ArrowItems(const std::vector<ArrowStrings>& chunks) noexcept
        : chunks_(chunks)
    {
    }

    PyObject* lockable() const noexcept { return nullptr; }

    int next(Element& e) noexcept
    {
        while (chunk_ < chunks_.size() && i_ == chunks_[chunk_].length()) {
            ++chunk_;
            i_ = 0;
        }
        if (chunk_ == chunks_.size()) {
            return 0;
        }
        const char* data;
        std::size_t size;
        if (!chunks_[chunk_].get(i_++, data, size)) {
            e.object = Ref::incref(Py_None);
            return 1;
        }
        // Bytes that are not UTF-8 (which Arrow strings must not hold)
        // become lone surrogates, which no str encodes: not text.
        e.object = Ref::steal(PyUnicode_DecodeUTF8(
            data, static_cast<Py_ssize_t>(size), "surrogateescape"));
        return e.object ? 1 : -1;
    }

private:
    const std::vector<ArrowStrings>& chunks_;
    std::size_t chunk_ = 0;
    std::size_t i_ = 0;
};

// The elements of a numpy unicode array as str objects.
class Ucs4Items {
public:
    Ucs4Items(const Ucs4Source& source, std::size_t n) noexcept
        : source_(source), n_(n)
    {
    }

    PyObject* lockable() const noexcept { return nullptr; }

    int next(Element& e) noexcept
    {
        if (i_ == n_) {
            return 0;
        }
        e.object = source_.item(i_++);
        if (!e.object) {
            if (PyErr_Occurred()) {
                return -1;
            }
            e.failure = Failure::notText;  // beyond U+10FFFF
        }
        return 1;
    }

private:
    const Ucs4Source& source_;
    std::size_t n_;
    std::size_t i_ = 0;
};

// The elements of `items`, `length` of them (or unknownLength): gathered a
// batch at a time with the interpreter lock held (where those that go
// through date2intWrapper are converted), then converted by the threads
// without it.
template <class Items>
PyObject* fromObjects(Items& items, std::size_t length, Call& call)
{
    ColumnOutput output;
    if (!output.start(length)) {
        return nullptr;
    }
    std::vector<TextRef> texts;
    HeldObjects held;
    TextArena arena;
    texts.reserve(std::min(length, gatherBatch));
    held.reserve(std::min(length, gatherBatch));
    InterruptPoll poll;
    Report report;
    std::size_t done = 0;
    for (bool more = true; more && !report.noMemory;) {
        Output out;
        std::size_t room;
        if (!output.next(out, room)) {
            return nullptr;
        }
        texts.clear();
        held.clear();
        arena.clear();
        more = room > 0;
        // A list's batch is gathered under its lock, as one state of it
        // (under the GIL no other thread runs meanwhile either).
        std::optional<CriticalSection> lock;
        if (PyObject* o = items.lockable()) {
            lock.emplace(o);
        }
        while (texts.size() < room) {
            Element e;
            const int got = items.next(e);
            if (got <= 0) {
                if (got < 0) {
                    return nullptr;
                }
                more = false;
                break;
            }
            const std::size_t i = texts.size();
            TextRef text;
            if (!readElement(e, done + i, call, text, out.values[i], arena)) {
                return nullptr;
            }
            texts.push_back(text);
            held.push(std::move(e.object));
            if (!poll.tick(1)) {
                return nullptr;
            }
        }
        lock.reset();
        const std::size_t n = texts.size();
        if (!run(GatheredSource{texts}, n, out, report, call,
                 [&](std::size_t i) { return Ref::incref(held.at(i)); })) {
            return nullptr;
        }
        output.commit(n);
        done += n;
    }
    Ref column, failed;
    if (!output.finish(column, failed)) {
        return nullptr;
    }
    return finish(std::move(column), std::move(failed), report, done, call);
}

// An exact list or tuple in this thread, with the interpreter lock held:
// each item is read where it lies, nothing is gathered. Interpreter code
// may run between two reads (the signal handlers of the Ctrl-C poll, a
// str subclass's methods), so the length is read again at each step, and
// an item that is not read in place is held while it is read.  Without
// the GIL the list's own lock is held instead, let go only where the GIL
// would let other threads run too (see CriticalSection).
PyObject* fromSequence(PyObject* texts, Call& call)
{
    CriticalSection lock(texts);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(texts);
    Ref column, failed;
    if (!newOutput(static_cast<std::size_t>(n), column, failed)) {
        return nullptr;
    }
    std::int64_t* out = columnData(column.get());
    std::uint8_t* failedBits = bytesData(failed.get());
    TextArena utf8;  // the copy of one text at a time
    Scratch scratch;
    InterruptPoll poll;
    Report report;
    Py_ssize_t i = 0;
    for (; i < n && i < PySequence_Fast_GET_SIZE(texts); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(texts, i);  // borrowed
        const auto position = static_cast<std::size_t>(i);
        Element held;
        TextRef text;
        if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item) &&
            !call.everyTextScalar) {
            text = asciiText(item);  // the common case, without a call
        } else {
            held.object = Ref::incref(item);
            utf8.clear();
            if (!readElement(held, position, call, text, out[i], utf8)) {
                return nullptr;
            }
        }
        const Failure why = isWritten(text)
                                ? Failure::none
                                : call.format.convert(text, out[i], scratch);
        if (why != Failure::none) {
            out[i] = call.options.fill;
            bits::set(failedBits, position);
            report.add(
                position, why, text,
                held.object ? std::move(held.object) : Ref::incref(item),
                call.messageAt(position));
            if (why == Failure::noMemory) {
                break;
            }
        }
        if (!poll.tick(1)) {
            return nullptr;
        }
    }
    // A signal handler that shortened the list ends the column there.
    asColumn(column.get())->size = i;
    return finish(std::move(column), std::move(failed), report,
                  static_cast<std::size_t>(i), call);
}

// Texts that are Arrow strings: one array, or a stream of them.
PyObject* fromArrow(const ArrowColumn& arrow, Call& call)
{
    if (call.everyTextScalar) {
        ArrowItems items(arrow.chunks());
        return fromObjects(items, arrow.length(), call);
    }
    Ref column, failed;
    if (!newOutput(arrow.length(), column, failed)) {
        return nullptr;
    }
    Report report;
    std::size_t done = 0;
    for (const ArrowStrings& chunk : arrow.chunks()) {
        const Output out{columnData(column.get()) + done,
                         bytesData(failed.get()), done};
        if (!run(ArrowSource{chunk}, chunk.length(), out, report, call,
                 noItem)) {
            return nullptr;
        }
        done += chunk.length();
        if (report.noMemory) {
            break;
        }
    }
    return finish(std::move(column), std::move(failed), report, done, call);
}

// A 1-D buffer of UCS4 strings ("<N>w"): its width in code points, and
// whether its byte order is not the machine's.
bool isUcs4Buffer(const Py_buffer& view, std::size_t& width,
                  bool& swapped) noexcept
{
    const char* f = view.format;
    if (!f || view.ndim != 1 || !view.shape || !view.strides) {
        return false;
    }
    swapped = takeByteOrder(f).swapped;
    std::size_t n = 0;
    bool digits = false;
    while (*f >= '0' && *f <= '9') {
        n = n * 10 + static_cast<std::size_t>(*f++ - '0');
        digits = true;
        if (n > (std::size_t{1} << 40)) {
            return false;
        }
    }
    if (!digits) {
        n = 1;
    }
    if (f[0] != 'w' || f[1] != '\0' ||
        static_cast<std::size_t>(view.itemsize) != 4 * n) {
        return false;
    }
    width = n;
    return true;
}

// The bytes of one float of a 1-D buffer of floats in the machine's order
// ("e", "f", "d", "g"); 0 for any other buffer.
std::size_t floatBytesOf(const Py_buffer& view) noexcept
{
    const char* f = view.format;
    if (!f || view.ndim != 1 || !view.shape || !view.strides) {
        return 0;
    }
    const ByteOrder order = takeByteOrder(f);
    if (order.swapped || f[0] == '\0' || f[1] != '\0') {
        return 0;
    }
    const bool standard = order.standardSizes;  // none for "g"
    const std::size_t size = f[0] == 'e'                ? 2
                             : f[0] == 'f'              ? 4
                             : f[0] == 'd'              ? 8
                             : f[0] == 'g' && !standard ? sizeof(long double)
                                                        : 0;
    return size == static_cast<std::size_t>(view.itemsize) ? size : 0;
}

// A buffer export, released with this object.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer()
    {
        if (held_) {
            releaseBuffer(&view);
        }
    }

    // False, with no exception left, when `o` exports no such buffer.
    bool get(PyObject* o, int flags) noexcept
    {
        held_ = getBuffer(o, &view, flags) == 0;
        if (!held_) {
            PyErr_Clear();
        }
        return held_;
    }

    Py_buffer view{};

private:
    bool held_ = false;
};

// An exact numpy.ndarray of one dimension, read in place: unicode
// elements converted, and float elements that are all NaN a column of
// missing values. False without an exception for anything else; a
// subclass, which may give its items otherwise, is iterated.
bool fromNumpy(PyObject* texts, Call& call, PyObject*& result)
{
    if (!isModuleType(Py_TYPE(texts), "numpy", "ndarray")) {
        return false;
    }
    HeldBuffer buffer;
    if (!buffer.get(texts, PyBUF_STRIDES | PyBUF_FORMAT)) {
        return false;
    }
    const Py_buffer& view = buffer.view;
    std::size_t width;
    bool swapped;
    if (isUcs4Buffer(view, width, swapped)) {
        const auto n = static_cast<std::size_t>(view.shape[0]);
        const Ucs4Source source{static_cast<const char*>(view.buf),
                                view.strides[0], width, swapped};
        if (call.everyTextScalar) {
            Ucs4Items items(source, n);
            result = fromObjects(items, n, call);
            return true;
        }
        Ref column, failed;
        Report report;
        if (newOutput(n, column, failed) &&
            run(source, n,
                Output{columnData(column.get()), bytesData(failed.get()), 0},
                report, call, [&](std::size_t i) { return source.item(i); })) {
            result =
                finish(std::move(column), std::move(failed), report, n, call);
        }
        return true;
    }
    const std::size_t bytes = floatBytesOf(view);
    if (bytes == 0) {
        return false;
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const char* data = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) {
        if (!floatIsNaN(data + static_cast<Py_ssize_t>(i) * view.strides[0],
                        bytes)) {
            return false;  // a number: iterated, which names it
        }
    }
    result = missingColumn(texts, n, call);
    return true;
}

PyObject* date2int(PyObject* texts, Call& call)
{
    ArrowColumn arrow;
    switch (arrow.import(texts)) {
        case ArrowImport::done:
            return fromArrow(arrow, call);
        case ArrowImport::failed:
            return nullptr;
        case ArrowImport::notArrow:
            break;
    }
    if (PyUnicode_Check(texts) || PyBytes_Check(texts) ||
        PyByteArray_Check(texts)) {
        // One text, not a column: iterating it would read characters.
        PyErr_Format(PyExc_TypeError,
                     "date2int() texts must be a column of texts (a list, an "
                     "Arrow or numpy array, ...), not %.200s",
                     Py_TYPE(texts)->tp_name);
        return nullptr;
    }
    PyObject* result = nullptr;
    if (fromNumpy(texts, call, result)) {
        return result;
    }
    if (PyList_CheckExact(texts) || PyTuple_CheckExact(texts)) {
        if (call.options.threads == 1) {
            return fromSequence(texts, call);
        }
        SequenceItems items(texts);
        return fromObjects(items, items.length(), call);
    }
    Ref iterator = Ref::steal(PyObject_GetIter(texts));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "date2int() texts must be an iterable of str, an "
                         "Arrow string array or a numpy unicode array, not "
                         "%.200s",
                         Py_TYPE(texts)->tp_name);
        }
        return nullptr;
    }
    IteratorItems items(std::move(iterator));
    return fromObjects(items, ColumnOutput::unknownLength, call);
}

// ---------------------------------------------------------------------------
// Arguments.

// An integer argument: an int, or one through __index__ (numpy's
// integers); a float is refused, not truncated.
struct IntegerArgument {
    Ref integer;
    long long value = 0;  // when `overflow` is 0
    int overflow = 0;     // -1 below, 1 above the range of long long

    // False with the exception set: TypeError "<refusal>, not <type>"
    // for an object that is no integer.
    bool read(PyObject* o, const char* refusal) noexcept
    {
        if (PyLong_Check(o)) {
            integer = Ref::incref(o);
        } else if (PyIndex_Check(o)) {
            integer = Ref::steal(PyNumber_Index(o));
        } else {
            PyErr_Format(PyExc_TypeError, "%s, not %.200s", refusal,
                         Py_TYPE(o)->tp_name);
        }
        if (!integer) {
            return false;
        }
        value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
        return !(value == -1 && PyErr_Occurred());
    }
};

constexpr const char* fillRange =
    "date2int() fill must be None or an integer from -9223372036854775808 "
    "to 9223372036854775807";

// fill: None (the int64 minimum, numpy's NaT) or an integer of int64.
bool fillValue(PyObject* value, std::int64_t& out) noexcept
{
    if (!value || value == Py_None) {
        out = INT64_MIN;
        return true;
    }
    IntegerArgument n;
    if (!n.read(value, fillRange)) {
        return false;
    }
    if (n.overflow != 0) {
        // The repr of an int of thousands of digits may be refused.
        Ref shown = Ref::steal(PyObject_Repr(n.integer.get()));
        if (shown) {
            PyErr_Format(PyExc_OverflowError, "%s, not %U", fillRange,
                         shown.get());
        } else {
            PyErr_Clear();
            PyErr_SetString(PyExc_OverflowError, fillRange);
        }
        return false;
    }
    out = n.value;
    return true;
}

// threads=None: the machine's cores for large columns, 1 for small ones
// and for lists and tuples, which one thread reads in place as fast as
// several convert them once their texts are gathered.
bool threadCount(PyObject* value, PyObject* texts, std::size_t n,
                 std::size_t& out) noexcept
{
    if (!value || value == Py_None) {
        const unsigned cores = std::thread::hardware_concurrency();
        const bool sequence =
            PyList_CheckExact(texts) || PyTuple_CheckExact(texts);
        out = (!sequence && n >= defaultThreadsFrom && cores > 1)
                  ? std::min<std::size_t>(cores, maxDefaultThreads)
                  : 1;
        return true;
    }
    IntegerArgument count;
    if (!count.read(value,
                    "date2int() threads must be None or an integer "
                    "of at least 1")) {
        return false;
    }
    if (count.overflow < 0 || (count.overflow == 0 && count.value < 1)) {
        PyErr_Format(PyExc_ValueError,
                     "date2int() threads must be None or at least 1, not %R",
                     count.integer.get());
        return false;
    }
    out = count.overflow > 0 ? maxThreads
                             : static_cast<std::size_t>(std::min<long long>(
                                   count.value, maxThreads));
    return true;
}

// The format's text: a str's UTF-8 form, or the bytes of a bytes or
// bytearray; bytes after a NUL are not seen either way. False with the
// exception set.
bool formatText(PyObject* fmt, ByteString& bytes, const char*& text) noexcept
{
    if (PyUnicode_Check(fmt)) {
        text = PyUnicode_AsUTF8(fmt);  // kept by the str, which the call holds
        if (!text && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError,
                         "date2int() format %R is not encodable as UTF-8",
                         fmt);
        }
        return text != nullptr;
    }
    if (!PyBytes_Check(fmt) && !PyByteArray_Check(fmt)) {
        PyErr_Format(PyExc_TypeError,
                     "date2int() fmt must be str, bytes or bytearray, not "
                     "%.200s",
                     Py_TYPE(fmt)->tp_name);
        return false;
    }
    if (!bytes.set(fmt)) {
        return false;
    }
    text = bytes.c_str();
    return true;
}

// The C++ runtime allocates a thread's exception state when the thread
// first throws, and when that allocation fails the C library ends the
// process. A call that runs short of memory throws std::bad_alloc on its
// way to MemoryError: the state is made first, while memory is there.
void readyToThrow() noexcept
{
    void* volatile state = abi::__cxa_get_globals();
    static_cast<void>(state);
}

PyObject* py_date2int(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept
{
    readyToThrow();
    TracebackOnError scope(date2intFn);
    Ref values[7];
    ByteString fmtBytes;
    const char* fmt = nullptr;
    int skipTz = 0;
    if (!moduleReady() || !date2intFn.bind(args, nargs, kwnames, values)) {
        return nullptr;
    }
    // None, the default of both, stands for "not given".
    PyObject* fmtArg = values[1].get() != Py_None ? values[1].get() : nullptr;
    PyObject* formatArg =
        values[6].get() != Py_None ? values[6].get() : nullptr;
    if (fmtArg && formatArg) {
        PyErr_SetString(PyExc_TypeError,
                        "date2int() takes fmt or format, not both");
        return nullptr;
    }
    PyObject* fmtObject = fmtArg ? fmtArg : formatArg;
    if (!fmtObject) {
        PyErr_SetString(PyExc_TypeError,
                        "date2int() missing 1 required positional argument: "
                        "'fmt'");
        return nullptr;
    }
    if (!formatText(fmtObject, fmtBytes, fmt) ||
        (values[2] && (skipTz = PyObject_IsTrue(values[2].get())) < 0)) {
        return nullptr;
    }
    bool raise = true;
    if (PyObject* errors = values[3].get()) {
        if (PyUnicode_Check(errors) &&
            PyUnicode_CompareWithASCIIString(errors, "coerce") == 0) {
            raise = false;
        } else if (!PyUnicode_Check(errors) ||
                   PyUnicode_CompareWithASCIIString(errors, "raise") != 0) {
            PyErr_Format(PyExc_ValueError,
                         "date2int() errors must be 'raise' or 'coerce', "
                         "not %R",
                         errors);
            return nullptr;
        }
    }
    std::int64_t fill;
    if (!fillValue(values[4].get(), fill)) {
        return nullptr;
    }
    Py_ssize_t hint = PyObject_LengthHint(values[0].get(), 0);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    std::size_t threads;
    if (!threadCount(values[5].get(), values[0].get(),
                     static_cast<std::size_t>(hint), threads)) {
        return nullptr;
    }
    PyObject* result = nullptr;
    guarded(
        [&] {
            Call call(fmt, fmtObject, skipTz != 0,
                      Options{raise, fill, threads});
            if (!call.prepare()) {
                return false;
            }
            result = date2int(values[0].get(), call);
            return result != nullptr;
        },
        OnBadAlloc::memoryError);
    return result;
}

PyMethodDef methods[] = {
    {date2intFn.name, method(&py_date2int), METH_FASTCALL | METH_KEYWORDS,
     "date2int($module, /, texts, fmt=None, *, skip_tz=False, "
     "errors='raise', fill=None, threads=None, format=None)\n--\n\n"
     "Convert a column of date texts to an Int64Column of integers.\n\n"
     "Each element becomes what date2intWrapper(text, fmt, skip_tz) "
     "gives: epoch\nseconds, epoch milliseconds or a day ordinal, as the "
     "format chooses (the\ncolumn's unit: 's', 'ms' or 'ordinal').\n\n"
     "Parameters\n----------\n"
     "texts\n"
     "    A list, tuple or other iterable of str (None, NaN, NaT or "
     "pandas.NA is\n    a missing value), a numpy unicode array, or an "
     "Arrow string array or\n    stream (pyarrow, polars, pandas: anything "
     "with __arrow_c_array__ or\n    __arrow_c_stream__), read in place.\n"
     "fmt, format\n"
     "    The format, str (UTF-8) or bytes; give one of the two.\n"
     "skip_tz\n"
     "    True keeps a trailing zone suffix such as ' +0100', which is "
     "otherwise\n    removed when the format reads minutes.\n"
     "errors\n"
     "    'raise' (the default) raises ValueError naming the first "
     "failure, how\n    many elements failed and where the next few are; "
     "'coerce' makes failed\n    and missing elements nulls.\n"
     "fill\n"
     "    The integer a null element holds; None (the default) is the "
     "int64\n    minimum, which numpy reads as NaT.\n"
     "threads\n"
     "    How many threads convert (None: the machine's cores for large "
     "Arrow\n    and numpy columns, one for lists and tuples, which one "
     "thread reads in\n    place); the result never depends on it.\n\n"
     "Returns\n-------\n"
     "Int64Column\n"
     "    The integers, with the nulls and the unit. to_numpy(), "
     "to_arrow(),\n    to_pandas() and to_polars() convert it, with "
     "datetime=True to dates\n    and times.\n\n"
     "Examples\n--------\n"
     ">>> c = date2int(['2021-03-04', 'soon'], '%Y-%m-%d', "
     "errors='coerce')\n"
     ">>> c\n"
     "Int64Column([737853, None], length=2, unit='ordinal', "
     "null_count=1)\n"
     ">>> c.to_numpy(datetime=True)  # doctest: +SKIP\n"
     "array(['2021-03-04', 'NaT'], dtype='datetime64[D]')"},
    {nullptr, nullptr, 0, nullptr},
};

bool init(PyObject* module) noexcept
{
    return readyColumnType(module);
}

}  // namespace
}  // namespace vb

VB_MODULE(columns, "velbrook.columns", methods, init)
