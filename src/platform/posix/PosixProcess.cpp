// The POSIX side of Process.hpp: posix_spawnp with the child's standard
// files set up by its file actions, two pipes read on threads, waitpid.
#include "platform/Process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace kestro::process {

namespace {

// The system's text for an errno value, with the number.
std::string Reason(int error) {
    return std::system_category().message(error) + " (errno " + std::to_string(error) + ")";
}

// A descriptor, closed when the object goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Close(); }
    int Get() const { return fd_; }
    // Takes fd, closing the one held before.
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    void Close() {
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

private:
    int fd_;
};

// A pipe whose two ends are closed on exec, so that no other child started
// meanwhile, from another thread, inherits them.
struct Pipe {
    Descriptor read;
    Descriptor write;
};

void OpenPipe(Pipe& pipe) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make a pipe: " + Reason(errno));
    }
    pipe.read.Reset(ends[0]);
    pipe.write.Reset(ends[1]);
}

// Everything that can be read from fd, to its end.
std::string Drain(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return text;
        }
    }
}

class SpawnActions {
public:
    SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* Get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    posix_spawnattr_t* Get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// A started child, waited for when the object goes if nobody did: no
// child is left unreaped, whichever way Run is left.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        int ignored = 0;
        Wait(ignored);
    }
    pid_t* Receive() { return &pid_; }
    // Waits for the child to end and gives its wait status; false, with
    // errno set, when the wait failed.
    bool Wait(int& raw) {
        if (pid_ <= 0) {
            return true;
        }
        pid_t result = 0;
        do {
            result = ::waitpid(pid_, &raw, 0);
        } while (result < 0 && errno == EINTR);
        pid_ = 0;
        return result >= 0;
    }

private:
    pid_t pid_ = 0;
};

} // namespace

Outcome Run(const std::string& program, const std::vector<std::string>& arguments) {
    // Declared first, so gone last: on a way out by an exception the pipes
    // close before the child is waited for.
    Child child;
    Pipe output;
    Pipe errors;
    OpenPipe(output);
    OpenPipe(errors);

    SpawnActions actions;
    // dup2 onto 1 and 2 clears their close-on-exec flag; the pipes' own
    // descriptors close at the exec.
    if (::posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0) !=
            0 ||
        ::posix_spawn_file_actions_adddup2(actions.Get(), output.write.Get(), STDOUT_FILENO) != 0 ||
        ::posix_spawn_file_actions_adddup2(actions.Get(), errors.write.Get(), STDERR_FILENO) != 0) {
        throw std::runtime_error("cannot set up the standard files of " + program);
    }
    // The child starts as from an interactive shell: SIGINT, SIGTERM and
    // SIGHUP, which the tests send, and SIGPIPE at their default actions,
    // and no signal blocked, whatever this process inherited (one started
    // in the background by a script ignores SIGINT, and the program leaves
    // an ignored interrupt ignored).
    SpawnAttributes attributes;
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    sigemptyset(&none);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    if (::posix_spawnattr_setsigdefault(attributes.Get(), &defaults) != 0 ||
        ::posix_spawnattr_setsigmask(attributes.Get(), &none) != 0 ||
        ::posix_spawnattr_setflags(attributes.Get(),
                                   POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) != 0) {
        throw std::runtime_error("cannot set up the signals of " + program);
    }

    std::vector<char*> argv;
    std::vector<std::string> strings = {program};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    for (std::string& string : strings) {
        argv.push_back(string.data());
    }
    argv.push_back(nullptr);

    const int spawned = ::posix_spawnp(child.Receive(), program.c_str(), actions.Get(),
                                       attributes.Get(), argv.data(), environ);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + program + ": " + Reason(spawned));
    }
    // Only the child holds the writing ends now, so the reads end when it
    // does (and any child of its own that kept them).
    output.write.Close();
    errors.write.Close();

    Outcome outcome;
    {
        std::jthread readErrors([&] { outcome.errors = Drain(errors.read.Get()); });
        outcome.output = Drain(output.read.Get());
    }
    int raw = 0;
    if (!child.Wait(raw)) {
        throw std::runtime_error("cannot wait for " + program + ": " + Reason(errno));
    }
    if (WIFEXITED(raw)) {
        outcome.status = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
        outcome.signal = WTERMSIG(raw);
    }
    return outcome;
}

void KillThisProcess() {
    std::raise(SIGKILL);
    // Not reached: SIGKILL cannot be caught, blocked or ignored.
    std::_Exit(137);
}

FileContent ReadWholeFile(const std::string& name) {
    FileContent content;
    Descriptor file;
    do {
        file.Reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    } while (file.Get() < 0 && errno == EINTR);
    if (file.Get() < 0) {
        content.error = Reason(errno);
        return content;
    }
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
        if (n > 0) {
            content.bytes.insert(content.bytes.end(), buffer, buffer + n);
        } else if (n == 0) {
            content.read = true;
            return content;
        } else if (errno != EINTR) {
            content.error = Reason(errno);
            return content;
        }
    }
}

} // namespace kestro::process
