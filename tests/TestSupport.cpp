#include "TestSupport.hpp"

#include "codec/blocks/BlockStream.hpp"
#include "common/Failures.hpp"
#include "platform/Files.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

namespace kestro::test {

const std::string ExpectedBanner = "Kestro\r\n"
                                   "Copyright (c) 2026 the Kestro developers\r\n"
                                   "\r\n"
                                   "Creates difference files for executables and dll's\r\n"
                                   "\r\n"
                                   "Based on:\r\n"
                                   "Tessaly\r\n"
                                   "Block difference engine by the Tessaly authors\r\n"
                                   "\r\n"
                                   "\r\n";

std::filesystem::path PathOf(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string TextOf(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::random_device device;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = std::filesystem::temp_directory_path() /
                ("kestro-test-" + std::to_string(stamp) + "-" + std::to_string(device()) + "-" +
                 std::to_string(counter++));
        if (std::filesystem::create_directory(path_)) {
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch folder");
}

namespace {

// Removes name and all it holds through the program's own file layer, a
// link without what it points to: it reaches paths longer than MAX_PATH,
// which the C runtime under std::filesystem does not on Windows.
void RemoveTree(const std::string& name) {
    const std::optional<EntryStatus> status = StatusOf(name);
    if (status && status->kind == EntryKind::Folder) {
        SetPermissions(name, 0700);
        std::vector<std::string> names;
        try {
            names = ListFolder(name);
        } catch (const Exception&) {
            // What cannot be listed stays.
        }
        for (const std::string& entry : names) {
            RemoveTree(name + PathSeparator() + entry);
        }
        RemoveFolder(name);
    } else if (status) {
        DeleteFile(name);
    }
}

} // namespace

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Read-only entries made by a test must not keep the folder alive.
    std::filesystem::recursive_directory_iterator entry(path_, ignored);
    for (; !ignored && entry != std::filesystem::recursive_directory_iterator();
         entry.increment(ignored)) {
        std::filesystem::permissions(entry->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
    // A tree std::filesystem cannot walk (a test's deep folders) goes
    // through the file layer, which is not used otherwise here: a test
    // that counts its file calls would count these too.
    if (std::filesystem::exists(path_, ignored)) {
        RemoveTree(TextOf(path_));
    }
}

void WriteBytes(const std::string& name, const Bytes& bytes) {
    std::ofstream out(PathOf(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + name);
    }
}

Bytes ReadBytes(const std::string& name) {
    process::FileContent content = process::ReadWholeFile(name);
    if (!content.read) {
        throw std::runtime_error("cannot read " + name + ": " + content.error);
    }
    return std::move(content.bytes);
}

Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

MemoryStream StreamOf(const Bytes& bytes) {
    MemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    stream.SetPosition(0);
    return stream;
}

Console CapturedConsole::Get() {
    Console console;
    console.write = [this](std::string_view bytes) { output.append(bytes); };
    console.readLine = [this] { ++linesRead; };
    return console;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ScratchDir&) {
    return process::Run(program, arguments);
}

std::pair<Bytes, Bytes> SamplePrograms() {
    return {ReadBytes(std::string(KESTRO_SAMPLES) + "/hello.exe"),
            ReadBytes(std::string(KESTRO_SAMPLES) + "/hello-1.0.0.2.exe")};
}

Bytes RandomBytes(std::mt19937& random, std::size_t size) {
    Bytes bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

Bytes Random(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    return RandomBytes(random, size);
}

bool IsPrefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

Bytes Encode(const Bytes& newer, const Bytes& original) {
    MemoryStream newerStream = StreamOf(newer);
    MemoryStream originalStream = StreamOf(original);
    MemoryStream out;
    EncodeBlockStream(newerStream, originalStream, out, BlockMaxCandidates);
    return out.Bytes();
}

Bytes Encode(const Bytes& newer, const Bytes& original, std::int32_t threads) {
    MemoryStream newerStream = StreamOf(newer);
    MemoryStream originalStream = StreamOf(original);
    MemoryStream out;
    EncodeBlockStream(newerStream, originalStream, out, BlockMaxCandidates, threads);
    return out.Bytes();
}

std::int64_t FullStream::Write(const void* buffer, std::int64_t count) {
    const std::int64_t n = std::clamp<std::int64_t>(room_ - Size(), 0, count);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    kept_.insert(kept_.end(), bytes, bytes + n);
    return n;
}

namespace {

// The state of the one OtherThreadAllocations. Atomics, since the workers
// of an encoder read it while they allocate; constant-initialised, since
// operator new may run before any constructor does.
std::atomic<bool> watching{false};
std::atomic<std::thread::id> watcher{};
std::atomic<std::size_t> refuseOver{SIZE_MAX};
std::atomic<std::size_t> refusalsLeft{0};
std::atomic<std::size_t> largest{0};
std::atomic<std::size_t> refused{0};

bool Refuses(std::size_t size) {
    if (!watching.load() || std::this_thread::get_id() == watcher.load()) {
        return false;
    }
    std::size_t seen = largest.load();
    while (size > seen && !largest.compare_exchange_weak(seen, size)) {
    }
    if (size <= refuseOver.load()) {
        return false;
    }
    std::size_t left = refusalsLeft.load();
    while (left > 0 && !refusalsLeft.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) {
        return false;
    }
    ++refused;
    return true;
}

// The state of the one MemoryPeak: which watch counts (0: none), on which
// thread, what its blocks hold now and the most they held.
std::atomic<std::uint64_t> peakWatch{0};
std::atomic<std::uint64_t> peakWatches{0};
std::atomic<std::thread::id> peakThread{};
std::atomic<std::int64_t> peakLive{0};
std::atomic<std::int64_t> peakMost{0};

// Each block operator new hands out lies behind a head that says how large
// it is and which watch counted it, so that delete counts it off.
struct BlockHead {
    std::size_t size;
    std::uint64_t watch;
};
static_assert(sizeof(BlockHead) == 16, "blocks keep malloc's alignment");

void* Allocate(std::size_t size) {
    if (Refuses(size)) {
        throw std::bad_alloc();
    }
    for (;;) {
        if (void* memory = std::malloc(sizeof(BlockHead) + size)) {
            auto* head = static_cast<BlockHead*>(memory);
            const std::uint64_t watch = peakWatch.load();
            head->size = size;
            head->watch = watch != 0 && std::this_thread::get_id() == peakThread.load() ? watch : 0;
            if (head->watch != 0) {
                const std::int64_t live = peakLive += static_cast<std::int64_t>(size);
                std::int64_t most = peakMost.load();
                while (live > most && !peakMost.compare_exchange_weak(most, live)) {
                }
            }
            return head + 1;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void Release(void* memory) noexcept {
    if (memory == nullptr) {
        return;
    }
    BlockHead* head = static_cast<BlockHead*>(memory) - 1;
    if (head->watch != 0 && head->watch == peakWatch.load()) {
        peakLive -= static_cast<std::int64_t>(head->size);
    }
    std::free(head);
}

} // namespace

MemoryPeak::MemoryPeak() {
    if (peakWatch.load() != 0) {
        throw std::logic_error("one MemoryPeak at a time");
    }
    peakLive = 0;
    peakMost = 0;
    peakThread = std::this_thread::get_id();
    peakWatch = ++peakWatches;
}

MemoryPeak::~MemoryPeak() {
    peakWatch = 0;
}

std::size_t MemoryPeak::Most() const {
    return static_cast<std::size_t>(peakMost.load());
}

OtherThreadAllocations::OtherThreadAllocations() {
    if (watching.load()) {
        throw std::logic_error("one OtherThreadAllocations at a time");
    }
    refuseOver = SIZE_MAX;
    largest = 0;
    refused = 0;
    watcher = std::this_thread::get_id();
    watching = true;
}

OtherThreadAllocations::~OtherThreadAllocations() {
    watching = false;
}

void OtherThreadAllocations::RefuseOver(std::size_t bytes, std::size_t times) {
    refusalsLeft = times;
    refuseOver = bytes;
}

std::size_t OtherThreadAllocations::Largest() const {
    return largest.load();
}

std::size_t OtherThreadAllocations::Refused() const {
    return refused.load();
}

std::uint32_t ReferenceCrc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

} // namespace kestro::test

// The replacement of the global allocation functions that lets
// OtherThreadAllocations watch and refuse requests. Every form without an
// alignment argument is replaced, so that each allocation is released by
// the same allocator that made it (sanitizers check that); the aligned forms
// keep their own pair.
void* operator new(std::size_t size) {
    return kestro::test::Allocate(size);
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return ::operator new(size, std::nothrow);
}

void operator delete(void* memory) noexcept {
    kestro::test::Release(memory);
}

void operator delete[](void* memory) noexcept {
    kestro::test::Release(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    kestro::test::Release(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    kestro::test::Release(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    kestro::test::Release(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    kestro::test::Release(memory);
}
