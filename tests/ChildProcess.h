// Running part of a test in a child process (POSIX): under a file-size
// limit, as an unprivileged user (root ignores permission bits), or beside
// the test as a second writer. The child reports one float through a pipe.
#pragma once

#include "Platform.h"

#if !BRINDLEX_WINDOWS
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <optional>

// The user the unprivileged children run as when the test runs as root.
inline constexpr uid_t kNobody = 65534;

// Forks a child that runs before(), then op, and reports op's result:
// nullopt when before() failed, NaN when the child reported nothing.
inline std::optional<float> inChild(const std::function<bool()>& before, const std::function<float()>& op) {
    int fds[2];
    if (pipe(fds) != 0) return std::nanf("");
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (!before()) _exit(2);
        const float r = op();
        _exit(write(fds[1], &r, sizeof r) == sizeof r ? 0 : 1);
    }
    close(fds[1]);
    float r = std::nanf("");
    const bool got = pid > 0 && read(fds[0], &r, sizeof r) == sizeof r;
    close(fds[0]);
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    if (!got && WIFEXITED(status) && WEXITSTATUS(status) == 2) return std::nullopt;
    return got ? r : std::nanf("");
}

// op in a child whose files cannot grow past limit bytes (writes beyond
// fail as on a full disk).
inline float underFileSizeLimit(rlim_t limit, const std::function<float()>& op) {
    return inChild(
               [limit] {
                   signal(SIGXFSZ, SIG_IGN);
                   struct rlimit rl = {limit, limit};
                   return setrlimit(RLIMIT_FSIZE, &rl) == 0;
               },
               op)
        .value_or(std::nanf(""));
}

// op in a child as an unprivileged user (nobody) when the test runs as
// root, else as this user; nullopt when the child could not drop its
// rights.
inline std::optional<float> asUnprivileged(const std::function<float()>& op) {
    const bool root = geteuid() == 0;
    return inChild(
        [root] { return !root || (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0); }, op);
}
#endif
