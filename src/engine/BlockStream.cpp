#include "engine/BlockStream.hpp"

#include "engine/CopyRecord.hpp"
#include "engine/Crc32.hpp"
#include "engine/MatchFinder.hpp"
#include "platform/ByteStream.hpp"
#include "platform/Failures.hpp"
#include "platform/LittleEndian.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace kestro {

namespace {

constexpr std::uint8_t StoredBlock = 0;
constexpr std::uint8_t CodedBlock = 1;

// A block area. Its bytes are left uninitialised: every byte read from an
// area has been filled for the current block first.
class Area {
public:
    Area() : bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(BlockSize)) {}
    std::uint8_t* data() { return bytes_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
};

void WriteByte(ByteStream& out, std::uint8_t value) {
    out.WriteBuffer(&value, 1);
}

void WriteInt32(ByteStream& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    PutLe32(bytes, value);
    out.WriteBuffer(bytes, 4);
}

[[noreturn]] void Damaged(SourceSite where = SourceSite::Here()) {
    throw Exception("CRC Error", where);
}

// Reads exactly count bytes of the delta; a delta that ends sooner is damaged.
void ReadDelta(ByteStream& delta, void* buffer, std::int64_t count) {
    if (delta.Read(buffer, count) != count) {
        Damaged();
    }
}

std::uint8_t ReadByte(ByteStream& delta) {
    std::uint8_t value;
    ReadDelta(delta, &value, 1);
    return value;
}

std::int32_t ReadInt32(ByteStream& delta) {
    std::uint8_t bytes[4];
    ReadDelta(delta, bytes, 4);
    return static_cast<std::int32_t>(GetLe32(bytes));
}

// A count or length field that sizes a read into a block area.
std::int32_t ReadBlockCount(ByteStream& delta) {
    const std::int32_t value = ReadInt32(delta);
    if (value < 0 || value > BlockSize) {
        Damaged();
    }
    return value;
}

struct EncoderAreas {
    Area target;
    Area source;
    Area literals;
    Area records;
    MatchTables tables;
};

// Writes the tail of a coded block from LiteralCount on.
void WriteCodedBlock(ByteStream& out, EncoderAreas& areas, std::int32_t b, std::int32_t c,
                     std::int32_t maxCandidates) {
    std::int32_t literalCount = 0;
    std::int32_t recordBytes = 0;
    MatchParams params;
    params.Target = areas.target.data();
    params.Source = areas.source.data();
    params.TargetLength = b;
    params.SourceLength = c;
    params.MaxCandidates = maxCandidates;
    params.MinMatchLength = BlockMinMatchLength;
    params.Literals = areas.literals.data();
    params.Records = areas.records.data();
    params.LiteralCountOut = &literalCount;
    params.RecordBytesOut = &recordBytes;
    FindMatches(params, areas.tables);
    WriteInt32(out, static_cast<std::uint32_t>(literalCount));
    WriteInt32(out, static_cast<std::uint32_t>(recordBytes));
    out.WriteBuffer(areas.literals.data(), literalCount);
    out.WriteBuffer(areas.records.data(), recordBytes);
}

struct DecoderAreas {
    Area data; // stored data and literals
    Area source;
    Area rebuilt;
    Area records;
};

// Reads the literals and copy records of a coded block and rebuilds the block
// into the rebuilt area; sourceRead is the number of original bytes read for
// it. Returns the rebuilt block's length.
std::int32_t RebuildBlock(ByteStream& delta, const BlockHeader& header, DecoderAreas& areas,
                          std::int32_t sourceRead) {
    const std::int32_t literalCount = header.LiteralCount;
    const std::int32_t recordBytes = header.RecordBytes;
    ReadDelta(delta, areas.data.data(), literalCount);
    ReadDelta(delta, areas.records.data(), recordBytes);

    const std::uint8_t* literals = areas.data.data();
    const std::uint8_t* source = areas.source.data();
    std::uint8_t* rebuilt = areas.rebuilt.data();
    // 0-based: the rebuilt block's length so far, and the literals used.
    std::int64_t end = 0;
    std::int64_t used = 0;
    for (std::int32_t i = 0; i < recordBytes / CopyRecordBytes; ++i) {
        const CopyRecord record = GetCopyRecord(areas.records.data() + CopyRecordBytes * i);
        // The literals between the previous copy and this one.
        const std::int64_t gap = std::int64_t{record.TargetPos} - 1 - end;
        if (gap < 0 || gap > literalCount - used || end + gap + record.Length > BlockSize) {
            Damaged();
        }
        std::copy_n(literals + used, gap, rebuilt + end);
        used += gap;
        end += gap;
        if (record.Length != 0) {
            if (record.SourcePos < 1 ||
                std::int64_t{record.SourcePos} - 1 + record.Length > sourceRead) {
                Damaged();
            }
            std::copy_n(source + record.SourcePos - 1, record.Length, rebuilt + end);
            end += record.Length;
        }
    }
    return static_cast<std::int32_t>(end);
}

} // namespace

