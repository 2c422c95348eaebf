// The command-line driver: banner, usage text, argument handling, working
// directory, result messages, and the report of a failure that ends the
// program. It and kestro-info (Info.hpp) are the only code that writes to
// the console.
#pragma once

#include "DiffUnit/DeltaPackage.hpp"
#include "platform/Console.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// Told the name of the file whose lock an operation waits for, once, when
// the wait begins (OperationOptions::waiting).
using WaitNotice = std::function<void(const std::string& name)>;

// The operations the command line runs, with the working directory set to
// the directory of the first file named. They get the bare names of the
// original and of the delta; the newer file's bare name when it was named
// without a folder (it lies beside the original), else its absolute path;
// and the options the command line asked for (the format of a create),
// with the notice that prints the line of a wait and, on a terminal, the
// progress line. Where that directory cannot be the working directory (on
// Windows one whose path is longer than MAX_PATH - 2 characters), the
// working directory stays, and every name they get is prefixed with the
// directory's full path.
struct DeltaOperations {
    std::function<std::int32_t(const std::string& originalName, const std::string& newerName,
                               const OperationOptions& options)>
        makeDelta;
    std::function<std::int32_t(const std::string& deltaName, const OperationOptions& options)>
        applyDelta;
    // The same for folders and release packages, with the names as given
    // (from the working folder the run started in).
    std::function<std::int32_t(const std::string& originalFolder, const std::string& newerFolder,
                               const OperationOptions& options)>
        makeRelease;
    std::function<std::int32_t(const std::string& packageName, const OperationOptions& options)>
        applyRelease;
};

// Runs one command line (the arguments after the program's own name):
//   [--compact[=2.MINOR]] ORIGINAL NEWER   creates a delta
//   DELTA                                  applies one
//   --help, --version                      the help text, the version
// Options come first; "--" ends them. Any other count of files, or an
// option it does not know, prints the usage text and waits for a line. A
// failure of an operation passes out after the working directory has been
// restored.
void RunCommandLine(const std::vector<std::string>& arguments, const DeltaOperations& operations,
                    const Console& console);

// The versions of the delta formats this program reads, oldest first:
// "1.0 2.0 2.1 2.2 3.0".
std::string FormatList();

// The text of a progress line: "<phase>: <percent>% (<done> of <total>)".
std::string ProgressText(const Progress& progress);

// The message line(s) of a result code; empty for a code without message.
std::string_view ResultMessage(std::int32_t code);

// The report of a failure that ended the program, without the final CR LF:
// "Exception <kind> in module <module> at <location>.\n<message>[.]", cut to
// 1024 characters.
std::string FailureReport(const std::exception& failure, std::string_view moduleName);

// The real operations, MakeDelta and ApplyDelta with the command line's
// options.
DeltaOperations ProgramOperations();

// The process entry's work: runs the command line, reports a failure that
// leaves it, and returns the exit status (0, or 1 after a failure report).
int RunProgram(std::string_view programPath, const std::vector<std::string>& arguments,
               const DeltaOperations& operations, const Console& console);

// The whole process: RunProgram on the process's command line (its own
// name first, as CommandLineArguments gives it) and console, with
// interrupts caught so that an interrupted operation cleans up before the
// program ends as the interrupt would have ended it (InterruptHandling).
int ProgramMain(const std::vector<std::string>& commandLine, const DeltaOperations& operations);

} // namespace kestro
