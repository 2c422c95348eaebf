#include "DiffUnit/Driver.hpp"

#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/KeyFiles.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "common/Text.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Memory.hpp"
#include "release/ReleasePackage.hpp"
#include "release/ReleaseReader.hpp"

#include <algorithm>
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

constexpr std::string_view HelpLines[] = {
    "Kestro " KESTRO_VERSION_TEXT ": makes and applies delta files for executables and libraries.",
    "",
    "kestro [--compact[=2.N]] [--sign NAME.key [--allow-downgrade]] <original file>",
    "       <newer file>",
    "    writes the delta <original file>_<newer file's version>.kst beside the",
    "    original file (the newer file is looked for there unless named with a",
    "    folder)",
    "kestro [--compact=2.N] [--sign NAME.key] <original folder> <newer folder>",
    "    writes the release package <original folder>_<version>.kst beside the",
    "    original folder: every file of the newer release, the same as an",
    "    original, a compact delta or whole",
    "kestro [--key NAME.pub] [--into PATH] <delta file or package>",
    "    updates the file the delta was made from, beside it: checks its version",
    "    and checksum, keeps a backup <file>_<its version>.org and puts the newer",
    "    file in its place; a package likewise updates the folder it was made",
    "    from, all or nothing, its backup <folder>_<its version>.org",
    "kestro --keygen NAME",
    "    writes a new signing key: NAME.key (private, readable by you alone) and",
    "    NAME.pub (public, for the updaters); neither may exist",
    "",
    "Options, before the file names, in any order:",
    "  --compact      writes a compact delta (format 2.4): far smaller, slower to",
    "                 make; it reads the code where both files are programs or",
    "                 libraries of one instruction set (PE or ELF; x86, x86-64,",
    "                 ARM64 or 32-bit ARM)",
    "  --compact=2.1  writes a compact delta no newer than format 2.1, for",
    "                 updaters that read no later one; likewise 2.0, 2.2, 2.3",
    "                 (2.3 reads the same code, 2.2 all but ELF32 and 32-bit ARM,",
    "                 2.1 only an x86 or x86-64 Windows program's, 2.0 none)",
    "  --sign NAME.key  signs the delta: writes <delta>.sig beside it, naming both",
    "                 files by version, size and SHA-512",
    "  --allow-downgrade  signs a delta whose newer file's version is lower than",
    "                 the original's (refused without it), marked as a downgrade",
    "  --key NAME.pub   applies the delta only if <delta>.sig beside it is this",
    "                 key's signature over the delta, the file it updates is the",
    "                 signed original and the update is no unmarked downgrade,",
    "                 all checked before any file is written; the rebuilt file",
    "                 must be the signed newer file",
    "  --into PATH    updates the file (or for a package the folder) PATH",
    "                 rather than the one beside the delta",
    "  --help         prints this text",
    "  --version      prints the program's version and the formats it reads",
};

// What a command line asks for.
struct Request {
    enum class Kind { Usage, Help, Version, Keygen, Create, Apply } kind = Kind::Usage;
    DeltaFormat format = DeltaFormat::Blocks;
    std::int32_t compactMinor = CompactLatestMinor;
    std::string keygen;     // --keygen's NAME
    std::string signingKey; // --sign's private key file
    std::string publicKey;  // --key's public key file
    std::string into;       // --into's file or folder
    bool allowDowngrade = false;
    std::vector<std::string> files;
};

// Reads a compact option: "--compact" or "--compact=2.MINOR" with a minor
// this program writes.
bool ReadCompactOption(std::string_view option, Request& request) {
    constexpr std::string_view name = "--compact";
    if (option.substr(0, name.size()) != name) {
        return false;
    }
    request.format = DeltaFormat::Compact;
    if (option.size() == name.size()) {
        return true;
    }
    for (std::int32_t minor = 0; minor <= CompactLatestMinor; ++minor) {
        if (option.substr(name.size()) == "=2." + std::to_string(minor)) {
            request.compactMinor = minor;
            return true;
        }
    }
    return false;
}

