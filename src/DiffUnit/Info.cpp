#include "DiffUnit/Info.hpp"

#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/Driver.hpp"
#include "DiffUnit/KeyFiles.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "UVersieIn/UVersieIn.hpp"
#include "common/Failures.hpp"
#include "common/Text.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "release/ReleasePackage.hpp"
#include "release/ReleaseReader.hpp"

#include <new>

namespace kestro {

namespace {

constexpr std::string_view Usage =
    "Usage: kestro-info FILE | kestro-info --check [--key NAME.pub] [--into PATH] DELTA";

constexpr std::string_view HelpLines[] = {
    Usage,
    "",
    "kestro-info FILE",
    "    prints what Kestro knows of FILE: for a delta, its header, what it",
    "    updates and how it is laid out (read from its headers: no checksum is",
    "    checked, and a signature's statement is marked \"not checked\"); for a",
    "    program or library, the key=value lines of its version information",
    "kestro-info --check [--key NAME.pub] [--into PATH] DELTA",
    "    makes every check of an update by DELTA (a delta or a release package)",
    "    of the file or folder beside it, or PATH, rebuilds every block, piece",
    "    or file and checks it, and changes no file; names each file a package",
    "    finds changed; with --key, checks the signature too, and prints its",
    "    statement marked \"verified\"",
    "kestro-info --help, --version",
    "    this text; the version and the delta formats it reads",
};

void Print(const Console& console, std::string_view line) {
    WriteLine(console, EscapeControls(line));
}

// A signature file's statement in lines, each ending in mark: whether the
// signature and the files were checked. A version 1 statement names the
// update only once a check has bound it to the delta's descriptor.
std::vector<std::string> StatementLines(const DeltaSignature& signature, std::string_view mark) {
    const std::string end = " (" + std::string(mark) + ")";
    const auto sized = [](const StreamDigest& bytes) {
        return std::to_string(bytes.size) + " bytes, SHA-512 " + LowerHex(bytes.digest);
    };
    std::vector<std::string> lines = {"Signed by key: " + signature.KeyId + end};
    if (!signature.OriginalName.empty()) {
        lines.push_back("Signed update: " + signature.OriginalName + " " +
                        VersionText(signature.OriginalVersion) + " to " +
                        VersionText(signature.NewerVersion) + ", format " +
                        std::to_string(signature.FormatMajor) + "." +
                        std::to_string(signature.FormatMinor) +
                        (signature.Downgrade ? ", a downgrade" : "") + end);
    }
    lines.push_back("Signed original: " +
                    (SignsOriginal(signature)
                         ? sized(signature.Original)
                         : std::string("by its CRC-32 (signature file version 1)")) +
                    end);
    lines.push_back("Signed newer: " + sized(signature.Newer) + end);
    return lines;
}

int Describe(const std::string& fileName, const Console& console) {
    // A file that cannot be read says so, rather than describing nothing.
    // Only a regular file is opened at all, as kestro does: a pipe would
    // block, a device would be read without end.
    if (!FileExists(fileName)) {
        throw EFOpenError("Cannot open file " + fileName);
    }
    FileStream::OpenRead(fileName).Close();
    std::vector<std::string> lines;
    DeltaListing listing = DeltaListing::NotADelta;
    try {
        listing = IsReleasePackage(fileName) ? DescribeRelease(fileName, lines)
                                             : DescribeDelta(fileName, lines);
    } catch (const Exception&) {
        // Not readable as a delta: the version reader has its own say.
        lines.clear();
    }
    if (listing == DeltaListing::NotADelta) {
        GetVersionInfoList(fileName, lines);
    } else if (const std::string signatureName = SignatureFileName(fileName);
               FileExists(signatureName)) {
        // What the signature file says, unchecked; --check --key checks it.
        const std::optional<DeltaSignature> signature = ReadSignatureFile(signatureName);
        if (signature) {
            const std::vector<std::string> signed_ = StatementLines(*signature, "not checked");
            lines.insert(lines.end(), signed_.begin(), signed_.end());
        } else {
            lines.push_back("Signed by key: damaged signature file " + signatureName);
        }
    }
    for (const std::string& line : lines) {
        Print(console, line);
    }
    return listing == DeltaListing::Damaged ? 1 : 0;
}

// The failure report an apply would print, its two parts on lines of their
// own.
void PrintFailure(const std::exception& failure, const Console& console,
                  std::string_view programPath) {
    const std::string report = FailureReport(failure, FileNamePart(programPath));
    const std::size_t lineEnd = report.find('\n');
    Print(console, report.substr(0, lineEnd));
    if (lineEnd != std::string::npos) {
        Print(console, report.substr(lineEnd + 1));
    }
}

// A release package checked against the folder it updates: the apply's
// line, each file found changed, and how many files were rebuilt and
// checked.
int CheckPackage(const std::string& packageName, const std::optional<PublicKey>& key,
                 const std::string& into, const Console& console, std::string_view programPath) {
    ReleaseCheck check;
    std::int32_t code = ResultMessagePrinted;
    try {
        code = CheckRelease(packageName, check, key, into);
        for (const std::string& path : check.changed) {
            Print(console, "Changed since the release: " + path);
        }
        WriteLine(console, ResultMessage(code));
    } catch (const std::exception& failure) {
        PrintFailure(failure, console, programPath);
    }
    Print(console, "Files verified: " + std::to_string(check.filesVerified));
    if (code == ResultOk && check.statement) {
        for (const std::string& line : StatementLines(*check.statement, "verified")) {
            Print(console, line);
        }
    }
    return code == ResultOk ? 0 : 1;
}

int Check(const std::string& deltaName, const std::string& keyName, const std::string& into,
          const Console& console, std::string_view programPath) {
    std::optional<PublicKey> key;
    if (!keyName.empty()) {
        try {
            key = ReadPublicKeyFile(keyName);
        } catch (const std::exception& failure) {
            PrintFailure(failure, console, programPath);
            return 1;
        }
    }
    if (FileExists(deltaName) && IsReleasePackage(deltaName)) {
        return CheckPackage(deltaName, key, into, console, programPath);
    }
    DeltaCheck check;
    std::int32_t code = ResultMessagePrinted;
    try {
        code = CheckDelta(deltaName, check, key, into);
        // The program's own line, as the apply prints it: code -8's holds
        // a line break of its own.
        WriteLine(console, ResultMessage(code));
    } catch (const std::exception& failure) {
        PrintFailure(failure, console, programPath);
    }
    // A compact delta is checked a piece (a MiB of the newer file) at a time.
    Print(console,
          (check.format == DeltaFormat::Compact ? "Pieces verified: " : "Blocks verified: ") +
              std::to_string(check.pieces));
    const bool passed = code == ResultOk || code == ResultSourceUnversioned;
    if (passed && check.statement) {
        for (const std::string& line : StatementLines(*check.statement, "verified")) {
            Print(console, line);
        }
    }
    return passed ? 0 : 1;
}

} // namespace

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x" + HexDigits(byte, 2);
        } else {
            out += c;
        }
    }
    return out;
}

