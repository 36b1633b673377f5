// Bounded centroid histogram: a sorted list of (centroid, count) buckets
// that merges its two cheapest neighbours whenever it outgrows its
// capacity.  Interpreter-free; failures are standard exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vb {

// Counts wrap modulo 2^64 and capacities arrive as 64-bit integers.
static_assert(sizeof(std::size_t) == 8, "64-bit size_t required");

namespace histogram_detail {

// Reading back through a volatile forces a product to be rounded to double
// on its own, so no compiler or flag can fuse it into a multiply-add.
inline double rounded(double x)
{
    volatile double stored = x;
    return stored;
}

}  // namespace histogram_detail

class Bucket {
public:
    Bucket(double centroid, std::size_t count)
        : _count(count), _centroid(centroid)
    {
    }

    // Count-weighted mean.  The divisor is the wrapped integer sum, not the
    // sum of the converted counts, and both products are rounded before the
    // single addition; the sum is commutative, so operand order is free.
    Bucket(const Bucket& lhs, const Bucket& rhs)
        : _count(lhs._count + rhs._count), _centroid(0.0)
    {
        const double left = histogram_detail::rounded(
            static_cast<double>(lhs._count) * lhs._centroid);
        const double right = histogram_detail::rounded(
            static_cast<double>(rhs._count) * rhs._centroid);
        _centroid = (left + right) / static_cast<double>(_count);
    }

    // Lexicographic on (centroid, count); when neither centroid is less
    // (equal or NaN) the counts decide.
    bool operator<(const Bucket& other) const
    {
        if (_centroid < other._centroid) {
            return true;
        }
        if (other._centroid < _centroid) {
            return false;
        }
        return _count < other._count;
    }

    double centroid() const { return _centroid; }
    std::size_t count() const { return _count; }

private:
    std::size_t _count;
    double _centroid;
};

class Histogram {
public:
    // Room for one bucket beyond capacity is reserved up front so that a
    // push never reallocates.  For capacity 2^64 - 1 the request wraps to
    // 0 and the list simply grows on demand.
    explicit Histogram(std::size_t max_size) : _max_size(max_size), _buckets()
    {
        if (max_size == 0) {
            throw std::length_error("histogram size must be >= 1");
        }
        _buckets.reserve(max_size + 1);
    }

    std::size_t size() const { return _buckets.size(); }
    std::size_t max_size() const { return _max_size; }
    const std::vector<Bucket>& buckets() const { return _buckets; }

    void push(double value) { push(Bucket(value, 1)); }

    void push(const Bucket& bucket)
    {
        // Upper bound by halving.  The list may be slightly out of order
        // after merges, so the exact probe sequence matters: keep it.
        std::size_t first = 0;
        std::size_t len = _buckets.size();
        while (len > 0) {
            const std::size_t half = len / 2;
            const std::size_t middle = first + half;
            if (bucket < _buckets[middle]) {
                len = half;
            } else {
                first = middle + 1;
                len = len - half - 1;
            }
        }
        _buckets.insert(_buckets.begin() + static_cast<std::ptrdiff_t>(first),
                        bucket);
        if (_buckets.size() > _max_size) {
            combine();
        }
    }

    // Merge the neighbouring pair with the smallest key (gap, combined
    // count, left centroid, tie index).  A no-op below two buckets.
    void combine()
    {
        const std::size_t n = _buckets.size();
        if (n < 2) {
            return;
        }
        std::size_t merge_index = 0;
        PairKey merge_key = key_of(0);
        for (std::size_t i = 1; i < n - 1; ++i) {
            const PairKey candidate = key_of(i);
            if (candidate.less_than(merge_key)) {
                merge_key = candidate;
                merge_index = i;
            }
        }
        _buckets[merge_index] =
            Bucket(_buckets[merge_index], _buckets[merge_index + 1]);
        _buckets.erase(_buckets.begin() +
                       static_cast<std::ptrdiff_t>(merge_index + 1));
    }

private:
    struct PairKey {
        double gap;
        std::size_t combined;
        double left;
        // Pair index negated modulo 2^64: pair 0 stores 0, which no later
        // pair undercuts, while among pairs 1 and up the later one is
        // smaller and so wins a full tie.
        std::uint64_t tie;

        // Part by part: a part decides only when one side is strictly
        // less, so a NaN gap or centroid passes the decision onwards.
        // Not transitive with NaNs, hence the strict left-to-right scan.
        bool less_than(const PairKey& o) const
        {
            if (gap < o.gap) {
                return true;
            }
            if (o.gap < gap) {
                return false;
            }
            if (combined != o.combined) {
                return combined < o.combined;
            }
            if (left < o.left) {
                return true;
            }
            if (o.left < left) {
                return false;
            }
            return tie < o.tie;
        }
    };

    PairKey key_of(std::size_t i) const
    {
        const Bucket& l = _buckets[i];
        const Bucket& r = _buckets[i + 1];
        return PairKey{r.centroid() - l.centroid(), l.count() + r.count(),
                       l.centroid(), std::uint64_t{0} - i};
    }

    const std::size_t _max_size;
    std::vector<Bucket> _buckets;
};

}  // namespace vb
