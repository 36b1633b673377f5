// The centroid histogram of histogram.h with a push that costs about the
// square root of the capacity instead of the capacity, leaving after every
// push exactly the buckets `Histogram` leaves: the same centroid bits,
// counts and order.  Interpreter-free; failures are standard exceptions.
//
// The buckets live in blocks of at most `BlockCapacity`, in list order.
// Each block keeps a copy of the next block's first bucket behind its own,
// so that every pair of neighbours, the one across a block boundary
// included, is read inside one block; the pair across a boundary belongs
// to the block on its left.  Each block caches its best pair under the
// merge key and the number of its pairs whose gap is NaN.  A tournament
// tree over the blocks gives the best pair of the whole list.
//
// The merge key (gap, combined count, left centroid, tie index) compares
// NaN as "undecided", which makes it no order at all: then the choice of
// `Histogram::combine` depends on its left-to-right scan, and that scan is
// what this class runs, over all pairs, while any gap is NaN.  (A NaN
// centroid always gives a NaN gap, so the gap alone tells.)  Without NaN
// the key is a total order in which, on equal gap, count and centroid,
// the later pair wins, except that pair 0 wins over every later pair:
// the tree prefers the later block on a tie, and pair 0, left out of its
// block, is taken only when the tree's best does not strictly beat it.
//
// The insert position is the upper bound found by the very probe sequence
// of `Histogram::push`: merges can leave the list slightly out of order
// (equal centroids with a larger count first), and there another probe
// sequence finds another position.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "histogram.h"

// The checked build verifies every cached value against a recomputation
// after each push and aborts on a difference: the sanitizer builds, and
// anything compiled with VB_HISTOGRAM_CHECKS defined.
#if defined(VB_HISTOGRAM_CHECKS) || defined(__SANITIZE_ADDRESS__)
#define VB_HISTOGRAM_CHECKING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VB_HISTOGRAM_CHECKING 1
#endif
#endif
#ifndef VB_HISTOGRAM_CHECKING
#define VB_HISTOGRAM_CHECKING 0
#endif

namespace vb {

template <std::uint32_t BlockCapacity>
class BlockHistogramOf {
    static_assert(BlockCapacity >= 4 && BlockCapacity % 2 == 0,
                  "blocks of an even size, at least 4");

public:
    // Above this the reference engine is used: blocks cost about four
    // times the reference's memory per bucket, reserved up front.
    static constexpr std::size_t largestCapacity = std::size_t{1} << 22;

    // Throws as `Histogram` does for 0; capacities above
    // `largestCapacity` are refused with std::length_error.  Everything a
    // push needs is allocated here.
    explicit BlockHistogramOf(std::size_t max_size)
        : _max_size(checked(max_size)),
          maxBlocks_(static_cast<Index>(2 * (max_size + 1) / (half + 1) + 3)),
          leaves_(leavesFor(maxBlocks_)),
          blocks_(maxBlocks_),
          order_(maxBlocks_),
          start_(maxBlocks_ + 1),
          free_(),
          tree_(2 * leaves_, none)
    {
        free_.reserve(maxBlocks_);
        for (Index i = maxBlocks_; i-- > 1;) {
            free_.push_back(i);
        }
        order_[0] = 0;
        nb_ = 1;
        blocks_[0].size = 0;
        blocks_[0].best = none;
        blocks_[0].nans = 0;
    }

    std::size_t size() const { return n_; }
    std::size_t max_size() const { return _max_size; }

    void push(double value) { push(value, 1); }
    void push(const Bucket& bucket)
    {
        push(bucket.centroid(), bucket.count());
    }

    // Units of work of the last push, comparable with the reference's
    // size() + 1: the linear scan while a gap is NaN, else about one
    // block and one walk of the tree.
    std::size_t pushCost() const
    {
        return nanPairs_ ? n_ + 1 : 2 * BlockCapacity + nb_ / 4;
    }

    // Calls f(bucket) for every bucket in list order.
    template <class F>
    void forEachBucket(F&& f) const
    {
        for (Index p = 0; p < nb_; ++p) {
            const Block& b = block(p);
            for (Index i = 0; i < b.size; ++i) {
                f(Bucket(b.c[i], b.n[i]));
            }
        }
    }

