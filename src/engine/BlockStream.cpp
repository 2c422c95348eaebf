#include "engine/BlockStream.hpp"

#include "engine/CopyRecord.hpp"
#include "engine/Crc32.hpp"
#include "engine/MatchFinder.hpp"
#include "platform/ByteStream.hpp"
#include "platform/Failures.hpp"
#include "platform/LittleEndian.hpp"

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

constexpr std::uint8_t StoredBlock = 0;
constexpr std::uint8_t CodedBlock = 1;

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

// One block on its way through the encoder: read into its areas by the
// thread that drives the encoder, coded by a worker, then written out by the
// driving thread in block order. Its areas are reused for every block it
// carries.
struct EncoderSlot {
    Area target;
    Area source;
    Area literals;
    Area records;
    MatchFinder finder;
    std::int32_t b = 0; // bytes of the newer file
    std::int32_t c = 0; // bytes of the original
    // The block's fields up to its data; the data follow from the counts.
    std::uint8_t head[21] = {};
    std::int32_t headBytes = 0;
    std::int32_t literalCount = 0;
    std::int32_t recordBytes = 0;
    std::exception_ptr failure;
};

// Codes the block held in slot: its fields, and for a coded block the
// literals and records that FindMatches finds. Touches nothing but the slot.
void CodeBlock(EncoderSlot& slot, std::int32_t maxCandidates) {
    const std::int32_t b = slot.b;
    const std::int32_t c = slot.c;
    std::uint8_t* head = slot.head;
    PutLe32(head, static_cast<std::uint32_t>(c));
    const std::uint32_t targetCrc = Crc32Buffer(slot.target.data(), static_cast<std::size_t>(b));
    if (b < 4 || c < 4 || c < b / 4) {
        head[4] = StoredBlock;
        PutLe32(head + 5, static_cast<std::uint32_t>(b));
        PutLe32(head + 9, targetCrc);
        slot.headBytes = b == 0 ? 9 : 13;
        return;
    }
    head[4] = CodedBlock;
    PutLe32(head + 5, targetCrc);
    PutLe32(head + 9, Crc32Buffer(slot.source.data(), static_cast<std::size_t>(c)));
    MatchParams params;
    params.Target = slot.target.data();
    params.Source = slot.source.data();
    params.TargetLength = b;
    params.SourceLength = c;
    params.MaxCandidates = maxCandidates;
    params.MinMatchLength = BlockMinMatchLength;
    params.Literals = slot.literals.data();
    params.Records = slot.records.data();
    const MatchCounts counts = slot.finder.Find(params);
    PutLe32(head + 13, static_cast<std::uint32_t>(counts.LiteralCount));
    PutLe32(head + 17, static_cast<std::uint32_t>(counts.RecordBytes));
    slot.headBytes = 21;
    slot.literalCount = counts.LiteralCount;
    slot.recordBytes = counts.RecordBytes;
}

// Writes the block coded in slot: the fields, then a stored block's bytes or
// a coded block's literals and records.
void WriteBlock(ByteStream& out, const EncoderSlot& slot) {
    out.WriteBuffer(slot.head, slot.headBytes);
    if (slot.head[4] == StoredBlock) {
        out.WriteBuffer(slot.target.data(), slot.b);
    } else {
        out.WriteBuffer(slot.literals.data(), slot.literalCount);
        out.WriteBuffer(slot.records.data(), slot.recordBytes);
    }
}

// Codes blocks on worker threads, one slot per worker, block k in slot
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
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) {
            worker.join();
        }
    }

    void Run(ByteStream& newer, ByteStream& original, ByteStream& out) {
        for (std::size_t k = 0;; ++k) {
            const std::size_t index = k % slotCount_;
            if (index == slots_.size()) {
                slots_.push_back(std::make_unique<Slot>());
            } else {
                // The block this slot carried goes out before its areas
                // take the next one; blocks thus leave in order.
                Finish(*slots_[index], out);
            }
            Slot& slot = *slots_[index];
            try {
                slot.block.b =
                    static_cast<std::int32_t>(newer.Read(slot.block.target.data(), BlockSize));
                // The original is read for every block, the end block
                // included, so that the decoder can keep it in step from the
                // block headers alone.
                slot.block.c =
                    static_cast<std::int32_t>(original.Read(slot.block.source.data(), BlockSize));
            } catch (...) {
                // As when coding one block after another, every block before
                // the one that could not be read goes out first.
                FinishOthers(index, out);
                throw;
            }
            if (slot.block.b == 0) {
                // The end block: everything before it goes out first.
                FinishOthers(index, out);
                CodeBlock(slot.block, maxCandidates_);
                WriteBlock(out, slot.block);
                return;
            }
            Start(slot, index);
        }
    }

private:
    struct Slot {
        EncoderSlot block;
        bool queued = false;
        bool coded = false;
    };

    void Start(Slot& slot, std::size_t index) {
        if (slotCount_ == 1) {
            CodeBlock(slot.block, maxCandidates_);
            slot.coded = true;
            return;
        }
        if (index == workers_.size()) {
            workers_.emplace_back([this, &slot] { Work(slot); });
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.queued = true;
        }
        changed_.notify_all();
    }

    // Writes out the blocks of all slots but index, in block order: those
    // started after the block of that slot, oldest first.
    void FinishOthers(std::size_t index, ByteStream& out) {
        for (std::size_t later = 1; later < slots_.size(); ++later) {
            Finish(*slots_[(index + later) % slots_.size()], out);
        }
    }

    // Waits for the slot's block, if it carries one, and writes it out.
    void Finish(Slot& slot, ByteStream& out) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&slot] { return !slot.queued; });
        }
        if (!slot.coded) {
            return;
        }
        slot.coded = false;
        if (slot.block.failure) {
            std::rethrow_exception(std::exchange(slot.block.failure, nullptr));
        }
        WriteBlock(out, slot.block);
    }

    void Work(Slot& slot) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this, &slot] { return slot.queued || stopping_; });
            if (!slot.queued) {
                return;
            }
            lock.unlock();
            try {
                CodeBlock(slot.block, maxCandidates_);
            } catch (...) {
                slot.block.failure = std::current_exception();
            }
            lock.lock();
            slot.queued = false;
            slot.coded = true;
            changed_.notify_all();
        }
    }

    const std::size_t slotCount_;
    const std::int32_t maxCandidates_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
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
