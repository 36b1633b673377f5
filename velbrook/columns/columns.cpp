// velbrook.columns: whole columns of date text to integers.
//
// Each element gets exactly what the date module's date2intWrapper gives
// the same str (the rule lives in "date_column.h" over the date module's
// own parser); this file finds the texts of a column (Arrow arrays through
// the Arrow PyCapsule interface, numpy unicode arrays, any iterable of
// str), runs the conversion over them, in several threads where their
// memory cannot move, and returns an `Int64Column`.
#include "../_shared/python.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../_shared/convert.h"
#include "../_shared/errors.h"
#include "../_shared/frame.h"
#include "../_shared/function.h"
#include "../_shared/interrupts.h"
#include "../_shared/ref.h"
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
// Sources: the i-th text of a column. `get` may use `buffer` for a text it
// has to re-encode; the returned bytes live until the next call with it.

// Texts gathered from interpreter objects (held by the caller) while the
// interpreter lock was held.
struct GatheredSource {
    const std::vector<TextRef>& texts;
    TextRef get(std::size_t i, std::string&) const noexcept
    {
        return texts[i];
    }
};

// A 1-D buffer of fixed-width UCS4 strings (numpy's unicode arrays), read
// in place; trailing NULs are padding, as numpy reads them.
struct Ucs4Source {
    const char* base;
    Py_ssize_t stride;
    std::size_t width;  // code points per element

    const char* itemAt(std::size_t i) const noexcept
    {
        return base + static_cast<Py_ssize_t>(i) * stride;
    }

    static std::uint32_t codePoint(const char* item, std::size_t k) noexcept
    {
        std::uint32_t c;
        std::memcpy(&c, item + 4 * k, 4);  // the buffer may be unaligned
        return c;
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

    // Element i as a str (new reference; lone surrogates kept), or an
    // empty Ref with the exception set.
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
        }
        return Ref::steal(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, copy.data(),
                                      static_cast<Py_ssize_t>(copy.size())));
    }

    TextRef get(std::size_t i, std::string& buffer) const noexcept
    {
        const char* item = itemAt(i);
        const std::size_t n = lengthOf(item);
        auto at = [&](std::size_t k) { return codePoint(item, k); };
        buffer.clear();
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t c = at(k);
            if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
                return {nullptr, 0, Failure::notText};
            }
            if (c < 0x80) {
                buffer.push_back(static_cast<char>(c));
            } else if (c < 0x800) {
                buffer.push_back(static_cast<char>(0xC0 | (c >> 6)));
                buffer.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else if (c < 0x10000) {
                buffer.push_back(static_cast<char>(0xE0 | (c >> 12)));
                buffer.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                buffer.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            } else {
                buffer.push_back(static_cast<char>(0xF0 | (c >> 18)));
                buffer.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
                buffer.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
                buffer.push_back(static_cast<char>(0x80 | (c & 0x3F)));
            }
        }
        return {buffer.data(), buffer.size(), Failure::none};
    }
};

