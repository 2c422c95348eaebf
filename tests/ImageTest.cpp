// The executable model: the PE and ELF parsers (sections, addresses both
// ways, the tables' address slots, damaged headers) and the instruction-set
// rows (find, target, retarget, mark), on images and code built by
// ImageBuilder.
#include "ImageBuilder.hpp"

#include "common/LittleEndian.hpp"
#include "exe/Disassembler.hpp"
#include "exe/Image.hpp"
#include "exe/PeRelocations.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <stdexcept>

namespace kestro::test {
namespace {

struct Shape {
    const char* name;
    ImageFormat format;
    Machine machine;
};
constexpr Shape Shapes[] = {{"PE x86-64", ImageFormat::Pe, Machine::X64},
                            {"PE i386", ImageFormat::Pe, Machine::I386},
                            {"PE ARM64", ImageFormat::Pe, Machine::Arm64},
                            {"ELF x86-64", ImageFormat::Elf, Machine::X64},
                            {"ELF AArch64", ImageFormat::Elf, Machine::Arm64}};

Program Build(const Shape& shape, bool newer, unsigned functions = 60) {
    return BuildProgram({shape.format, shape.machine, functions, 5, newer});
}

Image Parse(const Bytes& bytes) {
    MemoryStream stream = StreamOf(bytes);
    return ReadImage(stream);
}

std::vector<AddressSlot> SlotsOf(const Bytes& bytes, const Image& image) {
    MemoryStream stream = StreamOf(bytes);
    return ReadAddressSlots(stream, image);
}

// Every reference the image's row finds in its code sections: its file
// offset and the address it names.
std::vector<std::pair<std::uint64_t, std::uint64_t>> References(const Bytes& bytes,
                                                                const Image& image) {
    const InstructionSet& row = *InstructionSetOf(InstructionSetIdOf(image));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> found;
    for (const ImageSection& section : image.sections) {
        if (!section.code) {
            continue;
        }
        const std::span<const std::uint8_t> code(bytes.data() + section.fileOffset,
                                                 section.fileSize);
        for (std::uint64_t from = 0;;) {
            const std::optional<CodeReference> reference =
                row.find(code, from, section.address, image);
            if (!reference) {
                break;
            }
            found.push_back({section.fileOffset + reference->at,
                             row.target(code, *reference, section.address)});
            from = reference->at + reference->size;
        }
    }
    return found;
}

// What holds for the model of any file, however damaged: slots inside the
// file, by offset, none overlapping the next.
void ExpectSaneSlots(const Bytes& bytes, const std::string& what) {
    const Image image = Parse(bytes);
    const std::vector<AddressSlot> slots = SlotsOf(bytes, image);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        ASSERT_LE(slots[i].offset + static_cast<std::uint64_t>(slots[i].Width()), bytes.size())
            << what;
        if (i > 0) {
            ASSERT_GE(slots[i].offset,
                      slots[i - 1].offset + static_cast<std::uint64_t>(slots[i - 1].Width()))
                << what;
        }
    }
}

bool SameSlots(const std::vector<AddressSlot>& a, const std::vector<AddressSlot>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.offset == y.offset && x.kind == y.kind;
    });
}

// Each shape, old and new: the parser reads back what the builder laid out,
// the slots of every table are the ones the builder wrote, and a scan of the
// code finds exactly the references it was built with, naming their
// targets.
TEST(Image, ReadsProgramsAsTheyWereBuilt) {
    for (const Shape& shape : Shapes) {
        for (const bool newer : {false, true}) {
            SCOPED_TRACE(std::string(shape.name) + (newer ? " newer" : ""));
            const Program program = Build(shape, newer);
            const ImagePlan& plan = program.plan;
            const Image image = Parse(program.bytes);
            EXPECT_EQ(image.format, shape.format);
            EXPECT_EQ(image.machine, shape.machine);
            EXPECT_TRUE(image.Known());
            EXPECT_EQ(image.imageBase, plan.imageBase);
            EXPECT_EQ(image.fileSize, program.bytes.size());
            ASSERT_EQ(image.sections.size(), plan.sections.size());
            for (std::size_t i = 0; i < plan.sections.size(); ++i) {
                const ImageSection& section = image.sections[i];
                const std::uint64_t size = plan.sections[i].bytes.size();
                EXPECT_EQ(section.address, plan.sections[i].address) << i;
                EXPECT_EQ(section.virtualSize, size) << i;
                EXPECT_EQ(section.fileOffset, plan.sections[i].fileOffset) << i;
                EXPECT_EQ(section.fileSize,
                          shape.format == ImageFormat::Pe ? (size + 0x1FF) / 0x200 * 0x200 : size)
                    << i;
                EXPECT_EQ(section.code, i == 0) << i;
            }
            if (shape.format == ImageFormat::Pe) {
                ASSERT_EQ(image.directories.size(), 16u);
                for (const int d : {3, 5, 12}) {
                    EXPECT_EQ(image.directories[d].address, plan.directories[d].address) << d;
                    EXPECT_EQ(image.directories[d].size, plan.directories[d].size) << d;
                }
            }
            EXPECT_TRUE(SameSlots(SlotsOf(program.bytes, image), program.slots));
            EXPECT_GT(program.slots.size(), 20u);
            EXPECT_EQ(References(program.bytes, image), program.references);
            // The functions with unwind data of their own, in order: every
            // x86-64 one, every other ARM64 one (the rest packed), each
            // function's data the next 8 bytes of .rdata.
            MemoryStream stream = StreamOf(program.bytes);
            const std::vector<UnwindEntry> unwound = ReadUnwindEntries(stream, image);
            const bool arm = shape.machine == Machine::Arm64;
            const bool listed = shape.format == ImageFormat::Pe && shape.machine != Machine::I386;
            ASSERT_EQ(unwound.size(), !listed ? 0u : arm ? 30u : 60u);
            for (std::size_t i = 0; i < unwound.size(); ++i) {
                const SectionPlan& code = plan.sections[0];
                EXPECT_TRUE(unwound[i].function >= code.address &&
                            unwound[i].function < code.address + code.bytes.size())
                    << i;
                EXPECT_TRUE(image.OffsetOf(unwound[i].unwind).has_value()) << i;
                if (i > 0) {
                    EXPECT_GT(unwound[i].function, unwound[i - 1].function) << i;
                    EXPECT_EQ(unwound[i].unwind - unwound[i - 1].unwind, arm ? 16u : 8u) << i;
                }
            }
        }
    }
}

// OffsetOf and AddressOf are each other's inverse inside every section's
// file bytes, whose RVA minus offset differs from section to section and
// between the versions; outside them an address has no offset. The first
// section in table order that holds the bytes wins.
TEST(Image, TurnsAddressesAndOffsetsIntoEachOther) {
    for (const Shape& shape : {Shapes[0], Shapes[4]}) {
        const Image older = Parse(Build(shape, false).bytes);
        const Image newer = Parse(Build(shape, true).bytes);
        std::set<std::uint64_t> deltas;
        for (std::size_t i = 1; i < older.sections.size(); ++i) { // after the code
            deltas.insert(older.sections[i].address - older.sections[i].fileOffset);
            EXPECT_NE(older.sections[i].address - older.sections[i].fileOffset,
                      newer.sections[i].address - newer.sections[i].fileOffset)
                << shape.name << " " << i;
        }
        EXPECT_GT(deltas.size(), 2u) << shape.name;
        for (const Image* image : {&older, &newer}) {
            EXPECT_FALSE(image->AddressOf(0).has_value());
            for (const ImageSection& s : image->sections) {
                for (const std::uint64_t in : {std::uint64_t{0}, s.fileSize / 3, s.fileSize - 1}) {
                    EXPECT_EQ(image->AddressOf(s.fileOffset + in), s.address + in);
                    EXPECT_EQ(image->OffsetOf(s.address + in), s.fileOffset + in);
                }
                for (const std::uint64_t outside : {s.address - 1, s.address + s.fileSize}) {
                    const auto offset = image->OffsetOf(outside);
                    EXPECT_TRUE(!offset || *offset < s.fileOffset ||
                                *offset >= s.fileOffset + s.fileSize)
                        << shape.name << " " << std::hex << outside;
                }
            }
        }
    }
    // Two sections over the same file bytes, and one with memory only past
    // its file bytes.
    ImagePlan plan;
    plan.sections = {{".a", 0x1000, Bytes(0x200)},
                     {".b", 0x5000, Bytes(0x200)},
                     {".bss", 0x9000, Bytes(0x100), 0x3000}};
    LayOut(plan);
    plan.sections[1].fileOffset = plan.sections[0].fileOffset;
    const Image image = Parse(BuildImage(plan));
    const std::uint64_t a = plan.sections[0].fileOffset;
    EXPECT_EQ(image.AddressOf(a + 4), 0x1004u);
    EXPECT_EQ(image.OffsetOf(0x5004), a + 4);
    EXPECT_EQ(image.OffsetOf(0x91FF), plan.sections[2].fileOffset + 0x1FF);
    EXPECT_FALSE(image.OffsetOf(0x9200).has_value());
    EXPECT_EQ(image.sections[2].virtualSize, 0x3000u);
}

// The first range in the order given that holds a position, as a walk over
// all of them finds it (p - start < size, mod 2^64).
std::optional<std::uint32_t> FirstHolding(const std::vector<RangeIndex::Range>& ranges,
                                          std::uint64_t position) {
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (position - ranges[i].start < ranges[i].size) {
            return static_cast<std::uint32_t>(i);
        }
    }
    return std::nullopt;
}

