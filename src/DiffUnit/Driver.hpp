// The command-line driver: banner, usage text, argument handling, working
// directory, result messages, and the report of a failure that ends the
// program. It and kestro-info (Info.hpp) are the only code that writes to
// the console.
#pragma once

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
// the directory of the first file named, and the notice that prints the
// line of a wait. They get the bare names of the original and of the
// delta; the newer file's bare name when it was named without a folder (it
// lies beside the original), else its absolute path. makeCompactDelta is
// the create of "--compact original newer".
struct DeltaOperations {
    std::function<std::int32_t(const std::string& originalName, const std::string& newerName,
                               const WaitNotice& waiting)>
        makeDelta;
    std::function<std::int32_t(const std::string& originalName, const std::string& newerName,
                               const WaitNotice& waiting)>
        makeCompactDelta;
    std::function<std::int32_t(const std::string& deltaName, const WaitNotice& waiting)> applyDelta;
};

// Runs one command line (the arguments after the program's own name). A
// failure of an operation passes out after the working directory has been
// restored.
void RunCommandLine(const std::vector<std::string>& arguments, const DeltaOperations& operations,
                    const Console& console);

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

// The whole process: RunProgram on the process's arguments and console,
// with interrupts caught so that an interrupted operation cleans up before
// the program ends as the interrupt would have ended it (InterruptHandling).
int ProgramMain(int argc, char** argv, const DeltaOperations& operations);

} // namespace kestro
