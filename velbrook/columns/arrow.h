// Arrow string columns read in place through the Arrow PyCapsule interface
// (`__arrow_c_array__`, `__arrow_c_stream__`), with no Arrow library: the
// C data interface is a fixed binary layout, declared here.
#pragma once

#include "../_shared/python.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../_shared/arrow_c.h"
#include "../_shared/ref.h"

namespace vb {

// The three string layouts: 32-bit offsets ("u"), 64-bit offsets ("U")
// and 16-byte views ("vu", inline up to 12 bytes, else in a data buffer);
// and a column whose every element is missing: the null type ("n": no
// buffers), which is how an empty or all-missing column of objects comes,
// or numbers or times that are all null or NaN (what pandas hands over for
// a column of dates read from empty fields).
enum class StringLayout { offsets32, offsets64, views, nulls };

// True when the IEEE float of `bytes` bytes (2, 4, 8, or those of a long
// double) at `p` is a NaN; the copy allows unaligned data.
inline bool floatIsNaN(const char* p, std::size_t bytes) noexcept
{
    switch (bytes) {
        case 2: {
            std::uint16_t half;
            std::memcpy(&half, p, 2);
            return (half & 0x7C00) == 0x7C00 && (half & 0x03FF) != 0;
        }
        case 4: {
            float f;
            std::memcpy(&f, p, 4);
            return std::isnan(f);
        }
        case 8: {
            double d;
            std::memcpy(&d, p, 8);
            return std::isnan(d);
        }
        case sizeof(long double): {
            long double d;
            std::memcpy(&d, p, sizeof d);
            return std::isnan(d);
        }
        default:
            return false;
    }
}

// One array of strings, read in place; valid while its owner lives.
class ArrowStrings {
public:
    ArrowStrings(const ArrowArray& a, StringLayout layout) noexcept
        : array_(&a), layout_(layout)
    {
    }

    std::size_t length() const noexcept
    {
        return static_cast<std::size_t>(array_->length);
    }

    // The bytes of element i; false for a null.
    bool get(std::size_t i, const char*& data,
             std::size_t& size) const noexcept
    {
        if (layout_ == StringLayout::nulls) {
            return false;
        }
        const std::int64_t j = array_->offset + static_cast<std::int64_t>(i);
        const auto* validity =
            static_cast<const std::uint8_t*>(array_->buffers[0]);
        if (validity && array_->null_count != 0 &&
            !((validity[j >> 3] >> (j & 7)) & 1)) {
            return false;
        }
        switch (layout_) {
            case StringLayout::offsets32:
                return between<std::int32_t>(j, data, size);
            case StringLayout::offsets64:
                return between<std::int64_t>(j, data, size);
            case StringLayout::nulls:
                break;
            case StringLayout::views: {
                const char* view =
                    static_cast<const char*>(array_->buffers[1]) + 16 * j;
                std::int32_t length;
                std::memcpy(&length, view, 4);
                size = static_cast<std::size_t>(length);
                if (length <= 12) {
                    data = view + 4;
                    return true;
                }
                std::int32_t buffer, offset;
                std::memcpy(&buffer, view + 8, 4);
                std::memcpy(&offset, view + 12, 4);
                data = static_cast<const char*>(array_->buffers[2 + buffer]) +
                       offset;
                return true;
            }
        }
        return false;
    }

private:
    // Element j of an offsets layout: the data between offsets j and j+1.
    template <class Offset>
    bool between(std::int64_t j, const char*& data,
                 std::size_t& size) const noexcept
    {
        const auto* offsets = static_cast<const Offset*>(array_->buffers[1]);
        data = static_cast<const char*>(array_->buffers[2]) + offsets[j];
        size = static_cast<std::size_t>(offsets[j + 1] - offsets[j]);
        return true;
    }

    const ArrowArray* array_;
    StringLayout layout_;
};

enum class ArrowImport { notArrow, done, failed };

// The string arrays of an object that speaks the Arrow PyCapsule
// interface, held (and released) by this object.
class ArrowColumn {
public:
    ArrowColumn() = default;
    ArrowColumn(const ArrowColumn&) = delete;
    ArrowColumn& operator=(const ArrowColumn&) = delete;
    ~ArrowColumn() { releaseArrow(owned_, schema_); }

