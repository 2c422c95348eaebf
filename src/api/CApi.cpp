// The C interface (include/kestro/kestro.h) over the delta operations: no
// C++ type or exception crosses it.
#define KESTRO_BUILDING
#include "kestro/kestro.h"

#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/Driver.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"

#include <algorithm>
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

// Copies text into the caller's message buffer, cut to fit, always ended by
// a zero.
void Tell(const kestro_options* options, const std::string& text) {
    if (options == nullptr || options->message == nullptr || options->message_size == 0) {
        return;
    }
    const std::size_t length = std::min(text.size(), options->message_size - 1);
    std::memcpy(options->message, text.data(), length);
    options->message[length] = '\0';
}

OperationOptions ToOptions(const kestro_options* options) {
    OperationOptions result;
    if (options != nullptr && options->progress != nullptr) {
        result.progress = [options](std::int64_t done, std::int64_t total) {
            if (options->progress(options->context, static_cast<unsigned long long>(done),
                                  static_cast<unsigned long long>(total)) != 0) {
                throw kestro::EInterrupted("Operation cancelled");
            }
        };
    }
    return result;
}

// Runs an operation and turns whatever leaves it into a result code.
template <typename Operation>
int Run(const kestro_options* options, Operation operation) {
    Tell(options, "");
    try {
        return operation(ToOptions(options));
    } catch (const kestro::EInterrupted& stop) {
        Tell(options, stop.Message());
        return KESTRO_CANCELLED;
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

extern "C" {

int kestro_create(const char* original_path, const char* newer_path,
                  const kestro_options* options) {
    if (original_path == nullptr || newer_path == nullptr) {
        Tell(options, "No file named");
        return KESTRO_FAILED;
    }
    return Run(options, [&](const OperationOptions& operation) {
        return kestro::MakeDelta(original_path, newer_path, operation);
    });
}

int kestro_apply(const char* delta_path, const kestro_options* options) {
    if (delta_path == nullptr) {
        Tell(options, "No file named");
        return KESTRO_FAILED;
    }
    return Run(options, [&](const OperationOptions& operation) {
        return kestro::ApplyDelta(delta_path, operation);
    });
}

const char* kestro_result_message(int code) {
    // The messages are literals, so their views end in a zero.
    const std::string_view message = kestro::ResultMessage(code);
    return message.empty() ? nullptr : message.data();
}

} // extern "C"
