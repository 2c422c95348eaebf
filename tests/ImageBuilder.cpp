#include "ImageBuilder.hpp"

#include "common/LittleEndian.hpp"

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>

namespace kestro::test {

namespace {

constexpr std::uint64_t Page = 0x1000;

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

std::uint64_t VirtualSize(const SectionPlan& section) {
    return section.virtualSize != 0 ? section.virtualSize : section.bytes.size();
}

std::uint64_t RawSize(const ImagePlan& plan, const SectionPlan& section) {
    return plan.format == ImageFormat::Pe ? AlignUp(section.bytes.size(), plan.fileAlignment)
                                          : section.bytes.size();
}

std::uint64_t HeaderBytes(const ImagePlan& plan) {
    const std::size_t n = plan.sections.size();
    if (plan.format == ImageFormat::Pe) {
        return PeSectionTableAt(plan) + 40 * n;
    }
    return ElfSectionTableAt(plan) + (plan.segmentsOnly ? 0 : 64 * (n + 1));
}

void PutPeHeaders(const ImagePlan& plan, Bytes& out) {
    const bool pe32 = plan.machine == Machine::I386;
    const std::uint16_t machines[] = {0x01C0, 0x014C, 0x8664, 0xAA64, 0x01C4}; // by Machine
    out[0] = 'M';
    out[1] = 'Z';
    PutLe32(&out[0x3C], PeHeaderAt);
    std::memcpy(&out[PeHeaderAt], "PE\0\0", 4);
    PutLe16(&out[PeHeaderAt + 4], machines[static_cast<int>(plan.machine)]);
    PutLe16(&out[PeHeaderAt + 6], static_cast<std::uint16_t>(plan.sections.size()));
    PutLe16(&out[PeHeaderAt + 20],
            static_cast<std::uint16_t>(PeSectionTableAt(plan) - PeOptionalHeaderAt));
    PutLe16(&out[PeHeaderAt + 22], pe32 ? 0x0102 : 0x0022);
    std::uint8_t* optional = &out[PeOptionalHeaderAt];
    PutLe16(optional, pe32 ? 0x10B : 0x20B);
    if (pe32) {
        PutLe32(optional + 28, static_cast<std::uint32_t>(plan.imageBase));
    } else {
        PutLe64(optional + 24, plan.imageBase);
    }
    PutLe32(optional + 32, Page);
    PutLe32(optional + 36, static_cast<std::uint32_t>(plan.fileAlignment));
    PutLe32(optional + 60, static_cast<std::uint32_t>(HeaderBytes(plan)));
    PutLe16(optional + 68, 3); // console
    PutLe32(optional + (pe32 ? 92 : 108), static_cast<std::uint32_t>(plan.directories.size()));
    for (std::size_t i = 0; i < plan.directories.size(); ++i) {
        PutLe32(&out[PeDirectoriesAt(plan) + 8 * i], plan.directories[i].address);
        PutLe32(&out[PeDirectoriesAt(plan) + 8 * i + 4], plan.directories[i].size);
    }
    for (std::size_t i = 0; i < plan.sections.size(); ++i) {
        const SectionPlan& section = plan.sections[i];
        std::uint8_t* header = &out[PeSectionTableAt(plan) + 40 * i];
        std::memcpy(header, section.name.data(), std::min<std::size_t>(section.name.size(), 8));
        PutLe32(header + 8, static_cast<std::uint32_t>(VirtualSize(section)));
        PutLe32(header + 12, static_cast<std::uint32_t>(section.address));
        PutLe32(header + 16, static_cast<std::uint32_t>(RawSize(plan, section)));
        PutLe32(header + 20, static_cast<std::uint32_t>(section.fileOffset));
        PutLe32(header + 36, section.code ? 0x60000020u : 0xC0000040u);
    }
}

void PutElfHeaders(const ImagePlan& plan, Bytes& out) {
    const std::size_t n = plan.sections.size();
    std::memcpy(out.data(),
                "\x7F"
                "ELF\x02\x01\x01",
                7);
    PutLe16(&out[16], 3); // a shared object
    PutLe16(&out[18], plan.machine == Machine::X64 ? 62 : plan.machine == Machine::Arm64 ? 183 : 3);
    PutLe32(&out[20], 1);
    PutLe64(&out[24], n > 0 ? plan.sections[0].address : 0);
    PutLe64(&out[32], ElfSegmentTableAt);
    PutLe64(&out[40], plan.segmentsOnly ? 0 : ElfSectionTableAt(plan));
    PutLe16(&out[52], 64);
    PutLe16(&out[54], 56);
    PutLe16(&out[56], static_cast<std::uint16_t>(n));
    PutLe16(&out[58], 64);
    PutLe16(&out[60], static_cast<std::uint16_t>(plan.segmentsOnly ? 0 : n + 1));
    for (std::size_t i = 0; i < n; ++i) {
        const SectionPlan& section = plan.sections[i];
        std::uint8_t* segment = &out[ElfSegmentTableAt + 56 * i];
        PutLe32(segment, 1); // PT_LOAD
        PutLe32(segment + 4, section.code ? 5 : 6);
        PutLe64(segment + 8, section.fileOffset);
        PutLe64(segment + 16, section.address);
        PutLe64(segment + 24, section.address);
        PutLe64(segment + 32, section.bytes.size());
        PutLe64(segment + 40, VirtualSize(section));
        PutLe64(segment + 48, Page);
        if (plan.segmentsOnly) {
            continue;
        }
        std::uint8_t* header = &out[ElfSectionTableAt(plan) + 64 * (i + 1)];
        PutLe32(header + 4, section.elfType);
        PutLe64(header + 8, section.code ? 6 : section.elfType == 4 ? 2 : 3);
        PutLe64(header + 16, section.address);
        PutLe64(header + 24, section.fileOffset);
        PutLe64(header + 32, section.elfType == 8 ? VirtualSize(section) : section.bytes.size());
        PutLe64(header + 48, 8);
        PutLe64(header + 56, section.elfType == 4 ? 24 : 0);
    }
}

// What a step of a function's code does, and so what it names.
enum class Op : std::uint8_t {
    Call,    // another function
    Jump,    // another function
    Branch,  // another function, on a condition
    Near,    // x86: a variable, and a 2-byte immediate; ARM64 (TBZ): its own function's start
    Load,    // a variable
    Store,   // a variable, and x86 a 4-byte immediate
    Compare, // x86: a variable and a 1-byte immediate; ARM64: a variable (LDR literal)
    Import,  // an import's slot (ELF: a pointer)
    Table,   // a jump table (i386: of pointers, else of offsets from the table)
    Pointer, // a pointer to a function
};

struct Step {
    Op op;
    unsigned index = 0;         // of the function, variable, import, table or pointer it names
    std::uint64_t filler = 0;   // bytes of other instructions before it
    std::uint64_t inserted = 0; // and the newer version's instruction after them
    std::uint8_t immediate = 0; // and of its immediate, or condition
};

// The x86 instructions: the bytes before the address (x86-64, i386) and the
// bytes of immediate after it.
struct X86Form {
    const char* x64;
    const char* i386;
    std::size_t immediate;
};
constexpr X86Form X86Forms[] = {
    {"\xE8", "\xE8", 0},                 // call rel32
    {"\xE9", "\xE9", 0},                 // jmp rel32
    {"\x0F\x80", "\x0F\x80", 0},         // jcc rel32, its condition added
    {"\x66\xC7\x05", "\x66\xC7\x05", 2}, // mov word [variable], imm16
    {"\x48\x8B\x05", "\xA1", 0},         // mov rax/eax, [variable]
    {"\xC7\x05", "\xC7\x05", 4},         // mov dword [variable], imm32
    {"\x83\x3D", "\x83\x3D", 1},         // cmp dword [variable], imm8
    {"\xFF\x15", "\xFF\x15", 0},         // call [slot]
    {"\x48\x8D\x0D", "\xFF\x24\x85", 0}, // lea rcx, [table]; jmp [table + eax * 4]
    {"\x48\x8B\x0D", "\x68", 0},         // mov rcx, [pointer]; push pointer
};

// The bits of an ARM64 instruction that say where it points: B and BL,
// B.cond and LDR (literal), TBZ, ADR, ADRP, and the low 12 bits of an
// address in units of 1 << scale for the ADD, LDR or STR that completes an
// ADRP; opcode holds every other bit.
enum class Arm64Field : std::uint8_t { None, Imm26, Imm19, Imm14, Adr, Adrp, Low12 };
struct Arm64Word {
    Arm64Field field;
    std::uint32_t opcode;
    int scale = 0;
};

std::uint32_t Arm64Encode(const Arm64Word& word, std::uint64_t address, std::uint64_t target) {
    const auto distance = static_cast<std::uint32_t>(target - address);
    const auto words = static_cast<std::uint32_t>(static_cast<std::int32_t>(distance) / 4);
    const auto pages = static_cast<std::uint32_t>((target >> 12) - (address >> 12));
    switch (word.field) {
    case Arm64Field::Imm26:
        return word.opcode | (words & 0x03FFFFFFu);
    case Arm64Field::Imm19:
        return word.opcode | (words & 0x7FFFFu) << 5;
    case Arm64Field::Imm14:
        return word.opcode | (words & 0x3FFFu) << 5;
    case Arm64Field::Adr:
        return word.opcode | (distance & 3) << 29 | (distance >> 2 & 0x7FFFFu) << 5;
    case Arm64Field::Adrp:
        return word.opcode | (pages & 3) << 29 | (pages >> 2 & 0x7FFFFu) << 5;
    case Arm64Field::Low12:
        return word.opcode | static_cast<std::uint32_t>((target & 0xFFF) >> word.scale) << 10;
    default:
        return word.opcode;
    }
}

// The ARM64 instructions of each step, by Op: BL; B; B.cond; TBZ w5;
// ADRP x0, LDR x0, [x0]; ADRP x1, mov x2, x3, STR w2, [x1]; LDR x3
// (literal); ADRP x16, LDR x16, [x16], BLR x16; ADRP x0, ADD x0, x0; ADR x1.
using enum Arm64Field;
const std::vector<Arm64Word> Arm64Forms[] = {
    {{Imm26, 0x94000000}},
    {{Imm26, 0x14000000}},
    {{Imm19, 0x54000000}},
    {{Imm14, 0x36000005}},
    {{Adrp, 0x90000000}, {Low12, 0xF9400000, 3}},
    {{Adrp, 0x90000001}, {None, 0xAA0303E2}, {Low12, 0xB9000022, 2}},
    {{Imm19, 0x58000003}},
    {{Adrp, 0x90000010}, {Low12, 0xF9400210, 3}, {None, 0xD63F0200}},
    {{Adrp, 0x90000000}, {Low12, 0x91000000}},
    {{Adr, 0x10000001}},
};

std::uint64_t StepBytes(Machine machine, Op op) {
    if (machine == Machine::Arm64) {
        return 4 * Arm64Forms[static_cast<int>(op)].size();
    }
    const X86Form& form = X86Forms[static_cast<int>(op)];
    return std::strlen(machine == Machine::I386 ? form.i386 : form.x64) + 4 + form.immediate;
}

// ARM64 instructions that name no address: nop, mov x2, x3, add x1, x1, #1,
// sub sp, sp, #16, stp x29, x30, [sp, #-16]!, ldr x0, [sp, #8], mov x29,
// sp, eor w0, w0, w1.
constexpr std::uint32_t Arm64Filler[] = {0xD503201F, 0xAA0303E2, 0x91000421, 0xD10043FF,
                                         0xA9BF7BFD, 0xF94007E0, 0x910003FD, 0x4A010000};

} // namespace

std::size_t PeDirectoriesAt(const ImagePlan& plan) {
    return PeOptionalHeaderAt + (plan.machine == Machine::I386 ? 96 : 112);
}

std::size_t PeSectionTableAt(const ImagePlan& plan) {
    return PeDirectoriesAt(plan) + 8 * plan.directories.size();
}

std::size_t ElfSectionTableAt(const ImagePlan& plan) {
    return ElfSegmentTableAt + 56 * plan.sections.size();
}

namespace {

// Each section at the next file alignment from `at` on, in order.
void PlaceSections(ImagePlan& plan, std::uint64_t at) {
    for (SectionPlan& section : plan.sections) {
        at = AlignUp(at, plan.fileAlignment);
        section.fileOffset = at;
        at += section.bytes.size();
    }
}

} // namespace

void LayOut(ImagePlan& plan) {
    PlaceSections(plan, HeaderBytes(plan));
}

Bytes BuildImage(const ImagePlan& plan) {
    std::uint64_t end = HeaderBytes(plan);
    for (const SectionPlan& section : plan.sections) {
        end = std::max(end, section.fileOffset + RawSize(plan, section));
    }
    Bytes out(end);
    if (plan.format == ImageFormat::Pe) {
        PutPeHeaders(plan, out);
    } else {
        PutElfHeaders(plan, out);
    }
    for (const SectionPlan& section : plan.sections) {
        std::copy(section.bytes.begin(), section.bytes.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(section.fileOffset));
    }
    return out;
}

// The resource tree and the version data of BuildPe.
namespace {

void Append16(Bytes& out, std::uint16_t value) {
    out.resize(out.size() + 2);
    PutLe16(&out[out.size() - 2], value);
}

void Append32(Bytes& out, std::uint32_t value) {
    out.resize(out.size() + 4);
    PutLe32(&out[out.size() - 4], value);
}

void PadTo(Bytes& out, std::size_t alignment) {
    out.resize((out.size() + alignment - 1) / alignment * alignment);
}

Bytes Utf16Bytes(const std::u16string& text) {
    Bytes bytes;
    for (const char16_t c : text) {
        Append16(bytes, c);
    }
    Append16(bytes, 0);
    return bytes;
}

void SerializeNode(Bytes& out, const VersionNode& node) {
    const std::size_t start = out.size();
    out.resize(start + 6);
    const Bytes key = Utf16Bytes(node.key);
    out.insert(out.end(), key.begin(), key.end());
    PadTo(out, 4);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const VersionNode& child : node.children) {
        PadTo(out, 4);
        SerializeNode(out, child);
    }
    const auto units = node.text ? node.value.size() / 2 : node.value.size();
    PutLe16(&out[start], node.length.value_or(static_cast<std::uint16_t>(out.size() - start)));
    PutLe16(&out[start + 2], node.valueLength.value_or(static_cast<std::uint16_t>(units)));
    PutLe16(&out[start + 4], node.text ? 1 : 0);
}

struct PendingLeaf {
    std::size_t dataEntry; // offset of the IMAGE_RESOURCE_DATA_ENTRY in the section
    const Bytes* data;
};

// Writes a directory and, depth first, everything below it; named entries
// go first, as the format requires.
void WriteDirectory(Bytes& out, const std::vector<ResourceNode>& entries,
                    std::vector<PendingLeaf>& leaves) {
    std::vector<const ResourceNode*> order;
    for (const bool named : {true, false}) {
        for (const ResourceNode& entry : entries) {
            if (entry.name.empty() != named) {
                order.push_back(&entry);
            }
        }
    }
    const std::size_t header = out.size();
    const auto namedCount = std::count_if(entries.begin(), entries.end(),
                                          [](const ResourceNode& e) { return !e.name.empty(); });
    out.resize(header + 16 + 8 * entries.size());
    PutLe16(&out[header + 12], static_cast<std::uint16_t>(namedCount));
    PutLe16(&out[header + 14], static_cast<std::uint16_t>(entries.size() - namedCount));
    for (std::size_t i = 0; i < order.size(); ++i) {
        const ResourceNode& node = *order[i];
        const std::size_t entry = header + 16 + 8 * i;
        std::uint32_t name = node.id;
        if (!node.name.empty()) {
            name = static_cast<std::uint32_t>(out.size()) | 0x80000000u;
            Append16(out, static_cast<std::uint16_t>(node.name.size()));
            const Bytes text = Utf16Bytes(node.name);
            out.insert(out.end(), text.begin(), text.end() - 2);
            PadTo(out, 4);
        }
        PutLe32(&out[entry], name);
        if (node.directory) {
            PutLe32(&out[entry + 4], static_cast<std::uint32_t>(out.size()) | 0x80000000u);
            WriteDirectory(out, node.children, leaves);
        } else {
            PutLe32(&out[entry + 4], static_cast<std::uint32_t>(out.size()));
            leaves.push_back({out.size(), &node.data});
            out.resize(out.size() + 16);
        }
    }
}

} // namespace

