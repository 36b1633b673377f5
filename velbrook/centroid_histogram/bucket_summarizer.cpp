// velbrook.centroid_histogram.bucket_summarizer: centroid histograms of
// interpreter iterables.
//
// Each call owns one `Histogram`, feeds it from an iterable of values or of
// (centroid, count) pairs, turns its buckets into `CentroidBucket` records
// inside a `CentroidHistogram` and destroys it, on every path.
#include "../_shared/python.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

#include "../_shared/buffers.h"
#include "../_shared/capi.h"
#include "../_shared/compat.h"
#include "../_shared/convert.h"
#include "../_shared/errors.h"
#include "../_shared/frame.h"
#include "../_shared/function.h"
#include "../_shared/imports.h"
#include "../_shared/interrupts.h"
#include "../_shared/names.h"
#include "../_shared/records.h"
#include "block_histogram.h"
#include "histogram.h"

namespace vb {
namespace {

Function valuesFn{"histogram_from_values", {"max_size", "values"}};
Function bucketsFn{"histogram_from_buckets", {"max_size", "buckets"}};

constexpr const char* builderSignature =
    "PyObject *(size_t, PyObject *, int __pyx_skip_dispatch)";

GlobalName isnanName("isnan");
GlobalName centroidBucketName("CentroidBucket");
GlobalName centroidHistogramName("CentroidHistogram");
RecordType centroidBucket;
RecordType centroidHistogram;
GlobalName collectionsName("collections");

// The standard library's `math.isnan`, or null when the import produced
// something else.  While the module's `isnan` is this very object, calling
// it on an exact float can only answer std::isnan of the value, so the
// call is skipped; any other binding is always called.
Immortal standardIsnan;

// ---------------------------------------------------------------------------
// Walking an iterable as a `for` loop does.
//
// Every item is held by a strong reference while `visit` works on it:
// `visit` runs interpreter code that may shrink, grow or empty the very
// list being walked.  `visit` returns false with the exception set; it may
// also throw (a push that runs out of memory), which the caller catches.
// `visit.interpreterRan()` tells it that interpreter code ran between two
// items (an iterator's `__next__`, an item's `__del__`); `visit.prime()`
// reads beforehand what the items will need.

// An exact list or tuple, walked by index.  The length is re-read at every
// step: the list may change meanwhile.  The list's own lock is held
// throughout: as under the GIL, other threads change it only while `visit`
// runs interpreter code that waits.
template <class Visit>
bool walkByIndex(PyObject* sequence, Visit& visit)
{
    // Before the lock: a read that waited for a lock of its own would let
    // other threads at the list in the middle of the walk.
    visit.prime();
    CriticalSection lock(sequence);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
        Ref item = Ref::incref(PySequence_Fast_GET_ITEM(sequence, i));
        if (!visit(item.get())) {
            return false;
        }
    }
    return true;
}

template <class Visit>
bool forEachItem(PyObject* iterable, Visit& visit)
{
    // Only the exact types: a subclass may override `__iter__`.
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        return walkByIndex(iterable, visit);
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        return false;
    }
    for (;;) {
        Ref item =
            Ref::steal(Py_TYPE(iterator.get())->tp_iternext(iterator.get()));
        if (!item) {
            // The end: no exception, or StopIteration (or a subclass).
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    return false;
                }
                PyErr_Clear();
            }
            return true;
        }
        visit.interpreterRan();
        if (!visit(item.get())) {
            return false;
        }
    }
}

// The items of `sequence` from index `start` on, fetched by subscription
// until IndexError: what the iterators of the types `NumberBuffer` reads
// yield from that point, whatever their length has become meanwhile.
template <class Visit>
bool walkFrom(PyObject* sequence, Py_ssize_t start, Visit& visit)
{
    for (Py_ssize_t i = start;; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(sequence, i));
        if (!item) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) {
                return false;
            }
            PyErr_Clear();
            return true;
        }
        visit.interpreterRan();
        if (!visit(item.get())) {
            return false;
        }
    }
}

// ---------------------------------------------------------------------------
// Item conversions.

