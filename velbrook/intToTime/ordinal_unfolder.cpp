// velbrook.intToTime.ordinal_unfolder: integers back to calendar values.
//
// Decodes the integers written by the date module into `struct_time`
// records, converts day ordinals and epoch seconds to naive `datetime`
// objects and `datetime` objects to epoch seconds, all in UTC, and
// publishes its conversion primitives to other native modules.
#define VB_USES_DATETIME
#include "../_shared/python.h"

#include <climits>
#include <cstdint>
#include <ctime>

#include "../_shared/capi.h"
#include "../_shared/convert.h"
#include "../_shared/errors.h"
#include "../_shared/frame.h"
#include "../_shared/function.h"
#include "../_shared/imports.h"
#include "../_shared/names.h"
#include "../_shared/published.h"
#include "../_shared/records.h"
#include "broken_down_time.h"

namespace vb {
namespace {

Function int2timeFn{"int2time", {"x", "fmt"}};
FunctionName fromordinalFn{"fromordinal"};
FunctionName utcfromtimestampFn{"utcfromtimestamp"};
FunctionName totimestampFn{"totimestamp"};
FunctionName tmToDatetimeFn{"tm_to_datetime"};

// Argument tuples of the module's own ValueErrors, built at import.
Immortal gmtimeFailedArgs;
Immortal ordinalTooSmallArgs;

GlobalName structTimeName("struct_time");
RecordType structTime;
GlobalName namedtupleName("namedtuple");

void raiseGmtimeFailed() noexcept
{
    raiseWithArgs(moduleState.valueError.get(), gmtimeFailedArgs.get());
}

int saturatingIncrement(int v) noexcept
{
    return v == INT_MAX ? v : v + 1;
}

// ---------------------------------------------------------------------------
// Primitives on struct tm.

// New reference to a naive datetime with the date and time fields of `t`,
// or null with the constructor's exception set.
PyObject* tm_to_datetime(const struct tm& t, TmToDatetimeOptions* opt) noexcept
{
    const int us = (opt && opt->__pyx_n > 0) ? opt->microseconds : 0;
    const long long year = static_cast<long long>(t.tm_year) + 1900;
    PyObject* result = nullptr;
    if (!moduleReady()) {
        // The datetime C API may not be loaded yet.
    } else if (year > INT_MAX) {
        // Out of any datetime's range; word it as the constructor does.
        PyErr_Format(PyExc_ValueError, "year %lld is out of range", year);
    } else {
        result = PyDateTimeAPI->DateTime_FromDateAndTime(
            static_cast<int>(year), saturatingIncrement(t.tm_mon), t.tm_mday,
            t.tm_hour, t.tm_min, t.tm_sec, us, Py_None,
            PyDateTimeAPI->DateTimeType);
    }
    return tracedResult(result, tmToDatetimeFn);
}

// The wall-clock fields of a datetime, read straight from the object.
struct tm datetime_to_tm(PyObject* dt) noexcept
{
    struct tm t = {};
    t.tm_year = PyDateTime_GET_YEAR(dt) - 1900;
    t.tm_mon = PyDateTime_GET_MONTH(dt) - 1;
    t.tm_mday = PyDateTime_GET_DAY(dt);
    t.tm_hour = PyDateTime_DATE_GET_HOUR(dt);
    t.tm_min = PyDateTime_DATE_GET_MINUTE(dt);
    t.tm_sec = PyDateTime_DATE_GET_SECOND(dt);
    return t;  // tm_wday, tm_yday, tm_isdst, tm_gmtoff 0; tm_zone null
}

// ---------------------------------------------------------------------------
// C-level bodies of the module functions.

PyObject* int2time(long x, const char* fmt, int /*skip_dispatch*/) noexcept
{
    TracebackOnError scope(int2timeFn);
    if (!moduleReady()) {
        return nullptr;
    }
    const DecodedValue d = decodeInteger(x, classifyFormat(fmt));
    struct tm t;
    if (!decodedTm(d.whole, d.unit, &t)) {
        raiseGmtimeFailed();
        return nullptr;
    }
    const long long fields[10] = {
        static_cast<long long>(t.tm_year) + 1900,
        t.tm_mon + 1,
        t.tm_mday,
        t.tm_hour,
        t.tm_min,
        t.tm_sec,
        (t.tm_wday + 6) % 7,  // Monday = 0
        t.tm_yday + 1,
        t.tm_isdst,
        d.milliseconds,
    };
    Ref type = structTimeName.get();
    Ref items[10];
    bool filled = bool(type);
    for (int i = 0; filled && i < 10; ++i) {
        items[i] = Ref::steal(PyLong_FromLongLong(fields[i]));
        filled = bool(items[i]);
    }
    return filled ? structTime.build(type.get(), items, 10).release()
                  : nullptr;
}

PyObject* fromordinal(long x, int /*skip_dispatch*/) noexcept
{
    TracebackOnError scope(fromordinalFn);
    struct tm t;
    if (!moduleReady()) {
        return nullptr;
    }
    if (x < 1) {
        raiseWithArgs(moduleState.valueError.get(), ordinalTooSmallArgs.get());
        return nullptr;
    }
    if (!fromordinal_tm(x, &t)) {
        raiseGmtimeFailed();
        return nullptr;
    }
    return tm_to_datetime(t, nullptr);
}

PyObject* utcfromtimestamp(double x, int /*skip_dispatch*/) noexcept
{
    TracebackOnError scope(utcfromtimestampFn);
    SplitTimestamp split;
    struct tm t;
    if (!moduleReady()) {
        return nullptr;
    }
    if (!splitTimestamp(x, split) || !secondsTm(split.seconds, &t)) {
        raiseGmtimeFailed();
        return nullptr;
    }
    TmToDatetimeOptions opt = {1, split.microseconds};
    return tm_to_datetime(t, &opt);
}

// Epoch seconds of the wall-clock fields of `dt` read as UTC; microsecond,
// tzinfo and fold are ignored.  `dt` must be a datetime.
long totimestamp(PyObject* dt, int /*skip_dispatch*/) noexcept
{
    return static_cast<long>(utcSeconds(datetime_to_tm(dt)));
}

// ---------------------------------------------------------------------------
// Interpreter-level functions.

PyObject* py_int2time(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept
{
    Ref held[2];
    PyObject* values[2];
    std::int64_t x;
    ByteString fmt;
    {
        TracebackOnError scope(int2timeFn);
        if (!moduleReady() ||
            !int2timeFn.bindBorrowed(args, nargs, kwnames, held, values) ||
            !toInt64(values[0], x) || !fmt.set(values[1])) {
            return nullptr;
        }
    }
    return int2time(x, fmt.c_str(), 0);
}

PyObject* py_fromordinal(PyObject*, PyObject* arg) noexcept
{
    std::int64_t x;
    {
        TracebackOnError scope(fromordinalFn);
        if (!moduleReady() || !toInt64(arg, x)) {
            return nullptr;
        }
    }
    return fromordinal(x, 0);
}

PyObject* py_utcfromtimestamp(PyObject*, PyObject* arg) noexcept
{
    double x;
    {
        TracebackOnError scope(utcfromtimestampFn);
        if (!moduleReady() || !toDouble(arg, x)) {
            return nullptr;
        }
    }
    return utcfromtimestamp(x, 0);
}

PyObject* py_totimestamp(PyObject*, PyObject* arg) noexcept
{
    TracebackOnError scope(totimestampFn);
    if (!moduleReady()) {
        return nullptr;
    }
    // Reading the fields of an object of another layout would read
    // unrelated memory, so anything but a datetime is refused.
    if (!PyDateTime_Check(arg)) {
        PyErr_Format(PyExc_TypeError,
                     "totimestamp() argument must be datetime.datetime, "
                     "not %.200s",
                     Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    return PyLong_FromLong(totimestamp(arg, 0));
}

// ---------------------------------------------------------------------------
// Initialisation.

// Checks that `module.name` is a type at least as large as the layout this
// module was compiled against.
bool importType(PyObject* module, const char* moduleName, const char* name,
                size_t size) noexcept
{
    Ref type = Ref::steal(PyObject_GetAttrString(module, name));
    if (!type) {
        return false;
    }
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object",
                     moduleName, name);
        return false;
    }
    const Py_ssize_t actual =
        reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize;
    const Py_ssize_t expected = static_cast<Py_ssize_t>(size);
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary "
                     "incompatibility. Expected %zd from C header, got %zd "
                     "from PyObject",
                     moduleName, name, expected, actual);
        return false;
    }
    if (actual > expected) {
        char warning[200];
        PyOS_snprintf(warning, sizeof warning,
                      "%s.%s size changed, may indicate binary "
                      "incompatibility. Expected %zd from C header, got %zd "
                      "from PyObject",
                      moduleName, name, expected, actual);
        return PyErr_WarnEx(nullptr, warning, 0) == 0;
    }
    return true;
}

bool importTypes() noexcept
{
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || !importType(builtins.get(), "builtins", "type",
                                 sizeof(PyHeapTypeObject))) {
        return false;
    }
    Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
    return datetime &&
           importType(datetime.get(), "datetime", "date",
                      sizeof(PyDateTime_Date)) &&
           importType(datetime.get(), "datetime", "time",
                      sizeof(PyDateTime_Time)) &&
           importType(datetime.get(), "datetime", "datetime",
                      sizeof(PyDateTime_DateTime)) &&
           importType(datetime.get(), "datetime", "timedelta",
                      sizeof(PyDateTime_Delta)) &&
           importType(datetime.get(), "datetime", "tzinfo",
                      sizeof(PyDateTime_TZInfo));
}