// The index answers as the walk does at every edge of every range (and one
// before and after it), for nested, equal, adjacent and empty ranges, ranges
// that run past 2^64 - 1 and go on from 0, and random ones; its pieces are
// disjoint, by position, and those in a stretch are all that touch it.
TEST(RangeIndex, FindsTheFirstRangeThatHoldsAPosition) {
    constexpr std::uint64_t Top = UINT64_MAX;
    struct Row {
        const char* name;
        std::vector<RangeIndex::Range> ranges;
    };
    std::vector<Row> rows = {
        {"none", {}},
        {"one", {{0x1000, 0x200}}},
        {"nested, the outer first", {{0x1000, 0x1000}, {0x1400, 0x100}}},
        {"nested, the inner first", {{0x1400, 0x100}, {0x1000, 0x1000}}},
        {"equal", {{0x1000, 0x100}, {0x1000, 0x100}, {0x1000, 0x80}}},
        {"adjacent", {{0x1000, 0x100}, {0x1100, 0x100}, {0x0F00, 0x100}}},
        {"empty", {{0x1000, 0}, {0x1000, 1}, {0, 0}}},
        {"the last position", {{Top, 1}, {Top - 1, 2}}},
        {"past the top", {{Top - 0xF, 0x20}, {0x8, 0x10}}},
        {"everything", {{0, Top}, {Top, 1}, {5, 5}}},
        {"everything but one", {{6, Top}, {0x1000, 2}}},
    };
    std::mt19937_64 random(35);
    for (int n : {8, 300}) {
        Row row{"random", {}};
        for (int i = 0; i < n; ++i) {
            const std::uint64_t start = random() % 4 == 0 ? random() : random() % 0x10000;
            row.ranges.push_back({start, random() % 3 == 0 ? random() : random() % 0x1000});
        }
        rows.push_back(row);
    }
    for (const Row& row : rows) {
        const RangeIndex index(row.ranges);
        std::vector<std::uint64_t> probes = {0, 1, Top - 1, Top};
        for (const RangeIndex::Range& range : row.ranges) {
            for (const std::uint64_t edge : {range.start, range.start + range.size}) {
                probes.insert(probes.end(), {edge - 1, edge, edge + 1});
            }
        }
        for (const std::uint64_t probe : probes) {
            ASSERT_EQ(index.Owner(probe), FirstHolding(row.ranges, probe))
                << row.name << " at " << std::hex << probe;
        }
        const std::span<const RangeIndex::Piece> pieces = index.Pieces();
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            ASSERT_LE(pieces[i].first, pieces[i].last) << row.name;
            ASSERT_TRUE(i == 0 || pieces[i - 1].last < pieces[i].first) << row.name;
        }
        const std::span<const RangeIndex::Piece> some = index.PiecesIn(0x1000, 0x1100);
        const auto touches = [](const RangeIndex::Piece& piece) {
            return piece.first < 0x1100 && piece.last >= 0x1000;
        };
        EXPECT_EQ(static_cast<std::size_t>(std::count_if(pieces.begin(), pieces.end(), touches)),
                  some.size())
            << row.name;
        EXPECT_TRUE(std::all_of(some.begin(), some.end(), touches)) << row.name;
    }
}

// An image of the most sections a PE file holds, overlapping one another in
// the file and in memory: every lookup gives what a walk over the section
// table in its order gives, and each byte of its code lies in one stretch
// only, that of the first code section that holds it.
TEST(Image, LooksUpAmongTheMostSectionsAsTheTableOrders) {
    ImagePlan plan;
    plan.fileAlignment = 16;
    std::mt19937 random(7);
    for (unsigned i = 0; i < 65535; ++i) {
        SectionPlan section{".s", 0x10000 + 0x10 * (random() % 8192), Bytes(i < 64 ? 0x40 : 0)};
        section.virtualSize = 0x10 + random() % 0x100;
        section.code = random() % 2 == 0;
        plan.sections.push_back(section);
    }
    LayOut(plan);
    Bytes bytes = BuildImage(plan);
    // Each section's file bytes somewhere among the first ones'.
    for (std::size_t i = 64; i < plan.sections.size(); ++i) {
        std::uint8_t* header = &bytes[PeSectionTableAt(plan) + 40 * i];
        PutLe32(header + 16, 0x10 + random() % 0x40);
        PutLe32(header + 20, static_cast<std::uint32_t>(plan.sections[random() % 64].fileOffset +
                                                        random() % 0x20));
    }
    const Image image = Parse(bytes);
    ASSERT_EQ(image.sections.size(), 65535u);
    const auto walk = [&](auto holds) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < image.sections.size(); ++i) {
            if (holds(image.sections[i])) {
                return i;
            }
        }
        return std::nullopt;
    };
    const std::uint64_t codeStart = plan.sections[0].fileOffset;
    const std::uint64_t codeEnd = plan.sections[63].fileOffset + 0x80;
    for (std::uint64_t offset = codeStart - 8; offset < codeEnd; ++offset) {
        const auto first =
            walk([&](const ImageSection& s) { return offset - s.fileOffset < s.fileSize; });
        ASSERT_EQ(image.SectionAt(offset), first) << offset;
        ASSERT_EQ(image.AddressOf(offset),
                  first ? std::optional(image.sections[*first].address +
                                        (offset - image.sections[*first].fileOffset))
                        : std::nullopt)
            << offset;
        const auto code = walk(
            [&](const ImageSection& s) { return s.code && offset - s.fileOffset < s.fileSize; });
        const std::span<const CodeStretch> in = image.CodeIn(offset, offset + 1);
        ASSERT_EQ(in.size(), code ? 1u : 0u) << offset;
        if (code) {
            EXPECT_EQ(in[0].address + (offset - in[0].fileOffset),
                      image.sections[*code].address + (offset - image.sections[*code].fileOffset))
                << offset;
        }
    }
    for (std::uint64_t address = 0xFFF0; address < 0x30200; address += 3) {
        const auto first =
            walk([&](const ImageSection& s) { return address - s.address < s.fileSize; });
        ASSERT_EQ(image.OffsetOf(address),
                  first ? std::optional(image.sections[*first].fileOffset +
                                        (address - image.sections[*first].address))
                        : std::nullopt)
            << address;
        ASSERT_EQ(image.InMemory(address), walk([&](const ImageSection& s) {
                                               return address - s.address < s.virtualSize;
                                           }).has_value())
            << address;
    }
    // A lookup in sections changed after they were indexed is refused.
    Image changed = image;
    changed.sections.pop_back();
    EXPECT_THROW(static_cast<void>(changed.OffsetOf(0x10000)), std::logic_error);
}

// Damaged headers and tables: never a failure, slots only inside the file;
// what the damage should cost, row by row.
TEST(Image, RefusesDamagedHeadersQuietly) {
    const Program pe = Build(Shapes[0], false, 12);
    const Program elf = Build(Shapes[3], false, 12);
    const std::size_t directories = PeDirectoriesAt(pe.plan);
    const std::size_t elfSections = ElfSectionTableAt(elf.plan);
    const std::size_t relocations = pe.plan.sections.back().fileOffset;
    const std::size_t relaEntry = elfSections + 64 * elf.plan.sections.size(); // .rela.dyn's
    // Writes the low `bytes` bytes of value at `at`.
    const auto put = [](std::size_t at, std::uint64_t value, int bytes = 4) {
        return [=](Bytes& b) {
            for (int i = 0; i < bytes; ++i) {
                b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> 8 * i);
            }
        };
    };
    const auto none = [](const Image& image, const std::vector<AddressSlot>&) {
        return image.format == ImageFormat::None && image.sections.empty();
    };
    // How many slots of a kind there are.
    const auto kinds = [](const std::vector<AddressSlot>& slots, AddressSlot::Kind kind) {
        return std::count_if(slots.begin(), slots.end(),
                             [kind](const AddressSlot& s) { return s.kind == kind; });
    };
    const std::size_t peRelocated = kinds(pe.slots, AddressSlot::Kind::Absolute64);
    const std::size_t peUnwound = kinds(pe.slots, AddressSlot::Kind::Address32);
    struct Row {
        const char* name;
        const Program& program;
        std::function<void(Bytes&)> damage;
        std::function<bool(const Image&, const std::vector<AddressSlot>&)> expected;
    };
    const auto relocatedLeft = [&](std::size_t count) {
        // count pointers from relocations left, and every exception table slot.
        return [&, count](const Image&, const std::vector<AddressSlot>& s) {
            return static_cast<std::size_t>(kinds(s, AddressSlot::Kind::Absolute64)) == count &&
                   static_cast<std::size_t>(kinds(s, AddressSlot::Kind::Address32)) == peUnwound;
        };
    };
    const Row rows[] = {
        {"PE header past the end", pe, put(0x3C, 0xFFFFFFF0), none},
        {"no PE signature", pe, put(PeHeaderAt, 0x4551), none},
        {"unknown optional header", pe, put(PeOptionalHeaderAt, 0x107, 2), none},
        {"section count past the end", pe, put(PeHeaderAt + 6, 0xFFFF, 2), none},
        {"a machine it does not know", pe, put(PeHeaderAt + 4, 0x01C0, 2),
         [](const Image& image, const auto&) {
             return image.format == ImageFormat::Pe && !image.Modeled() &&
                    image.sections.size() == 5;
         }},
        // Windows on ARM: Thumb code, which a 2.2 delta does not take.
        {"ARMNT", pe, put(PeHeaderAt + 4, 0x01C4, 2),
         [](const Image& image, const auto&) {
             return image.machine == Machine::Arm32 && image.Modeled() && !image.Known() &&
                    InstructionSetIdOf(image) == InstructionSetId::T32;
         }},
        {"four billion directories", pe, put(directories - 4, 0xFFFFFFFF),
         [](const Image& image, const auto&) { return image.directories.size() == 16; }},
        {"relocations outside the file", pe, put(directories + 8 * 5, 0x7FFFF000),
         relocatedLeft(0)},
        {"relocations larger than the file", pe, put(directories + 8 * 5 + 4, 0xFFFFFFF0),
         relocatedLeft(peRelocated)},
        {"a relocation block under 8 bytes", pe, put(relocations + 4, 4), relocatedLeft(0)},
        {"a relocation block past the table", pe, put(relocations + 4, 0x10000), relocatedLeft(0)},
        {"exception table past the end", pe, put(directories + 8 * 3 + 4, 0xFFFFFFF0),
         [&](const Image&, const auto& s) { return s.size() >= pe.slots.size(); }},
        {"ELF32", elf, [](Bytes& b) { b[4] = 1; }, none},
        {"big-endian ELF", elf, [](Bytes& b) { b[5] = 2; }, none},
        {"ELF for i386", elf, put(18, 3, 2), none},
        {"section table past the end: the segments", elf, put(40, 0xFFFFFFFFFFFF, 8),
         [&](const Image& image, const auto& s) {
             return image.sections.size() == elf.plan.sections.size() && s.empty();
         }},
        {"section entries of 40 bytes: the segments", elf, put(58, 40, 2),
         [&](const Image& image, const auto& s) {
             return image.sections.size() == elf.plan.sections.size() && image.sections[0].code &&
                    s.empty();
         }},
        {"a section past the end", elf, put(elfSections + 64 * 3 + 24, 0xFFFFFFFFFFFF0000, 8),
         [&](const Image& image, const auto& s) {
             return image.sections[2].fileSize == 0 && s.size() < elf.slots.size();
         }},
        {"relocations of 16 bytes", elf, put(relaEntry + 56, 16, 8),
         [](const Image&, const auto& s) { return s.empty(); }},
        {"relocations larger than the file", elf, put(relaEntry + 32, 0xFFFFFFFFFFFF, 8),
         [&](const Image&, const auto& s) { return SameSlots(s, elf.slots); }},
    };
    for (const Row& row : rows) {
        Bytes bytes = row.program.bytes;
        row.damage(bytes);
        const Image image = Parse(bytes);
        EXPECT_TRUE(row.expected(image, SlotsOf(bytes, image))) << row.name;
        ExpectSaneSlots(bytes, row.name);
    }
}

