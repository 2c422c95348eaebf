// The x86 filter's row of the compact filters' table (format 2.1): no
// record behind the body header; the original's address table, read by
// the frozen rules of X86Filter.hpp.
#include "codec/compact/CompactFilters.hpp"
#include "codec/compact/FilterPlan.hpp"
#include "codec/compact/legacy/X86Filter.hpp"
#include "common/ByteStream.hpp"

#include <algorithm>
#include <vector>

namespace kestro {

namespace {

// The original is an x86 program, from its first bytes.
bool ChooseX86(ByteStream&, ByteStream& original, const std::function<void()>&, FilterPlan& plan,
               CompactHeader&) {
    std::vector<std::uint8_t> start(
        static_cast<std::size_t>(std::min<std::int64_t>(original.Size(), 4096)));
    original.SetPosition(0);
    original.ReadBuffer(start.data(), static_cast<std::int64_t>(start.size()));
    if (!IsX86Program(start)) {
        return false;
    }
    plan.inputs.addresses = ReadAddressTable(original);
    return true;
}

FilterInputs ReadX86Inputs(ByteStream& original, const CompactHeader&,
                           const std::function<void()>&) {
    FilterInputs inputs;
    inputs.addresses = ReadAddressTable(original);
    return inputs;
}

std::uint64_t NoMostStretches(std::uint64_t) {
    return UINT64_MAX;
}

class X86Predictor final : public EditPredictor {
public:
    X86Predictor(const FilterInputs& inputs, const CompactHeader& header, const ReferenceMap& map,
                 ReadOld readOld)
        : references_(map, inputs.addresses, static_cast<std::int64_t>(header.OriginalSize),
                      std::move(readOld)) {}

    void StartEdit(std::int64_t oldStart, std::int64_t length, std::int64_t newStart) override {
        references_.StartEdit(oldStart, length, newStart);
    }
    void Predict(std::span<std::uint8_t> bytes, std::int64_t at) override {
        references_.Predict(bytes, at);
    }

private:
    ReferencePredictor references_;
};

std::unique_ptr<EditPredictor> MakeX86Predictor(const FilterInputs& inputs,
                                                const CompactHeader& header,
                                                const ReferenceMap& map, ReadOld readOld,
                                                const std::function<void()>&) {
    return std::make_unique<X86Predictor>(inputs, header, map, std::move(readOld));
}

} // namespace

const CompactFilter X86FilterRow = {CompactFilterX86, 1,         ReferenceMap::MaxStretches,
                                    NoMostStretches,  ChooseX86, ReadX86Inputs,
                                    nullptr,          nullptr,   MakeX86Predictor};

} // namespace kestro
