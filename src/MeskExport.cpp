// Mesh export: the face-ID table, the OBJ writer (its plan, its text and
// the two-thread rounds it is formatted in), the vertex colour block and the
// crease merge.
#include "MeskOps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "FileAccess.h"
#include "HostCall.h"
#include "MeskReader.h"
#include "MeskText.h"
#include "NewFile.h"
#include "Platform.h"
#include "RoundsInOrder.h"
#include "StreamFloat.h"

using namespace meshtext;

namespace {

// The chunk the fixed-position operations take: the first one, at 32.
constexpr std::uint64_t kFirstChunk = kMeskFileHeaderSize;
// Bytes the crease merge cuts off each file.
constexpr std::size_t kCreaseTail = 14;

// "00".."ff" for every byte value.
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            text[2 * i] = digits[i >> 4];
            text[2 * i + 1] = digits[i & 15];
        }
    }
};
constexpr HexPairs kHex;

// The vertex colour block for the elements of a chunk that fit the mesh;
// false when they cannot be read.
bool writeColourBlock(TextOut& out, MeskView mesh, const MeskChunk& chunk) {
    MeskCursor colours(mesh, chunk.first(), kMeskColourSize);
    const std::uint32_t count = chunk.count;
    out.line(
        "# The following RGB block contains Kelvane Vertex Color (Tintcoat) output as 3 hexadecimal values per "
        "vertex. The vertex color format is RRGGBB with up to 32 entries per RGB line.");
    constexpr std::size_t kLineMax = 5 + 32 * 7 + 2;
    for (std::uint32_t k = 0; k < count;) {
        std::uint32_t n = count - k < 32 ? count - k : 32;
        const std::uint8_t* c = colours.get(k, n);
        if (!c) return false;
        char* p = out.room(kLineMax);
        std::memcpy(p, "#RGB ", 5);
        p += 5;
        for (std::uint32_t i = 0; i < n; ++i, ++k, c += kMeskColourSize) {
            *p++ = ' ';
            std::memcpy(p, kHex.text + 2 * c[2], 2);
            std::memcpy(p + 2, kHex.text + 2 * c[1], 2);
            std::memcpy(p + 4, kHex.text + 2 * c[0], 2);
            p += 6;
        }
        // A full line ends here; a short last line is ended by the line end
        // that always follows the entries.
        if (n == 32) p = putLineEnd(p);
        out.commit(p);
    }
    out.text(kLineEnd);
    out.line("# End of RGB block");
    return true;
}

}  // namespace

// ---- Face IDs ----------------------------------------------------------------

float GetFaceIDsMesk(const char* meshPath, double levels) {
    // Every failure leaves an empty table, so a stale one never reaches the
    // OBJ writer.
    _faceID.clear();
    if (!(levels <= kMaxFaceIDLevels)) return -9.0f;  // NaN too
    // Each build keeps its own formula, 4^(levels-1) on Windows and
    // 2^(2(levels-1)) on the Mac, and both give the same value: 4^x is
    // 2^(2x), and doubling x is exact, so both ask for one number. For whole
    // and half levels that number is a power of two, exactly representable,
    // and pow returns it exactly on both runtimes (the face-ID tests pin such
    // levels), so the truncation below sees the same double in both builds.
    const double factor = kWindowsBuild ? std::pow(4.0, levels - 1.0) : std::pow(2.0, 2.0 * (levels - 1.0));
    // At most 4^14 here; levels far below 1 give 0.
    const std::uint32_t n = static_cast<std::uint32_t>(static_cast<std::int32_t>(factor));

    fileio::FileWindow file;
    if (file.open(meshPath) != fileio::Load::Ok) return kMeskCannotOpen;
    const MeskView mesh(file);
    // The chunk at 32 is taken as the face chunk whatever its tag.
    std::optional<MeskChunk> faces = meskChunkAt(mesh, kFirstChunk);
    if (!faces || !meskElementsFit(mesh, *faces, kMeskFaceSize)) return kMeskTruncated;
    _faceID.reserve(faces->count);
    if (!mesh.forEach(faces->first(), faces->count, kMeskFaceSize, [&](const std::uint8_t* face, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i, face += kMeskFaceSize)
                _faceID.push_back((fileio::loadLEi32(face + 12) < 0 ? 3u : 4u) * n);
            return true;
        })) {
        std::vector<std::uint32_t>().swap(_faceID);
        return kMeskCannotOpen;
    }
    return static_cast<float>(_faceID.size());
}

