// Arrow string columns read in place through the Arrow PyCapsule interface
// (`__arrow_c_array__`, `__arrow_c_stream__`), with no Arrow library: the
// C data interface is a fixed binary layout, declared here.
#pragma once

#include "../_shared/python.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "../_shared/arrow_c.h"
#include "../_shared/ref.h"

namespace vb {

// The three string layouts: 32-bit offsets ("u"), 64-bit offsets ("U")
// and 16-byte views ("vu", inline up to 12 bytes, else in a data buffer);
// and the null type ("n": no buffers, every element missing), which is how
// an empty or all-missing column of objects comes.
enum class StringLayout { offsets32, offsets64, views, nulls };

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
    ~ArrowColumn()
    {
        for (ArrowArray& a : owned_) {
            if (a.release) {
                a.release(&a);
            }
        }
        if (schema_.release) {
            schema_.release(&schema_);
        }
    }

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

    // The layout of a string schema; false with TypeError for any other.
    static bool layoutOf(const ArrowSchema* schema,
                         StringLayout& layout) noexcept
    {
        const char* f = schema ? schema->format : nullptr;
        if (f && !schema->dictionary && std::strcmp(f, "u") == 0) {
            layout = StringLayout::offsets32;
            return true;
        }
        if (f && !schema->dictionary && std::strcmp(f, "U") == 0) {
            layout = StringLayout::offsets64;
            return true;
        }
        if (f && !schema->dictionary && std::strcmp(f, "vu") == 0) {
            layout = StringLayout::views;
            return true;
        }
        if (f && !schema->dictionary && std::strcmp(f, "n") == 0) {
            layout = StringLayout::nulls;
            return true;
        }
        PyErr_Format(PyExc_TypeError,
                     "date2int() texts must be Arrow strings (format 'u', "
                     "'U' or 'vu'), not Arrow format '%.50s'%s",
                     f ? f : "",
                     schema && schema->dictionary ? " with a dictionary" : "");
        return false;
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
        keep_.push_back(Ref::incref(pair));
        auto* schema =
            pointerOf<ArrowSchema>(PyTuple_GET_ITEM(pair, 0), "arrow_schema");
        auto* array =
            pointerOf<ArrowArray>(PyTuple_GET_ITEM(pair, 1), "arrow_array");
        StringLayout layout;
        if (!schema || !array || !layoutOf(schema, layout) ||
            !addChunk(*array, layout)) {
            return ArrowImport::failed;
        }
        return ArrowImport::done;
    }

    // False with TypeError for an array without the buffers its layout
    // reads (validity, offsets or views, data) or with children.
    bool addChunk(const ArrowArray& a, StringLayout layout)
    {
        const bool views = layout == StringLayout::views;
        const bool nulls = layout == StringLayout::nulls;
        if (a.length < 0 || a.offset < 0 || a.n_children != 0 ||
            (!nulls && ((views ? a.n_buffers < 3 : a.n_buffers != 3) ||
                        (a.length > 0 && (!a.buffers || !a.buffers[1]))))) {
            PyErr_SetString(PyExc_TypeError,
                            "date2int() got an Arrow string array whose "
                            "buffers do not match its format");
            return false;
        }
        chunks_.emplace_back(a, layout);
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
        keep_.push_back(std::move(capsule));
        int code = stream->get_schema(stream, &schema_);
        if (code != 0) {
            schema_.release = nullptr;
            streamFailed(stream, code);
            return ArrowImport::failed;
        }
        StringLayout layout;
        if (!layoutOf(&schema_, layout)) {
            return ArrowImport::failed;
        }
        // Every chunk first: the arrays must not move once read from.
        try {
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
                    throw;
                }
            }
            for (const ArrowArray& a : owned_) {
                if (!addChunk(a, layout)) {
                    return ArrowImport::failed;
                }
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return ArrowImport::failed;
        }
        return ArrowImport::done;
    }

    std::vector<Ref> keep_;          // the capsules that own what we read
    ArrowSchema schema_ = {};        // a stream's schema, ours to release
    std::vector<ArrowArray> owned_;  // a stream's chunks, ours to release
    std::vector<ArrowStrings> chunks_;
};

}  // namespace vb
