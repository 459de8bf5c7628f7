#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <string>
#include <utility>

#include "Demo.h"
#include "fixtures/Files.h"
#include "fixtures/MeskBuilder.h"

namespace {

using Face = std::array<std::int32_t, 4>;
constexpr double kPi = 3.14159265358979323846;

// Refines a coarse mesh as the host's subdivision counts faces: each level
// splits a quad into four quads, and the first level splits a triangle into
// three. Each coarse face's refined faces follow each other, in coarse face
// order, so a face-ID table of the coarse mesh labels them. Points are
// placed linearly (no smoothing); edge midpoints are shared.
struct Refiner {
    std::vector<std::array<float, 3>> vertices;
    std::vector<Face> faces;
    std::map<std::pair<int, int>, int> midpoints;

    int add(const std::array<float, 3>& p) {
        vertices.push_back(p);
        return static_cast<int>(vertices.size() - 1);
    }
    int midpoint(int a, int b) {
        auto key = std::make_pair(std::min(a, b), std::max(a, b));
        auto it = midpoints.find(key);
        if (it != midpoints.end()) return it->second;
        const auto &p = vertices[static_cast<std::size_t>(a)], &q = vertices[static_cast<std::size_t>(b)];
        int m = add({(p[0] + q[0]) / 2, (p[1] + q[1]) / 2, (p[2] + q[2]) / 2});
        midpoints.emplace(key, m);
        return m;
    }
    int centre(const int* idx, int n) {
        std::array<float, 3> c{0, 0, 0};
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k) c[k] += vertices[static_cast<std::size_t>(idx[i])][k] / static_cast<float>(n);
        return add(c);
    }
    void refine(const Face& f, int levels) {
        if (levels == 0) {
            faces.push_back(f);
            return;
        }
        const int n = f[3] < 0 ? 3 : 4;
        const int c = centre(f.data(), n);
        for (int i = 0; i < n; ++i) {
            const int prev = f[static_cast<std::size_t>((i + n - 1) % n)], here = f[static_cast<std::size_t>(i)],
                      next = f[static_cast<std::size_t>((i + 1) % n)];
            refine({here, midpoint(here, next), c, midpoint(prev, here)}, levels - 1);
        }
    }
};

// A coarse dome of quads with a fan of triangles around its top.
void coarseDome(std::vector<std::array<float, 3>>& vs, std::vector<Face>& fs) {
    const int rings = 6, segments = 16;
    for (int r = 0; r < rings; ++r) {
        const double phi = 1.4 * (rings - r) / rings;
        for (int s = 0; s < segments; ++s) {
            const double theta = 2 * kPi * s / segments;
            vs.push_back({static_cast<float>(demoSin(phi) * demoCos(theta)), static_cast<float>(demoCos(phi)),
                          static_cast<float>(demoSin(phi) * demoSin(theta))});
        }
    }
    vs.push_back({0, 1, 0});
    const int top = static_cast<int>(vs.size() - 1);
    for (int r = 0; r + 1 < rings; ++r)
        for (int s = 0; s < segments; ++s) {
            const int a = r * segments + s, b = r * segments + (s + 1) % segments;
            fs.push_back({a, b, b + segments, a + segments});
        }
    for (int s = 0; s < segments; ++s)
        fs.push_back({(rings - 1) * segments + s, (rings - 1) * segments + (s + 1) % segments, top, -1});
}

std::size_t countLines(const std::string& text, const std::string& prefix) {
    std::size_t n = 0;
    for (std::size_t at = 0; at < text.size();) {
        if (text.compare(at, prefix.size(), prefix) == 0) ++n;
        std::size_t eol = text.find('\n', at);
        if (eol == std::string::npos) break;
        at = eol + 1;
    }
    return n;
}

}  // namespace