// Where each table that a PE image's directories name lies: at the file
// offset of its address (the certificate table's address is that offset),
// as many of its size's bytes as the file holds; nowhere for a table the
// image does not declare, of size 0, or whose offset lies nowhere or at or
// past the end of the file (the last section here claims 64 KiB more than
// the file holds). An ELF image names no such table.
TEST(Image, FindsTheFileBytesOfEachTable) {
    const Program pe = Build(Shapes[0], false, 12);
    const std::size_t directories = PeDirectoriesAt(pe.plan);
    const std::uint64_t fileSize = pe.bytes.size();
    const PeDirectory exception = pe.plan.directories[static_cast<std::size_t>(PeTable::Exception)];
    const std::uint64_t exceptionAt = *Parse(pe.bytes).OffsetOf(exception.address);
    const SectionPlan& last = pe.plan.sections.back();
    const auto lastAddress = static_cast<std::uint32_t>(last.address);
    const auto lastOffset = static_cast<std::uint32_t>(last.fileOffset);
    const auto pastTheFile =
        static_cast<std::uint32_t>(last.address + (fileSize - last.fileOffset));
    struct Row {
        const char* name;
        PeTable table;
        std::uint32_t address; // written into the table's directory
        std::uint32_t size;
        std::optional<FileRange> expected;
        std::uint32_t declared = 16; // NumberOfRvaAndSizes
    };
    const Row rows[] = {
        {"as built", PeTable::Exception, exception.address, exception.size,
         FileRange{exceptionAt, exception.size}},
        {"larger than the file", PeTable::Exception, exception.address, 0xFFFFFFF0,
         FileRange{exceptionAt, fileSize - exceptionAt}},
        {"of size 0", PeTable::Exception, exception.address, 0, std::nullopt},
        {"not declared", PeTable::Exception, exception.address, exception.size, std::nullopt, 3},
        {"at an address no section holds", PeTable::Exception, 0x7FFFF000, 16, std::nullopt},
        {"on the file's last byte", PeTable::Debug, pastTheFile - 1, 28,
         FileRange{fileSize - 1, 1}},
        {"past the file's end", PeTable::Debug, pastTheFile, 28, std::nullopt},
        {"in the last section", PeTable::Import, lastAddress, 40, FileRange{last.fileOffset, 40}},
        {"certificates at a file offset", PeTable::Certificate, lastOffset, 0x20,
         FileRange{lastOffset, 0x20}},
        {"certificates past the end", PeTable::Certificate, static_cast<std::uint32_t>(fileSize), 4,
         std::nullopt},
    };
    for (const Row& row : rows) {
        Bytes bytes = pe.bytes;
        PutLe32(&bytes[PeSectionTableAt(pe.plan) + 40 * (pe.plan.sections.size() - 1) + 16],
                static_cast<std::uint32_t>(fileSize - last.fileOffset + 0x10000));
        PutLe32(&bytes[directories - 4], row.declared);
        const std::size_t entry = directories + 8 * static_cast<std::size_t>(row.table);
        PutLe32(&bytes[entry], row.address);
        PutLe32(&bytes[entry + 4], row.size);
        EXPECT_EQ(TableRange(Parse(bytes), row.table), row.expected) << row.name;
    }
    const Image elf = Parse(Build(Shapes[3], false, 12).bytes);
    for (std::size_t table = 0; table < PeTableCount; ++table) {
        EXPECT_FALSE(TableRange(elf, static_cast<PeTable>(table)).has_value()) << table;
    }
}

// The base relocation table's writer and reader agree: the table written
// for any pointers reads back as the same pointers by address (of two at
// one address the 32-bit one first), each block a multiple of four bytes;
// and its bytes are the format's, as a table written by hand shows. A
// reader given part of a table reads the blocks that lie wholly in it.
TEST(PeRelocations, ReadsWhatItWrites) {
    using Kind = AddressSlot::Kind;
    const auto read = [](const Bytes& table, std::uint64_t size) {
        MemoryStream stream = StreamOf(table);
        WorkPoll steps(nullptr);
        FileBytes in(stream, steps);
        std::vector<PeRelocation> found;
        ReadPeRelocations(in, {0, size},
                          [&](const PeRelocation& pointer) { found.push_back(pointer); });
        return found;
    };
    const std::vector<PeRelocation> few = {{0x3000, Kind::Absolute32},
                                           {0x1008, Kind::Absolute64},
                                           {0x1004, Kind::Absolute64},
                                           {0x1004, Kind::Absolute32}};
    const Bytes byHand = {0x00, 0x10, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x04, 0x30,
                          0x04, 0xA0, 0x08, 0xA0, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00,
                          0x0C, 0x00, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00};
    EXPECT_EQ(WritePeRelocations(few), byHand);
    EXPECT_EQ(read(byHand, byHand.size()),
              (std::vector<PeRelocation>{few[3], few[2], few[1], few[0]}));
    EXPECT_EQ(read(byHand, byHand.size() - 1), (std::vector<PeRelocation>{few[3], few[2], few[1]}));
    EXPECT_TRUE(WritePeRelocations({}).empty());

    std::mt19937_64 random(11);
    std::vector<PeRelocation> pointers;
    for (int i = 0; i < 20000; ++i) {
        // Clustered in a few hundred pages, as an image's are, and some at
        // the top of the address space.
        const std::uint64_t page = random() % 8 == 0 ? 0xFFFFF000 : (random() % 300) << 12;
        pointers.push_back(
            {page | (random() % 0x1000), random() % 2 == 0 ? Kind::Absolute32 : Kind::Absolute64});
    }
    const Bytes table = WritePeRelocations(pointers);
    std::stable_sort(pointers.begin(), pointers.end(),
                     [](const PeRelocation& a, const PeRelocation& b) {
                         return a.address != b.address
                                    ? a.address < b.address
                                    : a.kind == Kind::Absolute32 && b.kind == Kind::Absolute64;
                     });
    EXPECT_EQ(read(table, table.size()), pointers);
    for (std::size_t at = 0; at < table.size(); at += GetLe32(&table[at + 4])) {
        ASSERT_EQ(GetLe32(&table[at + 4]) % 4, 0u) << at;
        ASSERT_EQ(GetLe32(&table[at]) % 0x1000, 0u) << at;
    }
}

// Headers that declare the largest tables their fields can (PE: 65535
// sections; ELF: 65535 sections and segments of 65535 bytes each) in a file
// of a few hundred bytes: read without failing, and without asking for
// memory the file could not fill (the file bounds what a table may take).
TEST(Image, AsksForNoMoreMemoryThanTheFileHolds) {
    Bytes pe = Build(Shapes[0], false, 2).bytes;
    PutLe16(&pe[PeHeaderAt + 6], 0xFFFF);
    Bytes elf = Build(Shapes[4], false, 2).bytes;
    for (const std::size_t field : {54, 56, 58, 60}) {
        PutLe16(&elf[field], 0xFFFF);
    }
    for (const Bytes* bytes : {&pe, &elf}) {
        OtherThreadAllocations watch;
        watch.RefuseOver(4u << 20);
        auto parse = std::async(std::launch::async, [&] { return SlotsOf(*bytes, Parse(*bytes)); });
        EXPECT_NO_THROW(parse.get()) << (bytes == &pe ? "PE" : "ELF");
        EXPECT_LE(watch.Largest(), 4u << 20) << (bytes == &pe ? "PE" : "ELF");
    }
}

