#include "release/PayloadCoder.hpp"

#include "codec/compact/CompactStream.hpp"
#include "codec/compact/Lzma.hpp"
#include "common/Failures.hpp"
#include "platform/Files.hpp"
#include "release/ReleaseScan.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace kestro {

namespace {

constexpr std::int64_t WholePiece = std::int64_t{8} << 20;

bool HasPayload(ReleaseMethod method) {
    return method == ReleaseMethod::Delta || method == ReleaseMethod::Whole;
}

// One file to code, and what became of it.
struct Job {
    std::size_t entry = 0;
    std::int64_t cost = 0;
    std::unique_ptr<ByteStream> payload;
    std::int32_t minor = 0;
    std::exception_ptr failure;
    bool done = false;
};

// A file opened for coding, which must be the file its digest was taken of.
FileStream OpenChecked(const std::string& name, const FileStamp& stamp) {
    FileStream file = FileStream::OpenRead(name);
    if (file.Stamp() != stamp) {
        throw EReadError("File changed while reading: " + name);
    }
    return file;
}

void CheckUnchanged(const FileStream& file, const FileStamp& stamp) {
    if (file.Stamp() != stamp || StampOfFile(file.Name()) != stamp) {
        throw EReadError("File changed while reading: " + file.Name());
    }
}

std::unique_ptr<ByteStream> PayloadStream(std::uint64_t expected, const std::string& scratchName) {
    if (expected > static_cast<std::uint64_t>(PayloadInMemory)) {
        return std::make_unique<FileStream>(FileStream::CreateScratch(scratchName));
    }
    return std::make_unique<MemoryStream>();
}

// The whole file in one LZMA2 stream, flushed every WholePiece bytes.
void CodeWhole(FileStream& file, std::uint32_t dictionary, ByteStream& out,
               const std::function<void()>& poll) {
    LzmaSettings settings;
    settings.dictionaryBytes = dictionary;
    settings.niceLength = 273;
    LzmaEncoder encoder(settings);
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(WholePiece));
    std::vector<std::uint8_t> coded;
    for (;;) {
        const std::int64_t n = file.Read(piece.data(), WholePiece);
        const bool last = n < WholePiece;
        encoder.Code(std::span(piece.data(), static_cast<std::size_t>(n)), coded,
                     last ? LzmaEncoder::End::Finish : LzmaEncoder::End::Flush, poll);
        out.WriteBuffer(coded.data(), static_cast<std::int64_t>(coded.size()));
        coded.clear();
        poll();
        if (last) {
            return;
        }
    }
}

// The jobs, the threads that code them, and the order they are taken in.
class Workshop {
public:
    Workshop(ReleaseManifest& manifest, const PayloadSettings& settings)
        : manifest_(manifest), settings_(settings) {
        for (std::size_t i = 0; i < manifest.Entries.size(); ++i) {
            const NewerEntry& entry = manifest.Entries[i];
            if (entry.Kind != ReleaseKind::File || !HasPayload(entry.Method)) {
                continue;
            }
            Job job;
            job.entry = i;
            job.cost = entry.Method == ReleaseMethod::Delta
                           ? DeltaCost * static_cast<std::int64_t>(
                                             entry.Size + manifest.Originals[entry.Source].Size)
                           : WholeCost * static_cast<std::int64_t>(entry.Detail);
            jobs_.push_back(std::move(job));
        }
        const std::size_t threads = std::min<std::size_t>(
            static_cast<std::size_t>(std::max(settings.threads, 1)), jobs_.size());
        window_ = 2 * std::max<std::size_t>(threads, 1);
        for (std::size_t i = 0; i < threads; ++i) {
            workers_.emplace_back([this] { Work(); });
        }
    }
    Workshop(const Workshop&) = delete;
    Workshop& operator=(const Workshop&) = delete;
    // Stops the workers at their next poll and waits for them.
    ~Workshop() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_) {
            worker.join();
        }
    }

    std::size_t Jobs() const { return jobs_.size(); }

    // The payload of the next job in order, once it is coded; tell is
    // called while it waits.
    Job& Next(const std::function<void()>& tell) {
        std::unique_lock lock(mutex_);
        Job& job = jobs_[taken_];
        while (!job.done) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            tell();
            lock.lock();
        }
        if (job.failure) {
            std::rethrow_exception(job.failure);
        }
        return job;
    }
    // The job Next gave is written: the window moves on.
    void Written() {
        {
            const std::lock_guard lock(mutex_);
            jobs_[taken_].payload.reset();
            ++taken_;
        }
        changed_.notify_all();
    }
    std::int64_t CodedBytes() const { return codedBytes_; }