FixedWords FixedRecordOf(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
    return {0xFEEF04BDu,
            0x00010000u,
            std::uint32_t{a} << 16 | b,
            std::uint32_t{c} << 16 | d,
            0x00030001u,
            0,
            0x3F,
            0,
            4,
            1,
            0,
            0,
            0};
}

Bytes FixedRecordBytes(const FixedWords& words) {
    Bytes bytes;
    for (const std::uint32_t word : words) {
        Append32(bytes, word);
    }
    return bytes;
}

VersionNode VersionRoot(Bytes fixedRecord, std::vector<VersionNode> children) {
    return {u"VS_VERSION_INFO", false, std::move(fixedRecord), std::move(children), {}, {}};
}

VersionNode TextNode(std::u16string key, std::u16string text) {
    return {std::move(key), true, Utf16Bytes(text), {}, {}, {}};
}

VersionNode StringTable(std::u16string key,
                        std::vector<std::pair<std::u16string, std::u16string>> strings) {
    VersionNode table{std::move(key), true, {}, {}, {}, {}};
    for (auto& [name, text] : strings) {
        table.children.push_back(TextNode(std::move(name), std::move(text)));
    }
    return table;
}

VersionNode StringFileInfo(std::vector<VersionNode> tables) {
    return {u"StringFileInfo", true, {}, std::move(tables), {}, {}};
}