// Relocation tables that repeat each other: 1000 that each take the whole
// file give the slots that one does, and tables that overlap at one
// alignment those of the one table they make up; reading them takes no
// more memory than reading one (it took 3.6 GB for 2.4 MB). A table at
// another alignment is another table.
TEST(Image, ReadsRepeatedRelocationTablesOnce) {
    using Tables = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    const Program program = Build(Shapes[3], false, 300);
    const std::uint64_t whole = program.bytes.size() + 64 * 1001 + 64;
    const auto slots = [](const Bytes& bytes) { return SlotsOf(bytes, Parse(bytes)); };
    // One table and 999 empty ones, against 1000 alike.
    Tables tables(1000, {0, 0});
    tables[0] = {0, whole};
    const Bytes once = WithRelocationTables(program, tables);
    const std::vector<AddressSlot> expected = slots(once);
    const std::size_t memory = [&] {
        const MemoryPeak peak;
        static_cast<void>(slots(once));
        return peak.Most();
    }();
    ASSERT_GT(expected.size(), 1000u);
    const Bytes copies = WithRelocationTables(program, Tables(1000, {0, whole}));
    ASSERT_EQ(copies.size(), once.size());
    {
        const MemoryPeak peak;
        EXPECT_EQ(slots(copies), expected);
        EXPECT_LT(peak.Most(), 2 * memory);
    }
    const std::uint64_t third = whole / 72 * 24;
    EXPECT_EQ(slots(WithRelocationTables(
                  program, {{third, third}, {0, 2 * third}, {2 * third, whole}, {24, third}})),
              slots(WithRelocationTables(program, {{0, whole}, {0, 0}, {0, 0}, {0, 0}})));
    EXPECT_NE(slots(WithRelocationTables(program, {{0, whole}, {8, whole}})),
              slots(WithRelocationTables(program, {{0, whole}, {0, 0}})));
}

// Every length a file may be cut to, and every byte of its headers and
// tables changed: no failure, and slots only inside what is left.
TEST(Image, ReadsEveryCutAndChangedFileWithoutFailing) {
    for (const Shape& shape : Shapes) {
        const Program program = Build(shape, false, 6);
        const Bytes& bytes = program.bytes;
        for (std::size_t size = 0; size < bytes.size(); ++size) {
            ExpectSaneSlots(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)),
                            std::string(shape.name) + " cut to " + std::to_string(size));
        }
        const SectionPlan& tables = program.plan.sections.back();
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i >= program.plan.sections[0].fileOffset && i < tables.fileOffset) {
                i = tables.fileOffset;
            }
            for (const std::uint8_t flip : {0x80, 0xFF}) {
                Bytes changed = bytes;
                changed[i] ^= flip;
                ExpectSaneSlots(changed, std::string(shape.name) + " byte " + std::to_string(i));
            }
        }
    }
}

// One instruction form: its bytes (references naming their own place), where
// the row reports its reference, and what it can name: x86 a displacement
// of 32 bits from its end; ARM64 a distance of `bits` bits from the
// instruction in steps of `step` bytes, or for an ADRP pair a page within 4
// GiB and the low 12 bits in steps of `step`.
struct Form {
    const char* name;
    Machine machine;
    Bytes code;
    std::uint64_t at; // of the reference
    int bits;         // of the signed distance
    std::uint64_t step;
    bool pages = false;
    std::size_t variant = 0; // a bit that says nothing of where it points
};

const Form Forms[] = {
    {"call", Machine::X64, {0xE8, 0, 0, 0, 0}, 1, 32, 1},
    {"jmp", Machine::X64, {0xE9, 0, 0, 0, 0}, 1, 32, 1},
    {"jne", Machine::X64, {0x0F, 0x85, 0, 0, 0, 0}, 2, 32, 1, false, 8},
    {"mov rax, [rip]", Machine::X64, {0x48, 0x8B, 0x05, 0, 0, 0, 0}, 3, 32, 1},
    {"cmp [rip], imm8", Machine::X64, {0x83, 0x3D, 0, 0, 0, 0, 0x7F}, 2, 32, 1, false, 48},
    {"mov [rip], imm32", Machine::X64, {0xC7, 0x05, 0, 0, 0, 0, 1, 2, 3, 4}, 2, 32, 1, false, 72},
    {"mov [rip], imm16", Machine::X64, {0x66, 0xC7, 0x05, 0, 0, 0, 0, 5, 6}, 3, 32, 1, false, 64},
    {"call [rip]", Machine::X64, {0xFF, 0x15, 0, 0, 0, 0}, 2, 32, 1},
    {"i386 call", Machine::I386, {0xE8, 0, 0, 0, 0}, 1, 32, 1},
    {"i386 jg", Machine::I386, {0x0F, 0x8F, 0, 0, 0, 0}, 2, 32, 1},
    {"BL", Machine::Arm64, Words({0x94000000}), 0, 28, 4, false, 31},
    {"B.NE", Machine::Arm64, Words({0x54000001}), 0, 21, 4},
    {"CBNZ", Machine::Arm64, Words({0xB5000003}), 0, 21, 4},
    {"LDR literal", Machine::Arm64, Words({0x58000003}), 0, 21, 4},
    {"TBNZ", Machine::Arm64, Words({0x37180005}), 0, 16, 4},
    {"ADR", Machine::Arm64, Words({0x10000001}), 0, 21, 1},
    {"ADRP, ADD", Machine::Arm64, Words({0x90000000, 0x91000000}), 0, 33, 1, true, 32},
    {"ADRP, nop, LDR x", Machine::Arm64, Words({0x90000010, 0xD503201F, 0xF9400210}), 0, 33, 8,
     true, 64},
    {"ADRP, LDRB", Machine::Arm64, Words({0x90000002, 0x39400042}), 0, 33, 1, true, 32},
    {"ADRP, LDRH", Machine::Arm64, Words({0x90000002, 0x79400042}), 0, 33, 2, true, 32},
    {"ADRP, STR w", Machine::Arm64, Words({0x90000002, 0xB9000041}), 0, 33, 4, true, 32},
    {"ADRP, LDR q", Machine::Arm64, Words({0x90000002, 0x3DC00040}), 0, 33, 16, true, 32},
};

// An image that holds every address.
Image Everything(Machine machine) {
    Image image;
    image.format = ImageFormat::Pe;
    image.machine = machine;
    image.sections = {{0, UINT64_MAX, 0, 0, true}};
    image.IndexSections();
    return image;
}

// Where a form's distance counts from: the instruction (ARM64) or its end.
std::uint64_t Origin(const Form& form, std::uint64_t address) {
    return form.machine == Machine::Arm64 ? address : address + form.code.size();
}

// A target the form can name, chosen by random.
std::uint64_t Reachable(const Form& form, std::uint64_t address, std::mt19937_64& random) {
    if (form.pages) {
        const auto page = static_cast<std::int64_t>(random() % (1u << 21)) - (1 << 20);
        return ((address >> 12) + static_cast<std::uint64_t>(page)) << 12 |
               (random() % (4096 / form.step)) * form.step;
    }
    const std::uint64_t steps = (std::uint64_t{1} << form.bits) / form.step;
    const auto distance = static_cast<std::int64_t>(random() % steps * form.step) -
                          (std::int64_t{1} << (form.bits - 1));
    return Origin(form, address) + static_cast<std::uint64_t>(distance);
}

// Find, then retarget to a random reachable target and read it back, many
// times: the target read is the one given, and no bit of the instructions
// that does not say where they point has changed. Targets out of reach, or
// not a multiple of what the instruction counts in, are refused with the
// code as it was.
TEST(InstructionSet, RetargetsEveryFormWithinItsReach) {
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 random(seed);
        for (const Form& form : Forms) {
            SCOPED_TRACE(form.name);
            const InstructionSet& row = *InstructionSetOf(form.machine);
            const std::uint64_t address = (random() & 0xFFFFFFFFFFFF) & ~std::uint64_t{3};
            Bytes code = form.code;
            const std::optional<CodeReference> reference =
                row.find(code, 0, address, Everything(form.machine));
            ASSERT_TRUE(reference.has_value());
            EXPECT_EQ(reference->at, form.at);
            EXPECT_EQ(std::size_t{reference->size},
                      form.machine == Machine::Arm64 ? code.size() : 4u);
            const std::uint64_t here =
                form.pages ? address & ~std::uint64_t{0xFFF} : Origin(form, address);
            EXPECT_EQ(row.target(code, *reference, address), here);
            Bytes marked = form.code;
            row.mark(marked, *reference, 0);
            for (int i = 0; i < 200; ++i) {
                const std::uint64_t target = Reachable(form, address, random);
                ASSERT_TRUE(row.retarget(code, *reference, address, target)) << std::hex << target;
                ASSERT_EQ(row.target(code, *reference, address), target);
                Bytes erased = code;
                row.mark(erased, *reference, 0);
                ASSERT_EQ(erased, marked);
            }
            const Bytes before = code;
            const std::uint64_t limit = std::uint64_t{1} << (form.bits - 1);
            std::vector<std::uint64_t> refused = {Origin(form, address) + limit,
                                                  Origin(form, address) - limit - form.step};
            if (form.pages) {
                refused = {(address & ~std::uint64_t{0xFFF}) + limit,
                           (address & ~std::uint64_t{0xFFF}) - limit - 4096};
            }
            if (form.step > 1) {
                refused.push_back(here + form.step / 2);
            }
            for (const std::uint64_t target : refused) {
                EXPECT_FALSE(row.retarget(code, *reference, address, target)) << std::hex << target;
                EXPECT_EQ(code, before);
            }
        }
    }
}

