// The difference stream's forms: what the writer makes of a segment's
// differences, and the reader's expansion of them, whatever pieces the
// coded bytes come in and whatever lengths are read.
#include "CompactSupport.hpp"
#include "TestSupport.hpp"

#include "codec/compact/DiffForms.hpp"
#include "common/Failures.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestro::test {
namespace {

// Coded bytes handed out at most piece at a time, as an LZMA decoder's
// output may end anywhere, a run's length cut in two among other places.
class Pieces final : public DiffSource {
public:
    Pieces(Bytes coded, std::size_t piece) : coded_(std::move(coded)), piece_(piece) {}

    std::span<const std::uint8_t> Available() override {
        if (at_ == coded_.size()) {
            throw Exception("CRC Error");
        }
        return std::span<const std::uint8_t>(coded_).subspan(at_,
                                                             std::min(piece_, coded_.size() - at_));
    }
    void Consume(std::size_t count) override { at_ += count; }
    bool Done() const { return at_ == coded_.size(); }

private:
    Bytes coded_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

Bytes Formed(DiffForm form, const Bytes& differences) {
    Bytes out;
    AppendDifferences(form, differences, out);
    return out;
}

// Reads a segment of count bytes in reads of at most step.
Bytes Expand(const Bytes& coded, std::size_t count, std::size_t piece, std::size_t step) {
    Pieces source(coded, piece);
    DiffReader reader(source);
    reader.StartSegment();
    Bytes out(count);
    for (std::size_t at = 0; at < count; at += step) {
        reader.Read(std::span(out).subspan(at, std::min(step, count - at)));
    }
    EXPECT_NO_THROW(reader.EndSegment());
    EXPECT_TRUE(source.Done());
    return out;
}

TEST(DiffForms, EachRunIsAZeroAndTheZerosAfterIt) {
    const struct {
        Bytes differences;
        Bytes runs;
    } cases[] = {
        {{}, {}},
        {{7, 1, 255}, {7, 1, 255}},
        {{0}, {0, 0}},
        {{0, 0, 0, 5, 0}, {0, 2, 5, 0, 0}},
        {Bytes(128, 0), {0, 127}},
        {Bytes(129, 0), {0, 0x80, 0x01}},
        {Join({{9}, Bytes(70000, 0), {9}}), {9, 0, 0xEF, 0xA2, 0x04, 9}},
    };
    for (const auto& c : cases) {
        const Bytes runs = Formed(DiffForm::ZeroRuns, c.differences);
        EXPECT_EQ(runs, Join({{1}, c.runs})) << c.differences.size();
        EXPECT_EQ(Expand(runs, c.differences.size(), 3, 5), c.differences);
        const Bytes plain = Formed(DiffForm::Plain, c.differences);
        EXPECT_EQ(plain, Join({{0}, c.differences}));
        EXPECT_EQ(Expand(plain, c.differences.size(), 3, 5), c.differences);
    }
}

// Runs where fewer than one difference byte in 16 is not zero; plain from
// there on.
TEST(DiffForms, RunsWhereTheDifferencesAreSparse) {
    Bytes differences(1600, 0);
    for (std::size_t i = 0; i < 99; ++i) {
        differences[i * 16] = 1;
    }
    EXPECT_EQ(ChooseDiffForm(differences), DiffForm::ZeroRuns);
    differences[1599] = 1;
    EXPECT_EQ(ChooseDiffForm(differences), DiffForm::Plain);
    EXPECT_EQ(ChooseDiffForm({}), DiffForm::Plain);
}

// Sparse differences as recompiled code has them, in run form, read back
// whole, a byte at a time and in odd pieces from odd pieces.
TEST(DiffForms, ReadBackInAnyPieces) {
    Bytes differences(300000, 0);
    const Bytes noise = Random(3000, 4);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        differences[(i * 7919 + noise[i] * 13) % differences.size()] = noise[i];
    }
    std::fill_n(differences.begin() + 1000, 200, 0x11);
    const Bytes runs = Formed(DiffForm::ZeroRuns, differences);
    EXPECT_LT(runs.size() * 20, differences.size());
    for (const auto& [piece, step] : {std::pair<std::size_t, std::size_t>{1, 1},
                                      {1, 4096},
                                      {7, 13},
                                      {65536, 300000},
                                      {300000, 1}}) {
        EXPECT_EQ(Expand(runs, differences.size(), piece, step), differences)
            << piece << " " << step;
    }
}

} // namespace
} // namespace kestro::test
