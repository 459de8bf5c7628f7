// The export-table reader: libraries linked by a real linker (ELF, Mach-O
// x86_64 and arm64, universal), small Mach-O files built here to reach the
// trie and symbol-table corners, and damaged or cut files, which must give
// an empty list and never a read outside the buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ExportNames.h"
#include "fixtures/Files.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

Names namesOf(const Bytes& b) { return exportedNames(b.data(), b.size()); }

void put32(Bytes& b, std::size_t at, std::uint32_t v, bool big = false) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * (big ? 3 - i : i)));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v, bool big = false) {
    if (b.size() < at + 8) b.resize(at + 8);
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * (big ? 7 - i : i)));
}
std::uint32_t get32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}
std::uint64_t get64(const Bytes& b, std::size_t at) { return get32(b, at) | std::uint64_t(get32(b, at + 4)) << 32; }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---- Mach-O built here ------------------------------------------------------

constexpr std::uint32_t kArm64 = 0x0100000c, kX86_64 = 0x01000007;

struct Sym {
    std::string name;
    std::uint8_t type;
};

// A 64-bit Mach-O library: the header, an LC_DYLD_EXPORTS_TRIE command when
// trie is given, an LC_SYMTAB command when syms is not empty, then the trie,
// the symbol entries and the string table. With both, the trie command is at
// 32 and the symbol-table command at 48.
Bytes machO(const Bytes* trie, const std::vector<Sym>& syms, std::uint32_t cpu = kArm64) {
    const std::uint32_t ncmds = (trie ? 1 : 0) + (syms.empty() ? 0 : 1);
    const std::uint32_t cmdsEnd = 32 + (trie ? 16 : 0) + (syms.empty() ? 0 : 24);
    Bytes f(cmdsEnd, 0);
    put32(f, 0, 0xfeedfacf);
    put32(f, 4, cpu);
    put32(f, 12, 6);  // a dynamic library
    put32(f, 16, ncmds);
    put32(f, 20, cmdsEnd - 32);
    std::size_t at = 32;
    if (trie) {
        put32(f, at, 0x80000033);
        put32(f, at + 4, 16);
        put32(f, at + 8, static_cast<std::uint32_t>(f.size()));
        put32(f, at + 12, static_cast<std::uint32_t>(trie->size()));
        f.insert(f.end(), trie->begin(), trie->end());
        at += 16;
    }
    if (!syms.empty()) {
        Bytes strs(1, 0);
        const std::size_t symoff = f.size();
        for (const Sym& s : syms) {
            const std::size_t e = f.size();
            f.resize(e + 16, 0);
            put32(f, e, static_cast<std::uint32_t>(strs.size()));
            f[e + 4] = s.type;
            f[e + 5] = (s.type & 0x0e) == 0x0e ? 1 : 0;  // section 1 for defined symbols
            strs.insert(strs.end(), s.name.begin(), s.name.end());
            strs.push_back(0);
        }
        put32(f, at, 0x2);
        put32(f, at + 4, 24);
        put32(f, at + 8, static_cast<std::uint32_t>(symoff));
        put32(f, at + 12, static_cast<std::uint32_t>(syms.size()));
        put32(f, at + 16, static_cast<std::uint32_t>(f.size()));
        put32(f, at + 20, static_cast<std::uint32_t>(strs.size()));
        f.insert(f.end(), strs.begin(), strs.end());
    }
    return f;
}

// A universal file: each slice at the next 2^alignLog boundary, listed in
// the 32-bit (FAT_MAGIC) or 64-bit (FAT_MAGIC_64) slice table.
Bytes universal(const std::vector<Bytes>& slices, bool wide, unsigned alignLog = 12) {
    const std::size_t entry = wide ? 32 : 20;
    Bytes f;
    put32(f, 0, wide ? 0xcafebabf : 0xcafebabe, true);
    put32(f, 4, static_cast<std::uint32_t>(slices.size()), true);
    f.resize(8 + entry * slices.size(), 0);
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const std::size_t align = std::size_t(1) << alignLog;
        const std::size_t off = (f.size() + align - 1) / align * align;
        const std::size_t at = 8 + i * entry;
        const Bytes& s = slices[i];
        put32(f, at, s.size() >= 8 ? get32(s, 4) : 0, true);
        put32(f, at + 4, s.size() >= 12 ? get32(s, 8) : 0, true);
        if (wide) {
            put64(f, at + 8, off, true);
            put64(f, at + 16, s.size(), true);
            put32(f, at + 24, alignLog, true);
        } else {
            put32(f, at + 8, static_cast<std::uint32_t>(off), true);
            put32(f, at + 12, static_cast<std::uint32_t>(s.size()), true);
            put32(f, at + 16, alignLog, true);
        }
        f.resize(off, 0);
        f.insert(f.end(), s.begin(), s.end());
    }
    return f;
}