    // Verifies every cached value and structural bound; aborts with a
    // message on the first difference.
    void check() const
    {
        std::size_t total = 0;
        std::size_t nans = 0;
        if (nb_ == 0 || nb_ > maxBlocks_ || free_.size() + nb_ != maxBlocks_) {
            fail("block count");
        }
        for (Index p = 0; p < nb_; ++p) {
            const Block& b = block(p);
            if (start_[p] != total || b.size > BlockCapacity ||
                (b.size == 0 && n_ != 0)) {
                fail("block start or size");
            }
            if (p + 1 < nb_) {
                const Block& next = block(p + 1);
                if (!sameBits(b.c[b.size], next.c[0]) ||
                    b.n[b.size] != next.n[0]) {
                    fail("copy of the next block's first bucket");
                }
                if (b.size + next.size <= half) {
                    fail("two neighbouring blocks small enough to join");
                }
            }
            Index best;
            Index blockNans;
            scan(p, best, blockNans);
            if (best != b.best || blockNans != b.nans) {
                fail("cached best pair or NaN count");
            }
            if (best != none && !sameKey(keyOf(b, best), b.bestKey)) {
                fail("cached best key");
            }
            total += b.size;
            nans += b.nans;
        }
        if (total != n_ || start_[nb_] != n_ || nans != nanPairs_) {
            fail("bucket or NaN totals");
        }
        for (Index node = leaves_; node-- > 1;) {
            if (tree_[node] != winner(tree_[2 * node], tree_[2 * node + 1])) {
                fail("tournament tree");
            }
        }
        for (Index p = 0; p < leaves_; ++p) {
            if (tree_[leaves_ + p] != leafValue(p)) {
                fail("tournament tree leaf");
            }
        }
    }

private:
    using Index = std::uint32_t;
    static constexpr Index half = BlockCapacity / 2;
    static constexpr Index none = ~Index{0};

    // The first three parts of a pair's merge key.
    struct Key {
        double gap;
        std::uint64_t combined;
        double left;
    };

    struct Block {
        Index size = 0;     // buckets held
        Index best = none;  // local index of the best eligible pair
        Index nans = 0;     // pairs whose gap is NaN, pair 0 included
        Key bestKey{};
        // Centroids and counts; [size] is the copy of the next block's
        // first bucket (unused in the last block).
        double c[BlockCapacity + 1];
        std::uint64_t n[BlockCapacity + 1];
    };

    static std::size_t checked(std::size_t max_size)
    {
        if (max_size == 0) {
            throw std::length_error("histogram size must be >= 1");
        }
        if (max_size > largestCapacity) {
            throw std::length_error("block histogram capacity too large");
        }
        return max_size;
    }

    static Index leavesFor(Index blocks)
    {
        Index leaves = 1;
        while (leaves < blocks) {
            leaves *= 2;
        }
        return leaves;
    }

    [[noreturn]] static void fail(const char* what)
    {
        std::fprintf(stderr, "block histogram invariant broken: %s\n", what);
        std::abort();
    }

    static bool sameBits(double a, double b)
    {
        return std::memcmp(&a, &b, sizeof a) == 0 ||
               (std::isnan(a) && std::isnan(b));
    }

    static bool sameKey(const Key& a, const Key& b)
    {
        return sameBits(a.gap, b.gap) && a.combined == b.combined &&
               sameBits(a.left, b.left);
    }

    Block& block(Index p) { return blocks_[order_[p]]; }
    const Block& block(Index p) const { return blocks_[order_[p]]; }

    // Pairs whose left bucket is in block p.
    Index pairsOf(Index p) const
    {
        const Index size = block(p).size;
        return size == 0 ? 0 : size - 1 + (p + 1 < nb_ ? 1 : 0);
    }

    static Key keyOf(const Block& b, Index j)
    {
        return Key{b.c[j + 1] - b.c[j], b.n[j] + b.n[j + 1], b.c[j]};
    }