VersionNode Translations(std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs) {
    Bytes value;
    for (const auto& [language, codePage] : pairs) {
        Append16(value, language);
        Append16(value, codePage);
    }
    VersionNode translation{u"Translation", false, std::move(value), {}, {}, {}};
    return {u"VarFileInfo", true, {}, {std::move(translation)}, {}, {}};
}

Bytes SerializeVersion(const VersionNode& root) {
    Bytes out;
    SerializeNode(out, root);
    return out;
}

ResourceNode Directory(std::uint32_t id, std::vector<ResourceNode> children) {
    return {id, {}, true, std::move(children), {}};
}

ResourceNode Leaf(std::uint32_t id, Bytes data) {
    return {id, {}, false, {}, std::move(data)};
}

ResourceNode VersionType(Bytes versionData, std::uint32_t name, std::uint32_t language) {
    return Directory(16, {Directory(name, {Leaf(language, std::move(versionData))})});
}

BuiltPe BuildPe(const PeOptions& options) {
    constexpr std::uint32_t ResourceRva = 0x1000;
    Bytes resources;
    std::vector<PendingLeaf> leaves;
    WriteDirectory(resources, options.resources, leaves);
    const std::size_t directoryBytes = resources.size();
    Bytes ownSection;
    Bytes& dataSection = options.dataInOwnSection ? ownSection : resources;
    const auto dataRva = static_cast<std::uint32_t>(
        options.dataInOwnSection ? AlignUp(ResourceRva + directoryBytes, Page) : ResourceRva);
    for (const PendingLeaf& leaf : leaves) {
        PadTo(dataSection, 8);
        PutLe32(&resources[leaf.dataEntry],
                dataRva + static_cast<std::uint32_t>(dataSection.size()));
        PutLe32(&resources[leaf.dataEntry + 4], static_cast<std::uint32_t>(leaf.data->size()));
        dataSection.insert(dataSection.end(), leaf.data->begin(), leaf.data->end());
    }

    ImagePlan plan;
    plan.machine = options.pe32Plus ? Machine::X64 : Machine::I386;
    plan.directories[2] = {ResourceRva, static_cast<std::uint32_t>(directoryBytes)};
    plan.sections.push_back({".rsrc", ResourceRva, std::move(resources)});
    if (options.dataInOwnSection) {
        plan.sections.push_back({".data", dataRva, std::move(ownSection)});
    }
    LayOut(plan);
    return {BuildImage(plan), plan.sections[0].fileOffset};
}

