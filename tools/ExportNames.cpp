#include "ExportNames.h"

#include <algorithm>
#include <cstring>

namespace {

// One byte range and bounds-checked integer reads from it. A read past the
// end gives 0 and clears ok, so a walk checks ok before it trusts what it
// read.
class Bytes {
public:
    Bytes(const std::uint8_t* p, std::size_t n, bool bigEndian = false) : p_(p), n_(n), big_(bigEndian) {}

    std::size_t size() const { return n_; }
    const std::uint8_t* data() const { return p_; }
    bool has(std::uint64_t off, std::uint64_t len) const { return off <= n_ && len <= n_ - off; }
    // The part [off, off + len); the caller has checked has(off, len).
    Bytes part(std::uint64_t off, std::uint64_t len) const {
        return Bytes(p_ + off, static_cast<std::size_t>(len), big_);
    }

    std::uint64_t u(std::uint64_t off, unsigned width) {
        if (!has(off, width)) {
            ok = false;
            return 0;
        }
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) v |= std::uint64_t(p_[off + i]) << (8 * (big_ ? width - 1 - i : i));
        return v;
    }
    std::uint8_t u8(std::uint64_t off) { return static_cast<std::uint8_t>(u(off, 1)); }
    std::uint16_t u16(std::uint64_t off) { return static_cast<std::uint16_t>(u(off, 2)); }
    std::uint32_t u32(std::uint64_t off) { return static_cast<std::uint32_t>(u(off, 4)); }
    std::uint64_t u64(std::uint64_t off) { return u(off, 8); }

    // The NUL-terminated string at off; false when no NUL ends it in range.
    bool cString(std::uint64_t off, const char*& s, std::size_t& len) const {
        if (off >= n_) return false;
        const void* end = std::memchr(p_ + off, 0, n_ - off);
        if (!end) return false;
        s = reinterpret_cast<const char*>(p_ + off);
        len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - (p_ + off));
        return true;
    }

    bool ok = true;

private:
    const std::uint8_t* p_;
    std::size_t n_;
    bool big_;
};

// The names found so far. Symbol tables may point many entries into one
// long string and a trie may chain long names, so the bytes handed out are
// capped: a file past the cap is taken as malformed rather than read for
// minutes.
class Names {
public:
    bool add(const char* s, std::size_t len, bool dropUnderscore) {
        if (dropUnderscore && len > 0 && s[0] == '_') ++s, --len;
        if (len == 0) return true;
        if (len > kMaxBytes - bytes_) return false;
        bytes_ += len;
        list.emplace_back(s, len);
        return true;
    }
    std::vector<std::string> list;

private:
    static constexpr std::size_t kMaxBytes = std::size_t(64) << 20;
    std::size_t bytes_ = 0;
};

// ---- ELF64 ----------------------------------------------------------------

constexpr std::uint32_t kShtDynsym = 11;
constexpr std::uint8_t kStbGlobal = 1, kStbWeak = 2, kStbGnuUnique = 10;
constexpr std::uint8_t kStvInternal = 1, kStvHidden = 2;

struct ElfSection {
    std::uint32_t type = 0, link = 0;
    std::uint64_t offset = 0, size = 0;
};