    // Strictly less on gap, combined count, left centroid; for keys
    // without NaN, where it is a strict weak order.
    static bool less(const Key& a, const Key& b)
    {
        if (a.gap < b.gap) {
            return true;
        }
        if (b.gap < a.gap) {
            return false;
        }
        if (a.combined != b.combined) {
            return a.combined < b.combined;
        }
        return a.left < b.left;
    }

    // The best eligible pair (NaN-free, not pair 0 of the list) of block
    // p and its number of NaN gaps, from scratch.  Later pairs win ties.
    void scan(Index p, Index& best, Index& nans) const
    {
        const Block& b = block(p);
        const Index pairs = pairsOf(p);
        best = none;
        nans = 0;
        Key bestKey{};
        for (Index j = 0; j < pairs; ++j) {
            const Key k = keyOf(b, j);
            if (std::isnan(k.gap)) {
                ++nans;
            } else if ((p != 0 || j != 0) &&
                       (best == none || !less(bestKey, k))) {
                best = j;
                bestKey = k;
            }
        }
    }

    void recompute(Index p)
    {
        Block& b = block(p);
        nanPairs_ -= b.nans;
        scan(p, b.best, b.nans);
        nanPairs_ += b.nans;
        if (b.best != none) {
            b.bestKey = keyOf(b, b.best);
        }
    }

    // Offers pair j of block p (new or changed, with every pair before it
    // already counted) as the block's best.
    void offer(Index p, Index j)
    {
        Block& b = block(p);
        const Key k = keyOf(b, j);
        if (std::isnan(k.gap)) {
            ++b.nans;
            ++nanPairs_;
        } else if ((p != 0 || j != 0) &&
                   (b.best == none || less(k, b.bestKey) ||
                    (j > b.best && !less(b.bestKey, k)))) {
            b.best = j;
            b.bestKey = k;
        }
    }

    // The tournament: blocks by position, the later block on a tie.
    Index leafValue(Index p) const
    {
        return p < nb_ && block(p).best != none ? p : none;
    }

    Index winner(Index a, Index b) const
    {
        if (a == none) {
            return b;
        }
        if (b == none) {
            return a;
        }
        return less(block(a).bestKey, block(b).bestKey) ? a : b;
    }

    void updateLeaf(Index p)
    {
        Index node = leaves_ + p;
        tree_[node] = leafValue(p);
        for (node /= 2; node >= 1; node /= 2) {
            tree_[node] = winner(tree_[2 * node], tree_[2 * node + 1]);
        }
    }

    // After blocks were added, removed or joined: positions moved.
    void rebuild()
    {
        Index total = 0;
        for (Index p = 0; p < nb_; ++p) {
            start_[p] = total;
            total += block(p).size;
        }
        start_[nb_] = total;
        for (Index p = 0; p < leaves_; ++p) {
            tree_[leaves_ + p] = leafValue(p);
        }
        for (Index node = leaves_; node-- > 1;) {
            tree_[node] = winner(tree_[2 * node], tree_[2 * node + 1]);
        }
    }

    // Adds `delta` (modulo 2^32) to the starts of blocks `from` and up.
    void shiftStarts(Index from, Index delta)
    {
        // Four at a time: a loop of unknown length is not vectorised at
        // -O2 by every compiler.
        using Lanes = Index __attribute__((vector_size(4 * sizeof(Index))));
        Index* starts = start_.data();
        const Index end = nb_ + 1;
        Index q = from;
        for (; q + 4 <= end; q += 4) {
            Lanes lanes;
            std::memcpy(&lanes, starts + q, sizeof lanes);
            lanes += delta;
            std::memcpy(starts + q, &lanes, sizeof lanes);
        }
        for (; q < end; ++q) {
            starts[q] += delta;
        }
    }

    // Writes block p+1's first bucket as block p's copy.
    void refreshCopy(Index p)
    {
        if (p + 1 < nb_) {
            Block& b = block(p);
            const Block& next = block(p + 1);
            b.c[b.size] = next.c[0];
            b.n[b.size] = next.n[0];
        }
    }