// The bytes a rewrite works on may have changed since the scan found a
// reference there (an earlier rewrite of an overlapping reference): the
// arithmetic still takes what the scan found, an ADRP's partner's scale
// among it, and sets nothing but the immediates. For each partner, its
// word is changed to a branch before the rewrite; a reference that no
// longer lies wholly in the code is left as it is.
TEST(InstructionSet, RetargetsWhatTheScanFoundWhateverWasRewrittenSince) {
    const InstructionSet& row = *InstructionSetOf(Machine::Arm64);
    const Image image = Everything(Machine::Arm64);
    const std::uint64_t address = 0x40000;
    const std::uint64_t target = 0x123450; // a multiple of 16: every scale reaches it
    const std::uint32_t branch = 0x14000000;
    for (const std::uint32_t partner :
         {0x91000042u, 0x39400042u, 0x79400042u, 0xB9400042u, 0xF9400042u, 0x3DC00042u}) {
        SCOPED_TRACE(std::to_string(partner));
        Bytes code = Words({0x90000002, partner});
        const std::optional<CodeReference> found = row.find(code, 0, address, image);
        ASSERT_TRUE(found.has_value());
        const std::uint32_t scale = partner == 0x91000042u                   ? 0
                                    : (partner & 0x04800000u) == 0x04800000u ? 4
                                                                             : partner >> 30;
        PutLe32(&code[4], branch);
        ASSERT_TRUE(row.retarget(code, *found, address, target));
        EXPECT_EQ(GetLe32(&code[4]), branch | ((target & 0xFFF) >> scale) << 10);
        EXPECT_EQ(GetLe32(&code[0]) & 0x9F00001Fu, 0x90000002u);
        const Bytes cut(code.begin(), code.begin() + 6);
        Bytes left = cut;
        EXPECT_FALSE(row.retarget(left, *found, address, target));
        row.mark(left, *found, 0xFFFFFFFF);
        EXPECT_EQ(left, cut);
    }
    Bytes call = {0xE8, 0, 0, 0, 0};
    const std::optional<CodeReference> x86 =
        InstructionSetOf(Machine::X64)->find(call, 0, 0x1000, Everything(Machine::X64));
    ASSERT_TRUE(x86.has_value());
    Bytes short4(call.begin(), call.begin() + 4);
    EXPECT_FALSE(InstructionSetOf(Machine::X64)->retarget(short4, *x86, 0x1000, 0x2000));
}

// --- ELF32 and 32-bit ARM ---

// An ELF32 image: code at 0x10000, data at 0x20000, memory only at
// 0x30000, a REL table of four relocations: a relative one of a data
// word, one of another type, a relative one of an address without file
// bytes, and a relative one of another data word; and an exception index
// of four entries at 0x50000, whose second words are EXIDX_CANTUNWIND,
// inline data, and offsets, and whose last first word is not an offset.
struct Elf32Example {
    ImagePlan plan;
    Bytes bytes;
    std::vector<AddressSlot> slots; // as ReadAddressSlots should find them
    // and those it finds besides with a 32-bit ARM row with literals
    std::vector<AddressSlot> indexSlots;
};

Elf32Example BuildElf32(Machine machine, std::uint8_t relative, std::uint8_t other,
                        bool segmentsOnly = false) {
    Elf32Example example;
    ImagePlan& plan = example.plan;
    plan.format = ImageFormat::Elf;
    plan.machine = machine;
    plan.fileAlignment = 16;
    plan.segmentsOnly = segmentsOnly;
    plan.sections = {
        {".text", 0x10000, Bytes(64, 0), 0, true},
        {".data", 0x20000, Bytes(32, 0x11)},
        {".bss", 0x30000, Bytes(), 0x100, false, 8},
        {".rel.dyn", 0x40000,
         Elf32Relocations(
             {{0x20004, relative}, {0x20008, other}, {0x30000, relative}, {0x20010, relative}}),
         0, false, 9},
        {".ARM.exidx", 0x50000, Bytes(32), 0, false, 0x70000001}};
    const auto offset = [](std::uint32_t from, std::uint32_t to) {
        return (to - from) & 0x7FFFFFFF;
    };
    std::uint8_t* index = plan.sections[4].bytes.data();
    for (std::uint32_t i = 0; i < 4; ++i) {
        PutLe32(index + 8 * i, offset(0x50000 + 8 * i, 0x10000 + 16 * i));
    }
    PutLe32(index + 4, 1);
    PutLe32(index + 12, 0x80B0B0B0);
    PutLe32(index + 20, offset(0x50014, 0x20000));
    PutLe32(index + 24, 0x80000000);
    PutLe32(index + 28, offset(0x5001C, 0x20008));
    LayOutElf32(plan);
    example.bytes = BuildElf32Image(plan);
    const std::uint64_t data = plan.sections[1].fileOffset;
    const std::uint64_t table = plan.sections[3].fileOffset;
    for (const std::uint64_t at : {0, 8, 16, 20, 28}) {
        example.indexSlots.push_back(
            {plan.sections[4].fileOffset + at, AddressSlot::Kind::Relative31});
    }
    if (!segmentsOnly) {
        example.slots = {{data + 4, AddressSlot::Kind::Absolute32},
                         {data + 0x10, AddressSlot::Kind::Absolute32}};
        for (std::uint64_t i = 0; i < 4; ++i) {
            example.slots.push_back({table + 8 * i, AddressSlot::Kind::Absolute32});
        }
    }
    return example;
}