// ---- OBJ writer --------------------------------------------------------------

namespace {

// Where the OBJ writer finds its chunks, worked out before anything is
// written. A misplaced chunk behind the vertex or colour elements ends the
// text after the part before it, with the tag as the result; a chunk header,
// element or face group past the end of the data is refused before the
// output is opened.
struct ObjLayout {
    enum Stop { AfterVertices, AfterColours, Complete };
    Stop stop = Complete;
    std::uint32_t misplacedTag = 0;
    std::uint32_t headerFaces = 0;
    MeskChunk vertices, colours, faces;
};

// A misplaced chunk's tag as the result. A tag of 0 would read as success,
// so it gets a code of its own.
float misplaced(std::uint32_t tag) { return tag == 0 ? kMisplacedZeroTag : static_cast<float>(tag); }

// Takes the chunk at pos into chunk when it carries tag. Otherwise what
// planObj returns: kMeskTruncated when no chunk header lies there, 0 with
// the text stopping at stop when a chunk with another tag does.
std::optional<float> takeChunk(MeskView image, std::uint64_t pos, std::uint32_t tag, ObjLayout::Stop stop,
                               ObjLayout& lay, MeskChunk& chunk) {
    const std::optional<MeskChunk> c = meskChunkAt(image, pos);
    if (!c) return kMeskTruncated;
    if (c->tag != tag) {
        lay.stop = stop;
        lay.misplacedTag = c->tag;
        return 0.0f;
    }
    chunk = *c;
    return std::nullopt;
}

// 0 when the text can be written as lay says, else the result to return.
float planObj(MeskView image, const std::vector<std::uint32_t>& table, ObjLayout& lay) {
    const std::optional<MeskChunk> c = meskChunkAt(image, kFirstChunk);
    if (!c) return kMeskTruncated;
    if (c->tag != kMeskVertexTag) return misplaced(c->tag);
    lay.vertices = *c;
    // The header's face count is the count field of the third chunk reached
    // through the size fields.
    std::optional<MeskChunk> second = meskChunkAt(image, kFirstChunk + c->size);
    if (!second) return kMeskTruncated;
    std::optional<MeskChunk> third = meskChunkAt(image, second->pos + second->size);
    if (!third) return kMeskTruncated;
    lay.headerFaces = third->count;
    if (!meskElementsFit(image, lay.vertices, kMeskVertexSize)) return kMeskTruncated;

    // The colour chunk directly behind the vertex elements, the face chunk
    // directly behind the colour elements.
    if (std::optional<float> r = takeChunk(image, lay.vertices.end(kMeskVertexSize), kMeskColourTag,
                                           ObjLayout::AfterVertices, lay, lay.colours))
        return *r;
    if (!meskElementsFit(image, lay.colours, kMeskColourSize)) return kMeskTruncated;
    if (std::optional<float> r =
            takeChunk(image, lay.colours.end(kMeskColourSize), kMeskFaceTag, ObjLayout::AfterColours, lay, lay.faces))
        return *r;

    // Walk the groups as the writer will: the faces of every group must lie
    // inside the face chunk (its size field) and inside the data.
    const std::uint64_t faceEnd = lay.faces.pos + lay.faces.size;
    std::uint64_t pos = lay.faces.first();
    if (pos < faceEnd) {
        for (std::uint32_t faces : table) {
            const std::uint64_t end = pos + static_cast<std::uint64_t>(faces) * kMeskFaceSize;
            if (end > faceEnd) return kFaceIDsPastFaces;
            if (end > image.size()) return kMeskTruncated;
            pos = end;
            if (pos >= faceEnd) break;
        }
    }
    return 0.0f;
}

char* putVertexLine(char* p, const std::uint8_t* v) {
    *p++ = 'v';
    *p++ = ' ';
    p = formatStreamFloat(fileio::loadLEf32(v), p);
    *p++ = ' ';
    p = formatStreamFloat(fileio::loadLEf32(v + 4), p);
    *p++ = ' ';
    p = formatStreamFloat(fileio::loadLEf32(v + 8), p);
    return putLineEnd(p);
}

// 1-based indices, as unsigned 32-bit numbers; a negative fourth index
// (a triangle) leaves the blank after the third one.
char* putFaceLine(char* p, const std::uint8_t* f) {
    *p++ = 'f';
    for (int i = 0; i < 3; ++i) {
        *p++ = ' ';
        p = putUnsigned(p, static_cast<std::uint32_t>(fileio::loadLE32(f + 4 * i) + 1u));
    }
    *p++ = ' ';
    const std::uint32_t d = fileio::loadLE32(f + 12);
    if (static_cast<std::int32_t>(d) >= 0) p = putUnsigned(p, d + 1u);
    return putLineEnd(p);
}

constexpr std::size_t kVertexLineMax = 2 + 3 * kStreamFloatMax + 2 + 2;
constexpr std::size_t kFaceLineMax = 2 + 4 * 11 + 2;
constexpr std::size_t kGroupLineMax = 8 + 20 + 2;

// The OBJ text's two long parts, the vertex lines and the face groups, are
// formatted in rounds of kRoundLines lines (writeRounds), the second lane
// reading through a window of its own.
constexpr std::size_t kRoundLines = 16384;

// Where a round of the face groups starts: group g (0-based), line off of
// it (0 its "#FaceID" line, k its face k - 1), and the face index there.
struct FaceRound {
    std::size_t group;
    std::uint64_t off, face;
};

}  // namespace

