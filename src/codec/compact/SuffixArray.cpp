#include "codec/compact/SuffixArray.hpp"

#include "common/Failures.hpp"
#include "common/Progress.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#ifdef KESTRO_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace kestro {

namespace {

// Induced sorting over a string s[0..n) with a virtual sentinel at n that is
// smaller than every symbol. Every suffix is S-type (smaller than the suffix
// after it) or L-type (larger); the sentinel is S, s[n-1] is L. An LMS
// position is an S position right after an L one; the sentinel is one. The
// LMS suffixes, once sorted, induce the order of all others in two scans.

// A slot not yet filled: no suffix, plain or flipped (see Induce), is this.
constexpr std::int32_t Empty = INT32_MIN;
// The inductions step the poll once every so many positions.
constexpr std::int32_t StepMask = 0xFFFF;

// The sort's poll and how far it is, a share of the whole: each level of
// the recursion tells its own steps within the share its caller gives it
// (the reduced string's sort takes a quarter of its caller's), so that the
// figure moves on at every level, never back. Each scan steps the poll
// once a position (the inductions 64 Ki positions at a time), so that a
// text of any size is polled every WorkPoll interval of positions.
struct Sorting {
    WorkPoll poll;
    double done = 0;
};

class SuffixTypes {
public:
    template <typename Symbol>
    SuffixTypes(const Symbol* s, std::int32_t n, Sorting& sorting)
        : words_(static_cast<std::size_t>(n) / 64 + 1) {
        SetS(n);
        for (std::int32_t i = n - 2; i >= 0; --i) {
            sorting.poll.Step();
            if (s[i] < s[i + 1] || (s[i] == s[i + 1] && IsS(i + 1))) {
                SetS(i);
            }
        }
    }
    bool IsS(std::int32_t i) const { return (words_[Word(i)] >> Bit(i) & 1) != 0; }
    bool IsLms(std::int32_t i) const { return i > 0 && IsS(i) && !IsS(i - 1); }

private:
    static std::size_t Word(std::int32_t i) { return static_cast<std::size_t>(i) >> 6; }
    static unsigned Bit(std::int32_t i) { return static_cast<unsigned>(i) & 63; }
    void SetS(std::int32_t i) { words_[Word(i)] |= std::uint64_t{1} << Bit(i); }