// i386 and 32-bit ARM, from the section table and from the segments: the
// sections as laid out (memory only for SHT_NOBITS), 4-byte slots for each
// relocation's r_offset and for the word a relative relocation names where
// the file holds it, and for the rows with literals the exception index's
// offsets. Images the 2.2 filter does not take.
TEST(Image, ReadsElf32ImagesAndTheirRelativeRelocations) {
    struct Row {
        const char* name;
        Machine machine;
        std::uint8_t relative;
        std::uint8_t other;
        bool segmentsOnly;
    };
    const Row rows[] = {{"i386", Machine::I386, 8, 7, false},
                        {"ARM", Machine::Arm32, 23, 22, false},
                        {"ARM segments", Machine::Arm32, 23, 22, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Elf32Example example =
            BuildElf32(row.machine, row.relative, row.other, row.segmentsOnly);
        const Image image = Parse(example.bytes);
        EXPECT_EQ(image.format, ImageFormat::Elf);
        EXPECT_EQ(image.machine, row.machine);
        EXPECT_TRUE(image.Modeled());
        EXPECT_FALSE(image.Known());
        EXPECT_TRUE(image.positionIndependent);
        EXPECT_EQ(image.imageBase, 0u);
        ASSERT_EQ(image.sections.size(), example.plan.sections.size());
        for (std::size_t i = 0; i < image.sections.size(); ++i) {
            const SectionPlan& plan = example.plan.sections[i];
            const ImageSection& section = image.sections[i];
            EXPECT_EQ(section.address, plan.address) << i;
            EXPECT_EQ(section.virtualSize,
                      plan.virtualSize != 0 ? plan.virtualSize : plan.bytes.size())
                << i;
            EXPECT_EQ(section.fileOffset, plan.fileOffset) << i;
            EXPECT_EQ(section.fileSize, plan.bytes.size()) << i;
            EXPECT_EQ(section.code, i == 0) << i;
        }
        EXPECT_EQ(SlotsOf(example.bytes, image), example.slots);
        // The exception index is read for the rows with literals alone.
        Image literals = image;
        literals.armLiterals = true;
        std::vector<AddressSlot> expected = example.slots;
        if (row.machine == Machine::Arm32 && !row.segmentsOnly) {
            expected.insert(expected.end(), example.indexSlots.begin(), example.indexSlots.end());
        }
        EXPECT_EQ(SlotsOf(example.bytes, literals), expected);
    }
    // Tables of the other class's kind are not read, and no file whose class
    // is not its machine's is an image.
    Elf32Example rela = BuildElf32(Machine::Arm32, 23, 22);
    PutLe32(&rela.bytes[Elf32SectionTableAt(rela.plan) + 40 * 4 + 4], 4);
    EXPECT_TRUE(SlotsOf(rela.bytes, Parse(rela.bytes)).empty());
    for (const std::uint16_t machine : {62, 183}) {
        Bytes bytes = BuildElf32(Machine::Arm32, 23, 22).bytes;
        PutLe16(&bytes[18], machine);
        EXPECT_EQ(Parse(bytes).format, ImageFormat::None) << machine;
    }
}

// Damaged ELF32 headers and tables: never a failure, slots only inside the
// file; what the damage costs, row by row; then every cut and every byte
// changed.
TEST(Image, RefusesDamagedElf32Quietly) {
    const Elf32Example arm = BuildElf32(Machine::Arm32, 23, 22);
    const std::size_t sections = Elf32SectionTableAt(arm.plan);
    const std::size_t rel = sections + 40 * 4; // .rel.dyn's entry
    const std::uint64_t table = arm.plan.sections[3].fileOffset;
    const auto put32 = [](std::size_t at, std::uint32_t value) {
        return [=](Bytes& b) { PutLe32(&b[at], value); };
    };
    const auto put16 = [](std::size_t at, std::uint16_t value) {
        return [=](Bytes& b) { PutLe16(&b[at], value); };
    };
    const auto none = [](const Image& image, const std::vector<AddressSlot>& s) {
        return image.format == ImageFormat::None && image.sections.empty() && s.empty();
    };
    const auto segments = [](const Image& image, const std::vector<AddressSlot>& s) {
        return image.sections.size() == 5 && image.sections[0].code && s.empty();
    };
    struct Row {
        const char* name;
        std::function<void(Bytes&)> damage;
        std::function<bool(const Image&, const std::vector<AddressSlot>&)> expected;
    };
    const Row rows[] = {
        {"cut inside the header", [](Bytes& b) { b.resize(51); }, none},
        {"ELF64 class", [](Bytes& b) { b[4] = 2; }, none},
        {"big-endian", [](Bytes& b) { b[5] = 2; }, none},
        {"section table past the end: the segments", put32(32, 0xFFFFFFF0), segments},
        {"section entries of 32 bytes: the segments", put16(46, 32), segments},
        {"65535 sections: the segments", put16(48, 0xFFFF), segments},
        {"segments past the end too",
         [&](Bytes& b) {
             PutLe32(&b[32], 0xFFFFFFF0);
             PutLe32(&b[28], 0xFFFFFFF0);
         },
         [](const Image& image, const auto& s) {
             return image.format == ImageFormat::Elf && image.sections.empty() && s.empty();
         }},
        {"data past the end", put32(sections + 40 * 2 + 16, 0xFFFFFF00),
         [&](const Image& image, const auto& s) {
             return image.sections[1].fileSize == 0 &&
                    s == std::vector<AddressSlot>(arm.slots.begin() + 2, arm.slots.end());
         }},
        {"relocations larger than the file: the index's entries too", put32(rel + 20, 0xFFFFFFFF),
         [&](const Image&, const auto& s) {
             std::vector<AddressSlot> expected = arm.slots;
             for (std::uint64_t at = 0; at < 32; at += 8) {
                 expected.push_back(
                     {arm.plan.sections[4].fileOffset + at, AddressSlot::Kind::Absolute32});
             }
             return s == expected;
         }},
        {"relocations past the end", put32(rel + 16, 0xFFFFFFF8),
         [](const Image&, const auto& s) { return s.empty(); }},
        {"relocations of 12 bytes", put32(rel + 36, 12),
         [](const Image&, const auto& s) { return s.empty(); }},
        {"relocations not allocated", put32(rel + 8, 0),
         [](const Image&, const auto& s) { return s.empty(); }},
        {"a relative relocation of an address outside", put32(table, 0xFFFFFFF0),
         [&](const Image&, const auto& s) {
             return s == std::vector<AddressSlot>(arm.slots.begin() + 1, arm.slots.end());
         }},
        {"relative relocations of symbol 1", [&](Bytes& b) { b[table + 5] = 1; },
         [&](const Image&, const auto& s) { return s == arm.slots; }},
    };
    for (const Row& row : rows) {
        Bytes bytes = arm.bytes;
        row.damage(bytes);
        const Image image = Parse(bytes);
        EXPECT_TRUE(row.expected(image, SlotsOf(bytes, image))) << row.name;
        ExpectSaneSlots(bytes, row.name);
    }
    for (std::size_t size = 0; size < arm.bytes.size(); ++size) {
        ExpectSaneSlots(
            Bytes(arm.bytes.begin(), arm.bytes.begin() + static_cast<std::ptrdiff_t>(size)),
            "cut to " + std::to_string(size));
    }
    for (std::size_t i = 0; i < arm.bytes.size(); ++i) {
        for (const std::uint8_t flip : {0x80, 0xFF}) {
            Bytes changed = arm.bytes;
            changed[i] ^= flip;
            ExpectSaneSlots(changed, "byte " + std::to_string(i));
        }
    }
}

// An image of 32-bit ARM code that holds every 32-bit address.
Image ArmEverything(ArmState state) {
    return ElfImageOf(Machine::Arm32, state, {{0, std::uint64_t{1} << 32, 0, 0, true}});
}

const InstructionSet& RowOf(ArmState state) {
    return *InstructionSetOf(state == ArmState::Arm ? InstructionSetId::A32
                                                    : InstructionSetId::T32);
}

// One 32-bit ARM form: its bytes, where its reference lies and how many
// bytes it spans, and what it names: a distance of `bits` bits in steps of
// `step` from the instruction's address + `ahead` (with its low 2 bits 0
// where `aligned`), or (bits 0) the address its bytes hold.
struct ArmForm {
    const char* name;
    ArmState state;
    Bytes code;
    std::uint64_t at;
    std::uint64_t size;
    int bits;
    std::uint32_t step;
    std::uint32_t ahead;
    bool aligned = false;
    std::uint32_t holds = 0; // of an address pair
};

const ArmForm ArmForms[] = {
    {"B", ArmState::Arm, Words({0xEA000000}), 0, 4, 26, 4, 8},
    {"BLNE", ArmState::Arm, Words({0x1B000000}), 0, 4, 26, 4, 8},
    {"BLX", ArmState::Arm, Words({0xFA000000}), 0, 4, 26, 2, 8, true},
    {"MOVW, MOVT", ArmState::Arm, Words({0xE3050678, 0xE3410234}), 0, 8, 0, 1, 0, false,
     0x12345678},
    {"MOVW, two others, MOVT", ArmState::Arm,
     Words({0xE30C0DEF, 0xE1A01002, 0xE0811002, 0xE34A0BCD}), 0, 16, 0, 1, 0, false, 0xABCDCDEF},
    {"BL", ArmState::Thumb, Halves({0xF000, 0xF800}), 0, 4, 25, 2, 4},
    {"B.W", ArmState::Thumb, Halves({0xF000, 0xB800}), 0, 4, 25, 2, 4},
    {"BLX", ArmState::Thumb, Halves({0xF000, 0xE800}), 0, 4, 25, 4, 4, true},
    {"BNE.W", ArmState::Thumb, Halves({0xF040, 0x8000}), 0, 4, 21, 2, 4},
    {"BL after a nop", ArmState::Thumb, Halves({0xBF00, 0xF000, 0xF800}), 2, 4, 25, 2, 4},
    {"MOVW, MOVT", ArmState::Thumb, Halves({0xF245, 0x6078, 0xF2C1, 0x2034}), 0, 8, 0, 1, 0, false,
     0x12345678},
    {"MOVW, nop, MOVT", ArmState::Thumb, Halves({0xF64C, 0x50EF, 0xBF00, 0xF6CA, 0x30CD}), 0, 10, 0,
     1, 0, false, 0xABCDCDEF},
};

// Where a form's distance counts from, its instruction at pc.
std::uint32_t ArmOrigin(const ArmForm& form, std::uint32_t pc) {
    const std::uint32_t origin = pc + form.ahead;
    return form.aligned ? origin & ~3u : origin;
}

// Find, target, then retarget to random reachable targets and read them
// back: the target read is the one given, and no bit that says something
// else than where the reference points has changed (marked alike). Targets
// out of reach, not a multiple of the form's step, or (an address pair)
// past 32 bits, are refused with the code as it was.
TEST(InstructionSet, RetargetsEveryArm32FormWithinItsReach) {
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 random(seed);
        for (const ArmForm& form : ArmForms) {
            SCOPED_TRACE(std::string(form.state == ArmState::Arm ? "A32 " : "T32 ") + form.name);
            const InstructionSet& row = RowOf(form.state);
            // Thumb code at addresses 2 past a multiple of 4 as well.
            const std::uint64_t address =
                (random() & 0xFFFFFFFC) + (form.state == ArmState::Thumb && seed % 2 == 0 ? 2 : 0);
            const auto pc = static_cast<std::uint32_t>(address + form.at);
            Bytes code = form.code;
            const auto reference = row.find(code, 0, address, ArmEverything(form.state));
            ASSERT_TRUE(reference.has_value());
            EXPECT_EQ(reference->at, form.at);
            EXPECT_EQ(std::uint64_t{reference->size}, form.size);
            EXPECT_EQ(row.target(code, *reference, address),
                      form.bits == 0 ? form.holds : ArmOrigin(form, pc));
            Bytes marked = form.code;
            row.mark(marked, *reference, 0);
            for (int i = 0; i < 200; ++i) {
                const std::uint64_t steps =
                    form.bits == 0 ? 0 : (std::uint64_t{1} << form.bits) / form.step;
                const std::uint32_t target =
                    form.bits == 0 ? static_cast<std::uint32_t>(random())
                                   : ArmOrigin(form, pc) +
                                         static_cast<std::uint32_t>(random() % steps * form.step) -
                                         (std::uint32_t{1} << (form.bits - 1));
                ASSERT_TRUE(row.retarget(code, *reference, address, target)) << std::hex << target;
                ASSERT_EQ(row.target(code, *reference, address), target);
                Bytes erased = code;
                row.mark(erased, *reference, 0);
                ASSERT_EQ(erased, marked);
            }
            const Bytes before = code;
            std::vector<std::uint64_t> refused = {std::uint64_t{1} << 32,
                                                  (std::uint64_t{1} << 32) + 0x40};
            if (form.bits != 0) {
                const std::uint32_t limit = std::uint32_t{1} << (form.bits - 1);
                refused.push_back(ArmOrigin(form, pc) + limit);
                refused.push_back(ArmOrigin(form, pc) - limit - form.step);
                refused.push_back(ArmOrigin(form, pc) + form.step / 2);
            }
            for (const std::uint64_t target : refused) {
                EXPECT_FALSE(row.retarget(code, *reference, address, target)) << std::hex << target;
                EXPECT_EQ(code, before);
            }
        }
    }
}

