// Differential harness for the block engine, built and run by
// test_histogram_engine.py: reads a capacity and a stream of pushes from
// the standard input and compares the engines with the reference after
// every push (histogram_lockstep.h).  The engines' invariant checks are
// compiled in.
//
// Input, little-endian: the capacity (8 bytes), then records of 17 bytes:
// a kind byte (0 a value, 1 a bucket), the centroid's 8 bytes and the
// count (8 bytes, ignored for a value).  Prints "pushes N buckets M" and
// exits 0 when every push agreed; prints the first difference and exits 1
// otherwise.
#define VB_HISTOGRAM_CHECKS 1

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "histogram_lockstep.h"

int main()
{
    unsigned char header[8];
    if (std::fread(header, 1, sizeof header, stdin) != sizeof header) {
        std::puts("no capacity");
        return 2;
    }
    std::uint64_t capacity;
    std::memcpy(&capacity, header, sizeof capacity);
    vb_test::Lockstep engines(capacity);
    unsigned char record[17];
    std::size_t pushes = 0;
    while (std::fread(record, 1, sizeof record, stdin) == sizeof record) {
        double centroid;
        std::uint64_t count;
        std::memcpy(&centroid, record + 1, sizeof centroid);
        std::memcpy(&count, record + 9, sizeof count);
        const bool asValue = record[0] == 0;
        const std::string why =
            engines.push(vb::Bucket(centroid, asValue ? 1 : count), asValue);
        ++pushes;
        if (!why.empty()) {
            std::printf("push %zu: %s\n", pushes, why.c_str());
            return 1;
        }
    }
    std::printf("pushes %zu buckets %zu\n", pushes,
                engines.reference().size());
    return 0;
}