Bytes PeWithVersion(const Bytes& versionData) {
    return BuildPe({true, {VersionType(versionData)}, false}).bytes;
}

Bytes ProgramOfVersion(std::uint16_t build, const Bytes& body) {
    const std::u16string text = u"1.0.0." + std::u16string(1, static_cast<char16_t>(u'0' + build));
    Bytes program = PeWithVersion(SerializeVersion(
        VersionRoot(FixedRecordBytes(FixedRecordOf(1, 0, 0, build)),
                    {StringFileInfo({StringTable(u"040904B0", {{u"FileVersion", text}})}),
                     Translations({{0x0409, 0x04B0}})})));
    program.insert(program.end(), body.begin(), body.end());
    return program;
}

Bytes OverlappingCode(ImageFormat format, unsigned sections, std::uint64_t size) {
    constexpr std::uint64_t Base = 0x100000;
    std::mt19937 random(9);
    Bytes code(size, 0x90);
    for (std::uint64_t at = 0; at + 8 <= size; at += 8) {
        code[at] = 0xE8;
        PutLe32(&code[at + 1],
                static_cast<std::uint32_t>(Base + random() % size / 4 * 4 - (Base + at + 5)));
    }
    ImagePlan plan;
    plan.format = format;
    plan.fileAlignment = 16;
    for (unsigned i = 0; i < sections; ++i) {
        plan.sections.push_back({".text", Base + 0x1000 * i, i == 0 ? code : Bytes(), size, true});
    }
    LayOut(plan);
    Bytes bytes = BuildImage(plan);
    for (unsigned i = 1; i < sections; ++i) {
        if (format == ImageFormat::Pe) {
            std::uint8_t* header = &bytes[PeSectionTableAt(plan) + 40 * i];
            PutLe32(header + 16, static_cast<std::uint32_t>(size));
            PutLe32(header + 20, static_cast<std::uint32_t>(plan.sections[0].fileOffset));
        } else {
            std::uint8_t* header = &bytes[ElfSectionTableAt(plan) + 64 * (i + 1)];
            PutLe64(header + 24, plan.sections[0].fileOffset);
            PutLe64(header + 32, size);
        }
    }
    return bytes;
}

Bytes WithRelocationTables(const Program& program,
                           const std::vector<std::pair<std::uint64_t, std::uint64_t>>& tables) {
    ImagePlan plan = program.plan;
    const std::size_t own = plan.sections.size();
    for (std::size_t i = 0; i < tables.size(); ++i) {
        plan.sections.push_back({".rela", 0, Bytes(), 0, false, 4});
    }
    LayOut(plan);
    Bytes bytes = BuildImage(plan);
    for (std::size_t i = 0; i < tables.size(); ++i) {
        std::uint8_t* header = &bytes[ElfSectionTableAt(plan) + 64 * (own + i + 1)];
        PutLe64(header + 24, tables[i].first);
        PutLe64(header + 32, tables[i].second);
    }
    return bytes;
}

Bytes StraddlingArm64Code(std::uint64_t dataAddress) {
    ImagePlan plan;
    plan.format = ImageFormat::Elf;
    plan.machine = Machine::Arm64;
    plan.fileAlignment = 16;
    Bytes code = Words({0x00010000, 0x14219000, 0x14009100});
    for (int i = 0; i < 13; ++i) {
        code.insert(code.end(), {0x1F, 0x20, 0x03, 0xD5}); // NOP
    }
    plan.sections = {{".text", 0x10000, code, 0, true},
                     {".text2", 0x80000, Bytes(code.begin() + 2, code.end()), 0, true},
                     {".bss", dataAddress, Bytes(), 0xFE0000, false, 8}};
    LayOut(plan);
    plan.sections[1].fileOffset = plan.sections[0].fileOffset + 2;
    return BuildImage(plan);
}