    // Block p+1's first bucket changed: block p's last pair is new.
    void lastPairChanged(Index p)
    {
        Block& b = block(p);
        const Index last = b.size - 1;
        const bool wasNan = std::isnan(b.c[last + 1] - b.c[last]);
        refreshCopy(p);
        if (b.best == last) {
            recompute(p);
        } else {
            if (wasNan) {
                --b.nans;
                --nanPairs_;
            }
            offer(p, last);
        }
        updateLeaf(p);
    }

    // `Bucket::operator<` without branches: a search mispredicts about
    // every other probe otherwise.
    static bool bucketLess(double c, std::uint64_t n, const Block& b, Index i)
    {
        const double other = b.c[i];
        return (c < other) | (!(other < c) & (n < b.n[i]));
    }

    // `Histogram::push`'s upper bound: the same halving, each probe read
    // from the block that holds it.  Sets the block and local index of
    // the position.
    void upperBound(double c, std::uint64_t n, Index& pos, Index& at) const
    {
        const Index* starts = start_.data();
        std::size_t first = 0;
        std::size_t len = n_;
        Index lo = 0;  // blocks holding the first and last of [first, +len)
        Index hi = nb_ - 1;
        while (len > 0 && lo != hi) {
            const std::size_t halfLen = len / 2;
            const std::size_t middle = first + halfLen;
            // The last block in [lo, hi] that starts at or before middle.
            Index k = lo;
            for (Index count = hi - lo + 1; count > 1;) {
                const Index step = count / 2;
                k = starts[k + step] <= middle ? k + step : k;
                count -= step;
            }
            const bool below = bucketLess(c, n, block(k), middle - starts[k]);
            const Index kLast = middle > starts[k] ? k : k - 1;
            const Index kNext = middle + 1 < starts[k + 1] ? k : k + 1;
            len = below ? halfLen : len - halfLen - 1;
            first = below ? first : middle + 1;
            hi = below ? kLast : hi;
            lo = below ? lo : kNext;
        }
        if (len > 0) {  // the rest lies in block lo
            const Block& b = block(lo);
            std::size_t f = first - starts[lo];
            while (len > 0) {
                const std::size_t halfLen = len / 2;
                const std::size_t middle = f + halfLen;
                const bool below =
                    bucketLess(c, n, b, static_cast<Index>(middle));
                len = below ? halfLen : len - halfLen - 1;
                f = below ? f : middle + 1;
            }
            first = starts[lo] + f;
        }
        if (first == n_) {
            pos = nb_ - 1;
        } else {
            Index k = 0;
            for (Index count = nb_; count > 1;) {
                const Index step = count / 2;
                k = starts[k + step] <= first ? k + step : k;
                count -= step;
            }
            pos = k;
        }
        at = static_cast<Index>(first - starts[pos]);
    }

    // Splits the full block p into two halves, p and p+1.
    void split(Index p)
    {
        const Index fresh = free_.back();
        free_.pop_back();
        Block& a = block(p);
        Block& b = blocks_[fresh];
        // b takes a's second half and a's copy; a's copy becomes b's first.
        std::memcpy(b.c, a.c + half, (half + 1) * sizeof(double));
        std::memcpy(b.n, a.n + half, (half + 1) * sizeof(std::uint64_t));
        b.size = half;
        b.best = none;
        b.nans = 0;
        a.size = half;
        std::memmove(&order_[p + 2], &order_[p + 1],
                     (nb_ - p - 1) * sizeof(Index));
        order_[p + 1] = fresh;
        ++nb_;
        refreshCopy(p);
        recompute(p);
        recompute(p + 1);
        rebuild();
    }

    // Removes block p (empty, or after its buckets moved elsewhere).
    void unlink(Index p)
    {
        nanPairs_ -= block(p).nans;
        free_.push_back(order_[p]);
        std::memmove(&order_[p], &order_[p + 1],
                     (nb_ - p - 1) * sizeof(Index));
        --nb_;
    }

