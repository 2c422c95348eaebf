// The failure kinds of the program.
//
// Expected outcomes of an operation are result codes; everything else is one
// of these failures, raised where it is found and reported once, by the
// driver. Each carries its message and a code location: a stable 32-bit value
// derived from the source position that raised it, so that a report names
// the place without carrying any further meaning.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kestro {

// A place in the source: as a defaulted argument, SourceSite::Here() names
// the place of the call that used the default.
struct SourceSite {
    const char* file;
    unsigned line;
    static constexpr SourceSite Here(const char* file = __builtin_FILE(),
                                     unsigned line = __builtin_LINE()) noexcept {
        return {file, line};
    }
};

class Exception : public std::exception {
public:
    explicit Exception(std::string message, SourceSite where = SourceSite::Here());

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    std::uint32_t Location() const noexcept { return location_; }

    // The kind's name as the failure report shows it ("Exception",
    // "EFOpenError", ...).
    virtual const char* KindName() const noexcept { return "Exception"; }

private:
    std::string message_;
    std::uint32_t location_;
};

#define KESTRO_FAILURE_KIND(Name)                                                                  \
    class Name : public Exception {                                                                \
    public:                                                                                        \
        using Exception::Exception;                                                                \
        const char* KindName() const noexcept override { return #Name; }                           \
    }

// A file could not be opened for reading: "Cannot open file %s".
KESTRO_FAILURE_KIND(EFOpenError);
// A file could not be created: "Cannot create file %s".
KESTRO_FAILURE_KIND(EFCreateError);
// Fewer bytes than required could be read, or the system reported a read error.
KESTRO_FAILURE_KIND(EReadError);
// A write did not take all its bytes.
KESTRO_FAILURE_KIND(EWriteError);
// An in-memory stream could not grow, or a stream was used beyond its limits.
KESTRO_FAILURE_KIND(EStreamError);
// A signed delta that does not pass its checks, or a key that cannot be
// used: the delta, its signature file or the key file is not what the
// signer made.
KESTRO_FAILURE_KIND(ESignatureError);
// Memory exhaustion anywhere else ("Out of memory").
KESTRO_FAILURE_KIND(EOutOfMemory);
// The user or the system asked the program to stop (Ctrl-C, SIGTERM, a
// closed console): "Operation interrupted". Raised at the next read, write
// or wait, so that it unwinds through the operation like any other failure
// and its clean-up removes what the operation had half written.
KESTRO_FAILURE_KIND(EInterrupted);

#undef KESTRO_FAILURE_KIND

// The code location of a source position: FNV-1a over the file's base name and
// the line number, stable from build to build of the same source.
std::uint32_t CodeLocation(SourceSite where) noexcept;

} // namespace kestro