float writeOBJfromMesk(const char* meshPath, char* objPath) {
    if (_faceID.empty()) return kMeskNoChunk;  // -18: no face-ID table
    fileio::FileWindow file(kPairWindow);
    if (file.open(meshPath) != fileio::Load::Ok) return kMeskCannotOpen;
    const MeskView mesh(file);
    ObjLayout lay;
    const float refused = planObj(mesh, _faceID, lay);
    if (refused != 0.0f) return refused;
    // A chunk that is not where it must be fails the export before any text
    // is written: the OBJ file appears whole or not at all.
    if (lay.stop != ObjLayout::Complete) return misplaced(lay.misplacedTag);

    if (fileio::sameFile(meshPath, objPath)) return kMeskOutputCannotOpen;
    fileio::NewFile f;
    const float rc = beginText(f, objPath);
    if (rc != 0.0f) return rc;
    TextOut out(f);
    char num[24];
    out.line("# File exported by Kelvane plugin");
    out.text("#Vertex count ");
    out.line(decimal(num, lay.vertices.count));
    out.text("#Face count ");
    out.line(decimal(num, lay.headerFaces));

    // The second lane reads the same file through a window of its own.
    fileio::FileWindow second(kPairWindow);
    const bool twoLanes = second.open(meshPath) == fileio::Load::Ok && second.size() == file.size();
    MeskView views[2] = {mesh, MeskView(second)};

    const auto put = [&out](const char* text, std::size_t n) { out.text(std::string_view(text, n)); };
    const std::uint64_t vertexCount = lay.vertices.count;
    MeskCursor vertexAt[2] = {{views[0], lay.vertices.first(), kMeskVertexSize},
                              {views[1], lay.vertices.first(), kMeskVertexSize}};
    if (!writeRounds((vertexCount + kRoundLines - 1) / kRoundLines, kRoundLines * kVertexLineMax, twoLanes, put,
                     [&](int lane, std::size_t r, char* buf) {
                         const std::uint64_t first = std::uint64_t{r} * kRoundLines;
                         const std::uint64_t n = std::min<std::uint64_t>(kRoundLines, vertexCount - first);
                         const std::uint8_t* v = vertexAt[lane].get(first, n);
                         if (!v) return kRoundNotRead;
                         char* p = buf;
                         for (std::uint64_t i = 0; i < n; ++i, v += kMeskVertexSize) p = putVertexLine(p, v);
                         return static_cast<std::size_t>(p - buf);
                     }))
        return kMeskCannotOpen;
    if (!writeColourBlock(out, mesh, lay.colours)) return kMeskCannotOpen;

    // The groups written: one after another until the table ends or a group
    // ends at or past the end of the face chunk (its size field); planObj
    // has checked every one of their faces against the chunk and the file.
    // Each is its "#FaceID" line and its faces; the rounds cut this sequence
    // of lines every kRoundLines lines, inside a group too.
    const std::uint64_t faceEnd = lay.faces.pos + lay.faces.size;
    std::vector<FaceRound> rounds;
    std::uint64_t lines = 0;
    if (lay.faces.first() < faceEnd) {
        std::uint64_t pos = lay.faces.first(), face = 0, next = 0;
        for (std::size_t g = 0; g < _faceID.size(); ++g) {
            const std::uint64_t len = 1 + std::uint64_t{_faceID[g]};
            for (; next < lines + len; next += kRoundLines) {
                const std::uint64_t off = next - lines;
                rounds.push_back({g, off, face + (off ? off - 1 : 0)});
            }
            lines += len;
            face += _faceID[g];
            pos += std::uint64_t{_faceID[g]} * kMeskFaceSize;
            if (pos >= faceEnd) break;
        }
    }
    MeskCursor faceAt[2] = {{views[0], lay.faces.first(), kMeskFaceSize}, {views[1], lay.faces.first(), kMeskFaceSize}};
    if (!writeRounds(rounds.size(), kRoundLines * std::max(kFaceLineMax, kGroupLineMax), twoLanes, put,
                     [&](int lane, std::size_t r, char* buf) {
                         std::size_t g = rounds[r].group;
                         std::uint64_t off = rounds[r].off, face = rounds[r].face;
                         std::uint64_t left =
                             std::min<std::uint64_t>(kRoundLines, lines - std::uint64_t{r} * kRoundLines);
                         char* p = buf;
                         while (left > 0) {
                             if (off == 0) {
                                 std::memcpy(p, "#FaceID ", 8);
                                 p = putLineEnd(putUnsigned(p + 8, g + 1));
                                 off = 1;
                                 --left;
                                 continue;
                             }
                             const std::uint64_t n = std::min<std::uint64_t>(left, 1 + std::uint64_t{_faceID[g]} - off);
                             if (n > 0) {
                                 const std::uint8_t* q = faceAt[lane].get(face, n);
                                 if (!q) return kRoundNotRead;
                                 for (std::uint64_t k = 0; k < n; ++k, q += kMeskFaceSize) p = putFaceLine(p, q);
                             }
                             face += n;
                             off += n;
                             left -= n;
                             if (off == 1 + std::uint64_t{_faceID[g]}) {
                                 ++g;
                                 off = 0;
                             }
                         }
                         return static_cast<std::size_t>(p - buf);
                     }))
        return kMeskCannotOpen;
    const float written = commitText(out, f);
    if (written != 0.0f) return written;
    std::vector<std::uint32_t>().swap(_faceID);
    return 0.0f;
}