bool elfNames(Bytes f, Names& out) {
    if (!f.has(0, 64) || f.data()[4] != 2 /* 64-bit */ || f.data()[5] != 1 /* little-endian */) return false;
    const std::uint64_t shoff = f.u64(40);
    const std::uint16_t shentsize = f.u16(58), shnum = f.u16(60);
    if (shentsize != 64 || !f.has(shoff, std::uint64_t(shnum) * 64)) return false;
    auto section = [&](std::uint32_t i) {
        const std::uint64_t at = shoff + std::uint64_t(i) * 64;
        ElfSection s;
        s.type = f.u32(at + 4);
        s.offset = f.u64(at + 24);
        s.size = f.u64(at + 32);
        s.link = f.u32(at + 40);
        return s;
    };
    for (std::uint32_t i = 0; i < shnum; ++i) {
        const ElfSection sym = section(i);
        if (sym.type != kShtDynsym) continue;
        if (sym.link >= shnum || !f.has(sym.offset, sym.size)) return false;
        const ElfSection strs = section(sym.link);
        if (!f.has(strs.offset, strs.size)) return false;
        Bytes table = f.part(strs.offset, strs.size);
        // Entry 0 is the reserved null symbol.
        for (std::uint64_t k = 1; k < sym.size / 24; ++k) {
            const std::uint64_t at = sym.offset + k * 24;
            const std::uint32_t name = f.u32(at);
            const std::uint8_t info = f.u8(at + 4), other = f.u8(at + 5);
            const std::uint16_t shndx = f.u16(at + 6);
            if (shndx == 0) continue;  // undefined: imported, not exported
            const std::uint8_t bind = info >> 4, vis = other & 3;
            if (bind != kStbGlobal && bind != kStbWeak && bind != kStbGnuUnique) continue;
            if (vis == kStvInternal || vis == kStvHidden) continue;
            const char* s;
            std::size_t len;
            if (!table.cString(name, s, len) || !out.add(s, len, false)) return false;
        }
    }
    return f.ok;
}

// ---- Mach-O 64-bit ---------------------------------------------------------

constexpr std::uint32_t kMhMagic64 = 0xfeedfacf;
constexpr std::uint32_t kFatMagic = 0xcafebabe, kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kLcSymtab = 0x2, kLcDyldInfo = 0x22, kLcDyldInfoOnly = 0x80000022,
                        kLcDyldExportsTrie = 0x80000033;
constexpr std::uint8_t kNStab = 0xe0, kNPext = 0x10, kNTypeMask = 0x0e, kNSect = 0x0e, kNExt = 0x01;

