#include "codec/blocks/BlockStream.hpp"

#include "checksum/Crc32.hpp"
#include "codec/blocks/CopyRecord.hpp"
#include "codec/blocks/MatchFinder.hpp"
#include "common/ByteStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kestro {

namespace {

// A block area. Its bytes are left uninitialised: every byte read from an
// area has been filled for the current block first.
class Area {
public:
    Area() : bytes_(std::make_unique_for_overwrite<std::uint8_t[]>(BlockSize)) {}
    std::uint8_t* data() { return bytes_.get(); }
    const std::uint8_t* data() const { return bytes_.get(); }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
};

[[noreturn]] void Damaged(SourceSite where = SourceSite::Here()) {
    throw Exception("CRC Error", where);
}

// Reads exactly count bytes of the delta; a delta that ends sooner is damaged.
void ReadDelta(ByteStream& delta, void* buffer, std::int64_t count) {
    if (delta.Read(buffer, count) != count) {
        Damaged();
    }
}

// A count or length field that sizes a read into a block area.
std::int32_t CheckedCount(const std::uint8_t* field) {
    const auto value = static_cast<std::int32_t>(GetLe32(field));
    if (value < 0 || value > BlockSize) {
        Damaged();
    }
    return value;
}

// One block on its way through the encoder, in one of the encoder's slots:
// read into the slot's areas by the thread that drives the encoder, coded by
// the slot's worker, then written out by the driving thread in block order.
// The areas are reused for every block the slot carries.
struct EncoderSlot {
    // Empty: no block, or its block has gone out. Queued: a block read and
    // waiting for the worker. Coded: ready to go out. Stopping: the worker
    // is to end.
    enum class State { Empty, Queued, Coded, Stopping };

    // The newer file's bytes; once a coded block is found, its literals, in
    // their place (the finder writes them behind the position it reads).
    Area target;
    Area source;
    Area records;
    MatchFinder finder;
    std::int32_t b = 0; // bytes of the newer file
    std::int32_t c = 0; // bytes of the original
    BlockHeader header;
    std::exception_ptr failure;

    // The state is handed between the driving thread and the worker under
    // the slot's own lock, and each wakes only the other.
    State state = State::Empty;
    std::mutex mutex;
    std::condition_variable changed;
};

// Codes the block held in slot: its header, and for a coded block the
// literals and records that the match finder finds. Touches nothing but the slot.
void CodeBlock(EncoderSlot& slot, std::int32_t maxCandidates) {
    const std::int32_t b = slot.b;
    const std::int32_t c = slot.c;
    BlockHeader& header = slot.header;
    header = BlockHeader{};
    header.SourceLength = c;
    const std::uint32_t targetCrc = Crc32Buffer(slot.target.data(), static_cast<std::size_t>(b));
    if (b < 4 || c < 4 || c < b / 4) {
        header.Kind = BlockKind::Stored;
        header.BlockLength = b;
        header.BlockCrc = targetCrc;
        return;
    }
    header.Kind = BlockKind::Coded;
    header.TargetCrc = targetCrc;
    header.SourceCrc = Crc32Buffer(slot.source.data(), static_cast<std::size_t>(c));
    MatchParams params;
    params.Target = slot.target.data();
    params.Source = slot.source.data();
    params.TargetLength = b;
    params.SourceLength = c;
    params.MaxCandidates = maxCandidates;
    params.MinMatchLength = BlockMinMatchLength;
    params.Literals = slot.target.data();
    params.Records = slot.records.data();
    const MatchCounts counts = slot.finder.Find(params);
    header.LiteralCount = counts.LiteralCount;
    header.RecordBytes = counts.RecordBytes;
}

// Writes the block coded in slot: the header, then a stored block's bytes or
// a coded block's literals and records.
void WriteBlock(ByteStream& out, const EncoderSlot& slot) {
    WriteBlockHeader(out, slot.header);
    if (slot.header.Kind == BlockKind::Stored) {
        out.WriteBuffer(slot.target.data(), slot.b);
    } else {
        out.WriteBuffer(slot.target.data(), slot.header.LiteralCount);
        out.WriteBuffer(slot.records.data(), slot.header.RecordBytes);
    }
}

// Codes blocks on worker threads, one worker per slot, block k in slot
// k mod slots; the driving thread reads and writes. Blocks depend on nothing
// but their own two areas, so the output is the same for any number of
// slots. With one slot the driving thread codes the block itself and no
// thread is started. Workers and slots are created as blocks arrive, so a
// small file costs no more than it needs. Destruction stops and joins the
// workers, also when a failure leaves the encoder early.
class ParallelEncoder {
public:
    ParallelEncoder(std::int32_t slots, std::int32_t maxCandidates)
        : slotCount_(static_cast<std::size_t>(std::max(slots, 1))), maxCandidates_(maxCandidates) {}
    ParallelEncoder(const ParallelEncoder&) = delete;
    ParallelEncoder& operator=(const ParallelEncoder&) = delete;

