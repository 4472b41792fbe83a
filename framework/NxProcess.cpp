// The process runner: /bin/sh -c with standard output and standard error drained together.
#include "NxProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

uint64_t MonotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Owns the two ends of a pipe.
struct SPipe {
    int fd[2] = {-1, -1};
    bool Open() { return ::pipe2(fd, O_CLOEXEC) == 0; }
    void Close(int end) {
        if (fd[end] >= 0) ::close(fd[end]);
        fd[end] = -1;
    }
    ~SPipe() {
        Close(0);
        Close(1);
    }
};

// Owns the spawn attributes and file actions.
struct SSpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    SSpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~SSpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

int ExitStatusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return NxProcess::c_nStartFailed;
}

int Reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return NxProcess::c_nStartFailed;
    }
    return ExitStatusOf(status);
}

}  // namespace

int NxProcess::system(const std::string& command, std::string& output, std::string& errorOutput,
                      uint32_t timeoutSecs, bool captureErrorOutput) {
    output.clear();
    errorOutput.clear();

    SPipe out, err;
    if (!out.Open() || (captureErrorOutput && !err.Open())) return c_nStartFailed;

    SSpawnSetup setup;
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, out.fd[1], 1);
    if (captureErrorOutput) posix_spawn_file_actions_adddup2(&setup.actions, err.fd[1], 2);

    // The child gets its own process group, so a time-out can stop everything the shell
    // started; default signal handling and an empty mask, whatever the agent set for itself.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    posix_spawnattr_setpgroup(&setup.attr, 0);
    posix_spawnattr_setflags(
        &setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, const_cast<char**>(argv),
                      environ) != 0) {
        return c_nStartFailed;
    }
    out.Close(1);
    err.Close(1);

    const uint64_t deadline = timeoutSecs ? MonotonicMs() + uint64_t(timeoutSecs) * 1000u : 0;
    std::string* sinks[2] = {&output, &errorOutput};
    SPipe* pipes[2] = {&out, &err};
    char buffer[65536];
    bool timedOut = false;
    for (;;) {
        pollfd fds[2];
        int count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i) {
            if (pipes[i]->fd[0] < 0) continue;
            fds[count].fd = pipes[i]->fd[0];
            fds[count].events = POLLIN;
            fds[count].revents = 0;
            which[count++] = i;
        }
        if (count == 0) break;
        int waitMs = -1;
        if (deadline) {
            uint64_t now = MonotonicMs();
            if (now >= deadline) {
                timedOut = true;
                break;
            }
            waitMs = static_cast<int>(deadline - now);
        }
        int ready = ::poll(fds, static_cast<nfds_t>(count), waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            timedOut = true;  // cannot watch the child any more: stop it rather than hang
            break;
        }
        for (int k = 0; k < count; ++k) {
            if (!fds[k].revents) continue;
            int i = which[k];
            ssize_t n = ::read(pipes[i]->fd[0], buffer, sizeof(buffer));
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                pipes[i]->Close(0);
            }
        }
    }
    if (timedOut) {
        ::kill(-pid, SIGKILL);
        Reap(pid);
        return c_nTimedOut;
    }
    return Reap(pid);
}
