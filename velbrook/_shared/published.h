// What the modules share through their C-level function tables: the
// signature string of every entry of the date and time modules, and the
// optional-argument records their callers pass. Written once here, the
// publishing module and the binding one cannot disagree.
#pragma once

#include "python.h"

#include <ctime>

namespace vb {

inline constexpr const char* unfolderModule =
    "velbrook.intToTime.ordinal_unfolder";

// Optional arguments of ordinal_unfolder's `tm_to_datetime`.
struct TmToDatetimeOptions {
    int __pyx_n;       // optional arguments supplied: 0 or 1
    int microseconds;  // 0..999999
};

using TmToDatetime = PyObject* (*)(const struct tm&, TmToDatetimeOptions*);

// Optional arguments of calendar_text_codec's `date2intWrapper` and
// `date2intSafeWrapper`.
struct Date2intOptions {
    int __pyx_n;  // optional arguments supplied: 0 or 1
    bool skip_tz;
};

// The capsule names, which a binding module compares byte for byte.
namespace signatures {

inline constexpr const char* int2time =
    "PyObject *(long, char const *, int __pyx_skip_dispatch)";
inline constexpr const char* fromordinal =
    "PyObject *(long, int __pyx_skip_dispatch)";
inline constexpr const char* utcfromtimestamp =
    "PyObject *(double, int __pyx_skip_dispatch)";
inline constexpr const char* totimestamp =
    "long (PyObject *, int __pyx_skip_dispatch)";
inline constexpr const char* tm_to_datetime =
    "PyObject *(struct tm const &, struct "
    "__pyx_opt_args_8velbrook_9intToTime_16ordinal_unfolder_tm_to_datetime "
    "*__pyx_optional_args)";
inline constexpr const char* fromordinal_tm = "struct tm *(long, struct tm *)";
inline constexpr const char* int2time_tm =
    "struct tm *(long, char const *, struct tm *)";
inline constexpr const char* datetime_to_tm = "struct tm (PyObject *)";

inline constexpr const char* date2intWrapper =
    "PyObject *(PyObject *, char const *, int __pyx_skip_dispatch, struct "
    "__pyx_opt_args_8velbrook_9dateToInt_19calendar_text_codec_"
    "date2intWrapper *__pyx_optional_args)";
inline constexpr const char* date2intSafeWrapper =
    "PyObject *(PyObject *, char const *, int __pyx_skip_dispatch, struct "
    "__pyx_opt_args_8velbrook_9dateToInt_19calendar_text_codec_"
    "date2intSafeWrapper *__pyx_optional_args)";
inline constexpr const char* strptime =
    "PyObject *(PyObject *, char const *, int __pyx_skip_dispatch)";

}  // namespace signatures
}  // namespace vb