// A value as a double: an exact float by value, else through `__float__`
// (which must return a float), else through the `float` type itself.
bool valueToDouble(PyObject* v, double& out) noexcept
{
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    PyNumberMethods* m = Py_TYPE(v)->tp_as_number;
    Ref f;
    if (m && m->nb_float) {
        f = Ref::steal(m->nb_float(v));
        if (f && !PyFloat_Check(f.get())) {
            PyErr_Format(PyExc_TypeError,
                         "__float__ returned non-float (type %.200s)",
                         Py_TYPE(f.get())->tp_name);
            return false;
        }
    } else {
        f = Ref::steal(PyNumber_Float(v));
    }
    if (!f) {
        return false;
    }
    out = PyFloat_AS_DOUBLE(f.get());
    return true;
}

// New reference to item `i` (0 or 1) of a bucket: lists and tuples
// directly, other sequences through their item slot, anything else
// through subscription with an `int`.
Ref bucketItem(PyObject* b, Py_ssize_t i) noexcept
{
    if (PyList_CheckExact(b)) {
        if (Ref item = listItem(b, i)) {
            return item;
        }
    }
    if (PyTuple_CheckExact(b) && i < PyTuple_GET_SIZE(b)) {
        return Ref::incref(PyTuple_GET_ITEM(b, i));
    }
    PySequenceMethods* s = Py_TYPE(b)->tp_as_sequence;
    if (s && s->sq_item) {
        // Also words the IndexError of a short list or tuple.
        return Ref::steal(PySequence_GetItem(b, i));
    }
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    return index ? Ref::steal(PyObject_GetItem(b, index.get())) : Ref();
}

// ---------------------------------------------------------------------------
// Feeding the histogram.  These may throw from `push` (only when the list
// grows without a reservation, capacity 2^64 - 1).

// The work of one push, for the Ctrl-C budget.
std::size_t pushCost(const Histogram& histogram)
{
    return histogram.size() + 1;
}

template <std::uint32_t BlockCapacity>
std::size_t pushCost(const BlockHistogramOf<BlockCapacity>& histogram)
{
    return histogram.pushCost();
}

// Calls f(bucket) for each bucket in list order.
template <class F>
void forEachBucket(const Histogram& histogram, F&& f)
{
    for (const Bucket& bucket : histogram.buckets()) {
        f(bucket);
    }
}

template <std::uint32_t BlockCapacity, class F>
void forEachBucket(const BlockHistogramOf<BlockCapacity>& histogram, F&& f)
{
    histogram.forEachBucket(f);
}

// Skips None and whatever `isnan` calls true; pushes the rest.  `isnan`
// is read again only after an item ran interpreter code, or signal
// handlers ran (`interpreterRan`): a None or an exact float checked by the
// standard `isnan` runs none.
class ValuePusher {
public:
    template <class Engine>
    bool operator()(Engine& histogram, PyObject* v)
    {
        if (v == Py_None) {
            return true;
        }
        PyObject* isnan = isnan_.get();  // borrowed
        if (!isnan) {
            return false;
        }
        if (isnan == standardIsnan.get() && PyFloat_CheckExact(v)) {
            const double x = PyFloat_AS_DOUBLE(v);
            if (!std::isnan(x)) {
                histogram.push(x);
            }
            return true;
        }
        const bool ok = pushChecked(histogram, isnan, v);
        isnan_.forget();
        return ok;
    }

    void interpreterRan() noexcept { isnan_.forget(); }

    void prime() noexcept
    {
        if (!isnan_.get()) {
            PyErr_Clear();  // raised again by the first item that needs it
        }
    }

private:
    template <class Engine>
    static bool pushChecked(Engine& histogram, PyObject* isnan, PyObject* v)
    {
        Ref verdict = call(isnan, v);
        if (!verdict) {
            return false;
        }
        const int skip = PyObject_IsTrue(verdict.get());
        if (skip != 0) {
            return skip > 0;
        }
        double x;
        if (!valueToDouble(v, x)) {
            return false;
        }
        histogram.push(x);
        return true;
    }

    CallName isnan_{isnanName};
};

// Pushes (item 0, item 1) of `b` unfiltered.  Item 0 is fetched and
// converted before item 1 is fetched; each is held while it is converted.
template <class Engine>
bool pushBucket(Engine& histogram, PyObject* b)
{
    double centroid;
    {
        Ref first = bucketItem(b, 0);
        if (!first || !toDouble(first.get(), centroid)) {
            return false;
        }
    }
    std::uint64_t count;
    {
        Ref second = bucketItem(b, 1);
        if (!second || !toSize(second.get(), count)) {
            return false;
        }
    }
    histogram.push(Bucket(centroid, count));
    return true;
}

