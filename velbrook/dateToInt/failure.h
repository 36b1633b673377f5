// Why a date text has no value: the one vocabulary of failures of the
// date conversions, single values and columns alike, with the message
// each is reported by. The interpreter-free cores return a `Failure`;
// only the functions that face the interpreter turn it into an exception.
#pragma once

#include <cstdint>

namespace vb {

enum class Failure : std::uint8_t {
    none,
    failedToRead,    // the parser failed, or text is left after the format
    yearOutOfRange,  // year 0 read with "%Y" in the format
    missing,         // a column's None or null entry
    notText,         // a str that has no UTF-8 form (a lone surrogate)
    noMemory,        // no memory for a column's copy of a text
};

// Indexed by `Failure`.
inline constexpr const char* failureMessages[] = {
    "",
    "failed to read date from fmt",
    "year is out of range",
    "missing value",
    "text not encodable as UTF-8",
    "out of memory",
};

static_assert(sizeof failureMessages / sizeof failureMessages[0] ==
                  static_cast<int>(Failure::noMemory) + 1,
              "one message per failure");

inline const char* failureText(Failure f) noexcept
{
    return failureMessages[static_cast<int>(f)];
}

}  // namespace vb
