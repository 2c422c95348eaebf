// The copy record of a coded block, 12 bytes, little-endian. doc/FORMAT.md
// is the normative description of this layout and of how records and
// literals rebuild a block.
//
//   offset 0, 2 bytes  Length     unsigned: bytes copied from the source
//                                 block, 20..65535; 0 in the terminator
//   offset 2, 2 bytes  reserved   written as zero, ignored when read
//   offset 4, 4 bytes  SourcePos  int32: 1-based position in the source block
//                                 of the first byte copied; 0 in the terminator
//   offset 8, 4 bytes  TargetPos  int32: 1-based position in the rebuilt block
//                                 where the copy begins; in the terminator the
//                                 rebuilt block's length + 1
//
// These two functions are the only code that lays the record out.
#pragma once

#include "common/LittleEndian.hpp"

#include <cstdint>

namespace kestro {

struct CopyRecord {
    std::uint16_t Length = 0;
    std::int32_t SourcePos = 0;
    std::int32_t TargetPos = 0;
};

inline constexpr int CopyRecordBytes = 12;
// Where the record's fields lie, counted from its first byte.
inline constexpr int CopyLengthField = 0;
inline constexpr int CopyReservedField = 2;
inline constexpr int CopySourcePosField = 4;
inline constexpr int CopyTargetPosField = 8;

inline void PutCopyRecord(std::uint8_t* at, const CopyRecord& record) {
    PutLe16(at + CopyLengthField, record.Length);
    PutLe16(at + CopyReservedField, 0);
    PutLe32(at + CopySourcePosField, static_cast<std::uint32_t>(record.SourcePos));
    PutLe32(at + CopyTargetPosField, static_cast<std::uint32_t>(record.TargetPos));
}

inline CopyRecord GetCopyRecord(const std::uint8_t* at) {
    CopyRecord record;
    record.Length = GetLe16(at + CopyLengthField);
    record.SourcePos = static_cast<std::int32_t>(GetLe32(at + CopySourcePosField));
    record.TargetPos = static_cast<std::int32_t>(GetLe32(at + CopyTargetPosField));
    return record;
}

} // namespace kestro
