#include "exe/FileBytes.hpp"

#include "common/ByteStream.hpp"
#include "common/Failures.hpp"

namespace kestro {

FileBytes::FileBytes(ByteStream& file, WorkPoll& steps)
    : file(file), size(static_cast<std::uint64_t>(std::max<std::int64_t>(file.Size(), 0))),
      steps(steps) {}

bool FileBytes::Fits(std::uint64_t offset, std::uint64_t count) const {
    return offset <= size && count <= size - offset;
}

bool FileBytes::Read(std::uint64_t offset, void* buffer, std::uint64_t count) {
    if (!Fits(offset, count)) {
        return false;
    }
    // The bytes lie inside the size the file had: a file that ends before
    // them has changed, and fails as a short read does.
    const auto readAt = [this](std::uint64_t at, void* to, std::uint64_t bytes) {
        if (file.ReadAt(static_cast<std::int64_t>(at), to, static_cast<std::int64_t>(bytes)) !=
            static_cast<std::int64_t>(bytes)) {
            throw EReadError("Stream read error");
        }
    };
    if (count > WindowBytes) {
        readAt(offset, buffer, count);
        return true;
    }
    if (offset < windowAt || offset + count > windowAt + window.size()) {
        window.resize(static_cast<std::size_t>(std::min(WindowBytes, size - offset)));
        windowAt = offset;
        readAt(windowAt, window.data(), window.size());
    }
    std::copy_n(window.begin() + static_cast<std::ptrdiff_t>(offset - windowAt), count,
                static_cast<std::uint8_t*>(buffer));
    return true;
}

bool FileBytes::Read(std::uint64_t offset, std::vector<std::uint8_t>& buffer, std::uint64_t count) {
    if (!Fits(offset, count)) {
        return false;
    }
    buffer.resize(static_cast<std::size_t>(count));
    return Read(offset, buffer.data(), count);
}

} // namespace kestro
