// The C interface (include/kestro/kestro.h) over the delta operations: no
// C++ type or exception crosses it.
#define KESTRO_BUILDING
#include "kestro/kestro.h"

#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/Driver.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "common/Progress.hpp"

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

static_assert(KESTRO_FORMAT_VERSION(2, kestro::CompactLatestMinor) == 0x202,
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
    bool unknown = false;
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
    // A size no header could give is garbage, not a struct to read.
    constexpr std::size_t MaxSettingsSize = 4096;
    const auto* bytes = reinterpret_cast<const unsigned char*>(given);
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
    return settings;
}

// Copies text into the caller's message buffer, cut to fit, always ended by
// a zero.
void Tell(const CallSettings& settings, const std::string& text) {
    if (settings.message == nullptr || settings.message_size == 0) {
        return;
    }
    const std::size_t length = std::min(text.size(), settings.message_size - 1);
    std::memcpy(settings.message, text.data(), length);
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
enum class Call { Create, Apply };
template <typename Operation>
int Run(const CallSettings& options, Call call, Operation operation) {
    Tell(options, "");
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
    if ((call == Call::Create && options.publicKey != nullptr) ||
        (call == Call::Apply && options.signingKey != nullptr)) {
        Tell(options, call == Call::Create ? "public_key is a setting of kestro_apply_ex"
                                           : "signing_key is a setting of kestro_create_ex");
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

int Create(const char* original_path, const char* newer_path, const CallSettings& settings) {
    if (original_path == nullptr || newer_path == nullptr) {
        Tell(settings, "No file named");
        return KESTRO_FAILED;
    }
    return Run(settings, Call::Create, [&](const OperationOptions& operation) {
        return kestro::MakeDelta(original_path, newer_path, operation);
    });
}

int Apply(const char* delta_path, const CallSettings& settings) {
    if (delta_path == nullptr) {
        Tell(settings, "No file named");
        return KESTRO_FAILED;
    }
    return Run(settings, Call::Apply, [&](const OperationOptions& operation) {
        return kestro::ApplyDelta(delta_path, operation);
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

const char* kestro_version(void) {
    return KESTRO_VERSION_TEXT;
}

int kestro_format_supported(int format) {
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