int RunInfo(std::string_view programPath, const std::vector<std::string>& arguments,
            const Console& console) {
    if (arguments.size() == 1 && arguments[0] == "--help") {
        for (const std::string_view line : HelpLines) {
            WriteLine(console, line);
        }
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        WriteLine(console, "kestro-info " KESTRO_VERSION_TEXT);
        WriteLine(console, "Delta formats: " + FormatList());
        return 0;
    }
    // FILE, or --check with --key NAME.pub and --into PATH in any order
    // before DELTA.
    bool check = false;
    std::string keyName;
    std::string into;
    std::size_t at = 0;
    for (; at + 1 < arguments.size(); ++at) {
        std::string* const value = arguments[at] == "--key"    ? &keyName
                                   : arguments[at] == "--into" ? &into
                                                               : nullptr;
        if (arguments[at] == "--check" && !check) {
            check = true;
        } else if (value != nullptr && value->empty() && at + 2 < arguments.size() &&
                   !arguments[at + 1].empty()) {
            *value = arguments[++at];
        } else {
            break;
        }
    }
    if (at + 1 != arguments.size() || arguments[at] == "--check" || arguments[at] == "--key" ||
        arguments[at] == "--into" || (!check && (!keyName.empty() || !into.empty()))) {
        WriteLine(console, Usage);
        return 1;
    }
    try {
        return check ? Check(arguments[at], keyName, into, console, programPath)
                     : Describe(arguments[at], console);
    } catch (const std::exception& failure) {
        // What DescribeDelta meets is reported as a line of its own; the
        // file's name is in the message.
        Print(console, dynamic_cast<const std::bad_alloc*>(&failure) != nullptr ? "Out of memory"
                                                                                : failure.what());
        return 1;
    }
}

} // namespace kestro
