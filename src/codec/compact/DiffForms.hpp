// The forms of the difference stream in a body of DiffCodingBySegment: each
// data segment's difference bytes start with a byte naming their form,
// then come as they are (DiffForm::Plain) or in run form
// (DiffForm::ZeroRuns): each run of zero difference bytes as one zero byte
// and the LEB128 number of zeros after the first, every other byte
// standing for itself. A run ends in the segment it starts in and holds
// fewer zeros than a segment rebuilds. Their one writer and one reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestro {

enum class DiffForm : std::uint8_t { Plain = 0, ZeroRuns = 1 };

// The writer's choice for a segment's differences. Recompiled code's are
// nearly all zero, in runs of dozens to thousands: in run form they are a
// tenth to a hundredth as long, code 1 to 14 % smaller and take a tenth of
// the coder's time. Where one byte in 16 or more is not zero (tables whose
// entries shifted), runs are short, and a count after every zero breaks
// the repeats at the table's stride that the plain form's coder finds: 2
// to 12 % larger.
DiffForm ChooseDiffForm(std::span<const std::uint8_t> differences);

// Appends the form's byte and the differences in that form to out.
void AppendDifferences(DiffForm form, std::span<const std::uint8_t> differences,
                       std::vector<std::uint8_t>& out);

// The decoded bytes of a difference stream.
class DiffSource {
public:
    virtual ~DiffSource() = default;
    // The next bytes, at least one, left in place until consumed; fails as
    // a damaged body where the piece holds no more.
    virtual std::span<const std::uint8_t> Available() = 0;
    virtual void Consume(std::size_t count) = 0;
};

// Reads a segment's differences back in the form its first byte names.
class DiffReader {
public:
    explicit DiffReader(DiffSource& source) : source_(source) {}

    // Reads the form's byte of a data segment; another value is damage.
    void StartSegment();
    // Fills to with the next difference bytes.
    void Read(std::span<std::uint8_t> to);
    // The segment's edits are complete: no run of it may go on.
    void EndSegment() const;

private:
    std::uint8_t Byte();

    DiffSource& source_;
    DiffForm form_ = DiffForm::Plain;
    std::int64_t owed_ = 0; // zeros of the last run not yet read
};

} // namespace kestro