// Script sequence: mesh export.
void demoMeshExport(DemoContext& ctx) {
    std::vector<std::array<float, 3>> coarseVertices;
    std::vector<Face> coarseFaces;
    coarseDome(coarseVertices, coarseFaces);
    const int levels = 2;
    Refiner fine;
    fine.vertices = coarseVertices;
    for (const Face& f : coarseFaces) fine.refine(f, levels);
    std::vector<std::array<std::uint8_t, 4>> colours;
    for (const auto& v : fine.vertices)
        colours.push_back({static_cast<std::uint8_t>(255 * (v[2] + 1) / 2), static_cast<std::uint8_t>(255 * v[1]),
                           static_cast<std::uint8_t>(255 * (v[0] + 1) / 2), 0});
    // The coarse mesh as the host hands it to getFaceIDs: faces first.
    const std::string coarsePath = ctx.path("dome-coarse.Mesk");
    writeBytes(coarsePath, MeskBuilder().faces(coarseFaces).endBlock().bytes());
    MeskBuilder refined;
    refined.vertices(fine.vertices).colours(colours).faces(fine.faces).endBlock();
    const std::string finePath = ctx.path("dome-fine.Mesk");
    writeBytes(finePath, refined.bytes());

    if (ctx.windowsBuild()) {
        ctx.section("Mesh export: OBJ with face-ID groups");
        ctx.note(std::to_string(coarseFaces.size()) + " coarse faces, refined twice to " +
                 std::to_string(fine.faces.size()) + " faces over " + std::to_string(fine.vertices.size()) +
                 " vertices");
        float entries = ctx.call("getFaceIDs", coarsePath.c_str(), levels);
        ctx.expect(entries == static_cast<float>(coarseFaces.size()), "one face-ID entry per coarse face");
        const std::string obj = ctx.path("dome-fine.obj");
        ctx.expect(ctx.call("mesktoOBJ", finePath, 0, obj) == 0.0f, "OBJ written");
        ctx.wrote(obj);
        std::vector<unsigned char> bytes = readBytes(obj);
        std::string text(bytes.begin(), bytes.end());
        ctx.expect(text.rfind("# File exported by Kelvane plugin\r\n#Vertex count ", 0) == 0,
                   "OBJ header with CR LF line ends");
        ctx.expect(countLines(text, "v ") == fine.vertices.size(), "one v line per vertex");
        ctx.expect(countLines(text, "#FaceID ") == coarseFaces.size(), "one #FaceID group per coarse face");
        ctx.expect(countLines(text, "f ") == fine.faces.size(), "every refined face written");
        ctx.expect(ctx.call("mesktoOBJ", finePath, 0, obj) == -18.0f, "the face-ID table was consumed");

        ctx.section("Mesh export: vertex colour block");
        const std::string colourMesh = ctx.path("dome-colours.Mesk");
        writeBytes(colourMesh, MeskBuilder().colours(colours).endBlock().bytes());
        const std::string block = ctx.path("dome-colours.txt");
        ctx.expect(ctx.call("outMRGB", colourMesh, 0, block) == 0.0f, "colour block written");
        ctx.wrote(block);
    } else {
        ctx.section("Mesh export");
        ctx.note("getFaceIDs, mesktoOBJ and outMRGB are exported by the Windows build only");
    }

    ctx.section("Mesh export: crease merge");
    // The host writes the crease data as a file of its own; the merge cuts
    // the 14-byte tail off both and appends the crease bytes to the mesh.
    const std::string target = ctx.path("dome-creased.Mesk");
    writeBytes(target, refined.bytes());
    std::vector<unsigned char> crease(32, 0xC5);
    for (int e = 0; e < 24; ++e) MeskBuilder::put32(crease, static_cast<std::uint32_t>(e));
    crease.insert(crease.end(), 14, 0);
    const std::string creasePath = ctx.path("dome.crease");
    writeBytes(creasePath, crease);
    ctx.expect(ctx.call("mergeCrease", creasePath, 0, target) == 0.0f, "crease data merged");
    ctx.wrote(target);
    ctx.expect(readBytes(target).size() == refined.size() + crease.size() - 28, "both tails cut");
    ctx.expect(ctx.call("mergeCrease", ctx.path("no-such.crease"), 0, target) == -1760.0f,
               "a missing crease file leaves the mesh alone");
}