// An unsigned LEB128 number at pos, which moves past it.
bool uleb(Bytes& b, std::uint64_t& pos, std::uint64_t& v) {
    v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        const std::uint8_t byte = b.u8(pos++);
        if (!b.ok) return false;
        v |= std::uint64_t(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

// The export trie: a node is a ULEB128 size of its export information (0
// when no name ends there), the information, a child count byte, then per
// child an edge label (a C string) and the child's ULEB128 offset from the
// start of the trie. A name is the labels on the way from the root. The
// walk keeps its own stack and enters every node at most once, so loops and
// deep chains end rather than recurse.
bool trieNames(Bytes t, Names& out) {
    if (t.size() == 0) return true;
    struct Node {
        std::uint64_t next;       // the next child's edge label
        std::uint64_t remaining;  // children not yet entered
        std::size_t nameLength;   // this node's name length
    };
    std::vector<bool> entered(t.size(), false);
    std::vector<Node> stack;
    std::string name;
    auto enter = [&](std::uint64_t at) {
        if (at >= t.size() || entered[at]) return false;
        entered[at] = true;
        std::uint64_t pos = at, infoSize;
        if (!uleb(t, pos, infoSize) || !t.has(pos, infoSize)) return false;
        if (infoSize > 0 && !out.add(name.data(), name.size(), true)) return false;
        pos += infoSize;
        const std::uint8_t children = t.u8(pos);
        stack.push_back({pos + 1, children, name.size()});
        return t.ok;
    };
    if (!enter(0)) return false;
    while (!stack.empty()) {
        Node& n = stack.back();
        if (n.remaining == 0) {
            stack.pop_back();
            continue;
        }
        --n.remaining;
        const char* label;
        std::size_t len;
        if (!t.cString(n.next, label, len)) return false;
        std::uint64_t pos = n.next + len + 1, child;
        if (!uleb(t, pos, child)) return false;
        n.next = pos;
        name.resize(n.nameLength);
        name.append(label, len);
        if (!enter(child)) return false;  // n is not used past here: enter may move the stack
    }
    return true;
}

// The symbol table's defined external symbols. Private externs (hidden
// symbols) lose their external bit when a library is linked, and stay out.
bool symtabNames(Bytes f, std::uint64_t symoff, std::uint64_t nsyms, std::uint64_t stroff, std::uint64_t strsize,
                 Names& out) {
    if (!f.has(symoff, nsyms * 16) || !f.has(stroff, strsize)) return false;
    Bytes strs = f.part(stroff, strsize);
    for (std::uint64_t k = 0; k < nsyms; ++k) {
        const std::uint64_t at = symoff + k * 16;
        const std::uint32_t strx = f.u32(at);
        const std::uint8_t type = f.u8(at + 4);
        if ((type & kNStab) || (type & kNPext) || !(type & kNExt) || (type & kNTypeMask) != kNSect) continue;
        const char* s;
        std::size_t len;
        if (!strs.cString(strx, s, len) || !out.add(s, len, true)) return false;
    }
    return f.ok;
}

bool machO64Names(Bytes f, Names& out) {
    if (!f.has(0, 32) || f.u32(0) != kMhMagic64) return false;
    const std::uint32_t ncmds = f.u32(16), sizeofcmds = f.u32(20);
    if (!f.has(32, sizeofcmds)) return false;
    Bytes cmds = f.part(32, sizeofcmds);
    bool haveTrie = false, haveSymtab = false;
    std::uint64_t trieOff = 0, trieSize = 0, symoff = 0, nsyms = 0, stroff = 0, strsize = 0;
    std::uint64_t at = 0;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
        const std::uint32_t cmd = cmds.u32(at), cmdsize = cmds.u32(at + 4);
        if (!cmds.ok || cmdsize < 8 || !cmds.has(at, cmdsize)) return false;
        if ((cmd == kLcDyldInfo || cmd == kLcDyldInfoOnly) && !haveTrie) {
            if (cmdsize < 48) return false;
            haveTrie = true;
            trieOff = cmds.u32(at + 40);
            trieSize = cmds.u32(at + 44);
        } else if (cmd == kLcDyldExportsTrie && !haveTrie) {
            if (cmdsize < 16) return false;
            haveTrie = true;
            trieOff = cmds.u32(at + 8);
            trieSize = cmds.u32(at + 12);
        } else if (cmd == kLcSymtab && !haveSymtab) {
            if (cmdsize < 24) return false;
            haveSymtab = true;
            symoff = cmds.u32(at + 8);
            nsyms = cmds.u32(at + 12);
            stroff = cmds.u32(at + 16);
            strsize = cmds.u32(at + 20);
        }
        at += cmdsize;
    }
    if (haveTrie) return f.has(trieOff, trieSize) && trieNames(f.part(trieOff, trieSize), out);
    if (haveSymtab) return symtabNames(f, symoff, nsyms, stroff, strsize, out);
    return true;  // neither: nothing exported
}

// A universal file: big-endian header and slice table, slices read in
// order until one reads whole. Slices are never universal themselves.
bool fatNames(Bytes f, Names& out) {
    Bytes be(f.data(), f.size(), true);
    const std::uint32_t magic = be.u32(0), count = be.u32(4);
    const std::uint64_t entry = magic == kFatMagic64 ? 32 : 20;
    if (!be.ok || !be.has(8, count * entry)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = 8 + i * entry;
        const std::uint64_t off = magic == kFatMagic64 ? be.u64(at + 8) : be.u32(at + 8);
        const std::uint64_t size = magic == kFatMagic64 ? be.u64(at + 16) : be.u32(at + 12);
        if (!f.has(off, size)) continue;
        Names slice;
        if (machO64Names(f.part(off, size), slice)) {
            out = std::move(slice);
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> exportedNames(const std::uint8_t* data, std::size_t size) {
    if (!data) return {};
    Bytes f(data, size);
    Bytes be(data, size, true);
    Names names;
    bool ok = false;
    if (f.has(0, 4) && std::memcmp(data,
                                   "\x7f"
                                   "ELF",
                                   4) == 0)
        ok = elfNames(f, names);
    else if (f.has(0, 4) && f.u32(0) == kMhMagic64)
        ok = machO64Names(f, names);
    else if (f.has(0, 4) && (be.u32(0) == kFatMagic || be.u32(0) == kFatMagic64))
        ok = fatNames(f, names);
    if (!ok) return {};
    std::sort(names.list.begin(), names.list.end());
    return std::move(names.list);
}
