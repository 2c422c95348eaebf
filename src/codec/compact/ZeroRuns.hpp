// The difference stream's run form (DiffCodingZeroRuns): each run of zero
// difference bytes is one zero byte followed by the LEB128 number of zeros
// after the first; every other byte stands for itself. A run holds fewer
// zeros than a segment rebuilds. Its one writer and its one reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestro {

// Appends differences in run form to out.
void AppendZeroRuns(std::span<const std::uint8_t> differences, std::vector<std::uint8_t>& out);

// The decoded bytes of a difference stream in run form.
class RunSource {
public:
    virtual ~RunSource() = default;
    // The next bytes, at least one, left in place until consumed; fails as
    // a damaged body where the piece holds no more.
    virtual std::span<const std::uint8_t> Available() = 0;
    virtual void Consume(std::size_t count) = 0;
};

// Expands the run form back into difference bytes, a run going on from one
// read to the next.
class ZeroRunReader {
public:
    explicit ZeroRunReader(RunSource& source) : source_(source) {}

    // Fills to with the next difference bytes.
    void Read(std::span<std::uint8_t> to);
    // Zeros of the last run that no read has taken yet: a segment must end
    // with none.
    std::int64_t Owed() const { return owed_; }

private:
    std::uint8_t Byte();

    RunSource& source_;
    std::int64_t owed_ = 0;
};

} // namespace kestro
