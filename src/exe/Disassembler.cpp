#include "exe/Disassembler.hpp"

namespace kestro {

// The rows, one file each (A32 and T32 in one, Arm32.cpp).
extern const InstructionSet I386Instructions;
extern const InstructionSet X64Instructions;
extern const InstructionSet Arm64Instructions;
extern const InstructionSet A32Instructions;
extern const InstructionSet T32Instructions;
extern const InstructionSet A32LiteralInstructions;
extern const InstructionSet T32LiteralInstructions;

namespace {

struct Row {
    InstructionSetId id;
    const InstructionSet* row;
};
const Row Rows[] = {{InstructionSetId::I386, &I386Instructions},
                    {InstructionSetId::X64, &X64Instructions},
                    {InstructionSetId::Arm64, &Arm64Instructions},
                    {InstructionSetId::A32, &A32Instructions},
                    {InstructionSetId::T32, &T32Instructions},
                    {InstructionSetId::A32Literals, &A32LiteralInstructions},
                    {InstructionSetId::T32Literals, &T32LiteralInstructions}};

} // namespace

const InstructionSet* InstructionSetOf(Machine machine) {
    if (machine == Machine::Arm32) {
        return nullptr;
    }
    for (const Row& row : Rows) {
        if (row.row->machine == machine) {
            return row.row;
        }
    }
    return nullptr;
}

const InstructionSet* InstructionSetOf(InstructionSetId id) {
    for (const Row& row : Rows) {
        if (row.id == id) {
            return row.row;
        }
    }
    return nullptr;
}

const char* InstructionSetName(InstructionSetId id) {
    switch (id) {
    case InstructionSetId::I386:
        return "i386";
    case InstructionSetId::X64:
        return "x86-64";
    case InstructionSetId::Arm64:
        return "ARM64";
    case InstructionSetId::A32:
        return "A32";
    case InstructionSetId::T32:
        return "T32";
    case InstructionSetId::A32Literals:
        return "A32+literals";
    case InstructionSetId::T32Literals:
        return "T32+literals";
    default:
        return "unknown";
    }
}

InstructionSetId InstructionSetIdOf(const Image& image) {
    if (!image.Modeled()) {
        return InstructionSetId::None;
    }
    switch (image.machine) {
    case Machine::I386:
        return InstructionSetId::I386;
    case Machine::X64:
        return InstructionSetId::X64;
    case Machine::Arm64:
        return InstructionSetId::Arm64;
    default:
        if (image.armState == ArmState::Thumb) {
            return image.armLiterals ? InstructionSetId::T32Literals : InstructionSetId::T32;
        }
        return image.armLiterals ? InstructionSetId::A32Literals : InstructionSetId::A32;
    }
}

} // namespace kestro
