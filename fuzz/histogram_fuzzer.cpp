// Fuzz target for the centroid histogram core.
//
// Input: a capacity choice, then a sequence of pushes, each either a value
// or a (centroid, count) bucket, with doubles taken bit for bit from the
// input (NaN, infinities, subnormals and -0.0 included).
//
// Checked after every push:
//   - size() <= capacity, and size() == pushes while below capacity;
//   - the sum of the bucket counts equals the sum of the pushed counts,
//     modulo 2^64;
//   - with a bounded capacity the storage reserved at construction is never
//     reallocated;
//   - the block engine (block_histogram.h), at three block sizes, holds
//     exactly the reference's buckets, and its own invariants (checked
//     inside it: VB_HISTOGRAM_CHECKS).
// Capacities up to 300 let inputs of a few thousand bytes fill many small
// blocks; streams lean on repeats, so that merges leave equal centroids
// out of count order.
// Capacities 0 and beyond the container's limit must throw
// std::length_error; 2^64 - 1 reserves nothing and grows on demand.
#define VB_HISTOGRAM_CHECKS 1

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <stdexcept>

#include "histogram.h"
#include "histogram_lockstep.h"

namespace {

[[noreturn]] void fail(const char* what, std::size_t capacity,
                       std::size_t pushes)
{
    std::fprintf(stderr, "histogram_fuzzer: %s (capacity %zu, push %zu)\n",
                 what, capacity, pushes);
    std::abort();
}

constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max();

std::size_t pick_capacity(FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return 0;
        case 1:
            return unbounded;
        case 2:  // too large for the container: refused before allocating
            return in.ConsumeIntegralInRange<std::size_t>(std::size_t{1} << 60,
                                                          unbounded - 1);
        case 3:
            return in.ConsumeIntegralInRange<std::size_t>(41, 300);
        default:
            return in.ConsumeIntegralInRange<std::size_t>(1, 40);
    }
}

double pick_double(FuzzedDataProvider& in)
{
    if (in.ConsumeBool()) {  // small integers make ties and equal centroids
        return in.ConsumeIntegralInRange<int>(-4, 4);
    }
    return in.ConsumeFloatingPoint<double>() *
           (in.ConsumeBool() ? 1.0 : 0.0);  // 0.0 * inf gives NaN
}

std::size_t pick_count(FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return 0;
        case 1:  // near the wrap-around of the total
            return unbounded - in.ConsumeIntegralInRange<std::size_t>(0, 3);
        default:
            return in.ConsumeIntegral<std::size_t>() % 1000;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::size_t capacity = pick_capacity(in);

    if (capacity == 0 || (capacity != unbounded && capacity >= (1ull << 59))) {
        try {
            vb::Histogram refused(capacity);
        } catch (const std::length_error&) {
            return 0;
        }
        fail("capacity accepted that must be refused", capacity, 0);
    }

    vb::Histogram h(capacity);
    if (h.size() != 0) {
        fail("new histogram not empty", capacity, 0);
    }
    const std::size_t reserved = h.buckets().capacity();
    std::optional<vb_test::Lockstep> engines;
    if (capacity <= 4096) {
        engines.emplace(capacity);
    }

    std::size_t pushed_total = 0;  // wraps modulo 2^64 like the counts
    std::size_t pushes = 0;
    while (in.remaining_bytes() > 0 && pushes < 2000) {
        std::string differs;
        if (in.ConsumeBool()) {
            const double value = pick_double(in);
            h.push(value);
            if (engines) {
                differs = engines->push(vb::Bucket(value, 1), true);
            }
            pushed_total += 1;
        } else {
            const double centroid = pick_double(in);
            const std::size_t count = pick_count(in);
            h.push(vb::Bucket(centroid, count));
            if (engines) {
                differs = engines->push(vb::Bucket(centroid, count), false);
            }
            pushed_total += count;
        }
        ++pushes;
        if (!differs.empty()) {
            fail(differs.c_str(), capacity, pushes);
        }

        if (h.size() > capacity) {
            fail("size above capacity", capacity, pushes);
        }
        if (pushes <= capacity && h.size() != pushes) {
            fail("bucket lost below capacity", capacity, pushes);
        }
        std::size_t total = 0;
        for (std::size_t i = 0; i < h.size(); ++i) {
            total += h.buckets()[i].count();
        }
        if (total != pushed_total) {
            fail("total count differs from what was pushed", capacity, pushes);
        }
        if (capacity != unbounded && h.buckets().capacity() != reserved) {
            fail("bucket storage reallocated", capacity, pushes);
        }
    }
    return 0;
}