struct ArrowSource {
    const ArrowStrings& strings;
    TextRef get(std::size_t i, std::string&) const noexcept
    {
        const char* data;
        std::size_t size;
        if (!strings.get(i, data, size)) {
            return {nullptr, 0, Failure::missing};
        }
        return {data, size, Failure::none};
    }
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
    std::size_t threads;
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
    std::string buffer, scratch;
    for (std::size_t i = begin; i < end; ++i) {
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

// Elements per thread between two looks for Ctrl-C.
constexpr std::size_t batchPerThread = std::size_t{1} << 16;

// Where thread t's share of a batch starts when shares are `step` long:
// on a multiple of 64 elements of the whole column (at `offset` + i), so
// that no two threads write one byte of the failure bitmap.
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
        std::vector<Failures> shares;
        {
            WithoutInterpreterLock unlocked;
            const std::size_t parts = std::min(
                options.threads, (end - begin + batchPerThread / 16 - 1) /
                                     (batchPerThread / 16));
            try {
                shares.resize(parts);
                std::vector<std::thread> workers;
                const std::size_t step = (end - begin + parts - 1) / parts;
                auto at = [&](std::size_t t) {
                    return shareStart(begin, end, step, t, out.offset);
                };
                for (std::size_t t = 1; t < parts; ++t) {
                    const std::size_t b = at(t), e = at(t + 1);
                    workers.emplace_back([&, b, e, t] {
                        convertRange(source, format, options, b, e, out,
                                     shares[t]);
                    });
                }
                convertRange(source, format, options, begin, at(1), out,
                             shares[0]);
                for (std::thread& w : workers) {
                    w.join();
                }
            } catch (...) {
                // No memory or no thread: the rest in this thread alone,
                // which gives the same values (and marks the same bits).
                shares.assign(1, Failures());
                convertRange(source, format, options, begin, end, out,
                             shares[0]);
            }
        }
        for (const Failures& f : shares) {
            found.merge(f);
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
// Gathering texts from interpreter objects.

// pandas' missing-value marker, when pandas is loaded, held for the call.
Ref pandasNA() noexcept
{
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref pandas = dictItem(modules, "pandas");
    Ref na = pandas && PyModule_Check(pandas.get())
                 ? dictItem(PyModule_GetDict(pandas.get()), "NA")
                 : Ref();
    PyErr_Clear();  // no marker to compare with
    return na;
}

// Strong references for as long as the call runs.
class HeldObjects {
public:
    HeldObjects() = default;
    HeldObjects(const HeldObjects&) = delete;
    HeldObjects& operator=(const HeldObjects&) = delete;
    ~HeldObjects()
    {
        for (PyObject* o : objects_) {
            Py_DECREF(o);
        }
    }
    // Takes over a new reference.
    void push(Ref o)
    {
        objects_.push_back(o.get());
        o.release();
    }

    PyObject* at(std::size_t i) const noexcept { return objects_[i]; }

    void reserve(std::size_t n) { objects_.reserve(n); }

private:
    std::vector<PyObject*> objects_;
};

// An exact, compact ASCII str is its own UTF-8 form.
inline TextRef asciiText(PyObject* s) noexcept
{
    return {static_cast<const char*>(PyUnicode_DATA(s)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)), Failure::none};
}

// The text of one element: a str's UTF-8 bytes, or a failure for a
// missing value. False with TypeError set for anything else.
bool textOf(PyObject* item, std::size_t position, PyObject* na, TextRef& t)
{
    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) {
        t = asciiText(item);
        return true;
    }
    if (PyUnicode_Check(item)) {
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (!data) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                return false;
            }
            PyErr_Clear();
            t = {nullptr, 0, Failure::notText};
            return true;
        }
        t = {data, static_cast<std::size_t>(size), Failure::none};
        return true;
    }
    if (item == Py_None || (na && item == na) ||
        (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item)))) {
        t = {nullptr, 0, Failure::missing};
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "date2int() texts must hold str (or None for a missing "
                 "value), not %.200s at position %zu",
                 Py_TYPE(item)->tp_name, position);
    return false;
}

// Every item of `iterable` as a text, each item held in `held`. False with
// the exception set.
bool gather(PyObject* iterable, std::vector<TextRef>& texts, HeldObjects& held)
{
    const Ref naHeld = pandasNA();
    PyObject* na = naHeld.get();
    InterruptPoll poll;
    auto add = [&](Ref item) {
        TextRef t;
        if (!textOf(item.get(), texts.size(), na, t)) {
            return false;
        }
        texts.push_back(t);
        held.push(std::move(item));
        return poll.tick(1);
    };
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        CriticalSection lock(iterable);  // see fromSequence
        const auto n =
            static_cast<std::size_t>(PySequence_Fast_GET_SIZE(iterable));
        texts.reserve(n);
        held.reserve(n);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
            if (!add(Ref::incref(PySequence_Fast_GET_ITEM(iterable, i)))) {
                return false;
            }
        }
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "date2int() texts must be an iterable of str, an "
                         "Arrow string array or a numpy unicode array, not "
                         "%.200s",
                         Py_TYPE(iterable)->tp_name);
        }
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!add(std::move(item))) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// One call.

