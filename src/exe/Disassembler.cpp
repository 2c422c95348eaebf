#include "exe/Disassembler.hpp"

namespace kestro {

// The rows, one file each.
extern const InstructionSet I386Instructions;
extern const InstructionSet X64Instructions;
extern const InstructionSet Arm64Instructions;

const InstructionSet* InstructionSetOf(Machine machine) {
    for (const InstructionSet* row : {&I386Instructions, &X64Instructions, &Arm64Instructions}) {
        if (row->machine == machine) {
            return row;
        }
    }
    return nullptr;
}

} // namespace kestro
