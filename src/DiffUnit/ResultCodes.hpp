// Result codes: the expected outcomes of creating and applying a delta, which
// the operations return to the driver and the driver turns into one message.
#pragma once

#include <cstdint>

namespace kestro {

enum ResultCode : std::int32_t {
    ResultOk = 0,
    ResultNewerUnversioned = -2,    // creation: newer file has no version information
    ResultOriginalUnversioned = -3, // creation: original file has no version information
    ResultCrcWrong = -4,            // application: the target's checksum differs
    ResultWrongSourceVersion = -5,  // application: the target is neither version
    ResultSourceUnversioned = -6,   // application: done, but the target had no version
    ResultNoTarget = -7,            // application: the file to update is missing
    ResultWrongDeltaVersion = -8,   // application: format version other than 1.0
    ResultNotADelta = -9,           // application: not a delta file of this program
    ResultAlreadyUpdated = -10,     // application: the target has the newer version
    ResultChangedFiles = -11,       // release: files the package reads are missing or changed
    ResultMessagePrinted = 1,       // the driver has printed its own message
};

} // namespace kestro