// Export tries written out byte by byte: a node is its information size
// (here 0, or 2: flags and address), the information, the child count, then
// per child the edge label and the child's offset.
const Bytes kTwoNames = {
    0, 1, '_',  'A', 'l', 0, 7,                    // 0: root, "_Al" -> 7
    0, 2, 'p',  'h', 'a', 0, 18, 's', 'o', 0, 22,  // 7: "pha" -> 18, "so" -> 22
    2, 0, 0x10, 0,                                 // 18: _Alpha
    2, 0, 0x20, 0,                                 // 22: _Also
};

// _Alpha, then a second edge "so" whose end the cases below supply.
const Bytes kAlphaThenSo = {
    0, 1, '_',  'A', 'l', 0, 11,            // 0: root, "_Al" -> 11
    2, 0, 0x10, 0,                          // 7: _Alpha
    0, 2, 'p',  'h', 'a', 0, 7,  's', 'o',  // 11: "pha" -> 7, "so" ...
};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ExportNames, ExportTrie) {
    struct Case {
        const char* what;
        Bytes trie;
        Names want;
    } cases[] = {
        {"two names sharing a prefix", kTwoNames, {"Alpha", "Also"}},
        {"a name that goes on past another",
         {0, 1, '_', 'A', 'l', 0, 7, /* 7: _Al */ 2, 0, 0x10, 1, 'p', 'h', 'a', 0, 16, /* 16: _Alpha */ 2, 0, 0x20, 0},
         {"Al", "Alpha"}},
        {"longer export information is skipped whole",
         {0, 1, '_', 'f', 0, 7, 0, /* 7 */ 5, 0x08, 0x80, 0x80, 0x01, 0, 0},
         {"f"}},
        {"no trie bytes: nothing exported", {}, {}},
        // The damaged ones reach _Alpha first: no part of a list comes out.
        {"a child pointing back at the root", kAlphaThenSo + Bytes{0, 0}, {}},
        {"a child past the end", kAlphaThenSo + Bytes{0, 0x7f}, {}},
        {"a child offset that never ends",
         kAlphaThenSo + Bytes{0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0},
         {}},
        {"a label without its end", kAlphaThenSo, {}},
        {"two edges sharing one node", {0, 2, '_', 'a', 0, 10, '_', 'b', 0, 10, 2, 0, 0x10, 0}, {}},
        {"information longer than the trie", {5, 0}, {}},
        {"no child count", {0}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(namesOf(machO(&c.trie, {})), c.want);
        // The trie speaks for the file even when a symbol table says more.
        EXPECT_EQ(namesOf(machO(&c.trie, {{"_Other", 0x0f}})), c.want);
    }
}

TEST(ExportNames, SymbolTableWithoutTrie) {
    const std::vector<Sym> syms = {
        {"_Exported", 0x0f},  // defined in a section, external
        {"_Local", 0x0e},     // defined, not external
        {"_Imported", 0x01},  // undefined external
        {"_Hidden", 0x1f},    // a private external
        {"_Stab", 0x24},      // a debugger entry
        {"_Absolute", 0x03},  // an absolute external
        {"__Z3fooi", 0x0f},   // a C++ name: one underscore goes
        {"plain", 0x0f},      // no underscore to remove
        {"_", 0x0f},          // nothing left: no name
    };
    EXPECT_EQ(namesOf(machO(nullptr, syms)), (Names{"Exported", "_Z3fooi", "plain"}));
    EXPECT_EQ(namesOf(machO(nullptr, {})), Names{});
}

TEST(ExportNames, DamagedMachOGivesNothing) {
    const Bytes good = machO(&kTwoNames, {{"_Alpha", 0x0f}});
    ASSERT_EQ(namesOf(good), (Names{"Alpha", "Also"}));
    const Bytes symsOnly = machO(nullptr, {{"_Alpha", 0x0f}, {"_Beta", 0x0f}});
    ASSERT_EQ(namesOf(symsOnly), (Names{"Alpha", "Beta"}));
    const std::uint32_t strsize = get32(symsOnly, 32 + 20);
    struct Case {
        const char* what;
        const Bytes& file;
        std::size_t at;
        std::uint32_t value;
    } cases[] = {
        {"command sizes past the end", good, 20, 0xffffffff},
        {"more commands than the commands' bytes", good, 16, 0xffffffff},
        {"a command of size 0", good, 36, 0},
        {"a command shorter than its kind", good, 36, 8},
        {"a command past the commands' bytes", good, 36, 0x1000},
        {"the trie past the end", good, 40, 0xfffffff0},
        {"the trie longer than the file", good, 44, 0xffffffff},
        {"symbols past the end", symsOnly, 32 + 8, 0xfffffff0},
        {"more symbols than the file holds", symsOnly, 32 + 12, 0xffffffff},
        {"the strings past the end", symsOnly, 32 + 16, 0xfffffff0},
        {"a name past the strings", symsOnly, 56, 0x7fffffff},
        {"the last name without its end", symsOnly, 32 + 20, strsize - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = c.file;
        put32(f, c.at, c.value);
        EXPECT_EQ(namesOf(f), Names{});
    }
}

TEST(ExportNames, UniversalFiles) {
    const Bytes arm = machO(&kTwoNames, {}, kArm64), x86 = machO(&kTwoNames, {}, kX86_64);
    const Bytes other = machO(nullptr, {{"_Other", 0x0f}});
    const Names want = {"Alpha", "Also"};
    for (bool wide : {false, true}) {
        SCOPED_TRACE(wide ? "64-bit slice table" : "32-bit slice table");
        EXPECT_EQ(namesOf(universal({x86, arm}, wide)), want);
        EXPECT_EQ(namesOf(universal({x86, arm}, wide, 0)), want) << "slices packed without alignment";
        // The first slice that reads whole speaks for the file.
        EXPECT_EQ(namesOf(universal({arm, other}, wide)), want);
        EXPECT_EQ(namesOf(universal({text("not a library"), arm}, wide)), want);
        EXPECT_EQ(namesOf(universal({universal({arm}, wide)}, wide)), Names{}) << "a universal slice";
        EXPECT_EQ(namesOf(universal({}, wide)), Names{});

        Bytes f = universal({arm, x86}, wide);
        if (wide)
            put64(f, 8 + 8, ~std::uint64_t(0) - 15, true);  // first slice wraps past the end
        else
            put32(f, 8 + 8, 0xfffffff0, true);  // first slice past the end
        EXPECT_EQ(namesOf(f), want) << "a slice that cannot be read is passed over";
        Bytes huge = universal({arm}, wide);
        put32(huge, 4, 0xffffffff, true);
        EXPECT_EQ(namesOf(huge), Names{}) << "a slice table longer than the file";
    }
}

TEST(ExportNames, UnrecognisedFilesGiveNothing) {
    Bytes elf32(64, 0), elfBig(64, 0), macho32(32, 0), machoBig(32, 0), classFile(200, 0);
    for (Bytes* b : {&elf32, &elfBig}) {
        (*b)[0] = 0x7f, (*b)[1] = 'E', (*b)[2] = 'L', (*b)[3] = 'F';
    }
    elf32[4] = 1, elf32[5] = 1;
    elfBig[4] = 2, elfBig[5] = 2;
    put32(macho32, 0, 0xfeedface);
    put32(machoBig, 0, 0xfeedfacf, true);
    put32(classFile, 0, 0xcafebabe, true);  // a Java class file shares the universal magic
    put32(classFile, 4, 52, true);
    struct Case {
        const char* what;
        Bytes file;
    } cases[] = {
        {"empty", {}},
        {"a cut ELF magic", {0x7f, 'E', 'L'}},
        {"ELF header only, no sections",
         [] {
             Bytes b(64, 0);
             b[0] = 0x7f, b[1] = 'E', b[2] = 'L', b[3] = 'F', b[4] = 2, b[5] = 1;
             return b;
         }()},
        {"32-bit ELF", elf32},
        {"big-endian ELF", elfBig},
        {"32-bit Mach-O", macho32},
        {"big-endian 64-bit Mach-O", machoBig},
        {"a cut Mach-O header", Bytes{0xcf, 0xfa, 0xed, 0xfe, 0x0c}},
        {"a Windows library", text("MZ\x90\x00 this program cannot be run")},
        {"a Java class file", classFile},
        {"a cut universal magic", Bytes{0xca, 0xfe, 0xba}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(namesOf(c.file), Names{});
    }
    EXPECT_EQ(exportedNames(nullptr, 100), Names{});
}

// ---- Libraries linked from tests/fixtures/ExportFixture.c ---------------------

const Names kFixtureExports = {"Alpha", "Beta", "Counter", "Gamma", "Weakling", "_Underscored"};

// The fixture file, or empty. The build makes them wherever clang and lld
// are found, so a file missing there is a failure, not a skip.
Bytes fixture(const std::string& name) {
#if defined(BRINDLEX_EXPORT_FIXTURES)
    Bytes b = readBytes(BRINDLEX_EXPORT_FIXTURES + name);
    EXPECT_FALSE(b.empty()) << "fixture " << name << " was not built";
    return b;
#else
    (void)name;
    return Bytes();
#endif
}

#if defined(BRINDLEX_EXPORT_FIXTURES)
#define REQUIRE_FIXTURES()
#else
#define REQUIRE_FIXTURES() GTEST_SKIP() << "clang with lld was not found when the build was configured"
#endif

// The offset of a Mach-O load command of kind cmd (0 when absent).
std::size_t loadCommand(const Bytes& f, std::uint32_t cmd) {
    std::size_t at = 32;
    for (std::uint32_t i = 0; i < get32(f, 16) && at + 8 <= f.size(); ++i, at += get32(f, at + 4))
        if (get32(f, at) == cmd) return at;
    return 0;
}

TEST(ExportNamesOnLinkedLibraries, ListExactlyTheExportedFunctionsAndData) {
    REQUIRE_FIXTURES();
    for (const char* name : {"elf-x86_64.so", "macho-x86_64.dylib", "macho-arm64.dylib", "macho-universal.dylib"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(namesOf(fixture(name)), kFixtureExports);
    }
    const Bytes x86 = fixture("macho-x86_64.dylib"), arm = fixture("macho-arm64.dylib");
    for (bool wide : {false, true}) EXPECT_EQ(namesOf(universal({arm, x86}, wide, 14)), kFixtureExports);
}

TEST(ExportNamesOnLinkedLibraries, MachOTrieAndSymbolTableAgree) {
    REQUIRE_FIXTURES();
    for (const char* name : {"macho-x86_64.dylib", "macho-arm64.dylib"}) {
        SCOPED_TRACE(name);
        const Bytes f = fixture(name);
        // The linker writes the trie in LC_DYLD_INFO_ONLY; renaming a command
        // to an unknown kind hides it from the reader.
        const std::size_t info = loadCommand(f, 0x80000022), symtab = loadCommand(f, 0x2);
        ASSERT_NE(info, 0u);
        ASSERT_NE(symtab, 0u);
        Bytes noTrie = f, noSymtab = f;
        put32(noTrie, info, 0x7fff0001);
        put32(noSymtab, symtab, 0x7fff0002);
        EXPECT_EQ(namesOf(noTrie), kFixtureExports) << "from the symbol table";
        EXPECT_EQ(namesOf(noSymtab), kFixtureExports) << "from the trie";
    }
}

TEST(ExportNamesOnLinkedLibraries, EveryCutGivesAllOrNothing) {
    REQUIRE_FIXTURES();
    std::vector<std::pair<std::string, Bytes>> files;
    for (const char* name : {"elf-x86_64.so", "macho-x86_64.dylib", "macho-arm64.dylib", "macho-universal.dylib"})
        files.emplace_back(name, fixture(name));
    files.emplace_back("universal built here",
                       universal({fixture("macho-arm64.dylib"), fixture("macho-x86_64.dylib")}, true));
    for (const auto& [name, f] : files) {
        SCOPED_TRACE(name);
        for (std::size_t n = 0; n < f.size(); ++n) {
            // A copy of exactly n bytes, so that a sanitizer sees any read past it.
            const Bytes cut(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
            const Names got = namesOf(cut);
            if (!got.empty() && got != kFixtureExports) {
                ADD_FAILURE() << "cut at " << n << " lists " << got.size() << " names";
                break;
            }
        }
    }
}

// The offset of the first ELF section header of kind type (0 when absent).
std::size_t elfSection(const Bytes& elf, std::uint32_t type) {
    const std::uint64_t shoff = get64(elf, 40);
    for (std::size_t i = 0; i < std::size_t(elf[60] | elf[61] << 8); ++i)
        if (get32(elf, shoff + i * 64 + 4) == type) return shoff + i * 64;
    return 0;
}

TEST(ExportNamesOnLinkedLibraries, ElfBindingAndVisibility) {
    REQUIRE_FIXTURES();
    const Bytes elf = fixture("elf-x86_64.so");
    const std::size_t dynsym = elfSection(elf, 11);
    ASSERT_NE(dynsym, 0u);
    const std::size_t dynstr = get64(elf, get64(elf, 40) + get32(elf, dynsym + 40) * 64 + 24);
    std::size_t beta = 0;  // Beta's entry
    for (std::size_t e = get64(elf, dynsym + 24); e < get64(elf, dynsym + 24) + get64(elf, dynsym + 32); e += 24)
        if (std::string(reinterpret_cast<const char*>(elf.data() + dynstr + get32(elf, e))) == "Beta") beta = e;
    ASSERT_NE(beta, 0u);
    Names withoutBeta = kFixtureExports;
    withoutBeta.erase(withoutBeta.begin() + 1);
    struct Case {
        const char* what;
        std::size_t field;  // 4 binding and type, 5 visibility, 6 section
        std::uint8_t value;
        const Names& want;
    } cases[] = {
        {"hidden", 5, 2, withoutBeta},
        {"internal", 5, 1, withoutBeta},
        {"protected", 5, 3, kFixtureExports},
        {"local binding", 4, 0x02, withoutBeta},
        {"weak binding", 4, 0x22, kFixtureExports},
        {"unique binding", 4, 0xa2, kFixtureExports},
        {"undefined", 6, 0, withoutBeta},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = elf;
        f[beta + c.field] = c.value;
        if (c.field == 6) f[beta + 7] = 0;
        EXPECT_EQ(namesOf(f), c.want);
    }
}

TEST(ExportNamesOnLinkedLibraries, DamagedElfGivesNothing) {
    REQUIRE_FIXTURES();
    const Bytes elf = fixture("elf-x86_64.so");
    ASSERT_EQ(namesOf(elf), kFixtureExports);
    const std::size_t dynsym = elfSection(elf, 11);
    ASSERT_NE(dynsym, 0u);
    const std::size_t dynstr = get64(elf, 40) + get32(elf, dynsym + 40) * 64;
    struct Case {
        const char* what;
        std::size_t at;
        std::uint64_t value;
        int width;
    } cases[] = {
        {"section headers past the end", 40, 0xfffffffffffff000, 8},
        {"more section headers than the file holds", 60, 0xffff, 2},
        {"section headers of another size", 58, 40, 2},
        {"symbol table past the end", dynsym + 24, 0xfffffffffffffff0, 8},
        {"symbol table longer than the file", dynsym + 32, 0x7fffffffffffffff, 8},
        {"strings in a section that does not exist", dynsym + 40, 0xfff0, 4},
        {"strings past the end", dynstr + 24, 0xffffffffffff0000, 8},
        {"names past the strings", dynstr + 32, 2, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = elf;
        for (int i = 0; i < c.width; ++i) f[c.at + i] = static_cast<std::uint8_t>(c.value >> (8 * i));
        EXPECT_EQ(namesOf(f), Names{});
    }
}

}  // namespace
