// The structures of the Arrow C data and C stream interfaces: a fixed
// binary layout, so no Arrow library is needed to read what an object
// exports through `__arrow_c_array__` or `__arrow_c_stream__`.
#pragma once

#include <cstdint>
#include <vector>

namespace vb {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// Releases what an importer still owns: each array not moved out, then
// the schema (a released structure has a null `release`).
inline void releaseArrow(std::vector<ArrowArray>& arrays,
                         ArrowSchema& schema) noexcept
{
    for (ArrowArray& a : arrays) {
        if (a.release) {
            a.release(&a);
        }
    }
    if (schema.release) {
        schema.release(&schema);
    }
}

}  // namespace vb