Bytes Words(std::initializer_list<std::uint32_t> words) {
    Bytes bytes;
    for (const std::uint32_t word : words) {
        bytes.resize(bytes.size() + 4);
        PutLe32(&bytes[bytes.size() - 4], word);
    }
    return bytes;
}

Program BuildProgram(const ProgramPlan& plan) {
    const bool pe = plan.format == ImageFormat::Pe;
    const bool arm = plan.machine == Machine::Arm64;
    const bool i386 = plan.machine == Machine::I386;
    const bool unwind = pe && !i386; // an exception table
    const unsigned functions = plan.functions;
    const unsigned imports = 8;
    const unsigned tables = functions / 16 + 1;
    const unsigned pointers = functions / 4 + 2;
    const unsigned variables = functions / 2 + 2;
    constexpr unsigned TableEntries = 6;
    const std::uint64_t width = i386 ? 4 : 8; // of a pointer
    const std::uint64_t imageBase = !pe                   ? 0
                                    : plan.imageBase != 0 ? plan.imageBase
                                    : i386                ? 0x400000
                                                          : 0x140000000;
    // One generator lays the program out, the same in both versions; the
    // other chooses the functions that grow.
    std::mt19937 layout(plan.seed);
    std::mt19937 growth(plan.seed * 7919u + 1u);

    std::vector<std::vector<Step>> code(functions);
    std::vector<std::uint64_t> starts; // of each function in the code, and its end
    std::uint64_t textSize = 0;
    const Op ops[] = {Op::Call,  Op::Call,    Op::Jump,   Op::Branch, Op::Near,   Op::Load,
                      Op::Store, Op::Compare, Op::Import, Op::Table,  Op::Pointer};
    const unsigned named[] = {functions, functions, functions, variables, variables,
                              variables, variables, imports,   tables,    pointers};
    for (unsigned f = 0; f < functions; ++f) {
        const bool grown = growth() % 8 == 0 && plan.newer;
        starts.push_back(textSize);
        for (unsigned s = 0, steps = 3 + layout() % 6; s < steps; ++s) {
            Step step{ops[layout() % std::size(ops)]};
            step.index = layout() % named[static_cast<int>(step.op)];
            step.filler = arm ? 4 * (layout() % 3 + (s == 0 ? 1 : 0)) : 2 + layout() % 10;
            step.inserted = grown && s == 0 ? (arm ? 4 : 3) : 0;
            step.immediate = static_cast<std::uint8_t>(1 + layout() % 0x5F);
            textSize += step.filler + step.inserted + StepBytes(plan.machine, step.op);
            code[f].push_back(step);
        }
    }
    starts.push_back(textSize);

    // The read-only data: PE: the import address table, the imports' names,
    // the jump tables and the unwind data; ELF: the jump tables and some
    // constants. Then the writable data: pointers, then variables.
    const std::uint64_t namesAt = pe ? imports * width : 0;
    const std::uint64_t tablesAt = pe ? AlignUp(namesAt + 16 * imports, 16) : 0;
    const std::uint64_t unwindAt = tablesAt + 4 * TableEntries * tables;
    const std::uint64_t variablesAt = width * pointers;
    std::vector<std::uint64_t> sizes = {textSize, unwindAt + (unwind ? 8 * functions : 64),
                                        variablesAt + 8 * variables};
    if (unwind) {
        sizes.push_back((arm ? 8 : 12) * functions);
    }
    std::vector<std::uint64_t> at = {Page};
    for (std::size_t i = 1; i <= sizes.size(); ++i) {
        at.push_back(AlignUp(at[i - 1] + sizes[i - 1], Page) + (i == 1 && plan.newer ? Page : 0));
    }
    const auto function = [&](unsigned f) { return at[0] + starts[f]; };
    const auto table = [&](unsigned t) { return at[1] + tablesAt + 4 * TableEntries * t; };
    const auto pointer = [&](unsigned p) { return at[2] + width * p; };
    const auto variable = [&](unsigned v) { return at[2] + variablesAt + 8 * v; };

    std::vector<Bytes> bytes;
    for (const std::uint64_t size : sizes) {
        bytes.emplace_back(size);
    }
    std::vector<std::pair<std::uint64_t, int>> relocations;         // PE: address, type
    std::vector<std::pair<std::uint64_t, std::uint64_t>> relatives; // ELF: pointer, target
    std::vector<std::tuple<std::size_t, std::uint64_t, AddressSlot::Kind>> slots;
    Program program;
    const auto pointerAt = [&](std::size_t section, std::uint64_t offset, std::uint64_t target) {
        const std::uint64_t address = at[section] + offset;
        if (i386) {
            PutLe32(&bytes[section][offset], static_cast<std::uint32_t>(imageBase + target));
            relocations.push_back({address, 3});
        } else {
            PutLe64(&bytes[section][offset], imageBase + target);
            relocations.push_back({address, 10});
            relatives.push_back({address, target});
        }
        slots.push_back({section, offset,
                         i386 ? AddressSlot::Kind::Absolute32 : AddressSlot::Kind::Absolute64});
    };

    Bytes& text = bytes[0];
    for (unsigned f = 0; f < functions; ++f) {
        std::uint64_t offset = starts[f];
        std::uint64_t filler = f * 0x9E3779B97F4A7C15u + plan.seed;
        const auto next = [&filler] {
            filler = filler * 6364136223846793005u + 1442695040888963407u;
            return filler >> 61;
        };
        for (const Step& step : code[f]) {
            for (std::uint64_t i = 0; i < step.filler; i += arm ? 4 : 1) {
                if (arm) {
                    PutLe32(&text[offset + i], Arm64Filler[next()]);
                } else {
                    text[offset + i] = static_cast<std::uint8_t>(0x50 + next()); // push
                }
            }
            offset += step.filler;
            if (step.inserted != 0) { // nop; nop dword [rax]
                std::memcpy(&text[offset], arm ? "\x1F\x20\x03\xD5" : "\x0F\x1F\x00",
                            step.inserted);
            }
            offset += step.inserted;
            const std::uint64_t address = at[0] + offset;
            std::uint64_t target = variable(step.index);
            switch (step.op) {
            case Op::Call:
            case Op::Jump:
            case Op::Branch:
                target = function(step.index);
                break;
            case Op::Near:
                target = arm ? function(f) : target;
                break;
            case Op::Import:
                target = pe ? at[1] + width * step.index : pointer(step.index % pointers);
                break;
            case Op::Table:
                target = table(step.index);
                break;
            case Op::Pointer:
                target = pointer(step.index);
                break;
            default:
                break;
            }
            if (arm) {
                const std::vector<Arm64Word>& words = Arm64Forms[static_cast<int>(step.op)];
                for (std::size_t i = 0; i < words.size(); ++i) {
                    PutLe32(&text[offset + 4 * i], Arm64Encode(words[i], address, target));
                }
                text[offset] |= step.op == Op::Branch ? step.immediate % 14 : 0; // its condition
                text[offset + 2] |= step.op == Op::Near ? step.immediate % 32 << 3 : 0; // its bit
                program.references.push_back({offset, target});
            } else {
                const X86Form& form = X86Forms[static_cast<int>(step.op)];
                const char* prefix = i386 ? form.i386 : form.x64;
                const std::size_t n = std::strlen(prefix);
                std::memcpy(&text[offset], prefix, n);
                if (step.op == Op::Branch) {
                    text[offset + 1] |= step.immediate % 16;
                }
                if (!i386 || step.op <= Op::Branch) {
                    const std::uint64_t end = address + n + 4 + form.immediate;
                    PutLe32(&text[offset + n], static_cast<std::uint32_t>(target - end));
                    program.references.push_back({offset + n, target});
                } else {
                    PutLe32(&text[offset + n], static_cast<std::uint32_t>(imageBase + target));
                    relocations.push_back({address + n, 3});
                    slots.push_back({0, offset + n, AddressSlot::Kind::Absolute32});
                }
                if (form.immediate > 0) {
                    text[offset + n + 4] = step.immediate;
                }
            }
            offset += StepBytes(plan.machine, step.op);
        }
    }

    Bytes& rdata = bytes[1];
    for (unsigned i = 0; pe && i < imports; ++i) {
        PutLe32(&rdata[width * i], static_cast<std::uint32_t>(at[1] + namesAt + 16 * i));
        std::memcpy(&rdata[namesAt + 16 * i + 2], "import", 6);
        rdata[namesAt + 16 * i + 8] = static_cast<std::uint8_t>('a' + i);
    }
    for (unsigned t = 0; t < tables; ++t) {
        for (unsigned e = 0; e < TableEntries; ++e) {
            const std::uint64_t entry = table(t) - at[1] + 4 * e;
            const std::uint64_t target = function(layout() % functions);
            if (i386) {
                pointerAt(1, entry, target);
            } else {
                PutLe32(&rdata[entry], static_cast<std::uint32_t>(target - table(t)));
            }
        }
    }
    for (std::uint64_t i = unwindAt; i < rdata.size(); i += 8) {
        PutLe64(&rdata[i], 0x0000420400010401u + (std::uint64_t{layout() % 7} << 40));
    }
    for (unsigned p = 0; p < pointers; ++p) {
        pointerAt(2, width * p, function(layout() % functions));
    }
    for (unsigned v = 0; v < variables; ++v) {
        PutLe64(&bytes[2][variablesAt + 8 * v], layout() % 1000);
    }
    // The exception table: x86-64: each function's start, end and unwind
    // data; ARM64: its start and unwind data or, packed (low bits 01), its
    // length, which is no address.
    for (unsigned f = 0; unwind && f < functions; ++f) {
        const auto unwindData = static_cast<std::uint32_t>(at[1] + unwindAt + 8 * f);
        const auto length = static_cast<std::uint32_t>(starts[f + 1] - starts[f]);
        const bool packed = arm && f % 2 != 0;
        const auto start = static_cast<std::uint32_t>(function(f));
        const std::vector<std::uint32_t> words =
            arm ? std::vector<std::uint32_t>{start, packed ? 1 | length / 4 << 2 : unwindData}
                : std::vector<std::uint32_t>{start, start + length, unwindData};
        for (std::size_t i = 0; i < words.size(); ++i) {
            PutLe32(&bytes[3][words.size() * 4 * f + 4 * i], words[i]);
            if (!packed || i == 0) {
                slots.push_back({3, words.size() * 4 * f + 4 * i, AddressSlot::Kind::Address32});
            }
        }
    }

    // The last section: PE base relocations, page by page, each block
    // padded to 4 bytes; ELF relative relocations, and one of another kind.
    Bytes last;
    std::sort(relocations.begin(), relocations.end());
    for (std::size_t i = 0; pe && i < relocations.size();) {
        const std::uint64_t page = relocations[i].first & ~(Page - 1);
        const std::size_t block = last.size();
        last.resize(block + 8);
        PutLe32(&last[block], static_cast<std::uint32_t>(page));
        for (; i < relocations.size() && (relocations[i].first & ~(Page - 1)) == page; ++i) {
            last.resize(last.size() + 2);
            PutLe16(&last[last.size() - 2],
                    static_cast<std::uint16_t>(relocations[i].second << 12 |
                                               (relocations[i].first & (Page - 1))));
        }
        last.resize(AlignUp(last.size(), 4));
        PutLe32(&last[block + 4], static_cast<std::uint32_t>(last.size() - block));
    }
    const std::size_t lastSection = sizes.size();
    if (!pe) {
        relatives.push_back({variable(0), 0});
        last.resize(24 * relatives.size());
        for (std::size_t i = 0; i < relatives.size(); ++i) {
            const bool relative = i + 1 < relatives.size();
            PutLe64(&last[24 * i], relatives[i].first);
            PutLe64(&last[24 * i + 8],
                    relative ? (arm ? 1027 : 8) : (1ull << 32 | (arm ? 1025 : 6)));
            PutLe64(&last[24 * i + 16], relatives[i].second);
            slots.push_back({lastSection, 24 * i, AddressSlot::Kind::Absolute64});
            if (relative) {
                slots.push_back({lastSection, 24 * i + 16, AddressSlot::Kind::Absolute64});
            }
        }
    }

    ImagePlan& image = program.plan;
    image.format = plan.format;
    image.machine = plan.machine;
    image.imageBase = imageBase;
    image.fileAlignment = plan.fileAlignment;
    const char* names[] = {".text", pe ? ".rdata" : ".rodata", ".data", ".pdata"};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        image.sections.push_back({names[i], at[i], std::move(bytes[i]), 0, i == 0});
    }
    image.sections.push_back(
        {pe ? ".reloc" : ".rela.dyn", at.back(), last, 0, false, pe ? 1u : 4u});
    if (pe) {
        image.directories[5] = {static_cast<std::uint32_t>(at.back()),
                                static_cast<std::uint32_t>(last.size())};
        image.directories[12] = {static_cast<std::uint32_t>(at[1]),
                                 static_cast<std::uint32_t>(width * imports)};
        if (unwind) {
            image.directories[3] = {static_cast<std::uint32_t>(at[3]),
                                    static_cast<std::uint32_t>(sizes[3])};
        }
    }
    LayOut(image);
    program.bytes = BuildImage(image);
    for (const auto& [section, offset, kind] : slots) {
        program.slots.push_back({image.sections[section].fileOffset + offset, kind});
    }
    std::sort(program.slots.begin(), program.slots.end(),
              [](const AddressSlot& a, const AddressSlot& b) { return a.offset < b.offset; });
    for (auto& reference : program.references) {
        reference.first += image.sections[0].fileOffset;
    }
    return program;
}

} // namespace kestro::test