// Instructions as assemblers write them, at their addresses, and what they
// name; a mark of all ones sets every target bit and nothing else; a
// reference cut short is left as it is.
TEST(InstructionSet, ReadsArm32InstructionsAsAssembled) {
    struct Row {
        const char* name;
        ArmState state;
        Bytes code;
        std::uint64_t address;
        std::uint64_t target;
        Bytes marked; // with label 0xFFFFFFFF
    };
    const Row rows[] = {
        {"bne.w", ArmState::Thumb, Halves({0xF05E, 0x88F5}), 0x8000, 0xA61EE,
         Halves({0xF47F, 0xAFFF})},
        {"b.w", ArmState::Thumb, Halves({0xF1E1, 0x9F65}), 0x8008, 0x9E9ED6,
         Halves({0xF7FF, 0xBFFF})},
        {"bl .", ArmState::Thumb, Halves({0xF7FF, 0xFFFE}), 0x9000, 0x9000,
         Halves({0xF7FF, 0xFFFF})},
        {"blx", ArmState::Thumb, Halves({0xF000, 0xE800}), 0x9002, 0x9004,
         Halves({0xF7FF, 0xEFFE})},
        {"bl", ArmState::Arm, Words({0xEB000010}), 0x8000, 0x8048, Words({0xEBFFFFFF})},
        {"b .", ArmState::Arm, Words({0xEAFFFFFE}), 0x8000, 0x8000, Words({0xEAFFFFFF})},
        {"blx +2", ArmState::Arm, Words({0xFB000000}), 0x8000, 0x800A, Words({0xFBFFFFFF})},
        {"movw r3, movt r3", ArmState::Arm, Words({0xE3053678, 0xE3413234}), 0x8000, 0x12345678,
         Words({0xE30F3FFF, 0xE34F3FFF})},
        {"movw r3, movt r3", ArmState::Thumb, Halves({0xF245, 0x6378, 0xF2C1, 0x2334}), 0x8000,
         0x12345678, Halves({0xF64F, 0x73FF, 0xF6CF, 0x73FF})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const InstructionSet& set = RowOf(row.state);
        const auto reference = set.find(row.code, 0, row.address, ArmEverything(row.state));
        ASSERT_TRUE(reference.has_value());
        EXPECT_EQ(set.target(row.code, *reference, row.address), row.target);
        Bytes marked = row.code;
        set.mark(marked, *reference, 0xFFFFFFFF);
        EXPECT_EQ(marked, row.marked);
        Bytes cut(row.code.begin(), row.code.end() - 1);
        const Bytes before = cut;
        EXPECT_FALSE(set.retarget(cut, *reference, row.address, row.target));
        set.mark(cut, *reference, 0);
        EXPECT_EQ(cut, before);
    }
}

// Literal loads, each with the user of its word some instructions on (an
// ADD or, in A32, a LDR of pc and the word), at any address their
// alignment allows: the row with literals names what the user's pc and the
// word add to, and retargets and marks the word alone, to any 32-bit
// address; the row without reads none of them, a word cut short is left
// as it is, and a word over its user is none.
TEST(InstructionSet, ReadsArm32LiteralLoads) {
    constexpr std::uint32_t ArmNop = 0xE320F000;
    // An A32 load of r12 and its ADD r0, PC, r12 32 instructions on, the
    // word far past it.
    Bytes far(4000 + 4);
    for (std::size_t i = 4; i < 4000; i += 4) {
        PutLe32(&far[i], ArmNop);
    }
    PutLe32(&far[0], 0xE59FC000 | (4000 - 8));
    PutLe32(&far[128], 0xE08F000C);
    struct Form {
        const char* name;
        InstructionSetId id;
        Bytes code;           // the word 0
        std::uint64_t at;     // of the load
        std::uint64_t word;   // where its word lies
        std::uint64_t userPc; // the user's pc, from the code's address
    };
    const Form forms[] = {
        {"ldr r3, add r3, pc, r3", InstructionSetId::A32Literals,
         Words({0xE59F3000, 0xE08F3003, 0}), 0, 8, 12},
        {"ldrne r1, ldr r2, [pc, r1] 4 on", InstructionSetId::A32Literals,
         Words({0x159F1014, ArmNop, ArmNop, ArmNop, 0x079F2001, ArmNop, ArmNop, 0}), 0, 28, 24},
        {"ldr r12, add r0, pc, r12 32 on", InstructionSetId::A32Literals, far, 0, 4000, 136},
        {"ldr r3, add r3, pc", InstructionSetId::T32Literals,
         Halves({0x4B01, 0x447B, 0xBF00, 0xBF00, 0, 0}), 0, 8, 6},
        {"nop, ldr r3, nop, add r3, pc", InstructionSetId::T32Literals,
         Halves({0xBF00, 0x4B01, 0xBF00, 0x447B, 0, 0}), 2, 8, 10},
        {"ldr.w r12, add r12, pc", InstructionSetId::T32Literals,
         Halves({0xF8DF, 0xC008, 0x44FC, 0xBF00, 0xBF00, 0xBF00, 0, 0}), 0, 12, 8},
        {"ldr r0, movw r1, add r0, pc", InstructionSetId::T32Literals,
         Halves({0x4802, 0xF240, 0x0100, 0x4478, 0xBF00, 0xBF00, 0, 0}), 0, 12, 10},
    };
    std::mt19937_64 random(8);
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        const bool arm = form.id == InstructionSetId::A32Literals;
        const InstructionSet& row = *InstructionSetOf(form.id);
        const Image image = ArmEverything(arm ? ArmState::Arm : ArmState::Thumb);
        const std::uint64_t address = random() & 0xFFFFFFFC;
        const auto userPc = static_cast<std::uint32_t>(address + form.userPc);
        const auto word = static_cast<std::uint32_t>(random());
        Bytes code = form.code;
        PutLe32(&code[form.word], word);
        EXPECT_FALSE(InstructionSetOf(arm ? InstructionSetId::A32 : InstructionSetId::T32)
                         ->find(code, 0, address, image));
        const auto reference = row.find(code, 0, address, image);
        ASSERT_TRUE(reference.has_value());
        EXPECT_EQ(reference->at, form.at);
        EXPECT_EQ(reference->at + reference->literal, form.word);
        EXPECT_EQ(row.target(code, *reference, address), std::uint32_t{userPc + word});
        for (int i = 0; i < 100; ++i) {
            const auto target = static_cast<std::uint32_t>(random());
            Bytes expected = code;
            PutLe32(&expected[form.word], target - userPc);
            ASSERT_TRUE(row.retarget(code, *reference, address, target));
            ASSERT_EQ(code, expected);
            ASSERT_EQ(row.target(code, *reference, address), target);
        }
        const Bytes before = code;
        EXPECT_FALSE(row.retarget(code, *reference, address, std::uint64_t{1} << 32));
        EXPECT_EQ(code, before);
        Bytes marked = code;
        row.mark(marked, *reference, 0xFFFFFFFF);
        PutLe32(&code[form.word], 0xFFFFFFFF);
        EXPECT_EQ(marked, code);
        Bytes cut(before.begin(), before.end() - 1);
        const Bytes whole = cut;
        EXPECT_FALSE(row.retarget(cut, *reference, address, userPc));
        row.mark(cut, *reference, 0);
        EXPECT_EQ(cut, whole);
    }
    // A word over its own user is none: imm 0 from an address 2 past a
    // multiple of 4.
    EXPECT_FALSE(InstructionSetOf(InstructionSetId::T32Literals)
                     ->find(Halves({0x4B00, 0x447B, 0x1234, 0x5678}), 0, 0x8002,
                            ArmEverything(ArmState::Thumb)));
}

