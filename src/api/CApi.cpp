// The C interface (include/kestro/kestro.h) over the delta operations: no
// C++ type or exception crosses it. Its text is in the code page
// (platform/Text.hpp: on Windows the ANSI code page, as the header says;
// elsewhere bytes as they are), converted here to the program's and back.
#define KESTRO_BUILDING
#include "kestro/kestro.h"

#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/Driver.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "common/Progress.hpp"
#include "platform/Files.hpp"
#include "platform/Text.hpp"
#include "release/ReleasePackage.hpp"
#include "release/ReleaseReader.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

namespace {

using kestro::OperationOptions;

static_assert(KESTRO_OK == kestro::ResultOk);
static_assert(KESTRO_NEWER_UNVERSIONED == kestro::ResultNewerUnversioned);
static_assert(KESTRO_ORIGINAL_UNVERSIONED == kestro::ResultOriginalUnversioned);
static_assert(KESTRO_CRC_WRONG == kestro::ResultCrcWrong);
static_assert(KESTRO_WRONG_SOURCE_VERSION == kestro::ResultWrongSourceVersion);
static_assert(KESTRO_SOURCE_UNVERSIONED == kestro::ResultSourceUnversioned);
static_assert(KESTRO_NO_TARGET == kestro::ResultNoTarget);
static_assert(KESTRO_WRONG_DELTA_VERSION == kestro::ResultWrongDeltaVersion);
static_assert(KESTRO_NOT_A_DELTA == kestro::ResultNotADelta);
static_assert(KESTRO_ALREADY_UPDATED == kestro::ResultAlreadyUpdated);
static_assert(KESTRO_CHANGED_FILES == kestro::ResultChangedFiles);

static_assert(KESTRO_FORMAT_VERSION(2, kestro::CompactLatestMinor) == 0x204,
              "a new compact minor needs its line in FormatAsked");

// What a caller asked for, from either kind of options; zero for what it
// did not say. unknown: the caller's settings hold a field this library
// does not know.
struct CallSettings {
    kestro_progress_fn progress = nullptr;
    void* context = nullptr;
    char* message = nullptr;
    std::size_t message_size = 0;
    int format = KESTRO_FORMAT_BLOCKS;
    const char* signingKey = nullptr;
    const char* publicKey = nullptr;
    const char* into = nullptr;
    bool allowDowngrade = false;
    bool unknown = false;
    bool tooSmall = false; // a size below the first published kestro_settings
};

CallSettings From(const kestro_options* options) {
    CallSettings settings;
    if (options != nullptr) {
        settings.progress = options->progress;
        settings.context = options->context;
        settings.message = options->message;
        settings.message_size = options->message_size;
    }
    return settings;
}

// Takes each field that lies within the caller's size. Bytes beyond this
// library's kestro_settings are a newer header's fields, which must all be
// zero: a setting the caller gave is never ignored.
CallSettings From(const kestro_settings* given) {
    CallSettings settings;
    if (given == nullptr) {
        return settings;
    }
    // A size no header could give is garbage, not a struct to read. The
    // first published kestro_settings (libkestro 1.1) ended with format,
    // where signing_key now begins; a caller whose struct ends before
    // public_key is one that never knew keys, and one whose struct ends
    // before signing_key made a mistake that a key could hide.
    constexpr std::size_t MaxSettingsSize = 4096;
    const auto* bytes = reinterpret_cast<const unsigned char*>(given);
    if (given->size < offsetof(kestro_settings, signing_key)) {
        settings.tooSmall = true;
        return settings;
    }
    settings.unknown = given->size > MaxSettingsSize;
    for (std::size_t at = sizeof(kestro_settings); at < given->size && !settings.unknown; ++at) {
        settings.unknown = bytes[at] != 0;
    }
    const auto known = [given](std::size_t offset, std::size_t width) {
        return given->size >= offset + width;
    };
    if (known(offsetof(kestro_settings, progress), sizeof given->progress)) {
        settings.progress = given->progress;
    }
    if (known(offsetof(kestro_settings, context), sizeof given->context)) {
        settings.context = given->context;
    }
    if (known(offsetof(kestro_settings, message_size), sizeof given->message_size)) {
        settings.message = given->message;
        settings.message_size = given->message_size;
    }
    if (known(offsetof(kestro_settings, format), sizeof given->format)) {
        settings.format = given->format;
    }
    if (known(offsetof(kestro_settings, signing_key), sizeof given->signing_key)) {
        settings.signingKey = given->signing_key;
    }
    if (known(offsetof(kestro_settings, public_key), sizeof given->public_key)) {
        settings.publicKey = given->public_key;
    }
    if (known(offsetof(kestro_settings, allow_downgrade), sizeof given->allow_downgrade)) {
        settings.allowDowngrade = given->allow_downgrade != 0;
    }
    if (known(offsetof(kestro_settings, into), sizeof given->into)) {
        settings.into = given->into;
    }
    return settings;
}

// Copies text into the caller's message buffer, in the code page, cut to
// fit, always ended by a zero.
void Tell(const CallSettings& settings, const std::string& text) {
    if (settings.message == nullptr || settings.message_size == 0) {
        return;
    }
    const std::string shown = kestro::ShownInCodePage(text);
    const std::size_t length = std::min(shown.size(), settings.message_size - 1);
    std::memcpy(settings.message, shown.data(), length);
    settings.message[length] = '\0';
}

// The delta format a format value asks for, and the newest compact minor
// version; false for a value this library does not know.
bool FormatAsked(int format, kestro::DeltaFormat& kind, std::int32_t& compactMinor) {
    compactMinor = kestro::CompactLatestMinor;
    switch (format) {
    case KESTRO_FORMAT_BLOCKS:
    case KESTRO_FORMAT_VERSION(1, 0):
        kind = kestro::DeltaFormat::Blocks;
        return true;
    case KESTRO_FORMAT_COMPACT:
        kind = kestro::DeltaFormat::Compact;
        return true;
    case KESTRO_FORMAT_VERSION(2, 0):
    case KESTRO_FORMAT_VERSION(2, 1):
    case KESTRO_FORMAT_VERSION(2, 2):
    case KESTRO_FORMAT_VERSION(2, 3):
    case KESTRO_FORMAT_VERSION(2, 4):
        kind = kestro::DeltaFormat::Compact;
        compactMinor = format - KESTRO_FORMAT_VERSION(2, 0);
        return true;
    default:
        return false;
    }
}

OperationOptions ToOptions(const CallSettings& settings) {
    OperationOptions result;
    if (settings.progress != nullptr) {
        result.progress = [settings](const kestro::Progress& progress) {
            if (settings.progress(settings.context,
                                  static_cast<unsigned long long>(progress.fileDone),
                                  static_cast<unsigned long long>(progress.fileTotal)) != 0) {
                throw kestro::EInterrupted("Operation cancelled");
            }
        };
    }
    FormatAsked(settings.format, result.format, result.compactMinor);
    result.allowDowngrade = settings.allowDowngrade;
    if (settings.into != nullptr) {
        result.into = kestro::CodePageToText(settings.into);
    }
    if (settings.signingKey != nullptr) {
        result.signingKey = kestro::ReadPrivateKeyPem(settings.signingKey);
        if (!result.signingKey) {
            throw kestro::Exception("signing_key holds no Ed25519 private key");
        }
    }
    if (settings.publicKey != nullptr) {
        result.publicKey = kestro::ReadPublicKeyPem(settings.publicKey);
        if (!result.publicKey) {
            throw kestro::Exception("public_key holds no Ed25519 public key");
        }
    }
    return result;
}

// Runs an operation and turns whatever leaves it into a result code. A key
// is a setting of one operation: given to the other, it is refused rather
// than ignored.
enum class Call { Create, Apply, Verify };
template <typename Operation>
int Run(const CallSettings& options, Call call, Operation operation) {
    Tell(options, "");
    if (options.tooSmall) {
        Tell(options, "settings->size is smaller than any kestro_settings");
        return KESTRO_UNKNOWN_SETTING;
    }
    if (options.unknown) {
        Tell(options, "A setting this library does not know is set");
        return KESTRO_UNKNOWN_SETTING;
    }
    kestro::DeltaFormat kind = kestro::DeltaFormat::Blocks;
    std::int32_t compactMinor = 0;
    if (!FormatAsked(options.format, kind, compactMinor)) {
        Tell(options, "Unknown delta format");
        return KESTRO_FAILED;
    }
    if (call == Call::Create && options.publicKey != nullptr) {
        Tell(options, "public_key is a setting of kestro_apply_ex and kestro_verify");
        return KESTRO_FAILED;
    }
    if (call != Call::Apply && options.into != nullptr) {
        Tell(options, "into is a setting of kestro_apply_ex");
        return KESTRO_FAILED;
    }
    if (call != Call::Create && (options.signingKey != nullptr || options.allowDowngrade)) {
        Tell(options, options.signingKey != nullptr
                          ? "signing_key is a setting of kestro_create_ex"
                          : "allow_downgrade is a setting of kestro_create_ex");
        return KESTRO_FAILED;
    }
    try {
        return operation(ToOptions(options));
    } catch (const kestro::EInterrupted& stop) {
        Tell(options, stop.Message());
        return KESTRO_CANCELLED;
    } catch (const kestro::ESignatureError& refused) {
        Tell(options, refused.Message());
        return KESTRO_BAD_SIGNATURE;
    } catch (const kestro::Exception& failure) {
        Tell(options, failure.Message());
    } catch (const std::bad_alloc&) {
        Tell(options, "Out of memory");
    } catch (const std::exception& failure) {
        Tell(options, failure.what());
    } catch (...) {
        Tell(options, "Unknown failure");
    }
    return KESTRO_FAILED;
}

} // namespace