// ---- Vertex colour block -----------------------------------------------------

float ReadVertColorMesk(const char* meshPath, char* outPath) {
    fileio::FileWindow file;
    if (file.open(meshPath) != fileio::Load::Ok) return kMeskCannotOpen;
    const MeskView mesh(file);
    // The chunk at offset 32 is taken as the colour chunk whatever its tag.
    std::optional<MeskChunk> colours = meskChunkAt(mesh, kFirstChunk);
    if (!colours || !meskElementsFit(mesh, *colours, kMeskColourSize)) return kMeskTruncated;
    if (fileio::sameFile(meshPath, outPath)) return kMeskOutputCannotOpen;
    fileio::NewFile f;
    const float rc = beginText(f, outPath);
    if (rc != 0.0f) return rc;
    TextOut out(f);
    if (!writeColourBlock(out, mesh, *colours)) return kMeskCannotOpen;
    return commitText(out, f);
}

// ---- Crease merge ------------------------------------------------------------

float mergeFiles(const char* additionPath, char* targetPath) {
    // Both files are read as the new target is written beside the old one,
    // which is replaced only when the new one is whole; so a file merged
    // with itself comes out doubled. The target is locked first.
    fileio::NewFile out;
    if (out.lock(targetPath) == fileio::Written::Busy) return hostcall::kFileBusy;
    fileio::FileWindow target(kPairWindow), addition(kPairWindow);
    if (target.open(targetPath) != fileio::Load::Ok) return kMeskCreaseTargetRead;
    if (target.size() < kCreaseTail) return kCreaseTargetShort;
    if (addition.open(additionPath) != fileio::Load::Ok) return kMeskCannotOpen;
    if (addition.size() < kCreaseTail) return kCreaseAdditionShort;
    const std::uint64_t keepTarget = target.size() - kCreaseTail, keepAddition = addition.size() - kCreaseTail;
    const fileio::Written w = out.begin(targetPath, fileio::Target::Rewrite);
    if (w != fileio::Written::Ok)
        return fileio::writtenCode(w, kMeskCreaseTargetWrite, kCreaseNotWritten, kCreaseNotWritten);
    if (!fileio::copyRange(target, 0, keepTarget, out)) return kMeskCreaseTargetRead;
    if (!fileio::copyRange(addition, 0, keepAddition, out)) return kMeskCannotOpen;
    // Windows renames nothing over a file that is still open.
    target.release();
    addition.release();
    return fileio::writtenCode(out.commit(), kMeskCreaseTargetWrite, kCreaseNotWritten, kCreaseNotWritten);
}