// Reads an option that takes the next argument as its value ("--sign
// FILE"): false when the option is not name, or is given twice, or has no
// value. An empty value (--key "") is a mistake to name, not a reason to
// show the usage text and wait.
bool ReadValueOption(const std::vector<std::string>& arguments, std::size_t& at,
                     std::string_view name, std::string& value) {
    if (arguments[at] != name || !value.empty() || at + 1 == arguments.size()) {
        return false;
    }
    if (arguments[at + 1].empty()) {
        throw Exception("Option " + std::string(name) + " needs a file name, not an empty one");
    }
    value = arguments[++at];
    return true;
}

Request ReadArguments(const std::vector<std::string>& arguments) {
    Request request;
    std::size_t at = 0;
    bool compact = false;
    for (; at < arguments.size() && arguments[at].starts_with("--"); ++at) {
        const std::string& option = arguments[at];
        if (option == "--") {
            ++at;
            break;
        }
        if (option == "--help" || option == "--version") {
            request.kind = option == "--help" ? Request::Kind::Help : Request::Kind::Version;
            return request;
        }
        if (ReadValueOption(arguments, at, "--keygen", request.keygen) ||
            ReadValueOption(arguments, at, "--sign", request.signingKey) ||
            ReadValueOption(arguments, at, "--key", request.publicKey) ||
            ReadValueOption(arguments, at, "--into", request.into)) {
            continue;
        }
        if (option == "--allow-downgrade" && !request.allowDowngrade) {
            request.allowDowngrade = true;
            continue;
        }
        if (compact || !ReadCompactOption(option, request)) {
            return request; // an option it does not know, or twice
        }
        compact = true;
    }
    request.files.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
    const bool creating = compact || !request.signingKey.empty() || request.allowDowngrade;
    if (request.allowDowngrade && request.signingKey.empty()) {
        return request; // it says how to sign
    }
    if (!request.keygen.empty()) {
        if (request.files.empty() && !creating && request.publicKey.empty() &&
            request.into.empty()) {
            request.kind = Request::Kind::Keygen;
        }
    } else if (request.files.size() == 2 && request.publicKey.empty() && request.into.empty()) {
        request.kind = Request::Kind::Create;
    } else if (request.files.size() == 1 && !creating) {
        request.kind = Request::Kind::Apply;
    }
    return request;
}

} // namespace

std::string FormatList() {
    std::string list = "1.0";
    for (std::int32_t minor = 0; minor <= CompactLatestMinor; ++minor) {
        list += " 2." + std::to_string(minor);
    }
    return list + " " + std::to_string(ReleaseMajor) + "." + std::to_string(ReleaseMinor);
}

namespace {

// A count of bytes for a progress line: KiB below 10 MiB, else MiB.
std::string ByteCount(std::int64_t bytes, bool inMiB) {
    return inMiB ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes >> 10) + " KiB";
}

// The progress line of a terminal: rewritten in place ("\r") whenever its
// text changes, and wiped before any other line is written. It is cut to
// one character less than the terminal is wide, so that it never wraps
// onto a second line, which "\r" would not reach.
class ProgressLine {
public:
    explicit ProgressLine(const Console& console) : console_(console) {}
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { Clear(); }

    void Show(const Progress& progress) {
        const std::size_t limit = Limit();
        const std::string text = ProgressText(progress).substr(0, limit);
        if (text == shown_) {
            return;
        }
        std::string line = "\r" + text;
        const std::size_t wiped = std::min(shown_.size(), limit);
        if (text.size() < wiped) {
            line.append(wiped - text.size(), ' ');
        }
        console_.write(line);
        shown_ = text;
    }
    void Clear() {
        if (!shown_.empty()) {
            console_.write("\r" + std::string(std::min(shown_.size(), Limit()), ' ') + "\r");
            shown_.clear();
        }
    }

private:
    // The most characters a line may have: one less than the terminal's
    // width, where it is known (a terminal may be narrowed meanwhile).
    std::size_t Limit() const {
        const int width = console_.width ? console_.width() : 0;
        return width > 1 ? static_cast<std::size_t>(width - 1) : std::string::npos;
    }

