#include "Demo.h"
#include "fixtures/Files.h"

// The small exports and the host version check.
void demoFrame(DemoContext& ctx) {
    ctx.section("Library version and small exports");
    ctx.expect(ctx.call("Version", nullptr, 0) == 48.0f, "Version returns 48");
    if (ctx.windowsBuild()) {
        ctx.call("SendKey", nullptr, 0);
        ctx.section("Host version check");
        std::string good = ctx.path("version.txt");
        writeText(good, "Version 4.0 2009\r\n");
        ctx.expect(ctx.call("checkKelvaneVersion", good.c_str(), 0) == -1.0f, "version mark found");
        std::string old = ctx.path("version-old.txt");
        writeText(old, "Version 3.5 2008\r\n");
        ctx.expect(ctx.call("checkKelvaneVersion", old.c_str(), 0) == 0.0f, "no version mark");
        std::string missing = ctx.path("no-such-version.txt");
        ctx.expect(ctx.call("checkKelvaneVersion", missing.c_str(), 0) == -17.0f, "missing file");
    } else {
        std::string m1;
        ctx.call("GetString", "Brindlex plug-in", 9, &m1);
        ctx.expect(m1 == "plug-in", "GetString from offset 9");
    }
}
