// Every system step of writing a file fails in turn, for every export that
// writes one: the result is a failure the export lists, and the folder is
// as it was, byte for byte, with no file left beside its files.
#include <array>
#include <atomic>

#include "ListedResult.h"
#include "NewFile.h"
#include "TestSupport.h"
#include "WriteFaults.h"
#include "WritingExports.h"

namespace {

using fileio::faults::Step;

constexpr std::array<Step, 7> kSteps = {Step::Create, Step::Name,   Step::Write,     Step::Sync,
                                        Step::Close,  Step::Rename, Step::FolderSync};

const char* stepName(Step s) {
    switch (s) {
        case Step::Create:
            return "create";
        case Step::Write:
            return "write";
        case Step::Sync:
            return "flush";
        case Step::Name:
            return "name";
        case Step::Close:
            return "close";
        case Step::Rename:
            return "rename";
        case Step::FolderSync:
            return "folder flush";
    }
    return "?";
}

std::atomic<int> gSeen[kSteps.size()];
std::atomic<int> gFailStep{-1};
std::atomic<int> gFailAt{0};  // the occurrence of the step that fails, from 1

bool countAndFail(Step s) {
    const int i = static_cast<int>(s);
    const int n = ++gSeen[i];
    return i == gFailStep.load() && n == gFailAt.load();
}

// The hook for one scope: counts every step, fails the chosen one.
struct Faults {
    Faults(int step, int at) {
        for (auto& n : gSeen) n = 0;
        gFailStep = step;
        gFailAt = at;
        fileio::faults::setHook(countAndFail);
    }
    ~Faults() { fileio::faults::setHook(nullptr); }
    int seen(Step s) const { return gSeen[static_cast<int>(s)].load(); }
};

// Each case runs with the new files unnamed until they are renamed (where
// the system has them) and with them named from the start.
class WriteFaults : public testing::TestWithParam<bool> {
protected:
    void SetUp() override { fileio::faults::setNamedFromTheStart(GetParam()); }
    void TearDown() override { fileio::faults::setNamedFromTheStart(false); }
};

}  // namespace

// Windows names its new files from the start anyway.
INSTANTIATE_TEST_SUITE_P(NewFiles, WriteFaults,
                         testing::ValuesIn(kWindowsBuild ? std::vector<bool>{true} : std::vector<bool>{false, true}),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Named" : "Unnamed"; });

TEST_P(WriteFaults, EveryStepOfEveryWritingExportFailsCleanly) {
    for (const WritingExport& c : writingExports()) {
        SCOPED_TRACE(std::string(c.name) + " " + c.target);
        // A clean run tells how often each step comes, and what is written.
        std::array<int, kSteps.size()> counts{};
        std::map<std::string, FileBytes> written;
        {
            TempDir dir;
            prepareCase(c, dir.path(), 0);
            Faults none(-1, 0);
            ASSERT_EQ(c.call(dir.path(), 0), c.success);
            for (Step s : kSteps) counts[static_cast<int>(s)] = none.seen(s);
            written = folderFiles(dir.path());
        }
        EXPECT_GT(counts[static_cast<int>(Step::Write)], 0);
        EXPECT_GT(counts[static_cast<int>(Step::Rename)], 0);
        for (Step s : kSteps) {
            for (int k = 1; k <= counts[static_cast<int>(s)]; ++k) {
                SCOPED_TRACE(std::string(stepName(s)) + " " + std::to_string(k));
                TempDir dir;
                prepareCase(c, dir.path(), 0);
                std::map<std::string, FileBytes> expected = folderFiles(dir.path());
                float r;
                {
                    Faults one(static_cast<int>(s), k);
                    r = c.call(dir.path(), 0);
                }
                EXPECT_NE(r, c.success) << "a failed step was reported as success";
                EXPECT_TRUE(listedResult(c.name, r));
                // The export's own code for what failed: a new file that
                // could not be made, or a write that did not complete.
                const float code = s == Step::Create ? c.cannotCreate : c.writeFailed;
                if (code == 1501.0f) {
                    EXPECT_TRUE(r >= 1501.0f && r < 1501.0f + static_cast<float>(c.alsoWritten.size() + 1)) << r;
                } else {
                    EXPECT_EQ(r, code);
                }
                // A split keeps the tile files before the one that failed.
                const std::size_t tiles = c.alsoWritten.size() + 1;
                if (!c.alsoWritten.empty() && r >= 1501.0f && r < 1501.0f + static_cast<float>(tiles)) {
                    const std::size_t kept = static_cast<std::size_t>(r - 1501.0f);
                    for (std::size_t i = 0; i < kept; ++i) {
                        const std::string& name = i == 0 ? c.target : c.alsoWritten[i - 1];
                        expected[name] = written[name];
                    }
                }
                EXPECT_EQ(folderFiles(dir.path()), expected);
            }
        }
    }
}
