// The centroid histogram of histogram.h with a push that costs about the
// logarithm of the capacity in the common case instead of the capacity,
// leaving after every push exactly the buckets `Histogram` leaves: the
// same centroid bits, counts and order.  Interpreter-free; failures are
// standard exceptions.
//
// The buckets live in blocks of at most `BlockCapacity`, in list order.
// Each block keeps a copy of the next block's first bucket behind its own,
// so that every pair of neighbours, the one across a block boundary
// included, is read inside one block; the pair across a boundary belongs
// to the block on its left.  Each block caches its best pair under the
// merge key and counts its pairs whose gap is NaN or that stand out of
// order.  A tournament tree over the blocks gives the best pair of the
// whole list.
//
// The merge key (gap, combined count, left centroid, tie index) compares
// NaN as "undecided", which makes it no order at all: then the choice of
// `Histogram::combine` depends on its left-to-right scan, and that scan is
// what this class runs while any gap is NaN.  (A NaN centroid always gives
// a NaN gap, so the gap alone tells.)  Without NaN the key is a total
// order in which, on equal gap, count and centroid, the later pair wins,
// except that pair 0 wins over every later pair: the scan keeps pair 0
// unless a pair is strictly less, and otherwise ends at the last of the
// least pairs.  So the blocks and the tree prefer the later pair on a tie,
// and pair 0, left out of its block, is taken unless the tree's best is
// strictly less.
//
// Once the histogram is full, most pushes merge one of the two pairs the
// new bucket makes.  That is known before the bucket goes in (the new
// pairs against the tree's best and pair 0), and then the merged bucket
// simply takes the place of the new bucket's neighbour: nothing moves,
// two pairs change, and the block's best and the tree mostly stay.
//
// The insert position is the upper bound found by the very probe sequence
// of `Histogram::push` wherever that matters: merges can leave the list out
// of order (equal centroids with a larger count first), and there another
// probe sequence finds another position.  While no neighbours stand out of
// order and no centroid is NaN, "the value < bucket" is false up to one
// place and true from there, so any search finds that place: then the
// blocks' first buckets are searched, then one block.
#pragma once

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
    // Above this the reference engine is used: the blocks reserve a few
    // times the reference's memory per bucket up front.
    static constexpr std::size_t largestCapacity = std::size_t{1} << 22;

    // Throws as `Histogram` does for 0; capacities above
    // `largestCapacity` are refused with std::length_error.  Everything a
    // push needs is allocated here.
    explicit BlockHistogramOf(std::size_t max_size)
        : _max_size(checked(max_size)),
          maxBlocks_(static_cast<Index>(2 * (max_size + 1) / (half + 1) + 3)),
          leaves_(leavesFor(maxBlocks_)),
          store_(maxBlocks_),
          meta_(maxBlocks_),
          fence_(maxBlocks_ + 1, 0.0),
          start_(maxBlocks_ + 1, 0),
          free_(),
          tree_(2 * leaves_, none)
    {
        free_.reserve(maxBlocks_);
        for (Index i = maxBlocks_; i-- > 1;) {
            free_.push_back(i);
        }
        meta_[0].id = 0;
        nb_ = 1;
    }

    std::size_t size() const { return n_; }
    std::size_t max_size() const { return _max_size; }

    void push(double value) { push(value, 1); }
    void push(const Bucket& bucket)
    {
        push(bucket.centroid(), bucket.count());
    }

    // Units of work of the last push, comparable with the reference's
    // size() + 1: a walk over the blocks while a gap is NaN, else about
    // one block.
    std::size_t pushCost() const
    {
        return (nanPairs_ ? 4 * std::size_t{nb_} : 0) + 2 * BlockCapacity;
    }

    // Calls f(bucket) for every bucket in list order.
    template <class F>
    void forEachBucket(F&& f) const
    {
        for (Index p = 0; p < nb_; ++p) {
            const Slot* s = slots(p);
            for (Index i = 0; i < meta_[p].size; ++i) {
                f(Bucket(s[i].c, s[i].n));
            }
        }
    }

    // Verifies every cached value and structural bound; aborts with a
    // message on the first difference.
    void check() const
    {
        std::size_t total = 0;
        std::size_t nans = 0;
        std::size_t bad = 0;
        if (nb_ == 0 || nb_ > maxBlocks_ || free_.size() + nb_ != maxBlocks_) {
            fail("block count");
        }
        if (touched_ != 0 || rebuildTree_ || startsStale_) {
            fail("work left over from the push");
        }
        for (Index p = 0; p < nb_; ++p) {
            const Meta& m = meta_[p];
            const Slot* s = slots(p);
            if (start_[p] != total || m.size > BlockCapacity ||
                (m.size == 0 && n_ != 0)) {
                fail("block start or size");
            }
            if (m.size > 0 &&
                (!sameBits(fence_[p], s[0].c) || m.firstN != s[0].n)) {
                fail("copy of the block's first bucket");
            }
            for (Index k = 0; k < marks; ++k) {
                if (k * markStride < m.size
                        ? !sameBits(m.mark[k], s[k * markStride].c)
                        : !std::isnan(m.mark[k])) {
                    fail("marks");
                }
            }
            if (p + 1 < nb_) {
                const Slot* next = slots(p + 1);
                if (!sameBits(s[m.size].c, next[0].c) ||
                    s[m.size].n != next[0].n) {
                    fail("copy of the next block's first bucket");
                }
                if (m.size + meta_[p + 1].size <= half) {
                    fail("two neighbouring blocks small enough to join");
                }
            }
            Index pairNans = 0;
            Index pairBad = 0;
            for (Index j = 0; j < pairsOf(p); ++j) {
                pairNans += std::isnan(s[j + 1].c - s[j].c);
                pairBad += disordered(s, j);
            }
            if (pairNans != m.nans || pairBad != m.bad) {
                fail("NaN or disorder count");
            }
            checkBest(p);
            if (m.leastKnown) {
                std::uint64_t least = ~std::uint64_t{0};
                for (Index i = p == 0 ? 1 : 0; i < pairsOf(p); ++i) {
                    const std::uint64_t k = s[i].n + s[i + 1].n;
                    least = k < least ? k : least;
                }
                if (least != m.least) {
                    fail("least combined count");
                }
            }
            total += m.size;
            nans += m.nans;
            bad += m.bad;
        }
        if (total != n_ || start_[nb_] != n_ || nans != nanPairs_ ||
            bad != badPairs_) {
            fail("bucket, NaN or disorder totals");
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
    // Every `markStride`-th centroid of a block is kept beside its other
    // facts, so that a search reads one stretch of the block.
    static constexpr Index markStride = 8;
    static constexpr Index marks =
        (BlockCapacity + markStride - 1) / markStride;

    // The first three parts of a pair's merge key.
    struct Key {
        double gap;
        std::uint64_t combined;
        double left;
    };

    struct Slot {
        double c;
        std::uint64_t n;
    };

    // A block's buckets; [size] is the copy of the next block's first
    // bucket (unused in the last block).  The search reads a whole stretch
    // between marks, past the end too.
    static constexpr Index markedSlots = marks * markStride;
    static constexpr Index storeSlots =
        BlockCapacity + 1 > markedSlots ? BlockCapacity + 1 : markedSlots;
    struct Store {
        Slot s[storeSlots];
    };

    // What is known of the block at one position of the list.
    struct Meta {
        std::uint64_t firstN = 0;
        Index id = 0;    // its `Store`
        Index size = 0;  // buckets held
        Index nans = 0;  // pairs whose gap is NaN, pair 0 included
        Index bad = 0;   // sum of `disordered` over its pairs
        // The best eligible pair without NaN and its key; none when there
        // is none, or while `lost` says it went and is to be found again.
        Index bestAt = none;
        bool lost = false;
        // Whether `least` holds the least combined count of its pairs
        // that a race meets; forgotten on any change, found on demand.
        mutable bool leastKnown = false;
        Key best{};
        mutable std::uint64_t least = 0;
        // mark[k] is the centroid of bucket k * markStride, NaN past the
        // end (no comparison holds for it).
        double mark[marks];

        Meta()
        {
            for (double& x : mark) {
                x = std::nan("");
            }
        }

        bool hasBest() const { return bestAt != none; }
    };

    // A block whose best changed during this push, with what the tree
    // last saw of it.
    struct Touched {
        Index p;
        bool had;
        Key key;
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

    Slot* slots(Index p) { return store_[meta_[p].id].s; }
    const Slot* slots(Index p) const { return store_[meta_[p].id].s; }

    // Pairs whose left bucket is in block p.
    Index pairsOf(Index p) const
    {
        const Index size = meta_[p].size;
        return size == 0 ? 0 : size - 1 + (p + 1 < nb_ ? 1 : 0);
    }

    static Key keyOf(const Slot* s, Index j)
    {
        return Key{s[j + 1].c - s[j].c, s[j].n + s[j + 1].n, s[j].c};
    }

    // A pair whose right bucket comes before its left one under
    // `Bucket::operator<`, or with a NaN centroid, can make the order of
    // the search matter; it counts `descent` when a centroid is NaN or
    // the right one is below, else 1 when only the counts are out of
    // order, else 0.  A block's sum tells both kinds apart.
    static constexpr Index descent = Index{1} << 16;
    static_assert(BlockCapacity < descent / 2, "disorder counts fit");

    static Index disordered(const Slot* s, Index j)
    {
        const Slot& l = s[j];
        const Slot& r = s[j + 1];
        const unsigned nan =
            unsigned{std::isnan(l.c)} | unsigned{std::isnan(r.c)};
        const unsigned below = r.c < l.c;
        const unsigned countBelow =
            unsigned{!(l.c < r.c)} & unsigned{r.n < l.n};
        return (nan | below) != 0 ? descent : countBelow;
    }

    // Strictly less on gap, combined count, left centroid; only for keys
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

    // Pair a (key ka) before pair b of the same block: strictly less, or
    // equal and later.
    static bool beats(const Key& ka, Index a, const Key& kb, Index b)
    {
        return less(ka, kb) || (a > b && !less(kb, ka));
    }

    // Whether pair j of block p may be chosen through the blocks: not pair
    // 0 of the list, which the choice handles apart.
    static bool eligible(Index p, Index j) { return (p | j) != 0; }

    // ---------------------------------------------------------------
    // The counts and the cached best pairs.

    // Pair j of block p is about to change or go: out of the counts, and
    // when it was the block's best, the best is to be found again.
    void unpair(Index p, Index j)
    {
        Meta& m = meta_[p];
        const Slot* s = slots(p);
        const bool nan = std::isnan(s[j + 1].c - s[j].c);
        const Index bad = disordered(s, j);
        m.nans -= nan;
        nanPairs_ -= nan;
        m.bad -= bad;
        badPairs_ -= bad;
        m.leastKnown = false;
        if (j == m.bestAt) {
            touch(p);
            m.bestAt = none;
            m.lost = true;
        }
    }

    // Pair j of block p is new or changed: counted and offered.
    void pairUp(Index p, Index j)
    {
        Meta& m = meta_[p];
        const Slot* s = slots(p);
        const Key k = keyOf(s, j);
        const Index bad = disordered(s, j);
        m.bad += bad;
        badPairs_ += bad;
        m.leastKnown = false;
        if (std::isnan(k.gap)) {
            ++m.nans;
            ++nanPairs_;
        } else if (eligible(p, j)) {
            offer(p, j, k);
        }
    }

    // Offers eligible pair j of block p, already counted, as its best.
    void offer(Index p, Index j, const Key& k)
    {
        Meta& m = meta_[p];
        if (!m.lost && (m.bestAt == none || beats(k, j, m.best, m.bestAt))) {
            touch(p);
            m.bestAt = j;
            m.best = k;
        }
    }

    // Local indices of block p from `from` on move by `delta`.
    void shiftBest(Index p, Index from, Index delta)
    {
        Meta& m = meta_[p];
        if (m.bestAt != none && m.bestAt >= from) {
            m.bestAt += delta;
        }
    }

    // The best pair of block p from scratch.  Later pairs win ties.  Two
    // passes: the least gap of each group of eight pairs without a branch
    // (a NaN gap is passed over, as the conditional move keeps the other
    // operand), then the full key only in the groups whose least gap is
    // the block's, where the gap equals it.
    void rescan(Index p)
    {
        static constexpr Index group = 8;
        Meta& m = meta_[p];
        touch(p);
        const Slot* s = slots(p);
        const Index pairs = pairsOf(p);
        const Index from = eligible(p, 0) ? 0 : 1;
        double groupLeast[BlockCapacity / group + 1];
        Index groups = 0;
        double least = HUGE_VAL;
        for (Index start = from; start < pairs; start += group) {
            const Index end = start + group < pairs ? start + group : pairs;
            double least0 = HUGE_VAL;
            double least1 = HUGE_VAL;
            Index j = start;
            for (; j + 1 < end; j += 2) {
                const double g0 = s[j + 1].c - s[j].c;
                const double g1 = s[j + 2].c - s[j + 1].c;
                least0 = g0 < least0 ? g0 : least0;
                least1 = g1 < least1 ? g1 : least1;
            }
            if (j < end) {
                const double g = s[j + 1].c - s[j].c;
                least0 = g < least0 ? g : least0;
            }
            const double l = least1 < least0 ? least1 : least0;
            groupLeast[groups++] = l;
            least = l < least ? l : least;
        }
        Index bestAt = none;
        Key best{};
        for (Index g = 0; g < groups; ++g) {
            if (groupLeast[g] != least) {
                continue;
            }
            const Index start = from + g * group;
            const Index end = start + group < pairs ? start + group : pairs;
            for (Index j = start; j < end; ++j) {
                if (s[j + 1].c - s[j].c == least) {
                    const Key k = keyOf(s, j);
                    if (bestAt == none || !less(best, k)) {
                        bestAt = j;
                        best = k;
                    }
                }
            }
        }
        m.bestAt = bestAt;
        m.best = best;
        m.lost = false;
    }

    // After a change to block p: a lost best is found again.
    void keepBest(Index p)
    {
        if (meta_[p].lost) {
            rescan(p);
        }
    }

    // Counts and best of block p from scratch (after a split or a join).
    void recount(Index p)
    {
        Meta& m = meta_[p];
        m.leastKnown = false;
        const Slot* s = slots(p);
        nanPairs_ -= m.nans;
        badPairs_ -= m.bad;
        m.nans = 0;
        m.bad = 0;
        for (Index j = 0; j < pairsOf(p); ++j) {
            m.nans += std::isnan(s[j + 1].c - s[j].c);
            m.bad += disordered(s, j);
        }
        nanPairs_ += m.nans;
        badPairs_ += m.bad;
        rescan(p);
    }

    void checkBest(Index p) const
    {
        const Meta& m = meta_[p];
        const Slot* s = slots(p);
        Index best = none;
        Key bestKey{};
        for (Index j = 0; j < pairsOf(p); ++j) {
            const Key k = keyOf(s, j);
            if (eligible(p, j) && !std::isnan(k.gap) &&
                (best == none || !less(bestKey, k))) {
                best = j;
                bestKey = k;
            }
        }
        if (m.lost || best != m.bestAt ||
            (best != none && !sameKey(bestKey, m.best))) {
            fail("cached best pair");
        }
    }

    // ---------------------------------------------------------------
    // The tournament: blocks by position, the later block on a tie.  It
    // is brought up to date once per push, for the blocks whose best
    // ends the push other than it began, and before the choice only when
    // a block's best got worse meanwhile.

    Index leafValue(Index p) const
    {
        return p < nb_ && meta_[p].hasBest() ? p : none;
    }

    Index winner(Index a, Index b) const
    {
        if (a == none) {
            return b;
        }
        if (b == none) {
            return a;
        }
        return less(meta_[a].best, meta_[b].best) ? a : b;
    }

    // Of two blocks in either order, the one whose best wins.
    Index better(Index a, Index b) const
    {
        if (a == none || b == none || a == b) {
            return a == none ? b : a;
        }
        if (a > b) {
            const Index t = a;
            a = b;
            b = t;
        }
        return winner(a, b);
    }

    // Block p's best is about to change: what the tree saw is kept.
    void touch(Index p)
    {
        if (rebuildTree_) {
            return;
        }
        for (Index i = 0; i < touched_; ++i) {
            if (touchedAt_[i].p == p) {
                return;
            }
        }
        if (touched_ == maxTouched) {
            rebuildTree_ = true;
            return;
        }
        const Meta& m = meta_[p];
        touchedAt_[touched_++] = Touched{p, m.hasBest(), m.best};
    }

    bool changed(const Touched& t) const
    {
        const Meta& m = meta_[t.p];
        return t.had != m.hasBest() || (t.had && !sameKey(t.key, m.best));
    }

    // Recomputes the nodes above leaf p; with `early`, stops where the
    // winner stays another block, valid when p is the only changed leaf.
    void walkUp(Index p, bool early)
    {
        for (Index node = (leaves_ + p) / 2; node >= 1; node /= 2) {
            const Index w = winner(tree_[2 * node], tree_[2 * node + 1]);
            if (early && w == tree_[node] && w != p) {
                break;
            }
            tree_[node] = w;
        }
    }

    void syncTree()
    {
        if (rebuildTree_) {
            for (Index p = 0; p < leaves_; ++p) {
                tree_[leaves_ + p] = leafValue(p);
            }
            for (Index node = leaves_; node-- > 1;) {
                tree_[node] = winner(tree_[2 * node], tree_[2 * node + 1]);
            }
            rebuildTree_ = false;
            touched_ = 0;
            return;
        }
        Index changes = 0;
        Index last = none;
        for (Index i = 0; i < touched_; ++i) {
            if (changed(touchedAt_[i])) {
                last = touchedAt_[i].p;
                tree_[leaves_ + last] = leafValue(last);
                ++changes;
            }
        }
        if (changes == 1) {
            walkUp(last, true);
        } else if (changes > 1) {
            // Every changed path whole, each walk seeing the final values
            // below it.
            for (Index i = 0; i < touched_; ++i) {
                if (changed(touchedAt_[i])) {
                    walkUp(touchedAt_[i].p, false);
                }
            }
        }
        touched_ = 0;
    }

    // The block with the best pair, pair 0 of the list aside, or none.
    Index topBlock()
    {
        bool worse = rebuildTree_;
        for (Index i = 0; i < touched_ && !worse; ++i) {
            const Touched& t = touchedAt_[i];
            const Meta& m = meta_[t.p];
            worse = t.had && (!m.hasBest() || less(t.key, m.best));
        }
        if (worse) {
            syncTree();
            return tree_[1];
        }
        // Only better bests: the tree's winner or one of them.
        Index top = tree_[1];
        for (Index i = 0; i < touched_; ++i) {
            const Index p = touchedAt_[i].p;
            if (meta_[p].hasBest()) {
                top = better(top, p);
            }
        }
        return top;
    }

    // Blocks were added, removed or joined: positions moved.  The tree and
    // the starts are recomputed at the end of the push.
    void restructured()
    {
        rebuildTree_ = true;
        startsStale_ = true;
    }

    // ---------------------------------------------------------------
    // Finding the insert position.

    // `Bucket::operator<` without branches: a search mispredicts about
    // every other probe otherwise.
    static bool bucketLess(double c, std::uint64_t n, double ec,
                           std::uint64_t en)
    {
        return (c < ec) | (!(ec < c) & (n < en));
    }

    // The upper bound of (c, n) as block and local index; a position at a
    // block boundary is kept at the end of the earlier block.
    // A single bucket has no pair to count its NaN centroid, if any: the
    // replayed search compares it exactly.
    //
    // While only counts are out of order, a search by centroid that ends
    // on an equal centroid is followed by the replayed one; after it did
    // so, the next push goes to the replayed one at once (small integers
    // land on equal centroids every time).
    void locate(double c, std::uint64_t n, Index& p, Index& j)
    {
        if (n_ == 0) {
            p = 0;
            j = 0;
        } else if (n_ == 1 || std::isnan(c) || badPairs_ >= descent ||
                   (badPairs_ != 0 && landedOnEqual_)) {
            locateReplayed(c, n, p, j);
            landedOnEqual_ = false;
        } else {
            landedOnEqual_ = !locateSorted(c, n, p, j);
        }
    }

    // While the centroids are in order: the blocks by their first buckets,
    // then within the last block whose first bucket is not above.  The
    // search compares centroids alone; when it ends after a centroid
    // below c, no centroid equals c, so "(c, n) < bucket" is false up to
    // there and true after, whatever the order of the counts.  When it
    // ends next to an equal centroid the counts decide, and the exact
    // search runs: any search while the list is wholly in order, else
    // the reference's probe sequence.
    // False when it ended on an equal centroid.
    bool locateSorted(double c, std::uint64_t n, Index& p, Index& j) const
    {
        const Meta* meta = meta_.data();
        const double* fence = fence_.data();
        Index base = 0;
        for (Index len = nb_; len > 1;) {
            const Index step = len / 2;
            base = fence[base + step] <= c ? base + step : base;
            len -= step;
        }
        if (!(fence[base] <= c)) {
            p = 0;  // before every bucket
            j = 0;
            return true;
        }
        // The stretch from the last mark not above c, then the buckets of
        // that stretch not above c; the loads are independent.  Buckets
        // past the end are read but not counted (the store is larger).
        const Meta& m = meta[base];
        const Slot* s = slots(base);
        Index stretch = 0;
        for (Index k = 1; k < marks; ++k) {
            stretch += m.mark[k] <= c;
        }
        const Index from = stretch * markStride;
        const Slot* run = s + from;
        const Index left = m.size - from;  // at least 1
        Index at = from;
        for (Index t = 1; t < markStride; ++t) {
            at += (t < left) & (run[t].c <= c);
        }
        // s[at] is the last bucket whose centroid is not above c.
        if (s[at].c < c) {
            p = base;
            j = at + 1;
            return true;
        }
        if (badPairs_ == 0) {
            locateSortedExactly(c, n, p, j);
        } else {
            locateReplayed(c, n, p, j);
        }
        return false;
    }

    void locateSortedExactly(double c, std::uint64_t n, Index& p,
                             Index& j) const
    {
        Index lo = 0;
        for (Index len = nb_; len > 0;) {
            const Index step = len / 2;
            const Meta& m = meta_[lo + step];
            if (bucketLess(c, n, fence_[lo + step], m.firstN)) {
                len = step;
            } else {
                lo += step + 1;
                len -= step + 1;
            }
        }
        if (lo == 0) {
            p = 0;
            j = 0;
            return;
        }
        p = lo - 1;
        const Slot* s = slots(p);
        Index first = 1;
        for (Index len = meta_[p].size - 1; len > 0;) {
            const Index step = len / 2;
            if (bucketLess(c, n, s[first + step].c, s[first + step].n)) {
                len = step;
            } else {
                first += step + 1;
                len -= step + 1;
            }
        }
        j = first;
    }

    // `Histogram::push`'s halving, each probe read from the block that
    // holds it.
    void locateReplayed(double c, std::uint64_t n, Index& p, Index& j) const
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
            const Slot& e = slots(k)[middle - starts[k]];
            const bool below = bucketLess(c, n, e.c, e.n);
            const Index kLast = middle > starts[k] ? k : k - 1;
            const Index kNext = middle + 1 < starts[k + 1] ? k : k + 1;
            len = below ? halfLen : len - halfLen - 1;
            first = below ? first : middle + 1;
            hi = below ? kLast : hi;
            lo = below ? lo : kNext;
        }
        if (len > 0) {  // the rest lies in block lo
            const Slot* s = slots(lo);
            std::size_t f = first - starts[lo];
            while (len > 0) {
                const std::size_t halfLen = len / 2;
                const std::size_t middle = f + halfLen;
                const bool below = bucketLess(c, n, s[middle].c, s[middle].n);
                len = below ? halfLen : len - halfLen - 1;
                f = below ? f : middle + 1;
            }
            first = starts[lo] + f;
        }
        if (first == 0) {
            p = 0;
            j = 0;
            return;
        }
        // The block with start < first <= start + size.
        Index k = 0;
        for (Index count = nb_; count > 1;) {
            const Index step = count / 2;
            k = starts[k + step] < first ? k + step : k;
            count -= step;
        }
        p = k;
        j = static_cast<Index>(first - starts[k]);
    }

    // ---------------------------------------------------------------
    // Changing the list.  A pair about to change or go is first taken out
    // (`unpair`); once the buckets are in place the pairs that are new or
    // changed are put in (`pairUp`), and a block whose best went is
    // scanned again.

    // The marks of block p from bucket `from` on.
    void remark(Index p, Index from)
    {
        Meta& m = meta_[p];
        const Slot* s = slots(p);
        for (Index k = from / markStride; k < marks; ++k) {
            m.mark[k] =
                k * markStride < m.size ? s[k * markStride].c : std::nan("");
        }
    }

    void setFirst(Index p)
    {
        Meta& m = meta_[p];
        fence_[p] = slots(p)[0].c;
        m.firstN = slots(p)[0].n;
    }

    // Block p's first bucket is about to change: block p-1's last pair
    // reads it.
    void firstChanging(Index p)
    {
        if (p > 0) {
            unpair(p - 1, meta_[p - 1].size - 1);
        }
    }

    // Block p's first bucket changed: the copy in block p-1 and its last
    // pair follow.
    void firstChanged(Index p)
    {
        setFirst(p);
        if (p > 0) {
            const Index q = p - 1;
            slots(q)[meta_[q].size] = slots(p)[0];
            pairUp(q, meta_[q].size - 1);
            keepBest(q);
        }
    }

    // Splits the full block p into two halves, p and p+1.
    void split(Index p)
    {
        const Index fresh = free_.back();
        free_.pop_back();
        Slot* a = slots(p);
        // The new block takes the second half and the copy; the copy of
        // the first half is the new block's first bucket, in place.
        std::memcpy(store_[fresh].s, a + half, (half + 1) * sizeof(Slot));
        std::memmove(&meta_[p + 2], &meta_[p + 1],
                     (nb_ - p - 1) * sizeof(Meta));
        std::memmove(&fence_[p + 2], &fence_[p + 1],
                     (nb_ - p - 1) * sizeof(double));
        Meta& next = meta_[p + 1];
        next = Meta{};
        next.id = fresh;
        next.size = half;
        meta_[p].size = half;
        ++nb_;
        restructured();
        setFirst(p + 1);
        remark(p, half);
        remark(p + 1, 0);
        recount(p);
        recount(p + 1);
    }

    // Inserts (c, n) at local index j of block p, j <= size.
    void insert(Index p, Index j, double c, std::uint64_t n)
    {
        if (meta_[p].size == BlockCapacity) {
            split(p);
            if (j > half) {
                p += 1;
                j -= half;
            }
        }
        Meta& m = meta_[p];
        // The pair from bucket j-1 to bucket j is split by the new one.
        if (j >= 1 && j - 1 < pairsOf(p)) {
            unpair(p, j - 1);
        }
        if (j == 0) {
            firstChanging(p);
        }
        Slot* s = slots(p);
        std::memmove(s + j + 1, s + j, (m.size - j + 1) * sizeof(Slot));
        s[j] = Slot{c, n};
        m.size += 1;
        ++n_;
        gained_ = p;
        remark(p, j);
        shiftBest(p, j, 1);
        if (j >= 1) {
            pairUp(p, j - 1);
        }
        if (j + 1 < m.size || p + 1 < nb_) {
            pairUp(p, j);
        }
        if (p == 0 && j == 0 && pairsOf(0) > 1) {
            // The old pair 0, counted already, now takes part.
            const Key k = keyOf(s, 1);
            if (!std::isnan(k.gap)) {
                offer(0, 1, k);
            }
        }
        keepBest(p);
        if (j == 0) {
            firstChanged(p);
        }
    }

    // The pair `Histogram::combine` merges, as block and local index.
    void choose(Index& p, Index& j)
    {
        if (nanPairs_ == 0) {
            const Key pair0 = keyOf(slots(0), 0);
            const Index top = topBlock();
            if (top != none && less(meta_[top].best, pair0)) {
                p = top;
                j = meta_[top].bestAt;
            } else {
                p = 0;
                j = 0;
            }
            return;
        }
        Race race = startRace(nullptr);
        runRace(race, nullptr);
        p = race.p;
        j = race.j;
    }

    // A bucket not yet inserted: at local index j of block p.
    struct Insertion {
        Index p;
        Index j;
        double c;
        std::uint64_t n;
    };

    // The reference's scan: the best pair so far, part by part with NaN
    // undecided.
    struct Race {
        Key best;
        bool pair0;  // the best so far is pair 0, whose tie index is 0
        Index p;
        Index j;

        // A pair after the best so far takes its place when strictly less
        // on a part before the others decide, or on a full tie unless the
        // best is pair 0.
        void consider(const Key& k, Index q, Index i)
        {
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
                wins = !pair0;
            }
            if (wins) {
                best = k;
                pair0 = false;
                p = q;
                j = i;
            }
        }
    };

    // The race at pair 0 of the list, or of the list with `v` inserted.
    Race startRace(const Insertion* v) const
    {
        const Slot* s = slots(0);
        Key pair0 = keyOf(s, 0);
        if (v && v->p == 0 && v->j == 0) {
            pair0 = Key{s[0].c - v->c, v->n + s[0].n, v->c};
        } else if (v && v->p == 0 && v->j == 1) {
            pair0 = Key{v->c - s[0].c, s[0].n + v->n, s[0].c};
        }
        return Race{pair0, true, 0, 0};
    }

    // Runs the race over the list, or over the list with `v` inserted
    // (then the indices of block v->p are those after the insertion).
    // While the best so far has no NaN, a block without NaN gaps can only
    // offer its best (a scan over keys that form an order ends at their
    // least), so only blocks with NaN gaps, and blocks met while the best
    // so far has one, are scanned pair by pair.
    void runRace(Race& race, const Insertion* v) const
    {
        for (Index q = 0; q < nb_; ++q) {
            const Meta& m = meta_[q];
            if (v && q == v->p) {
                raceInserted(race, *v);
            } else if (m.nans == 0 && !std::isnan(race.best.gap)) {
                if (m.hasBest()) {
                    race.consider(m.best, q, m.bestAt);
                }
            } else if (std::isnan(race.best.gap) &&
                       leastCount(q) > race.best.combined) {
                // Against a NaN gap the count decides first: every pair
                // here loses on it.
            } else {
                const Slot* s = slots(q);
                const Index pairs = pairsOf(q);
                for (Index i = q == 0 ? 1 : 0; i < pairs; ++i) {
                    race.consider(keyOf(s, i), q, i);
                }
            }
        }
    }

    // The least combined count of the pairs of block q that a race meets
    // (pair 0 of the list is its start); 2^64 - 1 when there are none.
    std::uint64_t leastCount(Index q) const
    {
        const Meta& m = meta_[q];
        if (!m.leastKnown) {
            const Slot* s = slots(q);
            std::uint64_t least = ~std::uint64_t{0};
            for (Index i = q == 0 ? 1 : 0; i < pairsOf(q); ++i) {
                const std::uint64_t k = s[i].n + s[i + 1].n;
                least = k < least ? k : least;
            }
            m.least = least;
            m.leastKnown = true;
        }
        return m.least;
    }

    // The race through block v.p with the new bucket at v.j: old pairs
    // before it, the new pairs from its left and to its right neighbour
    // (the pair they replace gone), then the old pairs after it, one
    // index up.
    void raceInserted(Race& race, const Insertion& v) const
    {
        const Meta& m = meta_[v.p];
        const Slot* s = slots(v.p);
        const Index j = v.j;
        const Index pairs = pairsOf(v.p) + 1;  // after the insertion
        const Index from = v.p == 0 ? 1 : 0;
        const bool hasLeft = j >= 1;
        const bool hasRight = j < pairs;
        const Key left =
            hasLeft ? Key{v.c - s[j - 1].c, s[j - 1].n + v.n, s[j - 1].c}
                    : Key{};
        const Key right =
            hasRight ? Key{s[j].c - v.c, v.n + s[j].n, v.c} : Key{};
        // Without NaN the race over the block ends as over its least
        // pairs: the block's best (unless it is the pair split), the new
        // pairs, and the old pair 0 when the new bucket comes first.
        if (m.nans == 0 && !std::isnan(race.best.gap) &&
            !(hasLeft && std::isnan(left.gap)) &&
            !(hasRight && std::isnan(right.gap)) &&
            !(hasLeft && m.bestAt == j - 1)) {
            const Index best =
                m.hasBest() ? m.bestAt + (m.bestAt >= j ? 1 : 0) : none;
            if (best != none && best < j) {
                race.consider(m.best, v.p, best);
            }
            if (hasLeft && j - 1 >= from) {
                race.consider(left, v.p, j - 1);
            }
            if (hasRight && j >= from) {
                race.consider(right, v.p, j);
            }
            if (v.p == 0 && j == 0 && pairs > 1) {
                race.consider(keyOf(s, 0), 0, 1);
            }
            if (best != none && best > j) {
                race.consider(m.best, v.p, best);
            }
            return;
        }
        for (Index i = from; i + 1 < j; ++i) {
            race.consider(keyOf(s, i), v.p, i);
        }
        if (hasLeft && j - 1 >= from) {
            race.consider(left, v.p, j - 1);
        }
        if (hasRight && j >= from) {
            race.consider(right, v.p, j);
        }
        for (Index i = j + 1 > from ? j + 1 : from; i < pairs; ++i) {
            race.consider(keyOf(s, i - 1), v.p, i);
        }
    }

    // Removes block p, empty and out of the counts.
    void unlink(Index p)
    {
        free_.push_back(meta_[p].id);
        std::memmove(&meta_[p], &meta_[p + 1], (nb_ - p - 1) * sizeof(Meta));
        std::memmove(&fence_[p], &fence_[p + 1],
                     (nb_ - p - 1) * sizeof(double));
        --nb_;
        restructured();
    }

    // Appends block p+1 to block p.
    void join(Index p)
    {
        Meta& a = meta_[p];
        const Meta& b = meta_[p + 1];
        std::memcpy(slots(p) + a.size, slots(p + 1),
                    (b.size + 1) * sizeof(Slot));
        const Index joined = a.size;
        a.size += b.size;
        remark(p, joined);
        nanPairs_ -= b.nans;
        badPairs_ -= b.bad;
        unlink(p + 1);
        recount(p);
    }

    // Block r has just lost a bucket and is not empty.  Keeps every two
    // neighbouring blocks above `half` buckets together, which bounds the
    // number of blocks (pairs of neighbours hold more than `half` each, so
    // there are at most 2 (n + 1) / (half + 1) + 1 blocks: `maxBlocks_`
    // covers them and the one a split adds before the merge of the same
    // push).
    void settle(Index r)
    {
        for (;;) {
            if (r > 0 && meta_[r - 1].size + meta_[r].size <= half) {
                join(r - 1);
                r -= 1;
            } else if (r + 1 < nb_ &&
                       meta_[r].size + meta_[r + 1].size <= half) {
                join(r);
            } else {
                return;
            }
        }
    }

    // Merges pair j of block p in place of its left bucket.  The pair
    // ending at the left bucket changes; the pair itself and the one from
    // the right bucket go; one from the merged bucket to the next comes.
    void merge(Index p, Index j)
    {
        Meta& m = meta_[p];
        Slot* s = slots(p);
        const Bucket merged(Bucket(s[j].c, s[j].n),
                            Bucket(s[j + 1].c, s[j + 1].n));
        if (j == 0) {
            firstChanging(p);
        } else {
            unpair(p, j - 1);
        }
        unpair(p, j);
        --n_;
        if (j + 1 < m.size) {
            if (j + 1 < pairsOf(p)) {
                unpair(p, j + 1);
            }
            s[j] = Slot{merged.centroid(), merged.count()};
            std::memmove(s + j + 1, s + j + 2,
                         (m.size - j - 1) * sizeof(Slot));
            m.size -= 1;
            remark(p, j);
            lost_ = p;
            shiftBest(p, j + 2, ~Index{0});
            afterMerge(p, j);
            settle(p);
            return;
        }
        // The right bucket is the next block's first.
        const Index r = p + 1;
        Meta& next = meta_[r];
        Slot* t = slots(r);
        if (pairsOf(r) > 0) {
            unpair(r, 0);
        }
        s[j] = Slot{merged.centroid(), merged.count()};
        remark(p, j);
        std::memmove(t, t + 1, next.size * sizeof(Slot));
        next.size -= 1;
        remark(r, 0);
        lost_ = r;
        const bool emptied = next.size == 0;
        if (emptied) {
            unlink(r);  // its only pair, if any, is out already
            if (r < nb_) {
                s[m.size] = slots(r)[0];
            }
        } else {
            shiftBest(r, 1, ~Index{0});
            setFirst(r);
            s[m.size] = t[0];
            keepBest(r);
        }
        afterMerge(p, j);
        settle(emptied ? p : r);
    }

    // After a merge at pair j of block p: the new pairs.
    void afterMerge(Index p, Index j)
    {
        if (j >= 1) {
            pairUp(p, j - 1);
        }
        if (j < pairsOf(p)) {
            pairUp(p, j);
        }
        keepBest(p);
        if (j == 0) {
            firstChanged(p);
        }
    }

    // Starts of the blocks after the one that gained a bucket and up to
    // the one that lost one move by one.
    void updateStarts()
    {
        if (startsStale_) {
            Index total = 0;
            for (Index p = 0; p < nb_; ++p) {
                start_[p] = total;
                total += meta_[p].size;
            }
            start_[nb_] = total;
            startsStale_ = false;
        } else if (gained_ < lost_) {
            for (Index q = gained_ + 1; q <= lost_; ++q) {
                start_[q] += 1;
            }
        } else {
            for (Index q = lost_ + 1; q <= gained_; ++q) {
                start_[q] -= 1;
            }
        }
    }

    // Replaces the bucket at local index i of block q by (c, n).
    void replace(Index q, Index i, double c, std::uint64_t n)
    {
        if (badPairs_ == 0 && nanPairs_ == 0 && i >= 1 && i < pairsOf(q)) {
            replaceInside(q, i, c, n);
            return;
        }
        if (i == 0) {
            firstChanging(q);
        } else {
            unpair(q, i - 1);
        }
        const bool hasNext = i < pairsOf(q);
        if (hasNext) {
            unpair(q, i);
        }
        slots(q)[i] = Slot{c, n};
        if (i % markStride == 0) {
            meta_[q].mark[i / markStride] = c;
        }
        if (i >= 1) {
            pairUp(q, i - 1);
        }
        if (hasNext) {
            pairUp(q, i);
        }
        keepBest(q);
        if (i == 0) {
            firstChanged(q);
        }
    }

    // `replace` where both pairs that change lie in block q and every pair
    // is in order without NaN: the old pairs count nowhere.
    void replaceInside(Index q, Index i, double c, std::uint64_t n)
    {
        Meta& m = meta_[q];
        Slot* s = slots(q);
        s[i] = Slot{c, n};
        m.leastKnown = false;
        if (i % markStride == 0) {
            m.mark[i / markStride] = c;
        }
        const Index nans =
            std::isnan(c - s[i - 1].c) + std::isnan(s[i + 1].c - c);
        const Index bad = disordered(s, i - 1) + disordered(s, i);
        if ((nans | bad) != 0) {
            m.nans += nans;
            nanPairs_ += nans;
            m.bad += bad;
            badPairs_ += bad;
        }
        const Key left = keyOf(s, i - 1);
        const Key right = keyOf(s, i);
        const bool leftIn = !std::isnan(left.gap) && eligible(q, i - 1);
        const bool rightIn = !std::isnan(right.gap);
        // When the best was one of the two pairs (unsigned: none is far
        // above), every other pair is not below its old key: the better
        // new pair is the best if it is not above that key either (it
        // also comes later than any other pair with that key), else the
        // block is scanned.
        if (m.bestAt - (i - 1) <= 1) {
            touch(q);
            const bool takeRight = rightIn && (!leftIn || !less(left, right));
            if ((leftIn | rightIn) &&
                !less(m.best, takeRight ? right : left)) {
                m.bestAt = takeRight ? i : i - 1;
                m.best = takeRight ? right : left;
            } else {
                rescan(q);
            }
            return;
        }
        if (leftIn) {
            offer(q, i - 1, left);
        }
        if (rightIn) {
            offer(q, i, right);
        }
    }

    // The push of (c, n) at local index j of block p when the histogram
    // is full and it would merge one of the two pairs the new bucket
    // makes: the merged bucket takes the place of the new bucket's
    // neighbour, and nothing moves.  False, with nothing changed, when
    // the pair merged would be another or that is not shown.  While a gap
    // is NaN the reference's scan runs over the list as it would be.
    bool pushMerged(Index p, Index j, double c, std::uint64_t n)
    {
        if (j == 0 && p != 0) {
            return false;
        }
        if (nanPairs_ != 0) {
            // The reference's scan over the list with the bucket in place.
            const Insertion v{p, j, c, n};
            Race race = startRace(&v);
            runRace(race, &v);
            if (race.p != p || (race.j != j && race.j + 1 != j)) {
                return false;
            }
            mergeNew(p, j, c, n, race.j == j);
            return true;
        }
        const Meta& m = meta_[p];
        const Slot* s = slots(p);
        // The new pairs: (p, j-1) from the left neighbour a, (p, j) to the
        // right neighbour b; j is 0 only in block 0.
        const bool hasLeft = j >= 1;
        const bool hasRight = j < m.size || p + 1 < nb_;
        Key left{};
        Key right{};
        if (hasLeft) {
            left = Key{c - s[j - 1].c, s[j - 1].n + n, s[j - 1].c};
            if (std::isnan(left.gap)) {
                return false;
            }
        }
        if (hasRight) {
            right = Key{s[j].c - c, n + s[j].n, c};
            if (std::isnan(right.gap)) {
                return false;
            }
        }
        // The new pairs against the tree's best, pair 0 aside.  That may
        // be the pair the new bucket splits: then every other pair is not
        // below it, so a new pair less than it is the least of all, and
        // otherwise the push takes the longer way.  An old pair of block p
        // at j or after moves up by one.
        const Index top = tree_[1];
        const Meta* best = top == none ? nullptr : &meta_[top];
        bool takeRight;
        if (p == 0 && j <= 1) {
            // A new pair is pair 0 of the list; the later pairs are the
            // other new one, or the old pair 0 when the new bucket comes
            // first, then the tree's.
            const bool first = j == 0;
            const Key& pair0 = first ? right : left;
            Key later{};
            bool hasLater = false;
            bool laterIsNew = false;
            if (first ? n_ >= 2 : hasRight) {
                later = first ? keyOf(s, 0) : right;
                hasLater = true;
                laterIsNew = !first;
            }
            if (best && (!hasLater || !less(later, best->best))) {
                later = best->best;
                hasLater = true;
                laterIsNew = false;
            }
            if (!hasLater || !less(later, pair0)) {
                takeRight = first;  // pair 0 keeps its place on a tie
            } else if (laterIsNew) {
                takeRight = true;
            } else {
                return false;
            }
        } else {
            // The later new pair wins a tie.
            takeRight = hasRight && !less(left, right);
            const Key& key = takeRight ? right : left;
            if (best) {
                const bool before =
                    top < p || (top == p && best->bestAt + 1 < j);
                if (before ? less(best->best, key) : !less(key, best->best)) {
                    return false;
                }
            }
            // Pair 0, still the old one, keeps its place on a tie.
            if (!less(key, keyOf(slots(0), 0))) {
                return false;
            }
        }
        mergeNew(p, j, c, n, takeRight);
        return true;
    }

    // Merges the new bucket (c, n), not inserted at local index j of block
    // p, with its right neighbour at j or its left one at j - 1.
    void mergeNew(Index p, Index j, double c, std::uint64_t n, bool right)
    {
        const Slot* s = slots(p);
        if (right) {
            const Slot b = s[j];
            const Bucket merged(Bucket(c, n), Bucket(b.c, b.n));
            if (j < meta_[p].size) {
                replace(p, j, merged.centroid(), merged.count());
            } else {  // the next block's first bucket
                replace(p + 1, 0, merged.centroid(), merged.count());
            }
        } else {
            const Slot a = s[j - 1];
            const Bucket merged(Bucket(a.c, a.n), Bucket(c, n));
            replace(p, j - 1, merged.centroid(), merged.count());
        }
    }

    void push(double c, std::uint64_t n)
    {
        Index p;
        Index j;
        locate(c, n, p, j);
        if (n_ == _max_size && pushMerged(p, j, c, n)) {
            syncTree();
#if VB_HISTOGRAM_CHECKING
            check();
#endif
            return;
        }
        insert(p, j, c, n);
        lost_ = nb_;  // no merge: every later start moves, and the end
        if (n_ > _max_size) {
            choose(p, j);
            merge(p, j);
        }
        updateStarts();
        syncTree();
#if VB_HISTOGRAM_CHECKING
        check();
#endif
    }

    static constexpr Index maxTouched = 8;

    const std::size_t _max_size;
    const Index maxBlocks_;
    const Index leaves_;         // a power of two >= maxBlocks_
    std::vector<Store> store_;   // the pool, indexed by `Meta::id`
    std::vector<Meta> meta_;     // the blocks in list order
    std::vector<double> fence_;  // their first centroids, for the search
    std::vector<Index> start_;   // list index of each block's first bucket
    std::vector<Index> free_;    // stores not in use
    std::vector<Index> tree_;    // tournament winners by node, 1 the root
    std::size_t n_ = 0;          // buckets held
    Index nb_ = 0;               // blocks in use
    std::size_t nanPairs_ = 0;   // pairs whose gap is NaN, in all blocks
    std::size_t badPairs_ = 0;   // sum of `disordered`, all blocks
    Touched touchedAt_[maxTouched] = {};
    Index touched_ = 0;
    bool rebuildTree_ = true;
    bool startsStale_ = false;
    bool landedOnEqual_ = false;  // see `locate`
    Index gained_ = 0;  // this push's blocks that gained and lost a bucket
    Index lost_ = 0;
};

// The engines the builders use, by capacity (measured with
// benchmarks/run.py histogram on lognormal data, small integers and data
// with infinities): the reference's linear push below
// `blockHistogramFrom`, where it is as fast or faster on some data; blocks
// of 64 up to `wideBlocksFrom`; blocks of 128 from there, whose shorter
// search and tree pay for their longer scans and shifts.
using BlockHistogram = BlockHistogramOf<64>;
using WideBlockHistogram = BlockHistogramOf<128>;
constexpr std::size_t blockHistogramFrom = 48;
constexpr std::size_t wideBlocksFrom = 2048;

}  // namespace vb