struct Call {
    Call(const char* fmt, PyObject* fmtObject, bool skipTz, Options options)
        : fmtText(fmt),
          fmtObject(fmtObject),
          format(fmtText.c_str(), skipTz),
          unit(unitOfFormat(fmtText.c_str())),
          options(options)
    {
    }

    // A copy: a bytearray format may change while the lock is released.
    const std::string fmtText;
    PyObject* const fmtObject;  // borrowed, for messages
    const ColumnFormat format;
    const ColumnUnit unit;  // what the integers count
    const Options options;
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
    bool noMemory = false;

    // `item` is the element's object, or empty to show `text`.
    void add(std::size_t at, Failure w, const TextRef& text, Ref item)
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
            ++kept;
        }
        ++count;
        noMemory = noMemory || w == Failure::noMemory;
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
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "date2int(): %s at position %zu: %R (format %R); %zu of %zu "
        "elements failed",
        failureText(report.why[0]), report.position[0], report.shown[0].get(),
        call.fmtObject, report.count, total));
    for (std::size_t k = 1; message && k < report.kept; ++k) {
        const char* lead = k > 1             ? ", "
                           : report.kept > 2 ? ", also at positions "
                                             : ", also at position ";
        message = Ref::steal(PyUnicode_FromFormat(
            "%U%s%zu: %R%s%s%s", message.get(), lead, report.position[k],
            report.shown[k].get(), report.why[k] == report.why[0] ? "" : " (",
            report.why[k] == report.why[0] ? "" : failureText(report.why[k]),
            report.why[k] == report.why[0] ? "" : ")"));
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
    std::string buffer;
    for (std::size_t k = 0; k < found.kept; ++k) {
        const std::size_t i = found.position[k];
        Ref item = itemAt(i);
        PyErr_Clear();  // no object to show: the bytes are shown instead
        report.add(out.offset + i, found.why[k], source.get(i, buffer),
                   std::move(item));
    }
    report.count += found.count - found.kept;
    return true;
}

constexpr auto noItem = [](std::size_t) { return Ref(); };

