#include "common/Failures.hpp"

#include <cstring>

namespace kestro {

Exception::Exception(std::string message, SourceSite where)
    : message_(std::move(message)), location_(CodeLocation(where)) {}

std::uint32_t CodeLocation(SourceSite where) noexcept {
    const char* file = where.file;
    // Only the base name counts, so that the value does not depend on where
    // the source tree lies.
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            file = p + 1;
        }
    }
    std::uint32_t hash = 2166136261u;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 16777619u;
    };
    for (const char* p = file; *p != '\0'; ++p) {
        mix(static_cast<unsigned char>(*p));
    }
    std::uint32_t line = where.line;
    for (int i = 0; i < 4; ++i) {
        mix(static_cast<unsigned char>(line >> (8 * i)));
    }
    return hash;
}

} // namespace kestro