    // notArrow when `o` has neither method, or its export raised an
    // Exception (a pandas column of mixed objects): it is then read as an
    // iterable. failed with the exception set for a column that is not
    // of strings or a stream that fails.
    ArrowImport import(PyObject* o) noexcept
    {
        if (PyObject_HasAttrString(o, "__arrow_c_array__")) {
            Ref pair = exportOf(o, "__arrow_c_array__");
            if (!pair) {
                return PyErr_Occurred() ? ArrowImport::failed
                                        : ArrowImport::notArrow;
            }
            return fromArray(pair.get());
        }
        if (PyObject_HasAttrString(o, "__arrow_c_stream__")) {
            Ref capsule = exportOf(o, "__arrow_c_stream__");
            if (!capsule) {
                return PyErr_Occurred() ? ArrowImport::failed
                                        : ArrowImport::notArrow;
            }
            return fromStream(std::move(capsule));
        }
        return ArrowImport::notArrow;
    }

    std::size_t length() const noexcept
    {
        std::size_t n = 0;
        for (const ArrowStrings& c : chunks_) {
            n += c.length();
        }
        return n;
    }

    const std::vector<ArrowStrings>& chunks() const noexcept
    {
        return chunks_;
    }

private:
    // The export, or an empty Ref: with the exception set for one that
    // must propagate, cleared for an ordinary Exception.
    static Ref exportOf(PyObject* o, const char* method) noexcept
    {
        Ref result = Ref::steal(PyObject_CallMethod(o, method, nullptr));
        if (!result && PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        }
        return result;
    }

    // How the arrays of a schema are read.
    struct ChunkFormat {
        StringLayout layout = StringLayout::nulls;
        // Numbers or times of fixed width, accepted only when every element
        // is missing, and then read as nulls; a float's NaN is missing too.
        bool numbers = false;
        std::size_t floatBytes = 0;           // 2, 4 or 8 for a float, else 0
        const ArrowSchema* schema = nullptr;  // for messages
    };

    // TypeError naming the format that is not one of strings.
    static void raiseNotStrings(const ArrowSchema* schema) noexcept
    {
        const char* f = schema ? schema->format : nullptr;
        PyErr_Format(PyExc_TypeError,
                     "date2int() texts must be Arrow strings (format 'u', "
                     "'U' or 'vu'), not Arrow format '%.50s'%s",
                     f ? f : "",
                     schema && schema->dictionary ? " with a dictionary" : "");
    }

    // The format of a string schema, or of one of numbers or times (each
    // array of which must then be entirely missing); false with TypeError
    // for any other.
    static bool formatOf(const ArrowSchema* schema, ChunkFormat& out) noexcept
    {
        const char* f = schema ? schema->format : nullptr;
        out.schema = schema;
        if (!f || schema->dictionary) {
            raiseNotStrings(schema);
            return false;
        }
        if (std::strcmp(f, "u") == 0) {
            out.layout = StringLayout::offsets32;
            return true;
        }
        if (std::strcmp(f, "U") == 0) {
            out.layout = StringLayout::offsets64;
            return true;
        }
        if (std::strcmp(f, "vu") == 0) {
            out.layout = StringLayout::views;
            return true;
        }
        if (std::strcmp(f, "n") == 0) {
            out.layout = StringLayout::nulls;
            return true;
        }
        // Booleans, integers, floats (half, single, double) and every
        // temporal type ("t..."): one data buffer of fixed-width values.
        const bool scalar = f[0] != '\0' && f[1] == '\0' &&
                            std::strchr("bcCsSiIlLefg", f[0]) != nullptr;
        if (scalar || f[0] == 't') {
            out.layout = StringLayout::nulls;
            out.numbers = true;
            out.floatBytes = !scalar       ? 0
                             : f[0] == 'e' ? 2
                             : f[0] == 'f' ? 4
                             : f[0] == 'g' ? 8
                                           : 0;
            return true;
        }
        raiseNotStrings(schema);
        return false;
    }

    // True when every element of an array of numbers is null or NaN.
    static bool entirelyMissing(const ArrowArray& a,
                                std::size_t floatBytes) noexcept
    {
        if (a.length == 0 || a.null_count == a.length) {
            return true;
        }
        const auto* validity = static_cast<const std::uint8_t*>(a.buffers[0]);
        const char* values = static_cast<const char*>(a.buffers[1]);
        for (std::int64_t j = a.offset; j < a.offset + a.length; ++j) {
            if (validity && !((validity[j >> 3] >> (j & 7)) & 1)) {
                continue;  // null
            }
            if (floatBytes == 0 || !values ||
                !floatIsNaN(values + static_cast<std::size_t>(j) * floatBytes,
                            floatBytes)) {
                return false;
            }
        }
        return true;
    }