bool publishCFunctions(PyObject* module) noexcept
{
    const CFunction entries[] = {
        {"int2time", castFunction(&int2time), signatures::int2time},
        {"fromordinal", castFunction(&fromordinal), signatures::fromordinal},
        {"utcfromtimestamp", castFunction(&utcfromtimestamp),
         signatures::utcfromtimestamp},
        {"totimestamp", castFunction(&totimestamp), signatures::totimestamp},
        {"tm_to_datetime", castFunction(&tm_to_datetime),
         signatures::tm_to_datetime},
        {"fromordinal_tm", castFunction(&fromordinal_tm),
         signatures::fromordinal_tm},
        {"int2time_tm", castFunction(&int2time_tm), signatures::int2time_tm},
        {"datetime_to_tm", castFunction(&datetime_to_tm),
         signatures::datetime_to_tm},
    };
    return publishTable(module, entries);
}

bool buildErrorArgs() noexcept
{
    return gmtimeFailedArgs.once([] {
        return Ref::steal(
            Py_BuildValue("(s)", "gmtime failed due to invalid input"));
    }) && ordinalTooSmallArgs.once([] {
        return Ref::steal(Py_BuildValue("(s)", "ordinal must be >= 1"));
    });
}

PyMethodDef methods[] = {
    {int2timeFn.name, method(&py_int2time), METH_FASTCALL | METH_KEYWORDS,
     "int2time($module, /, x, fmt)\n--\n\n"
     "int2time(long x, const char *fmt)\n\n    Converts an integer (ordinal) "
     "representation into its corresponding time.\n    Converts to GMT "
     "timezone.\n    "},
    {fromordinalFn.name, method(&py_fromordinal), METH_O,
     "fromordinal($module, x, /)\n--\n\n"
     "fromordinal(long x)\nConvert a day ordinal (0001-01-01 is day 1) to a "
     "naive datetime at midnight UTC"},
    {utcfromtimestampFn.name, method(&py_utcfromtimestamp), METH_O,
     "utcfromtimestamp($module, x, /)\n--\n\n"
     "utcfromtimestamp(double x)\nConvert from seconds from epoch to "
     "datetime object"},
    {totimestampFn.name, method(&py_totimestamp), METH_O,
     "totimestamp($module, dt, /)\n--\n\n"
     "totimestamp(dt)\nConvert a datetime, its fields read as UTC, to whole "
     "seconds from epoch"},
    {nullptr, nullptr, 0, nullptr},
};

bool init(PyObject* module) noexcept
{
    static const char* const fields[] = {
        "tm_year", "tm_mon",  "tm_mday", "tm_hour",  "tm_min",
        "tm_sec",  "tm_wday", "tm_yday", "tm_isdst", "tm_milli_sec",
    };
    Ref imported[1];
    if (!buildErrorArgs() || !publishCFunctions(module) || !importTypes() ||
        !bindImportedNames("collections", {"namedtuple"}, imported)) {
        return false;
    }
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) {
        return false;
    }
    Ref namedtuple = namedtupleName.get();
    return namedtuple &&
           structTime.create(namedtuple.get(), "struct_time", fields, 10);
}

}  // namespace
}  // namespace vb

VB_MODULE(ordinal_unfolder, "velbrook.intToTime.ordinal_unfolder", methods,
          init)