namespace {

bool IsFolder(const std::string& name) {
    const std::optional<kestro::EntryStatus> status = kestro::StatusOf(name);
    return status && status->kind == kestro::EntryKind::Folder;
}

int Create(const char* original_path, const char* newer_path, const CallSettings& settings) {
    if (original_path == nullptr || newer_path == nullptr) {
        Tell(settings, "No file named");
        return KESTRO_FAILED;
    }
    return Run(settings, Call::Create, [&](const OperationOptions& operation) {
        const std::string original = kestro::CodePageToText(original_path);
        const std::string newer = kestro::CodePageToText(newer_path);
        if (IsFolder(original) && IsFolder(newer)) {
            return kestro::MakeRelease(original, newer, operation);
        }
        return kestro::MakeDelta(original, newer, operation);
    });
}

int Apply(const char* delta_path, const CallSettings& settings) {
    if (delta_path == nullptr) {
        Tell(settings, "No file named");
        return KESTRO_FAILED;
    }
    return Run(settings, Call::Apply, [&](const OperationOptions& operation) {
        const std::string delta = kestro::CodePageToText(delta_path);
        if (kestro::IsReleasePackage(delta)) {
            // The files found changed, one a line, in the message.
            std::string changed;
            OperationOptions release = operation;
            release.changed = [&changed](const std::string& path) {
                changed += kestro::ShownInCodePage(path) + "\n";
            };
            const int code = kestro::ApplyRelease(delta, release);
            Tell(settings, changed);
            return code;
        }
        return kestro::ApplyDelta(delta, operation);
    });
}

// Copies text into a fixed field, cut to fit, always ended by a zero.
template <std::size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

template <std::size_t N>
void CopyVersion(unsigned int (&field)[N], const kestro::FileVersionQuad& version) {
    static_assert(N == 4);
    field[0] = static_cast<unsigned int>(version.major);
    field[1] = static_cast<unsigned int>(version.minor);
    field[2] = static_cast<unsigned int>(version.release);
    field[3] = static_cast<unsigned int>(version.build);
}

// The statement in the caller's record, the fields this library has: the
// caller's size is at least this library's (Verify checks).
void Fill(kestro_statement& out, const kestro::DeltaSignature& signature) {
    kestro_statement filled{};
    filled.size = out.size;
    filled.signature_version = signature.Version;
    filled.format = KESTRO_FORMAT_VERSION(signature.FormatMajor, signature.FormatMinor);
    CopyText(filled.key_id, signature.KeyId);
    CopyText(filled.original_name, kestro::ShownInCodePage(signature.OriginalName));
    CopyVersion(filled.original_version, signature.OriginalVersion);
    filled.original_size = static_cast<unsigned long long>(signature.Original.size);
    std::memcpy(filled.original_sha512, signature.Original.digest.data(),
                sizeof filled.original_sha512);
    CopyVersion(filled.newer_version, signature.NewerVersion);
    filled.newer_size = static_cast<unsigned long long>(signature.Newer.size);
    std::memcpy(filled.newer_sha512, signature.Newer.digest.data(), sizeof filled.newer_sha512);
    filled.downgrade = signature.Downgrade ? 1 : 0;
    out = filled;
}

int Verify(const char* delta_path, const CallSettings& settings, kestro_statement* statement) {
    if (delta_path == nullptr || statement == nullptr) {
        Tell(settings, delta_path == nullptr ? "No file named" : "No statement to fill");
        return KESTRO_FAILED;
    }
    if (statement->size < sizeof(kestro_statement)) {
        Tell(settings, "statement->size is smaller than kestro_statement");
        return KESTRO_FAILED;
    }
    if (settings.publicKey == nullptr && !settings.tooSmall && !settings.unknown) {
        Tell(settings, "kestro_verify needs settings->public_key");
        return KESTRO_FAILED;
    }
    return Run(settings, Call::Verify, [&](const OperationOptions& operation) {
        kestro::DeltaSignature signature;
        const std::string delta = kestro::CodePageToText(delta_path);
        const std::int32_t code =
            kestro::IsReleasePackage(delta)
                ? kestro::VerifyRelease(delta, *operation.publicKey, signature, operation.progress)
                : kestro::VerifyDelta(delta, *operation.publicKey, signature, operation.progress);
        if (code == KESTRO_OK) {
            Fill(*statement, signature);
        }
        return code;
    });
}

} // namespace

