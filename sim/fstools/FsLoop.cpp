#include "FsLoop.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace fcsim {

namespace {

// Runs argv (searched on PATH and in /sbin folders) without a shell; standard output into out.
int RunLosetup(const std::vector<std::string>& args, std::string& out, std::string& error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = -1;
    for (const char* path : {"/usr/sbin/losetup", "/sbin/losetup", "/usr/bin/losetup"}) {
        if (::access(path, X_OK) != 0) continue;
        rc = posix_spawn(&pid, path, &actions, nullptr, argv.data(), environ);
        break;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        error = rc < 0 ? "losetup not found" : std::string("losetup: ") + std::strerror(rc);
        return -1;
    }
    char buf[512];
    for (;;) {
        ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code != 0) error = "losetup exited with " + std::to_string(code);
    return code;
}

}  // namespace

bool FsLoopPossible() {
    return ::geteuid() == 0 && ::access("/dev/loop-control", F_OK) == 0;
}

bool FsLoopAttach(const std::string& file, std::string& device, std::string& error) {
    std::string out;
    if (RunLosetup({"losetup", "--find", "--show", "--", file}, out, error) != 0) return false;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (out.compare(0, 9, "/dev/loop") != 0) {
        error = "losetup gave no device";
        return false;
    }
    device = out;
    return true;
}

bool FsLoopDetach(const std::string& device, std::string& error) {
    // losetup -d takes no "--"; the path is one of ours and always starts with /dev/loop.
    if (device.compare(0, 9, "/dev/loop") != 0) {
        error = "not a loop device: " + device;
        return false;
    }
    // Writes still cached for the device are pushed into its file first, so that whoever
    // reads the file after the detach sees them.
    int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    std::string out;
    return RunLosetup({"losetup", "-d", device}, out, error) == 0;
}

}  // namespace fcsim
