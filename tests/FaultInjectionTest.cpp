// Whole-file rewrites on a full disk: the operation runs in a child process
// whose file-size limit makes every write past a few bytes fail, and the
// original must survive byte for byte, with no temporary file left behind.
#include "Platform.h"
#include "TestSupport.h"

#if !BRINDLEX_WINDOWS
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "BmpOps.h"
#include "MeskOps.h"
#include "PsdOps.h"
#include "fixtures/BmpBuilder.h"
#include "fixtures/MeskBuilder.h"
#include "fixtures/PsdBuilder.h"

namespace {

// Runs op in a child whose files cannot grow past limit bytes; returns the
// operation's result, or NaN when the child did not report one.
float underFileSizeLimit(rlim_t limit, const std::function<float()> &op) {
    int fds[2];
    if (pipe(fds) != 0) return std::nanf("");
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        float r = op();
        ssize_t w = write(fds[1], &r, sizeof r);
        _exit(w == sizeof r ? 0 : 1);
    }
    close(fds[1]);
    float r = std::nanf("");
    ssize_t got = read(fds[0], &r, sizeof r);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return got == sizeof r ? r : std::nanf("");
}

std::vector<unsigned char> asBytes(const std::vector<std::uint8_t> &v) { return {v.begin(), v.end()}; }

}  // namespace

TEST(FullDisk, WholeFileRewritesKeepTheOriginal) {
    TempDir dir;
    const fixtures::Picture big = fixtures::coordinates(64, 48);
    const std::vector<unsigned char> bmp = asBytes(fixtures::makeBmp(big));
    const std::vector<unsigned char> psd = asBytes(fixtures::makePsdRgb(big));
    const std::vector<unsigned char> psdOther = asBytes(fixtures::makePsdRgb(fixtures::coordinates(64, 48)));
    const std::vector<unsigned char> mesh = asBytes(exampleMesk().bytes());

    struct Case {
        const char *name;
        std::string file;
        std::vector<unsigned char> content;
        std::function<float(const std::string &)> op;
    } cases[] = {
        {"BMP thumbnail", "map.bmp", bmp, [](const std::string &p) { return createBMPthumb(p.c_str(), 16); }},
        {"PSD thumbnail", "map.psd", psd, [](const std::string &p) { return createThumb(p.c_str(), 16); }},
        {"PSD swap", "swap.psd", psd, [](const std::string &p) { return swapChannelsPSD(p.c_str(), 2); }},
        {"PSD merge", "target.psd", psd,
         [&](const std::string &p) {
             std::string a = dir.path("source.psd");
             writeBytes(a, psdOther);
             return mergePSD(a.c_str(), p.c_str());
         }},
        {"crease merge", "target.Mesk", mesh,
         [&](const std::string &p) {
             std::string add = dir.path("crease.Mesk");
             writeBytes(add, mesh);
             std::string t = p;
             return mergeFiles(add.c_str(), &t[0]);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path(c.file);
        ASSERT_TRUE(writeBytes(path, c.content));
        // The operation works with room to write (and so the content is one
        // it would really change).
        ASSERT_EQ(c.op(path), 0.0f);
        ASSERT_TRUE(writeBytes(path, c.content));
        float r = underFileSizeLimit(8, [&] { return c.op(path); });
        EXPECT_FALSE(std::isnan(r)) << "the child reported nothing";
        EXPECT_NE(r, 0.0f) << "a failed write was reported as success";
        EXPECT_EQ(readBytes(path), c.content) << "the original was not kept";
        EXPECT_FALSE(fileExists(path + ".brindlex-new")) << "a temporary file was left behind";
    }
}

TEST(FullDisk, ReplaceKeepsPermissionBits) {
    TempDir dir;
    const std::string path = dir.path("map.bmp");
    ASSERT_TRUE(writeBytes(path, asBytes(fixtures::makeBmp(fixtures::coordinates(40, 40)))));
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    ASSERT_EQ(createBMPthumb(path.c_str(), 10), 0.0f);
    auto perms = std::filesystem::status(path).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::owner_write |
                                                       std::filesystem::perms::group_read);
}
#endif
