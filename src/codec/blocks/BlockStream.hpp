// The block stream: the newer file in blocks of at most BlockSize bytes, each
// stored as it is or coded against the original's block of the same index.
// It begins right behind the delta file's header and descriptor and ends
// with its own end block. doc/FORMAT.md is the normative description of
// this layout, of what each CRC covers, of when a block is stored or coded
// and of what a reader refuses. Integers are little-endian; int32 is signed.
//
// Every block begins:
//   0  int32  SourceLength  bytes taken from the original for this block,
//                           0..BlockSize (0 once the original is used up)
//   4  byte   Kind          0 stored, 1 coded
// A stored block (Kind 0) continues:
//   5  int32  BlockLength   bytes of the newer file, 0..BlockSize; 0 marks
//                           the end block, which ends here
//   9  uint32 BlockCrc      CRC-32 of the data (only when BlockLength != 0)
//  13         data          BlockLength bytes of the newer file
// A coded block (Kind 1) continues:
//   5  uint32 TargetCrc     CRC-32 of the block it rebuilds
//   9  uint32 SourceCrc     CRC-32 of the SourceLength original bytes
//  13  int32  LiteralCount
//  17  int32  RecordBytes   12 * (copy records + 1)
//  21         literals      LiteralCount bytes
//             records       RecordBytes bytes of copy records, terminator last
#pragma once

#include <cstdint>
#include <vector>

namespace kestro {

class ByteStream;

inline constexpr std::int32_t BlockSize = 1048576;
// The shortest run that becomes a copy record.
inline constexpr std::int32_t BlockMinMatchLength = 20;
// The match candidates examined per target position when a delta is made.
inline constexpr std::int32_t BlockMaxCandidates = 25;

// Appends the block stream that turns original into newer to out. Both
// inputs are read from their positions, one block of each at a time, and out
// is written in block order, all on the calling thread. Up to threads blocks
// are coded at once, on as many worker threads (none for 1); the stream is
// the same byte for byte whatever the number. Memory grows by about 7.5 MiB
// per thread: three block areas and the match finder's tables.
void EncodeBlockStream(ByteStream& newer, ByteStream& original, ByteStream& out,
                       std::int32_t maxCandidates, std::int32_t threads);
// The same, with EncoderThreads() threads.
void EncodeBlockStream(ByteStream& newer, ByteStream& original, ByteStream& out,
                       std::int32_t maxCandidates);

// The most threads the encoder uses by default: one per hardware thread,
// at most this many, and one where the count is unknown.
inline constexpr unsigned MaxEncoderThreads = 16;
std::int32_t EncoderThreads();

// Reads a block stream from delta, reads original in step with it, and
// appends the rebuilt newer file to out. A block reaches out only after its
// checks have passed. Any damage (a CRC mismatch, an invalid kind, a count,
// length or position that reaches outside the block or the data present, a
// stream that ends early) fails with Exception "CRC Error"; the blocks
// before the damaged one have then been written.
void DecodeBlockStream(ByteStream& delta, ByteStream& original, ByteStream& out);

enum class BlockKind : std::uint8_t { Stored = 0, Coded = 1 };

// The fields of a block up to its data: all of a stored block's but its
// bytes, all of a coded block's but its literals and records. Fields the
// block's kind does not have are 0.
struct BlockHeader {
    std::int32_t SourceLength = 0;
    BlockKind Kind = BlockKind::Stored;
    std::int32_t BlockLength = 0;
    std::uint32_t BlockCrc = 0;
    std::uint32_t TargetCrc = 0;
    std::uint32_t SourceCrc = 0;
    std::int32_t LiteralCount = 0;
    std::int32_t RecordBytes = 0;
};

// Where a block's fields lie, counted from the block's first byte.
inline constexpr int SourceLengthField = 0;
inline constexpr int KindField = 4;
inline constexpr int BlockLengthField = 5; // stored
inline constexpr int BlockCrcField = 9;    // stored, not in the end block
inline constexpr int TargetCrcField = 5;   // coded
inline constexpr int SourceCrcField = 9;   // coded
inline constexpr int LiteralCountField = 13;
inline constexpr int RecordBytesField = 17;
// The bytes of the end block, and of the other blocks up to their data.
inline constexpr int EndBlockBytes = 9;
inline constexpr int StoredHeaderBytes = 13;
inline constexpr int CodedHeaderBytes = 21;

// Writes a block's header to out: 9, 13 or 21 bytes by its kind.
void WriteBlockHeader(ByteStream& out, const BlockHeader& header);

// Reads one block's header from delta, which must be positioned at a block.
// Counts and lengths outside 0..BlockSize, a RecordBytes below one record, an
// invalid kind or a stream that ends inside the header fail with "CRC Error".
BlockHeader ReadBlockHeader(ByteStream& delta);

struct BlockSummary {
    BlockHeader Header;
    std::int32_t TargetLength = 0; // bytes of the newer file the block holds
};

// Lists the blocks of a block stream, the end block last, without checking
// or rebuilding them; for showing a user what a delta holds.
std::vector<BlockSummary> ListBlockStream(ByteStream& delta);

} // namespace kestro
