// The compact writer's time and memory, stage by stage, on one pair of
// files: what each stage of EncodeCompactBody costs, as the progress it
// tells shows the stages (Linux only: it reads /proc for memory).
//
//   kestro_phases ORIGINAL NEWER [THREADS]
//
// A stage runs from the first progress report that names it to the first
// that names the next: reading and masking (told as the first sort at
// 0 %), each sort, each search, the work between the searches (the
// filter's tables and the projection, told as the search at its end) and
// the coding. A sort by libdivsufsort tells nothing until it is done, so
// its time is counted with the reading before it. The image filter's
// index (a hash of positions) is told as its search's sort. For each:
// wall time, CPU time of all threads, and the peak resident memory while
// it ran (the peak is reset as each stage starts).
// The body goes to a scratch file; its size is printed last.
#include "codec/blocks/BlockStream.hpp"
#include "codec/compact/CompactStream.hpp"
#include "platform/FileStream.hpp"
#include "platform/Memory.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The peak resident memory in MiB since the last ResetPeak.
double PeakMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Each stage's wall and CPU time and peak memory, summed over the times it
// ran (a large original is sorted and searched a window at a time), in
// the order the stages first ran.
struct Stage {
    std::string name;
    double wall = 0;
    double cpu = 0;
    double peak = 0;
};

class StageClock {
public:
    void Enter(const std::string& name) {
        if (current_ == name) {
            return;
        }
        Close();
        current_ = name;
        start_ = Clock::now();
        cpu_ = CpuSeconds();
        ResetPeak();
    }
    void Close() {
        if (current_.empty()) {
            return;
        }
        Stage* stage = nullptr;
        for (Stage& seen : stages_) {
            if (seen.name == current_) {
                stage = &seen;
            }
        }
        if (stage == nullptr) {
            stage = &stages_.emplace_back(Stage{current_});
        }
        stage->wall += std::chrono::duration<double>(Clock::now() - start_).count();
        stage->cpu += CpuSeconds() - cpu_;
        stage->peak = std::max(stage->peak, PeakMiB());
        current_.clear();
    }
    void Print() const {
        double wall = 0;
        double cpu = 0;
        std::printf("%-24s %8s %8s %9s\n", "stage", "wall s", "cpu s", "peak MiB");
        for (const Stage& stage : stages_) {
            std::printf("%-24s %8.2f %8.2f %9.1f\n", stage.name.c_str(), stage.wall, stage.cpu,
                        stage.peak);
            wall += stage.wall;
            cpu += stage.cpu;
        }
        std::printf("%-24s %8.2f %8.2f\n", "total", wall, cpu);
    }

private:
    std::vector<Stage> stages_;
    std::string current_;
    Clock::time_point start_;
    double cpu_ = 0;
};

// The stage a progress report names. With the image filter the newer file
// is searched twice, each pass told as half of it; reports at a pass's end
// are the work that follows it (the filter's tables between the passes,
// the tables searched again after the second).
class Stages {
public:
    std::string Of(const kestro::Progress& told) {
        using kestro::Phase;
        const std::string pass = std::to_string(pass_);
        switch (told.phase) {
        case Phase::Sorting:
            if (passEnded_) {
                ++pass_;
                passEnded_ = false;
            }
            return (told.done == 0 ? "read and mask " : "sort ") + std::to_string(pass_);
        case Phase::Searching:
            passEnded_ = told.done * 2 >= told.total * pass_;
            return (passEnded_ ? "after search " : "search ") + pass;
        default:
            return "coding";
        }
    }

private:
    int pass_ = 1;
    bool passEnded_ = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kestro_phases ORIGINAL NEWER [THREADS]\n");
        return 2;
    }
    kestro::MapLargeBlocksApart(); // as the program does
    kestro::FileStream original = kestro::FileStream::OpenRead(argv[1]);
    kestro::FileStream newer = kestro::FileStream::OpenRead(argv[2]);
    kestro::FileStream out = kestro::FileStream::CreateScratch(argv[2]);
    kestro::CompactSettings settings;
    settings.threads = argc > 3 ? std::stoi(argv[3]) : kestro::EncoderThreads();
    StageClock clock;
    Stages stages;
    settings.progress = [&](const kestro::Progress& told) { clock.Enter(stages.Of(told)); };
    clock.Enter("plan");
    const std::int32_t minor = kestro::EncodeCompactBody(newer, original, out, settings);
    clock.Close();
    clock.Print();
    std::printf("format 2.%d, body %lld bytes, process peak %.1f MiB\n", minor,
                static_cast<long long>(out.Size()), PeakMiB());
}