// The same as a pusher of items, which reads no module name.
struct BucketPusher {
    template <class Engine>
    bool operator()(Engine& histogram, PyObject* b) const
    {
        return pushBucket(histogram, b);
    }
    void interpreterRan() noexcept {}
    void prime() noexcept {}
};

// Pushes each item it visits.  A push costs up to the number of buckets:
// Ctrl-C is polled after a bounded amount of work, however long the
// iterable and the list.
template <class Engine, class PushItem>
class ItemVisitor {
public:
    ItemVisitor(Engine& histogram, InterruptPoll& poll) noexcept
        : histogram_(histogram), poll_(poll)
    {
    }

    bool operator()(PyObject* item)
    {
        if (!push_(histogram_, item)) {
            return false;
        }
        if (!poll_.due(pushCost(histogram_))) {
            return true;
        }
        push_.interpreterRan();  // the signal handlers, now
        return poll_.check();
    }

    void interpreterRan() noexcept { push_.interpreterRan(); }
    void prime() noexcept { push_.prime(); }

private:
    Engine& histogram_;
    InterruptPoll& poll_;
    PushItem push_;
};

template <class Engine>
bool pushBuckets(Engine& histogram, PyObject* buckets, InterruptPoll& poll)
{
    ItemVisitor<Engine, BucketPusher> visit(histogram, poll);
    return forEachItem(buckets, visit);
}

enum class Walk { done, failed, declined };

// True while the module's `isnan` is the standard one, which answers
// std::isnan for every number.  Leaves no exception.
bool isnanIsStandard() noexcept
{
    Ref isnan = isnanName.get();
    if (!isnan) {
        PyErr_Clear();  // the item path raises it again, if it must
    }
    return isnan && isnan.get() == standardIsnan.get();
}

// Pushes the elements of `values` from element `next` on, read from its
// buffer, and leaves `next` at the first element not pushed.  The result
// is what `ValuePusher` gives for the items iteration yields: while `isnan`
// is the standard one it skips exactly the NaNs, and `NumberBuffer` reads
// only objects whose items are their elements.  The buffer is held for one
// budget of work at a time and let go before signal handlers run, since a
// handler may resize the object or rebind `isnan`: each stretch proves
// both again.  `declined` (no exception set) when they do not hold,
// `failed` with the exception set.
template <class Engine>
Walk pushElements(Engine& histogram, PyObject* values, InterruptPoll& poll,
                  Py_ssize_t& next)
{
    for (;;) {
        bool due = false;
        {
            if (!isnanIsStandard()) {
                return Walk::declined;
            }
            NumberBuffer buffer(values);
            if (!buffer) {
                return Walk::declined;
            }
            const Py_ssize_t n = buffer.size();
            buffer.visit([&](auto elements) {
                // Locals: a push writes memory, which the compiler would
                // otherwise assume may change the index and the flag.
                Py_ssize_t i = next;
                bool spent = false;
                while (i < n && !spent) {
                    const double x = elements[i++];
                    if (!std::isnan(x)) {
                        histogram.push(x);
                    }
                    spent = poll.due(pushCost(histogram));
                }
                next = i;
                due = spent;
            });
        }
        if (!due) {
            return Walk::done;
        }
        if (!poll.check()) {
            return Walk::failed;
        }
    }
}

// Pushes the numbers of Arrow arrays read in place, nulls skipped as None
// is.  The arrays are this call's own export, which no other thread
// writes, and stay put while signal handlers run between stretches of
// work; once a handler has rebound `isnan`, each further element goes
// through `visit` as the object iteration of a polars Series yields.
template <class Engine, class Visit>
bool pushArrow(Engine& histogram, const ColumnNumbers& column,
               InterruptPoll& poll, Visit& visit)
{
    for (const ArrowNumbers& chunk : column.chunks()) {
        std::int64_t i = 0;
        while (i < chunk.length) {
            if (!isnanIsStandard()) {
                Ref item = Ref::steal(chunk.object(i++));
                visit.interpreterRan();  // `isnan` read afresh
                if (!item || !visit(item.get())) {
                    return false;
                }
                continue;
            }
            bool due = false;
            // Locals: a push writes memory, which the compiler would
            // otherwise assume may change the chunk and the index.
            const ArrowNumbers at = chunk;
            std::int64_t k = i;
            chunk.visit([&](auto elements) {
                while (k < at.length && !due) {
                    if (at.valid(k)) {
                        const double x = elements[k];
                        if (!std::isnan(x)) {
                            histogram.push(x);
                        }
                    }
                    ++k;
                    due = poll.due(pushCost(histogram));
                }
            });
            i = k;
            if (due && !poll.check()) {
                return false;
            }
        }
    }
    return true;
}