extern "C" {

int kestro_create(const char* original_path, const char* newer_path,
                  const kestro_options* options) {
    return Create(original_path, newer_path, From(options));
}

int kestro_create_ex(const char* original_path, const char* newer_path,
                     const kestro_settings* settings) {
    return Create(original_path, newer_path, From(settings));
}

int kestro_apply(const char* delta_path, const kestro_options* options) {
    return Apply(delta_path, From(options));
}

int kestro_apply_ex(const char* delta_path, const kestro_settings* settings) {
    return Apply(delta_path, From(settings));
}

int kestro_verify(const char* delta_path, const kestro_settings* settings,
                  kestro_statement* statement) {
    return Verify(delta_path, From(settings), statement);
}

const char* kestro_version(void) {
    return KESTRO_VERSION_TEXT;
}

int kestro_format_supported(int format) {
    // Release packages are written for two folders, whatever format asks.
    if (format == KESTRO_FORMAT_VERSION(kestro::ReleaseMajor, kestro::ReleaseMinor)) {
        return 1;
    }
    kestro::DeltaFormat kind = kestro::DeltaFormat::Blocks;
    std::int32_t compactMinor = 0;
    return FormatAsked(format, kind, compactMinor) ? 1 : 0;
}

const char* kestro_result_message(int code) {
    // The messages are literals, so their views end in a zero.
    const std::string_view message = kestro::ResultMessage(code);
    return message.empty() ? nullptr : message.data();
}

} // extern "C"
