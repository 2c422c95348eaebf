#include "exe/Image.hpp"

#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "exe/ImageFormats.hpp"

#include <algorithm>

namespace kestro {

std::optional<std::uint64_t> Image::OffsetOf(std::uint64_t address) const {
    for (const ImageSection& section : sections) {
        if (section.address <= address && address - section.address < section.fileSize) {
            return section.fileOffset + (address - section.address);
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Image::AddressOf(std::uint64_t offset) const {
    for (const ImageSection& section : sections) {
        if (section.fileOffset <= offset && offset - section.fileOffset < section.fileSize) {
            return section.address + (offset - section.fileOffset);
        }
    }
    return std::nullopt;
}

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

Image ReadImage(ByteStream& file) {
    FileBytes in{file, static_cast<std::uint64_t>(std::max<std::int64_t>(file.Size(), 0))};
    std::uint8_t magic[4] = {};
    Image image;
    if (in.Read(0, magic, sizeof magic)) {
        if (magic[0] == 'M' && magic[1] == 'Z') {
            image = ReadPeImage(in);
        } else if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') {
            image = ReadElfImage(in);
        }
    }
    image.fileSize = in.size;
    return image;
}

std::vector<AddressSlot> ReadAddressSlots(ByteStream& file, const Image& image) {
    FileBytes in{file, static_cast<std::uint64_t>(std::max<std::int64_t>(file.Size(), 0))};
    std::vector<AddressSlot> slots;
    if (image.format == ImageFormat::Pe) {
        ReadPeSlots(in, image, slots);
    } else if (image.format == ImageFormat::Elf) {
        ReadElfSlots(in, image, slots);
    }
    std::stable_sort(slots.begin(), slots.end(), [](const AddressSlot& a, const AddressSlot& b) {
        return a.offset < b.offset;
    });
    std::size_t kept = 0;
    for (const AddressSlot& slot : slots) {
        if (slot.offset > in.size ||
            static_cast<std::uint64_t>(slot.Width()) > in.size - slot.offset) {
            continue;
        }
        if (kept == 0 || slot.offset >= slots[kept - 1].offset +
                                            static_cast<std::uint64_t>(slots[kept - 1].Width())) {
            slots[kept++] = slot;
        }
    }
    slots.resize(kept);
    return slots;
}

std::vector<UnwindEntry> ReadUnwindEntries(ByteStream& file, const Image& image) {
    FileBytes in{file, static_cast<std::uint64_t>(std::max<std::int64_t>(file.Size(), 0))};
    std::vector<UnwindEntry> entries;
    if (image.format == ImageFormat::Pe) {
        ReadPeUnwindEntries(in, image, entries);
    }
    return entries;
}

} // namespace kestro
