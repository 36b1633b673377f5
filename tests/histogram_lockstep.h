// The reference `Histogram` and the block engine at four block sizes,
// fed the same pushes and compared bucket for bucket after every push.
// Shared by the differential test's harness and the fuzz target.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "block_histogram.h"
#include "histogram.h"

namespace vb_test {

class Lockstep {
public:
    explicit Lockstep(std::size_t capacity)
        : reference_(capacity),
          small_(capacity),
          medium_(capacity),
          large_(capacity),
          wide_(capacity)
    {
        seen_.reserve(capacity + 1);
    }

    // Pushes into every engine; an empty string when all agree, else what
    // differs.
    std::string push(const vb::Bucket& bucket, bool asValue)
    {
        if (asValue) {
            reference_.push(bucket.centroid());
            small_.push(bucket.centroid());
            medium_.push(bucket.centroid());
            large_.push(bucket.centroid());
            wide_.push(bucket.centroid());
        } else {
            reference_.push(bucket);
            small_.push(bucket);
            medium_.push(bucket);
            large_.push(bucket);
            wide_.push(bucket);
        }
        std::string why = differs(small_, "blocks of 4");
        if (why.empty()) {
            why = differs(medium_, "blocks of 8");
        }
        if (why.empty()) {
            why = differs(large_, "the builders' blocks");
        }
        if (why.empty()) {
            why = differs(wide_, "the builders' wide blocks");
        }
        return why;
    }

    const vb::Histogram& reference() const { return reference_; }

private:
    static bool same(const vb::Bucket& a, const vb::Bucket& b)
    {
        const double x = a.centroid();
        const double y = b.centroid();
        return a.count() == b.count() && std::memcmp(&x, &y, sizeof x) == 0;
    }

    template <class Engine>
    std::string differs(const Engine& engine, const char* name)
    {
        seen_.clear();
        engine.forEachBucket(
            [this](const vb::Bucket& b) { seen_.push_back(b); });
        const std::vector<vb::Bucket>& expected = reference_.buckets();
        if (engine.size() != expected.size() ||
            seen_.size() != expected.size()) {
            return std::string(name) + ": size differs";
        }
        for (std::size_t i = 0; i < seen_.size(); ++i) {
            if (!same(seen_[i], expected[i])) {
                return std::string(name) + ": bucket " + std::to_string(i) +
                       " differs";
            }
        }
        return std::string();
    }

    vb::Histogram reference_;
    vb::BlockHistogramOf<4> small_;
    vb::BlockHistogramOf<8> medium_;
    vb::BlockHistogram large_;
    vb::WideBlockHistogram wide_;
    std::vector<vb::Bucket> seen_;
};

}  // namespace vb_test
