// The difference stream's forms, written and read.
#include "codec/compact/DiffForms.hpp"

#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactFormat.hpp"

#include <algorithm>
#include <cstring>

namespace kestro {

namespace {

// Plain where at least one difference byte in this many is not zero.
constexpr std::size_t DenseDifferences = 16;

void AppendZeroRuns(std::span<const std::uint8_t> differences, std::vector<std::uint8_t>& out) {
    const std::uint8_t* at = differences.data();
    const std::uint8_t* const end = at + differences.size();
    while (at != end) {
        const std::uint8_t* zero = std::find(at, end, std::uint8_t{0});
        out.insert(out.end(), at, zero);
        if (zero == end) {
            return;
        }
        at = std::find_if(zero, end, [](std::uint8_t byte) { return byte != 0; });
        out.push_back(0);
        PutVarint(out, static_cast<std::uint64_t>(at - zero - 1));
    }
}

} // namespace

DiffForm ChooseDiffForm(std::span<const std::uint8_t> differences) {
    const auto nonzero = static_cast<std::size_t>(
        differences.size() - std::count(differences.begin(), differences.end(), 0));
    return nonzero * DenseDifferences < differences.size() ? DiffForm::ZeroRuns : DiffForm::Plain;
}

void AppendDifferences(DiffForm form, std::span<const std::uint8_t> differences,
                       std::vector<std::uint8_t>& out) {
    out.push_back(static_cast<std::uint8_t>(form));
    if (form == DiffForm::ZeroRuns) {
        AppendZeroRuns(differences, out);
    } else {
        out.insert(out.end(), differences.begin(), differences.end());
    }
}

std::uint8_t DiffReader::Byte() {
    const std::uint8_t byte = source_.Available()[0];
    source_.Consume(1);
    return byte;
}

void DiffReader::StartSegment() {
    const std::uint8_t form = Byte();
    if (form > static_cast<std::uint8_t>(DiffForm::ZeroRuns)) {
        Damaged();
    }
    form_ = static_cast<DiffForm>(form);
}

void DiffReader::Read(std::span<std::uint8_t> to) {
    while (!to.empty()) {
        if (owed_ > 0) {
            const auto zeros =
                static_cast<std::size_t>(std::min<std::int64_t>(owed_, std::ssize(to)));
            std::memset(to.data(), 0, zeros);
            owed_ -= static_cast<std::int64_t>(zeros);
            to = to.subspan(zeros);
            continue;
        }
        const std::span<const std::uint8_t> coded = source_.Available();
        const std::size_t most = std::min(coded.size(), to.size());
        if (form_ == DiffForm::Plain) {
            std::memcpy(to.data(), coded.data(), most);
            source_.Consume(most);
            to = to.subspan(most);
            continue;
        }
        const auto plain = static_cast<std::size_t>(
            std::find(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(most), 0) -
            coded.begin());
        std::memcpy(to.data(), coded.data(), plain);
        to = to.subspan(plain);
        if (plain == most) {
            source_.Consume(plain);
            continue;
        }
        source_.Consume(plain + 1);
        const std::uint64_t more = ReadVarint([this] { return Byte(); });
        if (more >= static_cast<std::uint64_t>(SegmentBytes)) {
            Damaged();
        }
        owed_ = static_cast<std::int64_t>(more) + 1;
    }
}

void DiffReader::EndSegment() const {
    if (owed_ != 0) {
        Damaged();
    }
}

} // namespace kestro
