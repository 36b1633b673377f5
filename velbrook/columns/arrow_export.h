// An Int64Column handed out through the Arrow PyCapsule interface: one
// ArrowSchema and one ArrowArray, each in a capsule, whose buffers are the
// column's own memory (validity bitmap and values, no copy).
//
// Ownership: the exported array holds a strong reference to the column in
// its private data, dropped by its release callback. A consumer may move
// the structure out of the capsule and call the callback from any thread,
// at any time, without the interpreter lock; the callback takes the lock
// for the one reference it drops, and leaks it (never touches the
// interpreter) once the interpreter is shutting down.
#pragma once

#include "../_shared/python.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../_shared/compat.h"
#include "../_shared/ref.h"
#include "arrow.h"

namespace vb {

namespace arrow_export {

constexpr std::int64_t flagNullable = 2;  // ARROW_FLAG_NULLABLE

// The formats a column is exported as: int64, and the datetime types of
// its unit (a timestamp of the column's own unit is the same buffers).
constexpr const char* int64Format = "l";
constexpr const char* secondsFormat = "tss:";
constexpr const char* millisecondsFormat = "tsm:";
constexpr const char* date32Format = "tdD";

struct ArrayPrivate {
    const void* buffers[2];  // validity (or null), values
    PyObject* owner;         // strong reference, dropped by `releaseArray`
    void* values;            // values of our own (std::malloc), or null
};

inline void releaseSchema(ArrowSchema* schema) noexcept
{
    // Its strings are static; nothing else is owned.
    schema->release = nullptr;
}

// Drops the owner's reference. Called by whoever holds the array, maybe
// from a thread of its own without the interpreter lock.
inline void releaseArray(ArrowArray* array) noexcept
{
    auto* p = static_cast<ArrayPrivate*>(array->private_data);
    if (p) {
        if (PyGILState_Check()) {
            Py_DECREF(p->owner);
        } else if (Py_IsInitialized() && !interpreterFinalizing()) {
            const PyGILState_STATE state = PyGILState_Ensure();
            Py_DECREF(p->owner);
            PyGILState_Release(state);
        }  // else: the interpreter is going away; the reference is leaked
        std::free(p->values);
        std::free(p);
    }
    array->private_data = nullptr;
    array->release = nullptr;
}

inline constexpr char schemaCapsuleName[] = "arrow_schema";
inline constexpr char arrayCapsuleName[] = "arrow_array";

// The destructor of a capsule `Name` holding a `T`: a structure still
// unreleased (not moved out by a consumer) is released, then the
// allocation freed.
template <class T, const char* Name>
void destroyCapsule(PyObject* capsule) noexcept
{
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, Name));
    if (!p) {
        PyErr_Clear();
        return;
    }
    if (p->release) {
        p->release(p);
    }
    std::free(p);
}

// A capsule "arrow_schema" for a flat, nullable column of `format`.
inline Ref schemaCapsule(const char* format) noexcept
{
    auto* schema = static_cast<ArrowSchema*>(std::malloc(sizeof(ArrowSchema)));
    if (!schema) {
        PyErr_NoMemory();
        return Ref();
    }
    *schema = ArrowSchema{format,  "",      nullptr,       flagNullable, 0,
                          nullptr, nullptr, releaseSchema, nullptr};
    Ref capsule = Ref::steal(
        PyCapsule_New(schema, schemaCapsuleName,
                      destroyCapsule<ArrowSchema, schemaCapsuleName>));
    if (!capsule) {
        std::free(schema);
    }
    return capsule;
}

// A capsule "arrow_array" over `length` values at `values` with the
// validity bitmap `validity` (null: no nulls), both owned by `owner`, or
// the values by the capsule when `ownValues` (from std::malloc: freed
// with the array, also when this fails).
inline Ref arrayCapsule(PyObject* owner, const void* values,
                        const std::uint8_t* validity, std::int64_t length,
                        std::int64_t nullCount, bool ownValues) noexcept
{
    auto* array = static_cast<ArrowArray*>(std::malloc(sizeof(ArrowArray)));
    auto* p = static_cast<ArrayPrivate*>(std::malloc(sizeof(ArrayPrivate)));
    if (!array || !p) {
        std::free(array);
        std::free(p);
        if (ownValues) {
            std::free(const_cast<void*>(values));
        }
        PyErr_NoMemory();
        return Ref();
    }
    p->buffers[0] = validity;
    p->buffers[1] = values;
    p->owner = Ref::incref(owner).release();
    p->values = ownValues ? const_cast<void*>(values) : nullptr;
    *array = ArrowArray{length,  nullCount,    0, 2, 0, p->buffers, nullptr,
                        nullptr, releaseArray, p};
    Ref capsule = Ref::steal(
        PyCapsule_New(array, arrayCapsuleName,
                      destroyCapsule<ArrowArray, arrayCapsuleName>));
    if (!capsule) {
        releaseArray(array);
        std::free(array);
    }
    return capsule;
}

// The format of a requested schema capsule, or null when `requested` is
// None or not a schema capsule (then ignored: the request is best-effort).
inline const char* requestedFormat(PyObject* requested) noexcept
{
    if (!requested || requested == Py_None ||
        !PyCapsule_IsValid(requested, schemaCapsuleName)) {
        return nullptr;
    }
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(requested, schemaCapsuleName));
    return schema && schema->release && schema->n_children == 0 &&
                   !schema->dictionary
               ? schema->format
               : nullptr;
}

}  // namespace arrow_export
}  // namespace vb
