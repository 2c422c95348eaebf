#include "codec/compact/Lzma.hpp"

#include "common/Failures.hpp"
#include "platform/Memory.hpp"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kestro {

namespace {

// The input the encoder takes between two calls of its between(): at the
// strongest setting a fraction of a second of work.
constexpr std::size_t LzmaPieceBytes = 256 * 1024;

lzma_options_lzma Lzma2Options(const LzmaSettings& settings) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, settings.level) != 0) {
        throw Exception("Invalid compression level");
    }
    options.dict_size = settings.dictionaryBytes;
    options.lc = settings.literalContextBits;
    options.pb = settings.positionBits;
    if (settings.niceLength != 0) {
        options.nice_len = settings.niceLength;
    }
    if (!settings.preset.empty()) {
        options.preset_dict = settings.preset.data();
        options.preset_dict_size = static_cast<std::uint32_t>(settings.preset.size());
    }
    if (settings.hashChains) {
        options.mf = LZMA_MF_HC4;
    }
    options.depth = settings.depth;
    return options;
}

// Both directions fail alike for a coder that cannot start.
void CheckStarted(lzma_ret started) {
    if (started == LZMA_MEM_ERROR) {
        throw std::bad_alloc();
    }
    if (started != LZMA_OK) {
        throw Exception("Invalid compression settings");
    }
}

// The encoder's allocator: the largest tables of its match finder (with a
// dictionary of 8 MiB, as the extra stream's, a hash of 16 MiB and chains
// of 32 or trees of 64; read at random for every byte coded) are mapped
// apart, in huge pages where the system gives them; the rest comes from
// the heap. Mapping the smaller tables too took a few percent more off the
// time, but a huge page that is touched at all is resident whole, and the
// peak rose by 6 to 12 MiB. Each block starts with how it was got, since
// liblzma frees by address alone.
constexpr std::size_t MappedFrom = std::size_t{16} << 20;
struct BlockHeader {
    std::size_t bytes; // the whole block's, header included
    bool mapped;
};
// Keeps what follows the header aligned for any type.
constexpr std::size_t HeaderBytes = 2 * alignof(std::max_align_t);
static_assert(sizeof(BlockHeader) <= HeaderBytes);

void* AllocateForEncoder(void*, std::size_t count, std::size_t size) {
    if (size != 0 && count > (SIZE_MAX - HeaderBytes) / size) {
        return nullptr;
    }
    const BlockHeader header{HeaderBytes + count * size, count * size >= MappedFrom};
    void* block = nullptr;
    if (header.mapped) {
        try {
            block = MapBlock(header.bytes);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    } else {
        block = std::malloc(header.bytes);
        if (block == nullptr) {
            return nullptr;
        }
    }
    std::memcpy(block, &header, sizeof header);
    return static_cast<std::uint8_t*>(block) + HeaderBytes;
}

void FreeForEncoder(void*, void* address) {
    if (address == nullptr) {
        return;
    }
    void* const block = static_cast<std::uint8_t*>(address) - HeaderBytes;
    BlockHeader header;
    std::memcpy(&header, block, sizeof header);
    if (header.mapped) {
        UnmapBlock(block, header.bytes);
    } else {
        std::free(block);
    }
}

constexpr lzma_allocator EncoderAllocator{AllocateForEncoder, FreeForEncoder, nullptr};

} // namespace

struct LzmaEncoder::State {
    lzma_stream stream = LZMA_STREAM_INIT;
    ~State() { lzma_end(&stream); }
};

LzmaEncoder::LzmaEncoder(const LzmaSettings& settings) : state_(std::make_unique<State>()) {
    state_->stream.allocator = &EncoderAllocator;
    lzma_options_lzma options = Lzma2Options(settings);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    CheckStarted(lzma_raw_encoder(&state_->stream, filters));
}

LzmaEncoder::LzmaEncoder(LzmaEncoder&&) noexcept = default;
LzmaEncoder& LzmaEncoder::operator=(LzmaEncoder&&) noexcept = default;
LzmaEncoder::~LzmaEncoder() = default;

void LzmaEncoder::Code(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out, End end,
                       const std::function<void()>& between) {
    lzma_stream& stream = state_->stream;
    // The input goes in pieces, so that between() runs every so often on a
    // large input; the coded bytes do not depend on how the input is cut.
    for (;;) {
        const std::size_t piece = std::min(input.size(), LzmaPieceBytes);
        const bool last = piece == input.size();
        stream.next_in = input.data();
        stream.avail_in = piece;
        const lzma_action action = !last               ? LZMA_RUN
                                   : end == End::Flush ? LZMA_SYNC_FLUSH
                                                       : LZMA_FINISH;
        std::uint8_t buffer[64 * 1024];
        for (;;) {
            stream.next_out = buffer;
            stream.avail_out = sizeof buffer;
            const lzma_ret result = lzma_code(&stream, action);
            out.insert(out.end(), buffer, buffer + (sizeof buffer - stream.avail_out));
            if (result == LZMA_STREAM_END || (action == LZMA_RUN && stream.avail_in == 0)) {
                break;
            }
            if (result == LZMA_MEM_ERROR) {
                throw std::bad_alloc();
            }
            if (result != LZMA_OK) {
                throw Exception("Compression failed");
            }
        }
        if (last) {
            return;
        }
        input = input.subspan(piece);
        if (between) {
            between();
        }
    }
}

struct LzmaDecoder::State {
    lzma_stream stream = LZMA_STREAM_INIT;
    bool ended = false;
    ~State() { lzma_end(&stream); }
};

LzmaDecoder::LzmaDecoder(std::uint32_t dictionaryBytes, std::span<const std::uint8_t> preset)
    : state_(std::make_unique<State>()) {
    lzma_options_lzma options{};
    options.dict_size = dictionaryBytes;
    if (!preset.empty()) {
        options.preset_dict = preset.data();
        options.preset_dict_size = static_cast<std::uint32_t>(preset.size());
    }
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    CheckStarted(lzma_raw_decoder(&state_->stream, filters));
}

LzmaDecoder::LzmaDecoder(LzmaDecoder&&) noexcept = default;
LzmaDecoder& LzmaDecoder::operator=(LzmaDecoder&&) noexcept = default;
LzmaDecoder::~LzmaDecoder() = default;

LzmaDecoder::Status LzmaDecoder::Decode(std::span<const std::uint8_t>& input,
                                        std::span<std::uint8_t>& output) {
    if (state_->ended) {
        return Status::Ended;
    }
    lzma_stream& stream = state_->stream;
    stream.next_in = input.data();
    stream.avail_in = input.size();
    stream.next_out = output.data();
    stream.avail_out = output.size();
    const lzma_ret result = lzma_code(&stream, LZMA_RUN);
    input = input.subspan(input.size() - stream.avail_in);
    output = output.subspan(output.size() - stream.avail_out);
    switch (result) {
    case LZMA_OK:
    case LZMA_BUF_ERROR: // no progress possible with what was given
        return Status::Going;
    case LZMA_STREAM_END:
        state_->ended = true;
        return Status::Ended;
    case LZMA_MEM_ERROR:
        throw std::bad_alloc();
    default:
        return Status::Damaged;
    }
}

} // namespace kestro
