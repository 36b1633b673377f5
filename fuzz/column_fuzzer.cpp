// Fuzz target for the column conversion of one element.
//
// Input: "<format>\n<date>". The date is copied into a heap block of
// exactly its length, with no terminating NUL (as Arrow and numpy texts
// come), so that a read past its end is an AddressSanitizer report; it may
// hold NULs. The format is cut at its first NUL.
//
// Checked on every input, with and without zone-suffix removal:
//   - the column conversion (a fixed-width plan where the format allows
//     one, else the parser) gives exactly what the parser gives for the
//     C string of the text (cut at its first NUL), after the suffix that
//     findZoneSuffix finds is removed: the same value, or a failure with
//     the same message;
//   - a suffix found is a sign and digits at the end (or before a final
//     newline), after whitespace only.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_input.h"

#include "date_column.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& fmt,
                       const std::string& date)
{
    std::fprintf(stderr,
                 "column_fuzzer: %s\n  fmt  = \"%s\"\n  date = \"%s\"\n", what,
                 fmt.c_str(), date.c_str());
    std::abort();
}

// What the date module's parser gives for the text as a C string (the
// plan is the thing tested).
vb::Failure reference(const std::string& text, const char* fmt,
                      std::int64_t& value)
{
    return vb::parsedDateToInt(text.c_str(), vb::CompiledFormat(fmt), value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    const FormatAndDate parts = splitInput(data, size);
    const std::size_t fmt_size = parts.formatSize;
    const std::size_t date_offset = parts.dateOffset;
    const std::string fmt(
        reinterpret_cast<const char*>(data),
        strnlen(reinterpret_cast<const char*>(data), fmt_size));
    const std::size_t date_size = size - date_offset;
    std::unique_ptr<char[]> date(new char[date_size ? date_size : 1]);
    if (date_size != 0) {
        std::memcpy(date.get(), data + date_offset, date_size);
    }
    const std::string whole(date.get(), date_size);

    for (const bool skipTz : {true, false}) {
        const vb::ColumnFormat format(fmt.c_str(), skipTz);
        std::string text = whole;
        if (!skipTz && std::strstr(fmt.c_str(), "%M") != nullptr) {
            std::size_t start, end;
            if (vb::findZoneSuffix(date.get(), date_size, start, end)) {
                if (start > end || end > date_size ||
                    (end < date_size &&
                     (end + 1 != date_size || whole[end] != '\n'))) {
                    fail("zone suffix outside the text", fmt, whole);
                }
                text = whole.substr(0, start) + whole.substr(end);
            }
        }
        std::int64_t expected = 0, got = 0;
        const vb::Failure want = reference(text, fmt.c_str(), expected);
        std::string scratch;
        const vb::Failure why = format.convert(
            vb::TextRef{date.get(), date_size, vb::Failure::none}, got,
            scratch);
        if (why != want || (why == vb::Failure::none && got != expected)) {
            fail(format.planned() ? "planned conversion differs from dateToInt"
                                  : "column conversion differs from dateToInt",
                 fmt, whole);
        }
    }
    return 0;
}