// What a scan takes and leaves: RIP-relative operands only in x86-64 code,
// no reference whose immediate runs past the code or whose target lies
// outside the image, an ADRP only with a partner within three instructions
// that takes its register, ARM64 instructions only at aligned addresses.
// And in 32-bit ARM code: A32 only at aligned addresses and never
// the unconditional space's look-alikes; a MOVW only with a MOVT of its
// register within three instructions and no MOVW of it between; no Thumb
// B<c>.W of condition 111x, no BLX with H set; no target outside the image.
TEST(InstructionSet, FindsOnlyWhatTheRulesTake) {
    const Bytes past = {0xC7, 0x05, 0, 0, 0, 0, 1, 2, 3};
    const std::uint32_t adrp = 0x90000000;
    const std::uint32_t add = 0x91000000;
    const std::uint32_t nop = 0xD503201F;
    const std::uint32_t movw = 0xE3000010; // r0: 0x10010 with the MOVT
    const std::uint32_t movt = 0xE3400001;
    const std::uint32_t armNop = 0xE320F000;
    const InstructionSetId A32L = InstructionSetId::A32Literals;
    const InstructionSetId T32L = InstructionSetId::T32Literals;
    const std::uint32_t ldr = 0xE59F0000;   // ldr r0, [pc, #imm12]
    const std::uint32_t addPc = 0xE08F0000; // add r0, pc, r0
    // A literal load at 0x1000, nops, its user, then its word, naming target.
    const auto Literal = [&](std::uint32_t load, std::uint32_t nops, std::uint32_t user,
                             std::uint32_t target = 0x10000) {
        Bytes code(4 * (nops + 3));
        PutLe32(&code[0], load | 4 * nops);
        for (std::uint32_t i = 1; i <= nops; ++i) {
            PutLe32(&code[4 * i], armNop);
        }
        PutLe32(&code[4 * (nops + 1)], user);
        PutLe32(&code[4 * (nops + 2)], target - (0x1000 + 4 * (nops + 1) + 8));
        return code;
    };
    const auto Cut = [](Bytes code) {
        code.pop_back();
        return code;
    };
    struct Row {
        const char* name;
        InstructionSetId id;
        Bytes code;
        std::uint64_t address;
        std::optional<std::uint64_t> at;
    };
    const Row rows[] = {
        {"RIP-relative", InstructionSetId::X64, {0x90, 0x8B, 0x05, 0, 0, 0, 0}, 0x1000, 3},
        {"no RIP-relative in i386",
         InstructionSetId::I386,
         {0x90, 0x8B, 0x05, 0, 0, 0, 0},
         0x1000,
         {}},
        {"an immediate past the end", InstructionSetId::X64, past, 0x1000, {}},
        {"a target outside", InstructionSetId::X64, {0xE8, 0, 0, 0, 0x10}, 0x1000, {}},
        {"a target before", InstructionSetId::X64, {0xE9, 0x00, 0xE0, 0xFF, 0xFF}, 0x1000, {}},
        {"a partner three on", InstructionSetId::Arm64, Words({adrp, nop, nop, add}), 0x1000, 0},
        {"a partner four on",
         InstructionSetId::Arm64,
         Words({adrp, nop, nop, nop, add}),
         0x1000,
         {}},
        {"a partner of another", InstructionSetId::Arm64, Words({adrp, add | 0x21}), 0x1000, {}},
        {"unaligned", InstructionSetId::Arm64, {0, 0, 0x01, 0x00, 0x00, 0x94}, 0x0FFE, 2},
        {"A32 unaligned", InstructionSetId::A32, {0, 0, 0, 0, 0, 0xEB}, 0x0FFE, 2},
        {"A32 a partner three on", InstructionSetId::A32, Words({movw, armNop, armNop, movt}),
         0x1000, 0},
        {"A32 a partner four on",
         InstructionSetId::A32,
         Words({movw, armNop, armNop, armNop, movt}),
         0x1000,
         {}},
        {"A32 a MOVW between", InstructionSetId::A32, Words({movw, movw, movt}), 0x1000, 4},
        {"A32 a partner of another",
         InstructionSetId::A32,
         Words({movw, movt | 0x1000}),
         0x1000,
         {}},
        {"A32 unconditional MOVW",
         InstructionSetId::A32,
         Words({movw | 0xF0000000, movt}),
         0x1000,
         {}},
        {"A32 a target outside", InstructionSetId::A32, Words({0xEB100000}), 0x1000, {}},
        {"A32 a pair naming outside", InstructionSetId::A32, Words({movw, 0xE3400234}), 0x1000, {}},
        {"A32 literal", A32L, Literal(ldr, 0, addPc), 0x1000, 0},
        {"A32 literal: user 33 on", A32L, Literal(ldr, 32, addPc), 0x1000, {}},
        {"A32 literal: user of another", A32L, Literal(ldr, 0, addPc | 1), 0x1000, {}},
        {"A32 literal: user cond F", A32L, Literal(ldr, 0, addPc | 0xF0000000), 0x1000, {}},
        {"A32 literal: load cond F", A32L, Literal(ldr | 0xF0000000, 0, addPc), 0x1000, {}},
        {"A32 literal behind", A32L, Literal(ldr & ~0x00800000u, 0, addPc), 0x1000, {}},
        {"A32 literal before its user", A32L, Words({ldr, armNop, 0xEFF4, addPc}), 0x1000, {}},
        {"A32 literal past the end", A32L, Cut(Literal(ldr, 0, addPc)), 0x1000, {}},
        {"A32 literal naming outside", A32L, Literal(ldr, 0, addPc, 0x20000), 0x1000, {}},
        {"T32 literal", T32L, Halves({0x4B01, 0x447B, 0, 0, 0xEFFA, 0}), 0x1000, 0},
        {"T32 literal: other user", T32L, Halves({0x4B01, 0x447A, 0, 0, 0xEFFA, 0}), 0x1000, {}},
        {"T32 literal past the end", T32L, Halves({0x4B01, 0x447B, 0, 0, 0xEFFA}), 0x1000, {}},
        {"T32 condition 1110", InstructionSetId::T32, Halves({0xF380, 0x8000}), 0x1000, {}},
        {"T32 BLX with H", InstructionSetId::T32, Halves({0xF000, 0xE801}), 0x1000, {}},
        {"T32 a partner after three narrow",
         InstructionSetId::T32,
         Halves({0xF241, 0x0000, 0xBF00, 0xBF00, 0xBF00, 0xF2C0, 0x0000}),
         0x1000,
         {}},
        {"T32 a partner after a wide and a narrow", InstructionSetId::T32,
         Halves({0xF241, 0x0000, 0xEB01, 0x0002, 0xBF00, 0xF2C0, 0x0000}), 0x1000, 0},
        {"T32 a half instruction at the end",
         InstructionSetId::T32,
         Halves({0xBF00, 0xF000}),
         0x1000,
         {}},
        {"T32 odd address", InstructionSetId::T32, {0xAA, 0x00, 0xF0, 0x00, 0xF8}, 0x0FFF, 1},
    };
    for (const Row& row : rows) {
        const bool arm = InstructionSetOf(row.id)->machine == Machine::Arm32;
        Image image =
            arm ? ArmEverything(row.id == InstructionSetId::T32 ? ArmState::Thumb : ArmState::Arm)
                : Everything(InstructionSetOf(row.id)->machine);
        image.sections = {{0x1000, 0x1000, 0, 0, true}, {0x10000, 0x100, 0, 0, false}};
        image.IndexSections();
        const auto found = InstructionSetOf(row.id)->find(row.code, 0, row.address, image);
        EXPECT_EQ(found ? std::optional<std::uint64_t>(found->at) : std::nullopt, row.at)
            << row.name;
    }
    // Rows by id, and none for 32-bit ARM by its machine alone.
    EXPECT_EQ(InstructionSetOf(Machine::Arm32), nullptr);
    EXPECT_EQ(InstructionSetOf(InstructionSetId::None), nullptr);
    EXPECT_EQ(InstructionSetOf(static_cast<InstructionSetId>(200)), nullptr);
    for (const Machine machine : {Machine::I386, Machine::X64, Machine::Arm64}) {
        EXPECT_EQ(InstructionSetOf(InstructionSetIdOf(Everything(machine))),
                  InstructionSetOf(machine));
    }
    EXPECT_EQ(InstructionSetIdOf(ArmEverything(ArmState::Arm)), InstructionSetId::A32);
    Image literals = ArmEverything(ArmState::Arm);
    literals.armLiterals = true;
    EXPECT_EQ(InstructionSetIdOf(literals), InstructionSetId::A32Literals);
    literals.armState = ArmState::Thumb;
    EXPECT_EQ(InstructionSetIdOf(literals), InstructionSetId::T32Literals);
    // In position-independent code a MOVW and MOVT pair is a number, which
    // the rows with literals leave.
    literals.positionIndependent = true;
    const Bytes thumbPair = Halves({0xF245, 0x6078, 0xF2C1, 0x2034});
    for (const auto& [id, pair] : {std::pair{InstructionSetId::A32, Words({movw, movt})},
                                   {InstructionSetId::T32, thumbPair}}) {
        EXPECT_TRUE(InstructionSetOf(id)->find(pair, 0, 0x1000, literals));
        EXPECT_FALSE(InstructionSetOf(id == InstructionSetId::A32 ? A32L : T32L)
                         ->find(pair, 0, 0x1000, literals));
    }
    EXPECT_EQ(InstructionSetIdOf(Image{}), InstructionSetId::None);
}

// Random bytes through both rows: each reference found names its target
// again when retargeted to it (nothing changed), and once its bytes are
// replaced by any others (as an earlier rewrite may have), a retarget that
// succeeds reads back as given; nothing reads or writes outside the code.
TEST(InstructionSet, RetargetsArm32ReferencesWhateverTheirBytesBecome) {
    std::mt19937_64 random(41);
    Bytes code(1 << 16);
    for (std::uint8_t& byte : code) {
        byte = static_cast<std::uint8_t>(random());
    }
    for (const ArmState state : {ArmState::Arm, ArmState::Thumb}) {
        const InstructionSet& row = RowOf(state);
        const Image image = ArmEverything(state);
        const std::uint64_t address = 0x8000;
        std::size_t found = 0;
        for (std::uint64_t at = 0;;) {
            const auto reference = row.find(code, at, address, image);
            if (!reference) {
                break;
            }
            ++found;
            at = reference->at + reference->size;
            Bytes bytes(code.begin() + static_cast<std::ptrdiff_t>(reference->at),
                        code.begin() + static_cast<std::ptrdiff_t>(at));
            CodeReference local = *reference;
            local.at = 0;
            const std::uint64_t pc = address + reference->at;
            const std::uint64_t target = row.target(bytes, local, pc);
            const Bytes before = bytes;
            ASSERT_TRUE(row.retarget(bytes, local, pc, target)) << reference->at;
            ASSERT_EQ(bytes, before) << reference->at;
            for (std::uint8_t& byte : bytes) {
                byte = static_cast<std::uint8_t>(random());
            }
            const std::uint64_t other = (target + (random() % 64) * 4) & 0xFFFFFFFF;
            if (row.retarget(bytes, local, pc, other)) {
                ASSERT_EQ(row.target(bytes, local, pc), other) << reference->at;
            }
            row.mark(bytes, local, static_cast<std::uint32_t>(random()));
        }
        EXPECT_GT(found, 300u) << (state == ArmState::Arm ? "A32" : "T32");
    }
}

// Each state's program: its row with literals finds exactly the references
// it was built with, and the chooser picks its state; a PE image's code is
// Thumb.
TEST(InstructionSet, ChoosesTheStateOfArm32Code) {
    for (const ArmState state : {ArmState::Arm, ArmState::Thumb}) {
        SCOPED_TRACE(state == ArmState::Arm ? "A32" : "T32");
        const ArmProgram program = BuildArmProgram(state, 40, 3);
        Image image = Parse(program.bytes);
        ASSERT_EQ(image.machine, Machine::Arm32);
        MemoryStream stream = StreamOf(program.bytes);
        EXPECT_EQ(ChooseArmState(stream, image), state);
        image.armState = state;
        image.armLiterals = true;
        EXPECT_FALSE(image.positionIndependent);
        EXPECT_EQ(References(program.bytes, image), program.references);
    }
    Bytes pe = Build(Shapes[0], false, 4).bytes;
    PutLe16(&pe[PeHeaderAt + 4], 0x01C4);
    MemoryStream stream = StreamOf(pe);
    EXPECT_EQ(ChooseArmState(stream, Parse(pe)), ArmState::Thumb);
}

} // namespace
} // namespace kestro::test
