// The compact filters' table.
#include "codec/compact/CompactFilters.hpp"

#include <array>

namespace kestro {

std::span<const CompactFilter> CompactFilters() {
    static const std::array<CompactFilter, 3> rows = {ImageFilterRow, NamedImageFilterRow,
                                                      X86FilterRow};
    return rows;
}

const CompactFilter* FindCompactFilter(std::uint32_t id) {
    for (const CompactFilter& filter : CompactFilters()) {
        if (filter.id == id) {
            return &filter;
        }
    }
    return nullptr;
}

} // namespace kestro