// Feeds `histogram` the values of `values`: from its buffer, or from the
// column it is, where that is proved to give the same result, else item
// by item, from the first item or from where the buffer stopped being
// readable.
template <class Engine>
bool pushValues(Engine& histogram, PyObject* values, InterruptPoll& poll)
{
    Py_ssize_t next = 0;
    switch (pushElements(histogram, values, poll, next)) {
        case Walk::done:
            return true;
        case Walk::failed:
            return false;
        case Walk::declined:
            break;
    }
    ItemVisitor<Engine, ValuePusher> visit(histogram, poll);
    if (next != 0) {
        return walkFrom(values, next, visit);
    }
    ColumnNumbers column;
    if (isnanIsStandard() && !column.import(values)) {
        return false;
    }
    switch (column.source()) {
        case ColumnNumbers::Source::arrow:
            return pushArrow(histogram, column, poll, visit);
        case ColumnNumbers::Source::ndarray:
            // A pandas Series' own values: from where they stop being
            // readable on, the array's items (the same numbers).
            switch (pushElements(histogram, column.ndarray(), poll, next)) {
                case Walk::done:
                    return true;
                case Walk::failed:
                    return false;
                case Walk::declined:
                    if (next != 0) {
                        return walkFrom(column.ndarray(), next, visit);
                    }
                    break;
            }
            break;
        case ColumnNumbers::Source::none:
            break;
    }
    // The export ran interpreter code.
    visit.interpreterRan();
    return forEachItem(values, visit);
}

// ---------------------------------------------------------------------------
// One builder call.

// New reference to `CentroidHistogram(max_size, [CentroidBucket(...)...])`
// for the buckets of `histogram`, which is destroyed before the record
// type is called.  Null with the exception set on failure.
template <class Engine>
PyObject* makeResult(std::size_t max_size,
                     std::optional<Engine>& histogram) noexcept
{
    Ref recordType = centroidHistogramName.get();
    if (!recordType) {
        return nullptr;
    }
    Ref fields[2] = {Ref::steal(PyLong_FromSize_t(max_size)),
                     Ref::steal(PyList_New(0))};
    PyObject* list = fields[1].get();  // borrowed
    if (!fields[0] || !list) {
        return nullptr;
    }
    // No push happens from here on, so the bucket list stays as it is
    // while `CentroidBucket` runs.
    bool ok = true;
    forEachBucket(*histogram, [&ok, list](const Bucket& bucket) {
        if (!ok) {
            return;  // a record failed: the rest is skipped
        }
        Ref bucketType = centroidBucketName.get();
        Ref items[2];
        if (bucketType) {
            items[0] = Ref::steal(PyFloat_FromDouble(bucket.centroid()));
            items[1] = Ref::steal(PyLong_FromSize_t(bucket.count()));
        }
        Ref record;
        if (items[0] && items[1]) {
            record = centroidBucket.build(bucketType.get(), items, 2);
        }
        ok = record && PyList_Append(list, record.get()) == 0;
    });
    if (!ok) {
        return nullptr;
    }
    histogram.reset();
    return centroidHistogram.build(recordType.get(), fields, 2).release();
}

// Creates the histogram, feeds it from `iterable` through `feed` and
// builds the result.  The histogram lives in this frame, so it is gone on
// every return, before the caller sees the exception.
template <class Engine, class Feed>
PyObject* buildWith(std::size_t max_size, PyObject* iterable,
                    const Feed& feed) noexcept
{
    std::optional<Engine> histogram;
    if (!guarded([&] {
            histogram.emplace(max_size);
            return true;
        })) {
        return nullptr;
    }
    Ref keep = Ref::incref(iterable);  // borrowed from the caller
    InterruptPoll poll;
    // Only growth without a reservation allocates while pushing: running
    // out of memory there is the interpreter's MemoryError.
    const bool ok = guarded([&] { return feed(*histogram, iterable, poll); },
                            OnBadAlloc::memoryError);
    return ok ? makeResult(max_size, histogram) : nullptr;
}

