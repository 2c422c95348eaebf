// The Win32 side of Process.hpp: CreateProcessW on a quoted command line
// (the program's text, UTF-8, converted as every name is), with NUL and two
// pipes as the child's standard handles and those three the only handles
// it inherits; the pipes read on threads, the child waited for on its own
// handle.
#include "platform/Process.hpp"
#include "platform/win32/Win32.hpp"

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace kestro::process {

namespace {

// The system's text for an error code, with the number.
std::string Reason(DWORD error) {
    wchar_t text[512] = {};
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, 0, text, 512, nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ' || text[length - 1] == L'.')) {
        --length;
    }
    std::string reason = port::TextOfWide(std::wstring_view(text, length));
    return (reason.empty() ? "unknown error" : reason) + " (error " + std::to_string(error) + ")";
}

// A handle, closed when the object goes. Both of the system's "no handle"
// values mean none.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { Close(); }
    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    // Takes handle, closing the one held before.
    void Reset(HANDLE handle) {
        Close();
        handle_ = handle;
    }
    void Close() {
        if (Valid()) {
            ::CloseHandle(std::exchange(handle_, nullptr));
        }
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// A pipe whose writing end the child inherits; the reading end stays here.
struct Pipe {
    OwnedHandle read;
    OwnedHandle write;
};

void OpenPipe(Pipe& pipe, SECURITY_ATTRIBUTES& inheritable) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!::CreatePipe(&read, &write, &inheritable, 0)) {
        throw std::runtime_error("cannot make a pipe: " + Reason(::GetLastError()));
    }
    pipe.read.Reset(read);
    pipe.write.Reset(write);
    if (!::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0)) {
        throw std::runtime_error("cannot keep a pipe's end: " + Reason(::GetLastError()));
    }
}

// Everything that can be read from a pipe, to its end: the writing ends
// are gone once the child has ended.
std::string Drain(HANDLE pipe) {
    std::string text;
    char buffer[65536];
    DWORD n = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        text.append(buffer, n);
    }
    return text;
}

// The attribute list that names the handles a child inherits.
class InheritedHandles {
public:
    InheritedHandles(HANDLE* handles, std::size_t count) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
            throw std::runtime_error("cannot make an attribute list: " + Reason(::GetLastError()));
        }
        if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                         count * sizeof(HANDLE), nullptr, nullptr)) {
            const DWORD error = ::GetLastError();
            ::DeleteProcThreadAttributeList(list_);
            throw std::runtime_error("cannot list the inherited handles: " + Reason(error));
        }
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    ~InheritedHandles() { ::DeleteProcThreadAttributeList(list_); }
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

private:
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Wine fails a start now and then with ERROR_INTERNAL_ERROR: the new
// process ended before it reported that it was ready, which it does before
// the program's own code runs. The program has done nothing then, so the
// start is tried again, up to this many times in all.
constexpr int StartAttempts = 5;

// Held from the making of a child's inheritable handles until this process
// has closed its copies of them, so that no child started meanwhile by
// another thread can inherit them, even if the attribute list is not
// honoured: a pipe's writing end held by another child would keep its read
// from ending until that child ends too.
std::mutex starting;

} // namespace

Outcome Run(const std::string& program, const std::vector<std::string>& arguments) {
    Pipe output;
    Pipe errors;
    OwnedHandle process;
    {
        const std::lock_guard<std::mutex> guard(starting);
        SECURITY_ATTRIBUTES inheritable{};
        inheritable.nLength = sizeof inheritable;
        inheritable.bInheritHandle = TRUE;
        OpenPipe(output, inheritable);
        OpenPipe(errors, inheritable);
        const OwnedHandle input(::CreateFileW(L"NUL", GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!input.Valid()) {
            throw std::runtime_error("cannot open NUL: " + Reason(::GetLastError()));
        }
        HANDLE handles[] = {input.Get(), output.write.Get(), errors.write.Get()};
        const InheritedHandles inherited(handles, 3);

        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input.Get();
        startup.StartupInfo.hStdOutput = output.write.Get();
        startup.StartupInfo.hStdError = errors.write.Get();
        startup.lpAttributeList = inherited.Get();
        const std::optional<std::wstring> line =
            port::WideText(WindowsCommandLine(program, arguments));
        if (!line) {
            throw std::runtime_error("cannot start " + program + ": its command line is not UTF-8");
        }
        PROCESS_INFORMATION started{};
        for (int attempt = 1;; ++attempt) {
            // CreateProcessW may write into the command line.
            std::wstring writable = *line;
            if (::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE,
                                 EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                 &startup.StartupInfo, &started)) {
                break;
            }
            const DWORD error = ::GetLastError();
            if (error != ERROR_INTERNAL_ERROR || attempt == StartAttempts) {
                throw std::runtime_error(
                    "cannot start " + program + ": " + Reason(error) +
                    (attempt > 1 ? ", " + std::to_string(attempt) + " times" : std::string()));
            }
            // Said on standard error, so that a log shows how often it
            // happens.
            std::fprintf(stderr, "kestro_process: starting %s failed (%s); starting it again\n",
                         program.c_str(), Reason(error).c_str());
        }
        process.Reset(started.hProcess);
        ::CloseHandle(started.hThread);
        // Only the child holds the writing ends now, so the reads end when
        // it does (and any child of its own that kept them).
        output.write.Close();
        errors.write.Close();
    }

    Outcome outcome;
    {
        std::jthread readErrors([&] { outcome.errors = Drain(errors.read.Get()); });
        outcome.output = Drain(output.read.Get());
    }
    DWORD status = 0;
    if (::WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.Get(), &status)) {
        throw std::runtime_error("cannot wait for " + program + ": " + Reason(::GetLastError()));
    }
    outcome.status = static_cast<int>(status);
    return outcome;
}

void KillThisProcess() {
    // TerminateProcess, unlike ExitProcess and everything built on it,
    // runs no DLL detach, no atexit handler and no flushing.
    ::TerminateProcess(::GetCurrentProcess(), 137);
    // Not reached: a process can always end itself.
    ::ExitProcess(137);
}

FileContent ReadWholeFile(const std::string& name) {
    FileContent content;
    const std::optional<std::wstring> wide = port::WideName(name);
    if (!wide) {
        content.error = Reason(ERROR_INVALID_NAME);
        return content;
    }
    const OwnedHandle file(::CreateFileW(wide->c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        content.error = Reason(::GetLastError());
        return content;
    }
    std::uint8_t buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof buffer, &n, nullptr)) {
            content.error = Reason(::GetLastError());
            return content;
        }
        if (n == 0) {
            content.read = true;
            return content;
        }
        content.bytes.insert(content.bytes.end(), buffer, buffer + n);
    }
}

} // namespace kestro::process