    ~ParallelEncoder() {
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            EncoderSlot& slot = *slots_[i];
            {
                std::unique_lock<std::mutex> lock(slot.mutex);
                // A block still being coded is finished first; its result is
                // not wanted.
                slot.changed.wait(lock,
                                  [&slot] { return slot.state != EncoderSlot::State::Queued; });
                slot.state = EncoderSlot::State::Stopping;
            }
            slot.changed.notify_one();
            workers_[i].join();
        }
    }

    void Run(ByteStream& newer, ByteStream& original, ByteStream& out) {
        for (std::size_t k = 0;; ++k) {
            const std::size_t index = k % slotCount_;
            if (index == slots_.size()) {
                slots_.push_back(std::make_unique<EncoderSlot>());
            } else {
                // The block this slot carried goes out before its areas
                // take the next one; blocks thus leave in order.
                Finish(*slots_[index], out);
            }
            EncoderSlot& slot = *slots_[index];
            try {
                slot.b = static_cast<std::int32_t>(newer.Read(slot.target.data(), BlockSize));
                // The original is read for every block, the end block
                // included, so that the decoder can keep it in step from the
                // block headers alone.
                slot.c = static_cast<std::int32_t>(original.Read(slot.source.data(), BlockSize));
            } catch (...) {
                // As when coding one block after another, every block before
                // the one that could not be read goes out first.
                FinishOthers(index, out);
                throw;
            }
            if (slot.b == 0) {
                // The end block: everything before it goes out first.
                FinishOthers(index, out);
                CodeBlock(slot, maxCandidates_);
                WriteBlock(out, slot);
                return;
            }
            Start(slot, index);
        }
    }

private:
    using State = EncoderSlot::State;

    void Start(EncoderSlot& slot, std::size_t index) {
        if (slotCount_ == 1) {
            CodeBlock(slot, maxCandidates_);
            slot.state = State::Coded;
            return;
        }
        if (index == workers_.size()) {
            workers_.emplace_back([this, &slot] { Work(slot); });
        }
        {
            std::lock_guard<std::mutex> lock(slot.mutex);
            slot.state = State::Queued;
        }
        slot.changed.notify_one();
    }

    // Writes out the blocks of all slots but index, in block order: those
    // started after the block of that slot, oldest first.
    void FinishOthers(std::size_t index, ByteStream& out) {
        for (std::size_t later = 1; later < slots_.size(); ++later) {
            Finish(*slots_[(index + later) % slots_.size()], out);
        }
    }

    // Waits for the slot's block, if it carries one, and writes it out.
    void Finish(EncoderSlot& slot, ByteStream& out) {
        {
            std::unique_lock<std::mutex> lock(slot.mutex);
            slot.changed.wait(lock, [&slot] { return slot.state != State::Queued; });
            if (slot.state != State::Coded) {
                return;
            }
            slot.state = State::Empty;
        }
        if (slot.failure) {
            std::rethrow_exception(std::exchange(slot.failure, nullptr));
        }
        WriteBlock(out, slot);
    }