void EncodeBlockStream(ByteStream& newer, ByteStream& original, ByteStream& out,
                       std::int32_t maxCandidates) {
    EncoderAreas areas;
    for (;;) {
        const auto b = static_cast<std::int32_t>(newer.Read(areas.target.data(), BlockSize));
        // The original is read for every block, the end block included, so
        // that the decoder can keep it in step from the block headers alone.
        const auto c = static_cast<std::int32_t>(original.Read(areas.source.data(), BlockSize));
        WriteInt32(out, static_cast<std::uint32_t>(c));
        const std::uint32_t targetCrc =
            Crc32Buffer(areas.target.data(), static_cast<std::size_t>(b));
        if (b < 4 || c < 4 || c < b / 4) {
            WriteByte(out, StoredBlock);
            WriteInt32(out, static_cast<std::uint32_t>(b));
            if (b == 0) {
                return;
            }
            WriteInt32(out, targetCrc);
            out.WriteBuffer(areas.target.data(), b);
        } else {
            WriteByte(out, CodedBlock);
            WriteInt32(out, targetCrc);
            WriteInt32(out, Crc32Buffer(areas.source.data(), static_cast<std::size_t>(c)));
            WriteCodedBlock(out, areas, b, c, maxCandidates);
        }
    }
}

BlockHeader ReadBlockHeader(ByteStream& delta) {
    BlockHeader header;
    header.SourceLength = ReadBlockCount(delta);
    header.Kind = ReadByte(delta);
    if (header.Kind == StoredBlock) {
        header.BlockLength = ReadBlockCount(delta);
        if (header.BlockLength != 0) {
            header.BlockCrc = static_cast<std::uint32_t>(ReadInt32(delta));
        }
    } else if (header.Kind == CodedBlock) {
        header.TargetCrc = static_cast<std::uint32_t>(ReadInt32(delta));
        header.SourceCrc = static_cast<std::uint32_t>(ReadInt32(delta));
        header.LiteralCount = ReadBlockCount(delta);
        header.RecordBytes = ReadBlockCount(delta);
        if (header.RecordBytes < CopyRecordBytes) {
            Damaged();
        }
    } else {
        Damaged();
    }
    return header;
}

void DecodeBlockStream(ByteStream& delta, ByteStream& original, ByteStream& out) {
    DecoderAreas areas;
    for (;;) {
        const BlockHeader header = ReadBlockHeader(delta);
        const std::int32_t c = header.SourceLength;
        // The original is read for every block, in step with the encoder.
        // Fewer bytes than c arrive only when the original ends early; a
        // stored block does not need them, a coded block is refused below.
        const auto sourceRead = static_cast<std::int32_t>(original.Read(areas.source.data(), c));
        if (header.Kind == StoredBlock) {
            const std::int32_t b = header.BlockLength;
            if (b == 0) {
                return;
            }
            ReadDelta(delta, areas.data.data(), b);
            if (Crc32Buffer(areas.data.data(), static_cast<std::size_t>(b)) != header.BlockCrc) {
                Damaged();
            }
            out.WriteBuffer(areas.data.data(), b);
        } else {
            if (sourceRead != c ||
                Crc32Buffer(areas.source.data(), static_cast<std::size_t>(c)) != header.SourceCrc) {
                Damaged();
            }
            const std::int32_t m = RebuildBlock(delta, header, areas, sourceRead);
            if (Crc32Buffer(areas.rebuilt.data(), static_cast<std::size_t>(m)) !=
                header.TargetCrc) {
                Damaged();
            }
            out.WriteBuffer(areas.rebuilt.data(), m);
        }
    }
}

std::vector<BlockSummary> ListBlockStream(ByteStream& delta) {
    std::vector<BlockSummary> blocks;
    for (;;) {
        BlockSummary block;
        block.Header = ReadBlockHeader(delta);
        const BlockHeader& header = block.Header;
        if (header.Kind == StoredBlock) {
            block.TargetLength = header.BlockLength;
            blocks.push_back(block);
            if (header.BlockLength == 0) {
                return blocks;
            }
            delta.SetPosition(delta.Position() + header.BlockLength);
        } else {
            // The rebuilt length is the last record's TargetPos - 1.
            const std::int64_t records = delta.Position() + header.LiteralCount;
            const std::int64_t last =
                records + (header.RecordBytes / CopyRecordBytes - 1) * CopyRecordBytes;
            std::uint8_t record[CopyRecordBytes];
            delta.SetPosition(last);
            ReadDelta(delta, record, CopyRecordBytes);
            // An end outside the block area is damage the listing reports
            // like any other, before it is used as a length.
            const std::int32_t end = GetCopyRecord(record).TargetPos;
            if (end < 1 || end - 1 > BlockSize) {
                Damaged();
            }
            block.TargetLength = end - 1;
            blocks.push_back(block);
            delta.SetPosition(records + header.RecordBytes);
        }
    }
}

} // namespace kestro