    std::vector<std::uint64_t> words_;
};

// Each symbol's bucket start (ends false) or end, one past its last slot.
template <typename Symbol>
void FindBuckets(const Symbol* s, std::int32_t n, std::span<std::int32_t> bucket, bool ends,
                 Sorting& sorting) {
    std::fill(bucket.begin(), bucket.end(), 0);
    for (std::int32_t i = 0; i < n; ++i) {
        sorting.poll.Step();
        ++bucket[static_cast<std::size_t>(s[i])];
    }
    std::int32_t sum = 0;
    for (std::int32_t& slot : bucket) {
        const std::int32_t count = slot;
        slot = ends ? sum + count : sum;
        sum += count;
    }
}

// The inductions read the text at random places: the text at an entry
// they will reach a little later is asked for ahead (6 % faster on
// programs of 12 to 17 MB).
constexpr std::int32_t PrefetchAhead = 24;
template <typename Symbol>
void Prefetch(const Symbol* s, std::int32_t entry, std::int32_t n) {
    const std::int32_t j = entry < 0 ? ~entry : entry; // Empty gives the largest
    __builtin_prefetch(s + (j > 0 && j <= n ? j - 1 : 0));
}

// From the sorted LMS suffixes at their buckets' ends, places every L
// suffix (a left-to-right scan) and then every S suffix (right to left).
// Each entry carries, while the scans run, whether its suffix's predecessor
// is still to be placed by the scan under way: a suffix j stands as j if
// so and as ~j if not (so that the scans need neither the types nor a
// second look at an entry). The L scan places the L predecessors of the
// plain entries and flips every entry, which leaves plain exactly those
// whose predecessor is S; the S scan places those and leaves every entry
// plain. The text is read at the predecessor and the one before it, which
// lie side by side. Empty slots are skipped; the LMS entries, whose
// predecessors are L, come in plain.
template <typename Symbol>
void Induce(const Symbol* s, std::int32_t* sa, std::int32_t n, std::span<std::int32_t> bucket,
            Sorting& sorting) {
    FindBuckets(s, n, bucket, false, sorting);
    // p is L; its predecessor is L too unless it is smaller.
    const auto placeL = [s, sa, &bucket](std::int32_t p) {
        const Symbol c = s[p];
        sa[bucket[static_cast<std::size_t>(c)]++] = p > 0 && s[p - 1] < c ? ~p : p;
    };
    // The suffix before the sentinel is the first of its bucket.
    placeL(n - 1);
    for (std::int32_t i = 0; i < n; ++i) {
        if ((i & StepMask) == 0) {
            sorting.poll.Step(StepMask + 1);
        }
        if (i + PrefetchAhead < n) {
            Prefetch(s, sa[i + PrefetchAhead], n);
        }
        const std::int32_t j = sa[i];
        if (j == Empty) {
            continue;
        }
        if (j > 0) {
            placeL(j - 1);
        }
        sa[i] = ~j;
    }
    FindBuckets(s, n, bucket, true, sorting);
    for (std::int32_t i = n - 1; i >= 0; --i) {
        if ((i & StepMask) == 0) {
            sorting.poll.Step(StepMask + 1);
        }
        if (i >= PrefetchAhead) {
            Prefetch(s, sa[i - PrefetchAhead], n);
        }
        const std::int32_t j = sa[i];
        if (j > 0) {
            // j - 1 is S; its predecessor is S too unless it is larger.
            const std::int32_t p = j - 1;
            const Symbol c = s[p];
            sa[--bucket[static_cast<std::size_t>(c)]] = p > 0 && s[p - 1] <= c ? p : ~p;
        } else if (j != Empty) {
            sa[i] = ~j;
        }
    }
}

// Whether the LMS substrings at a and b (up to and including the next LMS
// position) are equal in symbols and types. The one that reaches the
// sentinel is unique.
template <typename Symbol>
bool SameLmsSubstring(const Symbol* s, std::int32_t n, const SuffixTypes& types, std::int32_t a,
                      std::int32_t b, Sorting& sorting) {
    for (std::int32_t d = 0;; ++d) {
        sorting.poll.Step();
        if (a + d == n || b + d == n) {
            return false;
        }
        if (s[a + d] != s[b + d] || types.IsS(a + d) != types.IsS(b + d)) {
            return false;
        }
        if (d > 0 && types.IsLms(a + d)) {
            return true; // the types agree, so b + d ends its substring too
        }
    }
}

// With the LMS substrings sorted in sa: their sorted positions to the
// front (LMS positions are never neighbours, so there are at most n / 2 of
// them), each named, equal substrings the same name, stored at half its
// position behind the front; then the names in text order go to the end
// of sa: the reduced string. Returns the LMS count and the names'.
template <typename Symbol>
std::pair<std::int32_t, std::int32_t> NameLmsSubstrings(const Symbol* s, std::int32_t* sa,
                                                        std::int32_t n, const SuffixTypes& types,
                                                        Sorting& sorting) {
    std::int32_t lmsCount = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        sorting.poll.Step();
        if (types.IsLms(sa[i])) {
            sa[lmsCount++] = sa[i];
        }
    }
    std::fill(sa + lmsCount, sa + n, Empty);
    std::int32_t names = 0;
    for (std::int32_t i = 0; i < lmsCount; ++i) {
        sorting.poll.Step();
        if (i == 0 || !SameLmsSubstring(s, n, types, sa[i], sa[i - 1], sorting)) {
            ++names;
        }
        sa[lmsCount + sa[i] / 2] = names - 1;
    }
    for (std::int32_t i = n - 1, j = n - 1; i >= lmsCount; --i) {
        if (sa[i] != Empty) {
            sa[j--] = sa[i];
        }
    }
    return {lmsCount, names};
}

// The sorted LMS suffixes (sa's first lmsCount) at their buckets' ends, the
// largest first, so that none overwrites one not yet moved; then the final
// induction.
template <typename Symbol>
void PlaceSortedLms(const Symbol* s, std::int32_t* sa, std::int32_t n, std::int32_t lmsCount,
                    std::span<std::int32_t> bucket, Sorting& sorting) {
    std::fill(sa + lmsCount, sa + n, Empty);
    FindBuckets(s, n, bucket, true, sorting);
    for (std::int32_t i = lmsCount - 1; i >= 0; --i) {
        sorting.poll.Step();
        const std::int32_t j = sa[i];
        sa[i] = Empty;
        sa[--bucket[static_cast<std::size_t>(s[j])]] = j;
    }
    Induce(s, sa, n, bucket, sorting);
}