// Texts that are Arrow strings: one array, or a stream of them.
PyObject* fromArrow(const ArrowColumn& arrow, const Call& call) noexcept
{
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

// A 1-D buffer of native-order UCS4 strings ("<N>w"), or not.
bool isUcs4Buffer(const Py_buffer& view, std::size_t& width) noexcept
{
    const char* f = view.format;
    if (!f || view.ndim != 1) {
        return false;
    }
    if (*f == '=' || *f == '@' || (*f == '<' && PY_LITTLE_ENDIAN)) {
        ++f;
    }
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

// Texts in a numpy unicode array: read in place. notArrow-like: false
// without an exception when `texts` is no such buffer.
bool fromUcs4(PyObject* texts, const Call& call, PyObject*& result) noexcept
{
    if (!PyObject_CheckBuffer(texts) || PyBytes_Check(texts) ||
        PyByteArray_Check(texts)) {
        return false;
    }
    Py_buffer view;
    if (getBuffer(texts, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();  // no such export: iterate it instead
        return false;
    }
    std::size_t width;
    if (!isUcs4Buffer(view, width)) {
        releaseBuffer(&view);
        return false;
    }
    const std::size_t n = static_cast<std::size_t>(view.shape[0]);
    const Ucs4Source source{static_cast<const char*>(view.buf),
                            view.strides[0], width};
    Ref column, failed;
    Report report;
    if (newOutput(n, column, failed) &&
        run(source, n,
            Output{columnData(column.get()), bytesData(failed.get()), 0},
            report, call, [&](std::size_t i) { return source.item(i); })) {
        result = finish(std::move(column), std::move(failed), report, n, call);
    }
    releaseBuffer(&view);
    return true;
}

// An exact list or tuple in this thread, with the interpreter lock held:
// each item is read where it lies, nothing is gathered. No interpreter code
// runs between two reads but the signal handlers of the Ctrl-C poll, so
// the length is read again at each step.  Without the GIL the list's own
// lock is held instead, so other threads change it only where the GIL
// would let them run; each item is held while its text is read, since
// encoding a str may wait for the str's lock, and let the list's go.
PyObject* fromSequence(PyObject* texts, const Call& call)
{
    const Ref naHeld = pandasNA();  // before the lock, as in gather
    PyObject* na = naHeld.get();
    CriticalSection lock(texts);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(texts);
    Ref column, failed;
    if (!newOutput(static_cast<std::size_t>(n), column, failed)) {
        return nullptr;
    }
    std::int64_t* out = columnData(column.get());
    std::uint8_t* failedBits = bytesData(failed.get());
    std::string scratch;
    InterruptPoll poll;
    Report report;
    Py_ssize_t i = 0;
    for (; i < n && i < PySequence_Fast_GET_SIZE(texts); ++i) {
        const Ref held = Ref::incref(PySequence_Fast_GET_ITEM(texts, i));
        PyObject* item = held.get();
        TextRef text;
        if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) {
            text = asciiText(item);  // the common case, without a call
        } else if (!textOf(item, static_cast<std::size_t>(i), na, text)) {
            return nullptr;
        }
        const Failure why = call.format.convert(text, out[i], scratch);
        if (why != Failure::none) {
            out[i] = call.options.fill;
            bits::set(failedBits, static_cast<std::size_t>(i));
            report.add(static_cast<std::size_t>(i), why, text,
                       Ref::incref(item));
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

PyObject* date2int(PyObject* texts, const Call& call)
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
    if (fromUcs4(texts, call, result)) {
        return result;
    }
    if ((PyList_CheckExact(texts) || PyTuple_CheckExact(texts)) &&
        call.options.threads == 1) {
        return fromSequence(texts, call);
    }
    // Anything iterable: every item held while the lock is released.
    std::vector<TextRef> gathered;
    HeldObjects held;
    if (!gather(texts, gathered, held)) {
        return nullptr;
    }
    Ref column, failed;
    Report report;
    if (!newOutput(gathered.size(), column, failed) ||
        !run(GatheredSource{gathered}, gathered.size(),
             Output{columnData(column.get()), bytesData(failed.get()), 0},
             report, call,
             [&](std::size_t i) { return Ref::incref(held.at(i)); })) {
        return nullptr;
    }
    return finish(std::move(column), std::move(failed), report,
                  gathered.size(), call);
}

// threads=None: the machine's cores for large columns, 1 for small ones
// and for lists and tuples, which one thread reads in place as fast as
// several convert them once their texts are gathered (measured: about 30
// ns per element either way).
bool threadCount(PyObject* value, PyObject* texts, std::size_t n,
                 std::size_t& out) noexcept
{
    if (!value || value == Py_None) {
        const unsigned cores = std::thread::hardware_concurrency();
        const bool sequence =
            PyList_CheckExact(texts) || PyTuple_CheckExact(texts);
        out = (!sequence && n >= 4 * batchPerThread / 16 && cores > 1)
                  ? std::min<std::size_t>(cores, 64)
                  : 1;
        return true;
    }
    std::int64_t v;
    if (!toInt64(value, v)) {
        return false;
    }
    if (v < 1) {
        PyErr_Format(PyExc_ValueError,
                     "date2int() threads must be None or at least 1, not "
                     "%lld",
                     static_cast<long long>(v));
        return false;
    }
    out = static_cast<std::size_t>(std::min<std::int64_t>(v, 256));
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

PyObject* py_date2int(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept
{
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
    // fill=None: failures are nulls holding the int64 minimum (numpy's NaT).
    std::int64_t fill = INT64_MIN;
    if (values[4] && values[4].get() != Py_None &&
        !toInt64(values[4].get(), fill)) {
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
            const Call call(fmt, fmtObject, skipTz != 0,
                            Options{raise, fill, threads});
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
     "    A list, tuple or other iterable of str (None, NaN or pandas.NA "
     "is a\n    missing value), a numpy unicode array, or an Arrow string "
     "array or\n    stream (pyarrow, polars, pandas: anything with "
     "__arrow_c_array__ or\n    __arrow_c_stream__), read in place.\n"
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
