#include "DiffUnit/Driver.hpp"

#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "common/Text.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"

#include <array>
#include <new>

namespace kestro {

namespace {

constexpr std::array<std::string_view, 10> BannerLines = {
    "Kestro",  "Copyright (c) 2026 the Kestro developers",
    "",        "Creates difference files for executables and dll's",
    "",        "Based on:",
    "Tessaly", "Block difference engine by the Tessaly authors",
    "",        "",
};

constexpr std::array<std::string_view, 12> UsageLines = {
    "To create difference file:",
    "",
    "Kestro <Original file> <newer file>",
    "",
    "",
    "To use difference file:",
    "",
    "Kestro <delta file>",
    "",
    "",
    "",
    "Press ENTER",
};

constexpr std::size_t MaxReportLength = 1024;

// Restores the working directory of the moment it was made, on every way out.
class WorkingDirectoryGuard {
public:
    WorkingDirectoryGuard() : saved_(GetWorkingDirectory()) {}
    WorkingDirectoryGuard(const WorkingDirectoryGuard&) = delete;
    WorkingDirectoryGuard& operator=(const WorkingDirectoryGuard&) = delete;
    ~WorkingDirectoryGuard() {
        if (!saved_.empty()) {
            SetWorkingDirectory(saved_);
        }
    }

private:
    std::string saved_;
};

// Makes the directory part of path the working directory. False only when
// there is a directory part and it cannot be entered: the file named by path
// is then not reachable under its bare name.
bool EnterDirectoryOf(const std::string& path) {
    const std::string directory = DirectoryPart(path);
    return directory.empty() || SetWorkingDirectory(directory);
}

// The line of a run that waits for another run's lock.
WaitNotice WaitLine(const Console& console) {
    return [&console](const std::string& name) {
        WriteLine(console, "Waiting for another run to finish with " + name + "...");
    };
}

std::int32_t RunCreate(const std::string& original, const std::string& newer, bool compact,
                       const DeltaOperations& operations, const Console& console) {
    // The newer file is the file named: a bare name is looked for in the
    // original's folder, a path is taken from the working folder the run
    // started in, so it is made absolute before the original's folder is
    // entered.
    const std::string originalName = FileNamePart(original);
    const std::string newerName = DirectoryPart(newer).empty() ? newer : FullPath(newer);
    if (!EnterDirectoryOf(original) || !FileExists(originalName)) {
        WriteLine(console, "Original file does not exists!");
        return ResultMessagePrinted;
    }
    if (!FileExists(newerName)) {
        WriteLine(console, "Newer file does not exists!");
        return ResultMessagePrinted;
    }
    return compact ? operations.makeCompactDelta(originalName, newerName, WaitLine(console))
                   : operations.makeDelta(originalName, newerName, WaitLine(console));
}

std::int32_t RunApply(const std::string& delta, const DeltaOperations& operations,
                      const Console& console) {
    if (!FileExists(delta) || !EnterDirectoryOf(delta)) {
        WriteLine(console, "Delta file does not exists!");
        return ResultMessagePrinted;
    }
    return operations.applyDelta(FileNamePart(delta), WaitLine(console));
}

} // namespace

std::string_view ResultMessage(std::int32_t code) {
    switch (code) {
    case ResultOk:
        return "OK";
    case ResultNewerUnversioned:
        return "Warning: Newer file doesn't have file version information";
    case ResultOriginalUnversioned:
        return "Warning: Old file doesn't have file version information";
    case ResultCrcWrong:
        return "Error: CRC is wrong";
    case ResultWrongSourceVersion:
        return "Error: Wrong version of source file!";
    case ResultSourceUnversioned:
        return "Warning: Source File has no file version information included!";
    case ResultNoTarget:
        return "Error: There's no file to Expand!";
    case ResultWrongDeltaVersion:
        return "Error: Wrong version of delta file!\r\nCheck if newer version is available";
    case ResultNotADelta:
        return "Error: This no delta file of Kestro!";
    case ResultAlreadyUpdated:
        return "Error: Source file already updated!";
    default:
        return {};
    }
}

void RunCommandLine(const std::vector<std::string>& arguments, const DeltaOperations& operations,
                    const Console& console) {
    for (std::string_view line : BannerLines) {
        WriteLine(console, line);
    }
    // "--compact original newer" makes a compact delta; otherwise the count
    // of arguments chooses the operation.
    const bool compact = arguments.size() == 3 && arguments[0] == "--compact";
    if (arguments.empty() || (arguments.size() > 2 && !compact)) {
        for (std::string_view line : UsageLines) {
            WriteLine(console, line);
        }
        console.readLine();
        return;
    }
    WorkingDirectoryGuard guard;
    const std::int32_t code =
        compact                 ? RunCreate(arguments[1], arguments[2], true, operations, console)
        : arguments.size() == 2 ? RunCreate(arguments[0], arguments[1], false, operations, console)
                                : RunApply(arguments[0], operations, console);
    const std::string_view message = ResultMessage(code);
    if (!message.empty()) {
        WriteLine(console, message);
    }
}

std::string FailureReport(const std::exception& failure, std::string_view moduleName) {
    const char* kind = "Exception";
    std::uint32_t location = CodeLocation(SourceSite::Here());
    std::string message = failure.what();
    if (const auto* own = dynamic_cast<const Exception*>(&failure)) {
        kind = own->KindName();
        location = own->Location();
    } else if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) {
        kind = "EOutOfMemory";
        message = "Out of memory";
    }
    std::string report = "Exception " + std::string(kind) + " in module " +
                         std::string(moduleName) + " at " + HexDigits(location, 8) + ".\n" +
                         message;
    if (!message.empty() && message.back() != '.') {
        report += '.';
    }
    if (report.size() > MaxReportLength) {
        report.resize(MaxReportLength);
    }
    return report;
}

int RunProgram(std::string_view programPath, const std::vector<std::string>& arguments,
               const DeltaOperations& operations, const Console& console) {
    try {
        RunCommandLine(arguments, operations, console);
        return 0;
    } catch (const std::exception& failure) {
        WriteLine(console, FailureReport(failure, FileNamePart(programPath)));
    } catch (...) {
        WriteLine(console, FailureReport(Exception("Unknown failure"), FileNamePart(programPath)));
    }
    return 1;
}

DeltaOperations ProgramOperations() {
    DeltaOperations operations;
    operations.makeDelta = [](const std::string& originalName, const std::string& newerName,
                              const WaitNotice& waiting) {
        OperationOptions options;
        options.waiting = waiting;
        return MakeDelta(originalName, newerName, options);
    };
    operations.applyDelta = [](const std::string& deltaName, const WaitNotice& waiting) {
        OperationOptions options;
        options.waiting = waiting;
        return ApplyDelta(deltaName, options);
    };
    operations.makeCompactDelta = [](const std::string& originalName, const std::string& newerName,
                                     const WaitNotice& waiting) {
        OperationOptions options;
        options.waiting = waiting;
        options.format = DeltaFormat::Compact;
        return MakeDelta(originalName, newerName, options);
    };
    return operations;
}

int ProgramMain(int argc, char** argv, const DeltaOperations& operations) {
    InterruptHandling interrupts;
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const int status =
        RunProgram(argc > 0 ? argv[0] : "kestro", arguments, operations, StandardConsole());
    if (InterruptRequested()) {
        interrupts.EndAsInterrupted();
    }
    return status;
}

} // namespace kestro