namespace kestro::test {

namespace {

std::uint64_t Elf32HeaderBytes(const ImagePlan& plan) {
    return Elf32SectionTableAt(plan) + (plan.segmentsOnly ? 0 : 40 * (plan.sections.size() + 1));
}

} // namespace

std::size_t Elf32SectionTableAt(const ImagePlan& plan) {
    return Elf32SegmentTableAt + 32 * plan.sections.size();
}

void LayOutElf32(ImagePlan& plan) {
    PlaceSections(plan, Elf32HeaderBytes(plan));
}

Bytes BuildElf32Image(const ImagePlan& plan) {
    const std::size_t n = plan.sections.size();
    std::uint64_t end = Elf32HeaderBytes(plan);
    for (const SectionPlan& section : plan.sections) {
        end = std::max(end, section.fileOffset + section.bytes.size());
    }
    Bytes out(end);
    std::memcpy(out.data(),
                "\x7F"
                "ELF\x01\x01\x01",
                7);
    PutLe16(&out[16], 3); // a shared object
    PutLe16(&out[18], plan.machine == Machine::I386 ? 3 : plan.machine == Machine::Arm32 ? 40 : 0);
    PutLe32(&out[20], 1);
    PutLe32(&out[24], n > 0 ? static_cast<std::uint32_t>(plan.sections[0].address) : 0);
    PutLe32(&out[28], Elf32SegmentTableAt);
    PutLe32(&out[32],
            plan.segmentsOnly ? 0 : static_cast<std::uint32_t>(Elf32SectionTableAt(plan)));
    PutLe16(&out[40], 52);
    PutLe16(&out[42], 32);
    PutLe16(&out[44], static_cast<std::uint16_t>(n));
    PutLe16(&out[46], 40);
    PutLe16(&out[48], static_cast<std::uint16_t>(plan.segmentsOnly ? 0 : n + 1));
    for (std::size_t i = 0; i < n; ++i) {
        const SectionPlan& section = plan.sections[i];
        const auto address = static_cast<std::uint32_t>(section.address);
        std::uint8_t* segment = &out[Elf32SegmentTableAt + 32 * i];
        PutLe32(segment, 1); // PT_LOAD
        PutLe32(segment + 4, static_cast<std::uint32_t>(section.fileOffset));
        PutLe32(segment + 8, address);
        PutLe32(segment + 12, address);
        PutLe32(segment + 16, static_cast<std::uint32_t>(section.bytes.size()));
        PutLe32(segment + 20, static_cast<std::uint32_t>(VirtualSize(section)));
        PutLe32(segment + 24, section.code ? 5 : 6);
        PutLe32(segment + 28, Page);
        std::copy(section.bytes.begin(), section.bytes.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(section.fileOffset));
        if (plan.segmentsOnly) {
            continue;
        }
        std::uint8_t* header = &out[Elf32SectionTableAt(plan) + 40 * (i + 1)];
        PutLe32(header + 4, section.elfType);
        PutLe32(header + 8, section.code ? 6 : section.elfType == 9 ? 2 : 3);
        PutLe32(header + 12, address);
        PutLe32(header + 16, static_cast<std::uint32_t>(section.fileOffset));
        PutLe32(header + 20,
                static_cast<std::uint32_t>(section.elfType == 8 ? VirtualSize(section)
                                                                : section.bytes.size()));
        PutLe32(header + 32, 4);
        PutLe32(header + 36, section.elfType == 9 ? 8 : 0);
    }
    return out;
}

Bytes Elf32Relocations(std::initializer_list<std::pair<std::uint32_t, std::uint8_t>> entries) {
    Bytes bytes;
    for (const auto& [offset, type] : entries) {
        bytes.resize(bytes.size() + 8);
        PutLe32(&bytes[bytes.size() - 8], offset);
        PutLe32(&bytes[bytes.size() - 4], type);
    }
    return bytes;
}

Image ElfImageOf(Machine machine, ArmState state, std::vector<ImageSection> sections) {
    Image image;
    image.format = ImageFormat::Elf;
    image.machine = machine;
    image.armState = state;
    image.sections = std::move(sections);
    image.IndexSections();
    return image;
}

// Thumb halfwords as code bytes, each little-endian.
Bytes Halves(std::initializer_list<std::uint16_t> halves) {
    Bytes bytes;
    for (const std::uint16_t half : halves) {
        bytes.push_back(static_cast<std::uint8_t>(half));
        bytes.push_back(static_cast<std::uint8_t>(half >> 8));
    }
    return bytes;
}

ArmProgram BuildArmProgram(ArmState state, unsigned functions, unsigned seed, unsigned grownAt) {
    constexpr std::uint32_t Code = 0x10000;
    constexpr std::uint32_t Data = 0x80000;
    constexpr std::uint32_t FunctionBytes = 64;
    std::mt19937 random(seed);
    ImagePlan plan;
    plan.format = ImageFormat::Elf;
    plan.machine = Machine::Arm32;
    plan.fileAlignment = 16;
    constexpr std::uint32_t Index = 0x70000;
    plan.sections = {{".text", Code, Bytes(), 0, true},
                     {".data", Data, Bytes(256, 0)},
                     {".ARM.exidx", Index, Bytes(8 * functions), 0, false, 0x70000001}};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> references; // code address, target
    Bytes& code = plan.sections[0].bytes;
    for (unsigned f = 0; f < functions; ++f) {
        const auto placed = [&](unsigned index) {
            return Code + index * FunctionBytes + (index >= grownAt ? FunctionBytes : 0);
        };
        if (f == grownAt) {
            const Bytes padding = state == ArmState::Arm ? Words({0xE320F000}) : Halves({0xBF00});
            for (std::uint32_t i = 0; i < FunctionBytes;
                 i += static_cast<std::uint32_t>(padding.size())) {
                code.insert(code.end(), padding.begin(), padding.end());
            }
        }
        const std::uint32_t start = placed(f);
        const std::uint32_t callee = placed(random() % 8);
        const std::uint32_t variable = Data + (random() % 64) * 4;
        Bytes body;
        if (state == ArmState::Arm) {
            const auto bl = [](std::uint32_t at, std::uint32_t to) {
                return 0xEB000000u | ((to - at - 8) / 4 & 0xFFFFFFu);
            };
            body = Words({0xE92D4010, 0xE1A04000, bl(start + 8, callee), 0xE0811002,
                          0xE3000000 | (variable & 0xF000) << 4 | (variable & 0xFFF),
                          0xE3400000 | (variable >> 16 & 0xF000) << 4 | (variable >> 16 & 0xFFF),
                          0xE5902000, bl(start + 28, callee), 0xE3520000,
                          0x1AFFFFF7, // bne to start + 8
                          0xE1A00004, 0xE8BD8010,
                          // ldr r3, [pc, #4]; nop; add r3, pc, r3; the word
                          0xE59F3004, 0xE320F000, 0xE08F3003, variable - (start + 64)});
            references.insert(references.end(), {{start + 8, callee},
                                                 {start + 16, variable},
                                                 {start + 28, callee},
                                                 {start + 36, start + 8},
                                                 {start + 48, variable}});
        } else {
            const auto bl = [](std::uint32_t at, std::uint32_t to) {
                const std::uint32_t halves = (to - at - 4) / 2 & 0xFFFFFF;
                const std::uint32_t s = halves >> 23 & 1;
                return std::pair<std::uint16_t, std::uint16_t>{
                    static_cast<std::uint16_t>(0xF000 | s << 10 | (halves >> 11 & 0x3FF)),
                    static_cast<std::uint16_t>(0xD000 | ((~(halves >> 22) ^ s) & 1) << 13 |
                                               ((~(halves >> 21) ^ s) & 1) << 11 |
                                               (halves & 0x7FF))};
            };
            const auto [a1, a2] = bl(start + 4, callee);
            const auto [b1, b2] = bl(start + 24, callee);
            const auto low = static_cast<std::uint16_t>(variable & 0xFFFF);
            const auto high = static_cast<std::uint16_t>(variable >> 16);
            const auto movHalves = [](std::uint16_t opcode, std::uint8_t rd, std::uint16_t value) {
                return std::pair<std::uint16_t, std::uint16_t>{
                    static_cast<std::uint16_t>(opcode | (value >> 1 & 0x400) | value >> 12),
                    static_cast<std::uint16_t>((value & 0x700) << 4 | rd << 8 | (value & 0xFF))};
            };
            const auto [w1, w2] = movHalves(0xF240, 0, low);
            const auto [t1, t2] = movHalves(0xF2C0, 0, high);
            body = Halves({0xB510, 0x4604, a1, a2, 0xEB01, 0x0002, w1, w2, t1, t2, 0x6802, 0xBF00,
                           b1, b2, 0x2A00, 0xF47F, 0xAFF1, // bne.w to
                                                           // start + 4
                           0x4620, 0xBD10, 0xBF00, 0xBF00, 0xBF00, 0xBF00, 0xBF00,
                           // ldr r3, [pc, #8]; add r3, pc; nops; the word
                           0x4B02, 0x447B, 0xBF00, 0xBF00, 0xBF00, 0xBF00,
                           static_cast<std::uint16_t>(variable - (start + 54)),
                           static_cast<std::uint16_t>((variable - (start + 54)) >> 16)});
            references.insert(references.end(), {{start + 4, callee},
                                                 {start + 12, variable},
                                                 {start + 24, callee},
                                                 {start + 30, start + 4},
                                                 {start + 48, variable}});
        }
        code.insert(code.end(), body.begin(), body.end());
        // The function's exception index entry: its offset, EXIDX_CANTUNWIND.
        std::uint8_t* entry = &plan.sections[2].bytes[8 * f];
        PutLe32(entry, (start - (Index + 8 * f)) & 0x7FFFFFFF);
        PutLe32(entry + 4, 1);
    }
    LayOutElf32(plan);
    ArmProgram program{BuildElf32Image(plan), {}};
    PutLe16(&program.bytes[16], 2); // an executable, whose pairs hold addresses
    for (const auto& [at, target] : references) {
        program.references.push_back({plan.sections[0].fileOffset + (at - Code), target});
    }
    return program;
}

} // namespace kestro::test