// Sorts the suffixes of s[0..n), whose symbols lie in 0..alphabet-1, into
// sa[0..n). The buckets go into spare, when it is given and has room for
// them, else into memory of their own.
template <typename Symbol>
void SortSuffixes(const Symbol* s, std::int32_t* sa, std::int32_t n, std::int32_t alphabet,
                  Sorting& sorting, double from, double to, std::span<std::int32_t> spare = {}) {
    // How far this level is, in eighths of its share, told at each poll
    // from here on.
    const auto reached = [&sorting, from, to](std::int32_t eighths) {
        sorting.done = std::max(sorting.done, from + (to - from) * eighths / 8);
        sorting.poll.Fire();
    };
    if (n <= 1) {
        if (n == 1) {
            sa[0] = 0;
        }
        return;
    }
    const SuffixTypes types(s, n, sorting);
    std::vector<std::int32_t> own;
    std::span<std::int32_t> bucket;
    if (spare.size() >= static_cast<std::size_t>(alphabet)) {
        bucket = spare.first(static_cast<std::size_t>(alphabet));
    } else {
        own.resize(static_cast<std::size_t>(alphabet));
        bucket = own;
    }

    // The LMS substrings sorted by one induction from the LMS positions in
    // any order.
    reached(1);
    std::fill(sa, sa + n, Empty);
    FindBuckets(s, n, bucket, true, sorting);
    for (std::int32_t i = 1; i < n; ++i) {
        sorting.poll.Step();
        if (types.IsLms(i)) {
            sa[--bucket[static_cast<std::size_t>(s[i])]] = i;
        }
    }
    Induce(s, sa, n, bucket, sorting);
    reached(3);

    const auto [lmsCount, names] = NameLmsSubstrings(s, sa, n, types, sorting);

    // The order of the LMS suffixes: by recursion while names repeat, else
    // straight from the names. The recursion works in sa's first lmsCount
    // slots and reads the reduced string from its last; between them lies
    // room for its buckets.
    reached(4);
    std::int32_t* reduced = sa + n - lmsCount;
    if (names < lmsCount) {
        const std::span<std::int32_t> between(sa + lmsCount,
                                              static_cast<std::size_t>(n - 2 * lmsCount));
        SortSuffixes(static_cast<const std::int32_t*>(reduced), sa, lmsCount, names, sorting,
                     from + (to - from) * 4 / 8, from + (to - from) * 6 / 8, between);
    } else {
        for (std::int32_t i = 0; i < lmsCount; ++i) {
            sa[reduced[i]] = i;
        }
    }
    for (std::int32_t i = 1, j = 0; i < n; ++i) {
        if (types.IsLms(i)) {
            reduced[j++] = i;
        }
    }
    for (std::int32_t i = 0; i < lmsCount; ++i) {
        sa[i] = reduced[sa[i]];
    }

    reached(6);

    PlaceSortedLms(s, sa, n, lmsCount, bucket, sorting);
}

} // namespace

std::vector<std::int32_t> BuildSuffixArray(std::span<const std::uint8_t> text,
                                           const std::function<void(std::int64_t done)>& told) {
    if (static_cast<std::int64_t>(text.size()) > MaxSuffixArrayText) {
        throw EOutOfMemory("Out of memory");
    }
    const auto n = static_cast<std::int32_t>(text.size());
    Sorting sorting{WorkPoll(nullptr)};
    if (told) {
        sorting.poll = WorkPoll([&] { told(static_cast<std::int64_t>(n * sorting.done)); });
    }
    // The array is made a piece at a time, polled between: a gigabyte of it
    // takes a second to clear.
    std::vector<std::int32_t> sa;
    sa.reserve(text.size());
    constexpr std::size_t Piece = std::size_t{16} << 20;
    while (sa.size() < text.size()) {
        sa.resize(std::min(text.size(), sa.size() + Piece));
        sorting.poll.Fire();
    }
    SortSuffixes(text.data(), sa.data(), n, 256, sorting, 0.0, 1.0);
    if (told) {
        told(n);
    }
    return sa;
}

#ifdef KESTRO_HAVE_DIVSUFSORT

namespace {

// A sort by the library: the text and the array it fills, which the
// sorting thread owns with the caller while it is waited for, and alone
// after.
struct LibrarySort {
    std::vector<std::uint8_t> text;
    std::vector<std::int32_t> suffixes;
    std::promise<void> sorted;
};

constexpr std::chrono::milliseconds LibrarySortPoll{50};
// The largest window the library sorts: some three seconds at one figure
// (told 0). A larger window takes the sort of our own, whose figure moves
// as it goes. The library takes no empty text either.
constexpr std::int64_t LibrarySortMostBytes = std::int64_t{64} << 20;

} // namespace

std::vector<std::int32_t> SortWindow(std::vector<std::uint8_t>& window,
                                     const std::function<void(std::int64_t done)>& told) {
    static_assert(sizeof(saidx_t) == sizeof(std::int32_t));
    if (static_cast<std::int64_t>(window.size()) > MaxSuffixArrayText) {
        throw EOutOfMemory("Out of memory");
    }
    if (window.empty() || static_cast<std::int64_t>(window.size()) > LibrarySortMostBytes) {
        return BuildSuffixArray(window, told);
    }
    const auto job = std::make_shared<LibrarySort>();
    job->text = std::move(window);
    std::future<void> sorted = job->sorted.get_future();
    std::thread([job] {
        try {
            job->suffixes.resize(job->text.size());
            if (divsufsort(job->text.data(), job->suffixes.data(),
                           static_cast<saidx_t>(job->text.size())) != 0) {
                throw EOutOfMemory("Out of memory");
            }
            job->sorted.set_value();
        } catch (...) {
            job->sorted.set_exception(std::current_exception());
        }
    }).detach();
    while (sorted.wait_for(LibrarySortPoll) != std::future_status::ready) {
        if (told) {
            told(0);
        }
    }
    sorted.get();
    window = std::move(job->text);
    if (told) {
        told(static_cast<std::int64_t>(window.size()));
    }
    return std::move(job->suffixes);
}

#else

std::vector<std::int32_t> SortWindow(std::vector<std::uint8_t>& window,
                                     const std::function<void(std::int64_t done)>& told) {
    return BuildSuffixArray(window, told);
}

#endif

} // namespace kestro