    // Appends block p+1 to block p.
    void join(Index p)
    {
        Block& a = block(p);
        const Block& b = block(p + 1);
        std::memcpy(a.c + a.size, b.c, (b.size + 1) * sizeof(double));
        std::memcpy(a.n + a.size, b.n, (b.size + 1) * sizeof(std::uint64_t));
        a.size += b.size;
        unlink(p + 1);
        recompute(p);
    }

    // Block r has just lost a bucket.  Keeps every two neighbouring blocks
    // above `half` buckets together, which bounds the number of blocks
    // (pairs of neighbours hold more than `half` each, so there are at
    // most 2 (n + 1) / (half + 1) + 1 blocks: `maxBlocks_` covers them and
    // the one a split adds before the merge of the same push).
    bool settle(Index r)
    {
        bool moved = false;
        if (block(r).size == 0) {
            unlink(r);
            moved = true;
            if (r > 0) {
                r -= 1;
                refreshCopy(r);
            }
            recompute(r);  // also when a new block 0 holds pair 0
        }
        for (;;) {
            if (r > 0 && block(r - 1).size + block(r).size <= half) {
                join(r - 1);
                r -= 1;
            } else if (r + 1 < nb_ &&
                       block(r).size + block(r + 1).size <= half) {
                join(r);
            } else {
                break;
            }
            moved = true;
        }
        if (moved) {
            if (r > 0) {
                refreshCopy(r - 1);
                recompute(r - 1);
            }
            rebuild();
        }
        return moved;
    }

    void insert(Index p, Index j, double c, std::uint64_t n)
    {
        if (block(p).size == BlockCapacity) {
            split(p);
            if (j > half) {
                p += 1;
                j -= half;
            }
        }
        Block& b = block(p);
        const Index oldSize = b.size;
        const bool hasNext = p + 1 < nb_;
        // Shift the tail and the copy up by one.
        std::memmove(b.c + j + 1, b.c + j, (oldSize - j + 1) * sizeof(double));
        std::memmove(b.n + j + 1, b.n + j,
                     (oldSize - j + 1) * sizeof(std::uint64_t));
        b.c[j] = c;
        b.n[j] = n;
        b.size = oldSize + 1;
        ++n_;
        shiftStarts(p + 1, 1);
        if (p == 0 && j == 0) {
            // Pair 0 of the list is new; the old one became eligible.
            recompute(0);
        } else if (oldSize > 0) {
            // Pair j-1 of old was (j-1, j), now (j-1, j+1 new index).
            const bool hadPair = j >= 1 && (j < oldSize || hasNext);
            if (hadPair && b.best == j - 1) {
                recompute(p);
            } else {
                if (hadPair && std::isnan(b.c[j + 1] - b.c[j - 1])) {
                    --b.nans;
                    --nanPairs_;
                }
                if (b.best != none && b.best >= j) {
                    b.best += 1;
                }
                if (j >= 1) {
                    offer(p, j - 1);
                }
                if (j < oldSize || hasNext) {
                    offer(p, j);
                }
            }
        }
        updateLeaf(p);
        if (j == 0 && p > 0) {
            lastPairChanged(p - 1);
        }
    }