    const Console& console_;
    std::string shown_;
};

// Makes the directory part of path the working directory, so that the
// operations name files there by their bare names, as they always have:
// then the empty prefix. Where the directory cannot be entered, the prefix
// its files are named with instead, its full path (on Windows a directory
// longer than the working directory may be, see SetWorkingDirectory; one
// that does not exist has no file in it, which the callers find). Nothing
// when even the full path cannot be had.
std::optional<std::string> EnterDirectoryOf(const std::string& path) {
    const std::string directory = DirectoryPart(path);
    if (directory.empty() || SetWorkingDirectory(directory)) {
        return std::string();
    }
    std::string full = FullPath(directory);
    if (full.empty()) {
        return std::nullopt;
    }
    if (!IsPathSeparator(full.back())) {
        full += PathSeparator();
    }
    return full;
}

// The options of an operation the command line runs: a wait is told in a
// line of its own, and on a terminal the work's progress in a line that is
// wiped before any other.
OperationOptions OptionsFor(const Request& request, const Console& console,
                            ProgressLine& progressLine) {
    // Key files are named from the folder the run started in.
    OperationOptions options;
    if (!request.signingKey.empty()) {
        options.signingKey = ReadPrivateKeyFile(request.signingKey);
    }
    if (!request.publicKey.empty()) {
        options.publicKey = ReadPublicKeyFile(request.publicKey);
    }
    options.allowDowngrade = request.allowDowngrade;
    options.into = request.into;
    options.format = request.format;
    options.compactMinor = request.compactMinor;
    options.waiting = [&console, &progressLine](const std::string& name) {
        progressLine.Clear();
        WriteLine(console, "Waiting for another run to finish with " + name + "...");
    };
    if (console.terminal) {
        options.progress = [&progressLine](const Progress& progress) {
            progressLine.Show(progress);
        };
    }
    return options;
}

bool IsFolder(const std::string& name) {
    const std::optional<EntryStatus> status = StatusOf(name);
    return status && status->kind == EntryKind::Folder;
}

std::int32_t RunCreate(const Request& request, const DeltaOperations& operations,
                       const Console& console) {
    const std::string& original = request.files[0];
    const std::string& newer = request.files[1];
    // Two folders: a release package, both named from the working folder.
    if (IsFolder(original) && IsFolder(newer)) {
        ProgressLine progressLine(console);
        const OperationOptions options = OptionsFor(request, console, progressLine);
        return operations.makeRelease(original, newer, options);
    }
    // The newer file is the file named: a bare name is looked for in the
    // original's folder, a path is taken from the working folder the run
    // started in, so it is made absolute before the original's folder is
    // entered.
    const bool newerBeside = DirectoryPart(newer).empty();
    const std::string newerPath = newerBeside ? newer : FullPath(newer);
    ProgressLine progressLine(console);
    OperationOptions options = OptionsFor(request, console, progressLine);
    const std::optional<std::string> folder = EnterDirectoryOf(original);
    const std::string originalName = folder ? *folder + FileNamePart(original) : std::string();
    if (!folder || !FileExists(originalName)) {
        WriteLine(console, "Original file does not exists!");
        return ResultMessagePrinted;
    }
    const std::string newerName = newerBeside ? *folder + newer : newerPath;
    if (!FileExists(newerName)) {
        WriteLine(console, "Newer file does not exists!");
        return ResultMessagePrinted;
    }
    return operations.makeDelta(originalName, newerName, options);
}