private:
    void Work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] {
                return stop_ || next_ == jobs_.size() ||
                       (next_ < taken_ + window_ &&
                        (running_ == 0 || running_ + jobs_[next_].cost <= PayloadCodingBudget));
            });
            if (stop_ || next_ == jobs_.size()) {
                return;
            }
            Job& job = jobs_[next_++];
            running_ += job.cost;
            lock.unlock();
            try {
                Code(job);
            } catch (...) {
                job.failure = std::current_exception();
            }
            lock.lock();
            running_ -= job.cost;
            job.done = true;
            codedBytes_ += static_cast<std::int64_t>(manifest_.Entries[job.entry].Size);
            changed_.notify_all();
        }
    }

    void Code(Job& job) {
        const NewerEntry& entry = manifest_.Entries[job.entry];
        const auto poll = [this] {
            if (stop_) {
                throw EInterrupted("Operation interrupted");
            }
        };
        FileStream newer = OpenChecked(EntryName(settings_.newerFolder, entry.Path),
                                       settings_.newerStamps[job.entry]);
        job.payload = PayloadStream(entry.Size, settings_.scratchName);
        if (entry.Method == ReleaseMethod::Whole) {
            CodeWhole(newer, entry.Detail, *job.payload, poll);
        } else {
            const OriginalEntry& source = manifest_.Originals[entry.Source];
            FileStream original = OpenChecked(EntryName(settings_.originalFolder, source.Path),
                                              settings_.originalStamps[entry.Source]);
            CompactSettings compact;
            compact.threads = settings_.threads;
            compact.maxMinor = settings_.compactMinor;
            compact.progress = [&poll](const Progress&) { poll(); };
            job.minor = EncodeCompactBody(newer, original, *job.payload, compact);
            CheckUnchanged(original, settings_.originalStamps[entry.Source]);
        }
        CheckUnchanged(newer, settings_.newerStamps[job.entry]);
    }

    ReleaseManifest& manifest_;
    const PayloadSettings& settings_;
    std::vector<Job> jobs_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t window_ = 2;
    std::size_t next_ = 0;  // the next job a worker takes
    std::size_t taken_ = 0; // the next job to be written
    std::int64_t running_ = 0;
    std::atomic<std::int64_t> codedBytes_{0};
    std::atomic<bool> stop_{false};
};

} // namespace

std::uint64_t CodePayloads(ReleaseManifest& manifest, ByteStream& out,
                           const PayloadSettings& settings) {
    // The whole newer release is the work's total; files the same as an
    // original are done from the start.
    std::int64_t total = 0;
    std::int64_t same = 0;
    std::int64_t files = 0;
    std::int64_t written = 0;
    for (const NewerEntry& entry : manifest.Entries) {
        if (entry.Kind == ReleaseKind::File) {
            total += static_cast<std::int64_t>(entry.Size);
            ++files;
            if (!HasPayload(entry.Method)) {
                same += static_cast<std::int64_t>(entry.Size);
                ++written;
            }
        }
    }
    Workshop workshop(manifest, settings);
    const auto tell = [&] {
        if (settings.progress) {
            const std::int64_t done = std::min(same + workshop.CodedBytes(), total);
            Progress progress{Phase::Coding, done, total, done, total};
            progress.itemsDone = written;
            progress.itemsTotal = files;
            settings.progress(progress);
        }
    };
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < workshop.Jobs(); ++i) {
        Job& job = workshop.Next(tell);
        NewerEntry& entry = manifest.Entries[job.entry];
        const std::int64_t size = job.payload->Size();
        job.payload->SetPosition(0);
        out.CopyFrom(*job.payload, size);
        entry.PayloadBytes = static_cast<std::uint64_t>(size);
        if (entry.Method == ReleaseMethod::Delta) {
            entry.Detail = static_cast<std::uint32_t>(job.minor);
        }
        bytes += static_cast<std::uint64_t>(size);
        workshop.Written();
        ++written;
        tell();
    }
    return bytes;
}

} // namespace kestro
