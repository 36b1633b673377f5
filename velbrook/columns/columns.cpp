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

Function date2intFn{"date2int",
                    {"texts", "fmt", "skip_tz", "errors", "fill", "threads"},
                    2,
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

// The first failure of a range of elements.
struct FirstFailure {
    std::size_t position = SIZE_MAX;
    Failure why = Failure::none;

    void merge(const FirstFailure& o) noexcept
    {
        if (o.position < position) {
            *this = o;
        }
    }
};

struct Options {
    bool raise;  // stop at the first failure
    std::int64_t fill;
    std::size_t threads;
};

template <class Source>
void convertRange(const Source& source, const ColumnFormat& format,
                  const Options& options, std::size_t begin, std::size_t end,
                  std::int64_t* out, FirstFailure& first) noexcept
{
    std::string buffer, scratch;
    for (std::size_t i = begin; i < end; ++i) {
        const Failure why =
            format.convert(source.get(i, buffer), out[i], scratch);
        if (why == Failure::none) {
            continue;
        }
        out[i] = options.fill;
        if (first.position == SIZE_MAX) {
            first = {i, why};
            if (options.raise || why == Failure::noMemory) {
                return;
            }
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

// Converts elements [0, n) of `source` into `out`, in batches, each split
// over the threads with the interpreter lock released, polling for Ctrl-C
// between batches. False with the exception set when a signal handler
// raised; `first` holds the first failure (the lowest position).
template <class Source>
bool convertAll(const Source& source, std::size_t n,
                const ColumnFormat& format, const Options& options,
                std::int64_t* out, FirstFailure& first) noexcept
{
    const std::size_t batch = batchPerThread * options.threads;
    for (std::size_t begin = 0; begin < n; begin += batch) {
        const std::size_t end = std::min(n, begin + batch);
        std::vector<FirstFailure> found;
        {
            WithoutInterpreterLock unlocked;
            const std::size_t parts = std::min(
                options.threads, (end - begin + batchPerThread / 16 - 1) /
                                     (batchPerThread / 16));
            try {
                found.resize(parts);
                std::vector<std::thread> workers;
                const std::size_t step = (end - begin + parts - 1) / parts;
                for (std::size_t t = 1; t < parts; ++t) {
                    const std::size_t b = begin + t * step;
                    const std::size_t e = std::min(end, b + step);
                    workers.emplace_back([&, b, e, t] {
                        convertRange(source, format, options, b, e, out,
                                     found[t]);
                    });
                }
                convertRange(source, format, options, begin,
                             std::min(end, begin + step), out, found[0]);
                for (std::thread& w : workers) {
                    w.join();
                }
            } catch (...) {
                // No memory or no thread: the rest in this thread alone,
                // which gives the same values.
                found.assign(1, FirstFailure());
                convertRange(source, format, options, begin, end, out,
                             found[0]);
            }
        }
        for (const FirstFailure& f : found) {
            first.merge(f);
        }
        if (PyErr_CheckSignals() < 0) {
            return false;
        }
        if (first.position != SIZE_MAX &&
            (options.raise || first.why == Failure::noMemory)) {
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
          options(options)
    {
    }

    // A copy: a bytearray format may change while the lock is released.
    const std::string fmtText;
    PyObject* const fmtObject;  // borrowed, for messages
    const ColumnFormat format;
    const Options options;
};

// Raises the ValueError (or MemoryError) for the first failure, naming its
// position, its text (`item` when the column held an object) and the
// format.
void raiseFailure(const FirstFailure& first, const TextRef& text,
                  const Ref& item, const Call& call) noexcept
{
    if (first.why == Failure::noMemory) {
        PyErr_NoMemory();
        return;
    }
    Ref shown;
    if (item) {
        shown = Ref::incref(item.get());
    } else if (text.data) {
        shown = Ref::steal(PyUnicode_DecodeUTF8(
            text.data, static_cast<Py_ssize_t>(text.size), "replace"));
    } else {
        shown = Ref::incref(Py_None);
    }
    if (shown) {
        PyErr_Format(moduleState.valueError.get(),
                     "date2int(): %s at position %zu: %R (format %R)",
                     failureText(first.why), first.position, shown.get(),
                     call.fmtObject);
    }
}

// Converts the `n` texts of `source` into `out`, the column's items from
// `offset` on. False with the exception set; `itemAt(i)` is the object a
// failing text i came from (new reference), or an empty Ref.
template <class Source, class ItemAt>
bool run(const Source& source, std::size_t n, std::int64_t* out,
         std::size_t offset, const Call& call, ItemAt itemAt) noexcept
{
    FirstFailure first;
    if (!convertAll(source, n, call.format, call.options, out, first)) {
        return false;
    }
    if (first.position == SIZE_MAX ||
        (!call.options.raise && first.why != Failure::noMemory)) {
        return true;
    }
    std::string buffer;
    const TextRef text = source.get(first.position, buffer);
    const Ref item = itemAt(first.position);
    PyErr_Clear();  // no object to show: the bytes are shown instead
    first.position += offset;
    raiseFailure(first, text, item, call);
    return false;
}

constexpr auto noItem = [](std::size_t) { return Ref(); };

// Texts that are Arrow strings: one array, or a stream of them.
PyObject* fromArrow(const ArrowColumn& arrow, const Call& call) noexcept
{
    Ref column = newColumn(static_cast<Py_ssize_t>(arrow.length()));
    if (!column) {
        return nullptr;
    }
    std::size_t done = 0;
    for (const ArrowStrings& chunk : arrow.chunks()) {
        if (!run(ArrowSource{chunk}, chunk.length(),
                 columnData(column.get()) + done, done, call, noItem)) {
            return nullptr;
        }
        done += chunk.length();
    }
    return column.release();
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
    Ref column = newColumn(static_cast<Py_ssize_t>(n));
    if (column && run(source, n, columnData(column.get()), 0, call,
                      [&](std::size_t i) { return source.item(i); })) {
        result = column.release();
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
    Ref column =
        newColumn(PySequence_Fast_GET_SIZE(texts));  // a list may shrink
    if (!column) {
        return nullptr;
    }
    std::int64_t* out = columnData(column.get());
    std::string scratch;
    InterruptPoll poll;
    Py_ssize_t i = 0;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(texts);
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
            if (call.options.raise || why == Failure::noMemory) {
                raiseFailure({static_cast<std::size_t>(i), why}, text,
                             Ref::incref(item), call);
                return nullptr;
            }
        }
        if (!poll.tick(1)) {
            return nullptr;
        }
    }
    // A signal handler that shortened the list ends the column there.
    reinterpret_cast<ColumnObject*>(column.get())->size = i;
    return column.release();
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
    Ref column = newColumn(static_cast<Py_ssize_t>(gathered.size()));
    if (!column || !run(GatheredSource{gathered}, gathered.size(),
                        columnData(column.get()), 0, call, [&](std::size_t i) {
                            return Ref::incref(held.at(i));
                        })) {
        return nullptr;
    }
    return column.release();
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

PyObject* py_date2int(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept
{
    TracebackOnError scope(date2intFn);
    Ref values[6];
    ByteString fmt;
    int skipTz = 0;
    if (!moduleReady() || !date2intFn.bind(args, nargs, kwnames, values) ||
        !fmt.set(values[1].get()) ||
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
    std::int64_t fill = INT64_MIN;
    if (values[4] && !toInt64(values[4].get(), fill)) {
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
            const Call call(fmt.c_str(), values[1].get(), skipTz != 0,
                            Options{raise, fill, threads});
            result = date2int(values[0].get(), call);
            return result != nullptr;
        },
        OnBadAlloc::memoryError);
    return result;
}

PyMethodDef methods[] = {
    {date2intFn.name, method(&py_date2int), METH_FASTCALL | METH_KEYWORDS,
     "date2int($module, /, texts, fmt, *, skip_tz=False, errors='raise', "
     "fill=-9223372036854775808, threads=None)\n--\n\n"
     "Convert a column of date texts to an Int64Column, element for element "
     "as\ndate2intWrapper(text, fmt, skip_tz) does.\n\n"
     "texts: a list, tuple or other iterable of str (None, NaN or pandas.NA "
     "is a\nmissing value), a numpy unicode array, or an Arrow string array "
     "(anything\nwith __arrow_c_array__ or __arrow_c_stream__: pyarrow, "
     "polars, pandas).\n"
     "errors='raise' raises ValueError naming the first failing position; "
     "'coerce'\nwrites `fill` for every failing element instead.\n"
     "threads: how many threads convert (None: the machine's cores for "
     "large\ncolumns, one for small ones and for lists and tuples, which "
     "one thread\nreads in place); the result never depends on it."},
    {nullptr, nullptr, 0, nullptr},
};

bool init(PyObject* module) noexcept
{
    return readyColumnType(module);
}

}  // namespace
}  // namespace vb

VB_MODULE(columns, "velbrook.columns", methods, init)