std::int32_t RunApply(const Request& request, const DeltaOperations& operations,
                      const Console& console) {
    const std::string& delta = request.files[0];
    ProgressLine progressLine(console);
    OperationOptions options = OptionsFor(request, console, progressLine);
    if (FileExists(delta) && IsReleasePackage(delta)) {
        // A release package updates a folder, named from the working
        // folder; each file it finds changed gets a line of its own.
        options.changed = [&](const std::string& path) {
            progressLine.Clear();
            WriteLine(console, "Changed since the release: " + path);
        };
        return operations.applyRelease(delta, options);
    }
    // --into names the file from the folder the run started in.
    if (!options.into.empty()) {
        options.into = FullPath(options.into);
    }
    const std::optional<std::string> folder =
        FileExists(delta) ? EnterDirectoryOf(delta) : std::nullopt;
    if (!folder) {
        WriteLine(console, "Delta file does not exists!");
        return ResultMessagePrinted;
    }
    return operations.applyDelta(*folder + FileNamePart(delta), options);
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
    case ResultChangedFiles:
        return "Error: Files changed since the release";
    default:
        return {};
    }
}

std::string ProgressText(const Progress& progress) {
    if (progress.itemsTotal > 0) {
        Progress bytes = progress;
        bytes.itemsTotal = 0;
        return ProgressText(bytes) + ", " + std::to_string(progress.itemsDone) + " of " +
               std::to_string(progress.itemsTotal) + " files";
    }
    static constexpr std::string_view Names[] = {"Checksum", "Sorting the original", "Searching",
                                                 "Coding",   "Rebuilding",           "Verifying"};
    const std::int64_t total = std::max<std::int64_t>(progress.total, 0);
    const std::int64_t done = std::clamp<std::int64_t>(progress.done, 0, total);
    const std::int64_t percent = total == 0 ? 100 : done * 100 / total;
    const bool inMiB = total >= (std::int64_t{10} << 20);
    return std::string(Names[static_cast<std::size_t>(progress.phase)]) + ": " +
           std::to_string(percent) + "% (" + ByteCount(done, inMiB) + " of " +
           ByteCount(total, inMiB) + ")";
}

void RunCommandLine(const std::vector<std::string>& arguments, const DeltaOperations& operations,
                    const Console& console) {
    const Request request = ReadArguments(arguments);
    if (request.kind == Request::Kind::Help) {
        for (std::string_view line : HelpLines) {
            WriteLine(console, line);
        }
        return;
    }
    if (request.kind == Request::Kind::Version) {
        WriteLine(console, "Kestro " KESTRO_VERSION_TEXT);
        WriteLine(console, "Delta formats: " + FormatList());
        return;
    }
    if (request.kind == Request::Kind::Keygen) {
        const std::string id = WriteKeyPair(request.keygen);
        WriteLine(console, "Private key: " + request.keygen + ".key (keep it to yourself)");
        WriteLine(console, "Public key: " + request.keygen + ".pub");
        WriteLine(console, "Key id: " + id);
        return;
    }
    for (std::string_view line : BannerLines) {
        WriteLine(console, line);
    }
    if (request.kind == Request::Kind::Usage) {
        for (std::string_view line : UsageLines) {
            WriteLine(console, line);
        }
        console.readLine();
        return;
    }
    WorkingDirectoryGuard guard;
    const std::int32_t code = request.kind == Request::Kind::Create
                                  ? RunCreate(request, operations, console)
                                  : RunApply(request, operations, console);
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
                              const OperationOptions& options) {
        return MakeDelta(originalName, newerName, options);
    };
    operations.applyDelta = [](const std::string& deltaName, const OperationOptions& options) {
        return ApplyDelta(deltaName, options);
    };
    operations.makeRelease = [](const std::string& originalFolder, const std::string& newerFolder,
                                const OperationOptions& options) {
        return MakeRelease(originalFolder, newerFolder, options);
    };
    operations.applyRelease = [](const std::string& packageName, const OperationOptions& options) {
        return ApplyRelease(packageName, options);
    };
    return operations;
}

int ProgramMain(const std::vector<std::string>& commandLine, const DeltaOperations& operations) {
    MapLargeBlocksApart();
    InterruptHandling interrupts;
    const std::vector<std::string> arguments(commandLine.begin() + (commandLine.empty() ? 0 : 1),
                                             commandLine.end());
    const int status = RunProgram(commandLine.empty() ? "kestro" : commandLine[0], arguments,
                                  operations, StandardConsole());
    if (InterruptRequested()) {
        interrupts.EndAsInterrupted();
    }
    return status;
}

} // namespace kestro