    void Work(EncoderSlot& slot) {
        std::unique_lock<std::mutex> lock(slot.mutex);
        for (;;) {
            slot.changed.wait(lock, [&slot] {
                return slot.state == State::Queued || slot.state == State::Stopping;
            });
            if (slot.state == State::Stopping) {
                return;
            }
            lock.unlock();
            try {
                CodeBlock(slot, maxCandidates_);
            } catch (...) {
                slot.failure = std::current_exception();
            }
            lock.lock();
            slot.state = State::Coded;
            slot.changed.notify_one();
        }
    }

    const std::size_t slotCount_;
    const std::int32_t maxCandidates_;
    std::vector<std::unique_ptr<EncoderSlot>> slots_;
    // Worker i serves slot i.
    std::vector<std::thread> workers_;
};

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
                       std::int32_t maxCandidates, std::int32_t threads) {
    ParallelEncoder encoder(threads, maxCandidates);
    encoder.Run(newer, original, out);
}

void EncodeBlockStream(ByteStream& newer, ByteStream& original, ByteStream& out,
                       std::int32_t maxCandidates) {
    EncodeBlockStream(newer, original, out, maxCandidates, EncoderThreads());
}

std::int32_t EncoderThreads() {
    return static_cast<std::int32_t>(
        std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, MaxEncoderThreads));
}

void WriteBlockHeader(ByteStream& out, const BlockHeader& header) {
    std::uint8_t bytes[CodedHeaderBytes] = {};
    PutLe32(bytes + SourceLengthField, static_cast<std::uint32_t>(header.SourceLength));
    bytes[KindField] = static_cast<std::uint8_t>(header.Kind);
    int size = EndBlockBytes;
    if (header.Kind == BlockKind::Stored) {
        PutLe32(bytes + BlockLengthField, static_cast<std::uint32_t>(header.BlockLength));
        if (header.BlockLength != 0) {
            PutLe32(bytes + BlockCrcField, header.BlockCrc);
            size = StoredHeaderBytes;
        }
    } else {
        PutLe32(bytes + TargetCrcField, header.TargetCrc);
        PutLe32(bytes + SourceCrcField, header.SourceCrc);
        PutLe32(bytes + LiteralCountField, static_cast<std::uint32_t>(header.LiteralCount));
        PutLe32(bytes + RecordBytesField, static_cast<std::uint32_t>(header.RecordBytes));
        size = CodedHeaderBytes;
    }
    out.WriteBuffer(bytes, size);
}

BlockHeader ReadBlockHeader(ByteStream& delta) {
    // Read in as few pieces as the layout allows: the end block stops after
    // its length, and nothing behind it may be read.
    std::uint8_t bytes[CodedHeaderBytes];
    ReadDelta(delta, bytes, BlockLengthField);
    BlockHeader header;
    header.SourceLength = CheckedCount(bytes + SourceLengthField);
    switch (bytes[KindField]) {
    case static_cast<std::uint8_t>(BlockKind::Stored):
        header.Kind = BlockKind::Stored;
        ReadDelta(delta, bytes + BlockLengthField, BlockCrcField - BlockLengthField);
        header.BlockLength = CheckedCount(bytes + BlockLengthField);
        if (header.BlockLength != 0) {
            ReadDelta(delta, bytes + BlockCrcField, StoredHeaderBytes - BlockCrcField);
            header.BlockCrc = GetLe32(bytes + BlockCrcField);
        }
        break;
    case static_cast<std::uint8_t>(BlockKind::Coded):
        header.Kind = BlockKind::Coded;
        ReadDelta(delta, bytes + TargetCrcField, CodedHeaderBytes - TargetCrcField);
        header.TargetCrc = GetLe32(bytes + TargetCrcField);
        header.SourceCrc = GetLe32(bytes + SourceCrcField);
        header.LiteralCount = CheckedCount(bytes + LiteralCountField);
        header.RecordBytes = CheckedCount(bytes + RecordBytesField);
        if (header.RecordBytes < CopyRecordBytes) {
            Damaged();
        }
        break;
    default:
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
        if (header.Kind == BlockKind::Stored) {
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
        if (header.Kind == BlockKind::Stored) {
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