// Every engine leaves the same buckets; the block engines are faster from
// `blockHistogramFrom` on, and the reference takes the capacities the
// blocks do not (and 0, with its error).
template <class Feed>
PyObject* buildHistogram(const FunctionName& fn, std::size_t max_size,
                         PyObject* iterable, const Feed& feed) noexcept
{
    TracebackOnError scope(fn);
    if (!moduleReady()) {
        return nullptr;
    }
    if (max_size >= wideBlocksFrom &&
        max_size <= WideBlockHistogram::largestCapacity) {
        return buildWith<WideBlockHistogram>(max_size, iterable, feed);
    }
    if (max_size >= blockHistogramFrom &&
        max_size <= BlockHistogram::largestCapacity) {
        return buildWith<BlockHistogram>(max_size, iterable, feed);
    }
    return buildWith<Histogram>(max_size, iterable, feed);
}

// ---------------------------------------------------------------------------
// C-level functions, published in "__pyx_capi__".  `iterable` is borrowed;
// the last argument is accepted and ignored.

PyObject* histogram_from_values(std::size_t max_size, PyObject* values,
                                int /*skip_dispatch*/) noexcept
{
    return buildHistogram(valuesFn, max_size, values,
                          [](auto& h, PyObject* it, InterruptPoll& poll) {
                              return pushValues(h, it, poll);
                          });
}

PyObject* histogram_from_buckets(std::size_t max_size, PyObject* buckets,
                                 int /*skip_dispatch*/) noexcept
{
    return buildHistogram(bucketsFn, max_size, buckets,
                          [](auto& h, PyObject* it, InterruptPoll& poll) {
                              return pushBuckets(h, it, poll);
                          });
}

// ---------------------------------------------------------------------------
// Interpreter-level functions: `fn(max_size, iterable)`, bound and
// converted, then handed to the C-level `build`.

template <auto& fn, auto build>
PyObject* py_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept
{
    Ref bound[2];
    std::uint64_t n;
    {
        TracebackOnError scope(fn);
        if (!moduleReady() || !fn.bind(args, nargs, kwnames, bound) ||
            !toSize(bound[0].get(), n)) {
            return nullptr;
        }
    }
    return build(n, bound[1].get(), 0);
}

PyMethodDef methods[] = {
    {valuesFn.name, method(&py_builder<valuesFn, histogram_from_values>),
     METH_FASTCALL | METH_KEYWORDS,
     "histogram_from_values($module, /, max_size, values)\n--\n\n"
     "Build a centroid histogram of a given size from an iterable of "
     "floating-point values."},
    {bucketsFn.name, method(&py_builder<bucketsFn, histogram_from_buckets>),
     METH_FASTCALL | METH_KEYWORDS,
     "histogram_from_buckets($module, /, max_size, buckets)\n--\n\n"
     "Build a centroid histogram of a given size from an iterable of "
     "(centroid, count) pairs."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Initialisation.

// Binds `name` to `collections.namedtuple(name, fields)`, the `collections`
// being the one now in the module namespace.
bool bindRecordType(RecordType& record, const char* name,
                    const char* const* fields, Py_ssize_t n) noexcept
{
    Ref collections = collectionsName.get();
    Ref namedtuple;
    if (collections) {
        namedtuple = Ref::steal(
            PyObject_GetAttrString(collections.get(), "namedtuple"));
    }
    return namedtuple && record.create(namedtuple.get(), name, fields, n);
}

bool init(PyObject* module) noexcept
{
    static const char* const bucketFields[] = {"centroid", "count"};
    static const char* const histogramFields[] = {"max_size", "buckets"};
    const CFunction entries[] = {
        {valuesFn.name, castFunction(&histogram_from_values),
         builderSignature},
        {bucketsFn.name, castFunction(&histogram_from_buckets),
         builderSignature},
    };
    if (!lookupBuiltin("range") || !publishTable(module, entries)) {
        return false;
    }
    Ref collections = importStandardModule("collections", nullptr);
    Ref isnan[1];
    if (!collections || !setGlobal("collections", collections.get()) ||
        !bindImportedNames("math", {"isnan"}, isnan)) {
        return false;
    }
    standardIsnan.clear();
    if (isnan[0].get() == standardFunction("math", "isnan").get()) {
        standardIsnan.set(std::move(isnan[0]));
    }
    return bindRecordType(centroidBucket, "CentroidBucket", bucketFields, 2) &&
           bindRecordType(centroidHistogram, "CentroidHistogram",
                          histogramFields, 2);
}

}  // namespace
}  // namespace vb

VB_MODULE(bucket_summarizer, "velbrook.centroid_histogram.bucket_summarizer",
          methods, init)