    // The pair `Histogram::combine` merges, as block and local index.
    void choose(Index& p, Index& j) const
    {
        if (nanPairs_ == 0) {
            const Block& first = block(0);
            const Key pair0 = keyOf(first, 0);
            const Index top = tree_[1];
            if (top != none && less(block(top).bestKey, pair0)) {
                p = top;
                j = block(top).best;
            } else {
                p = 0;
                j = 0;
            }
            return;
        }
        // The reference's scan, part by part with NaN undecided, from
        // pair 0 on.  While the best so far has no NaN, a block without
        // NaN gaps can only offer its cached best (the scan over keys
        // that form an order ends at their least), so only blocks with
        // NaN gaps, and blocks met while the best so far has one, are
        // scanned pair by pair.
        p = 0;
        j = 0;
        Key best = keyOf(block(0), 0);
        std::uint64_t bestTie = 0;  // the pair index negated
        for (Index q = 0; q < nb_; ++q) {
            const Block& b = block(q);
            if (b.nans == 0 && !std::isnan(best.gap)) {
                // Pair 0 keeps its place on a tie; later pairs win ties.
                if (b.best != none &&
                    (bestTie == 0 ? less(b.bestKey, best)
                                  : !less(best, b.bestKey))) {
                    best = b.bestKey;
                    bestTie = std::uint64_t{0} - (start_[q] + b.best);
                    p = q;
                    j = b.best;
                }
                continue;
            }
            const Index pairs = pairsOf(q);
            for (Index i = q == 0 ? 1 : 0; i < pairs; ++i) {
                const Key k = keyOf(b, i);
                const std::uint64_t tie = std::uint64_t{0} - (start_[q] + i);
                bool wins;
                if (k.gap < best.gap) {
                    wins = true;
                } else if (best.gap < k.gap) {
                    wins = false;
                } else if (k.combined != best.combined) {
                    wins = k.combined < best.combined;
                } else if (k.left < best.left) {
                    wins = true;
                } else if (best.left < k.left) {
                    wins = false;
                } else {
                    wins = tie < bestTie;
                }
                if (wins) {
                    best = k;
                    bestTie = tie;
                    p = q;
                    j = i;
                }
            }
        }
    }

    // Merges pair j of block p in place of its left bucket.
    void merge(Index p, Index j)
    {
        Block& b = block(p);
        const Bucket merged(Bucket(b.c[j], b.n[j]),
                            Bucket(b.c[j + 1], b.n[j + 1]));
        b.c[j] = merged.centroid();
        b.n[j] = merged.count();
        Index r = p;  // the block that loses a bucket
        if (j + 1 < b.size) {
            std::memmove(b.c + j + 1, b.c + j + 2,
                         (b.size - j - 1) * sizeof(double));
            std::memmove(b.n + j + 1, b.n + j + 2,
                         (b.size - j - 1) * sizeof(std::uint64_t));
            b.size -= 1;
            recompute(p);
            updateLeaf(p);
            if (j == 0 && p > 0) {
                lastPairChanged(p - 1);
            }
        } else {
            r = p + 1;
            Block& next = block(r);
            std::memmove(next.c, next.c + 1, next.size * sizeof(double));
            std::memmove(next.n, next.n + 1,
                         next.size * sizeof(std::uint64_t));
            next.size -= 1;
            if (next.size > 0) {
                refreshCopy(p);
                recompute(r);
                updateLeaf(r);
            }
            recompute(p);
            updateLeaf(p);
            if (j == 0 && p > 0) {
                lastPairChanged(p - 1);
            }
        }
        --n_;
        shiftStarts(r + 1, ~Index{0});
        settle(r);
    }

    void push(double c, std::uint64_t n)
    {
        Index p;
        Index j;
        upperBound(c, n, p, j);
        insert(p, j, c, n);
        if (n_ > _max_size) {
            choose(p, j);
            merge(p, j);
        }
#if VB_HISTOGRAM_CHECKING
        check();
#endif
    }

    const std::size_t _max_size;
    const Index maxBlocks_;
    const Index leaves_;         // a power of two >= maxBlocks_
    std::vector<Block> blocks_;  // the pool, indexed by block number
    std::vector<Index> order_;   // block numbers in list order
    std::vector<Index> start_;   // list index of each block's first bucket
    std::vector<Index> free_;    // block numbers not in use
    std::vector<Index> tree_;    // tournament winners by node, 1 the root
    std::size_t n_ = 0;          // buckets held
    Index nb_ = 0;               // blocks in use
    std::size_t nanPairs_ = 0;   // pairs whose gap is NaN, in all blocks
};

// The engine the builders use.  Blocks of 64 measured a little faster
// than 32 from a capacity of 1024 on, and alike below.
using BlockHistogram = BlockHistogramOf<64>;

// Below this capacity the reference's linear push is as fast or faster
// (measured with benchmarks/run.py histogram on lognormal data, small
// integers and data with infinities), so the builders keep it there.
constexpr std::size_t blockHistogramFrom = 192;

}  // namespace vb
