// Raw LZMA2 streams, coded by liblzma: the entropy coder of the compact
// delta format. A stream has no header of its own; the reader must be told
// the dictionary size the writer used. Only this module includes lzma.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace kestro {

// The smallest dictionary an LZMA2 stream may have.
inline constexpr std::uint32_t MinLzmaDictionary = 4096;

// How the encoder searches: a preset level 0..9, and the length of a match
// that ends its search at once (0: the level's own).
struct LzmaSettings {
    std::uint32_t dictionaryBytes = 1 << 20;
    std::uint32_t level = 9;
    std::uint32_t niceLength = 0;
    // Bytes the dictionary holds before the stream starts, which its
    // matches may copy from; the decoder must be given the same. Copied when
    // the coder starts.
    std::span<const std::uint8_t> preset;
    // Hash chains rather than binary trees: several times faster to start on
    // megabytes of preset, for a stream a percent or two larger.
    bool hashChains = false;
    // How many high bits of the byte before a literal, and how many low
    // bits of its position, its coding depends on (liblzma's lc and pb;
    // the decoder reads them from the stream).
    std::uint32_t literalContextBits = 3; // liblzma's defaults
    std::uint32_t positionBits = 2;
    // How many places of its hash chain or tree the match finder visits at
    // most for a position (0: the level's own).
    std::uint32_t depth = 0;
};

class LzmaEncoder {
public:
    explicit LzmaEncoder(const LzmaSettings& settings);
    LzmaEncoder(LzmaEncoder&&) noexcept;
    LzmaEncoder& operator=(LzmaEncoder&&) noexcept;
    ~LzmaEncoder();

    enum class End {
        Flush,  // everything given so far can be decoded from what is out
        Finish, // the stream ends, with its end mark
    };
    // Compresses input and appends the coded bytes to out, ending as asked.
    // between, when set, is called after each 256 KiB of input but the
    // last, and may throw to stop the coding (the encoder is then of no
    // further use).
    void Code(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out, End end,
              const std::function<void()>& between = {});

private:
    struct State;
    std::unique_ptr<State> state_;
};

class LzmaDecoder {
public:
    explicit LzmaDecoder(std::uint32_t dictionaryBytes, std::span<const std::uint8_t> preset = {});
    LzmaDecoder(LzmaDecoder&&) noexcept;
    LzmaDecoder& operator=(LzmaDecoder&&) noexcept;
    ~LzmaDecoder();

    enum class Status { Going, Ended, Damaged };
    // Decodes from the front of input into the front of output; both spans
    // are advanced past what was taken and what was made. Ended once the
    // stream's end mark has been read; Damaged for coded data that is not
    // a valid stream.
    Status Decode(std::span<const std::uint8_t>& input, std::span<std::uint8_t>& output);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kestro