    template <class T>
    static T* pointerOf(PyObject* capsule, const char* name) noexcept
    {
        return static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    }

    ArrowImport fromArray(PyObject* pair) noexcept
    {
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError,
                            "__arrow_c_array__ must return a pair of "
                            "capsules");
            return ArrowImport::failed;
        }
        try {
            keep_.push_back(Ref::incref(pair));
        } catch (...) {
            PyErr_NoMemory();
            return ArrowImport::failed;
        }
        auto* schema =
            pointerOf<ArrowSchema>(PyTuple_GET_ITEM(pair, 0), "arrow_schema");
        auto* array =
            pointerOf<ArrowArray>(PyTuple_GET_ITEM(pair, 1), "arrow_array");
        ChunkFormat format;
        if (!schema || !array || !formatOf(schema, format) ||
            !addChunk(*array, format)) {
            return ArrowImport::failed;
        }
        return ArrowImport::done;
    }

    // False with TypeError for an array without the buffers its layout
    // reads (validity, offsets or views, data) or with children, or for
    // numbers that are not all missing; MemoryError when the chunk cannot
    // be kept.
    bool addChunk(const ArrowArray& a, const ChunkFormat& format) noexcept
    {
        const StringLayout layout = format.layout;
        const bool views = layout == StringLayout::views;
        const bool strings = layout != StringLayout::nulls;
        const bool buffersMissing =
            a.length > 0 && (!a.buffers || !a.buffers[1]);
        if (a.length < 0 || a.offset < 0 || a.n_children != 0 ||
            (strings && ((views ? a.n_buffers < 3 : a.n_buffers != 3) ||
                         buffersMissing)) ||
            (format.numbers && a.length > 0 &&
             (a.n_buffers < 2 || !a.buffers))) {
            PyErr_SetString(PyExc_TypeError,
                            "date2int() got an Arrow string array whose "
                            "buffers do not match its format");
            return false;
        }
        if (format.numbers && !entirelyMissing(a, format.floatBytes)) {
            raiseNotStrings(format.schema);
            return false;
        }
        try {
            chunks_.emplace_back(a, layout);
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    bool streamFailed(ArrowArrayStream* stream, int code) noexcept
    {
        const char* why =
            stream->get_last_error ? stream->get_last_error(stream) : nullptr;
        PyErr_Format(PyExc_ValueError,
                     "date2int() could not read the Arrow stream: %s "
                     "(error %d)",
                     why ? why : "no message", code);
        return false;
    }

    ArrowImport fromStream(Ref capsule) noexcept
    {
        auto* stream =
            pointerOf<ArrowArrayStream>(capsule.get(), "arrow_array_stream");
        if (!stream) {
            return ArrowImport::failed;
        }
        try {
            keep_.push_back(std::move(capsule));
        } catch (...) {
            PyErr_NoMemory();  // the capsule is still ours, and released
            return ArrowImport::failed;
        }
        int code = stream->get_schema(stream, &schema_);
        if (code != 0) {
            schema_.release = nullptr;
            streamFailed(stream, code);
            return ArrowImport::failed;
        }
        ChunkFormat format;
        if (!formatOf(&schema_, format)) {
            return ArrowImport::failed;
        }
        // Every chunk first: the arrays must not move once read from.
        for (;;) {
            ArrowArray next;
            std::memset(&next, 0, sizeof next);
            code = stream->get_next(stream, &next);
            if (code != 0) {
                streamFailed(stream, code);
                return ArrowImport::failed;
            }
            if (!next.release) {
                break;  // the end
            }
            try {
                owned_.push_back(next);
            } catch (...) {
                next.release(&next);
                PyErr_NoMemory();
                return ArrowImport::failed;
            }
        }
        for (const ArrowArray& a : owned_) {
            if (!addChunk(a, format)) {
                return ArrowImport::failed;
            }
        }
        return ArrowImport::done;
    }

    std::vector<Ref> keep_;          // the capsules that own what we read
    ArrowSchema schema_ = {};        // a stream's schema, ours to release
    std::vector<ArrowArray> owned_;  // a stream's chunks, ours to release
    std::vector<ArrowStrings> chunks_;
};

}  // namespace vb
