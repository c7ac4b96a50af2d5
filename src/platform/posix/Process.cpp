// Child processes on POSIX: posix_spawn with the output on a pipe.
#include "platform/Platform.h"
#include "platform/Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

struct ChildProcess {
    pid_t pid;
    int output; // read end of the child's stdout and stderr
    int stop;   // write end of the child's stop pipe: a byte, or its closing, stops the child
    int status;
    bool ended;
};

// The child's end of its stop pipe: a station's runs take their stops from it alone, so that a
// signal sent to every process of a service (systemd's stop) reaches the station's drain only.
static const int kStopFd = 3;

ChildProcess *processStartSelf(const std::vector<std::string> &args, bool ownGroup, std::string &error) {
    const char *self = "/proc/self/exe"; // this program, wherever it lies and whatever its name
    int pipeFds[2], stopFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) { // the parent's ends reach no other child
        error = std::strerror(errno);
        return nullptr;
    }
    if (pipe2(stopFds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_adddup2(&actions, stopFds[0], kStopFd);
    // The signals the parent handles start at their defaults in the child, which sets its own.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Blocked until the child has its handlers (platformStopInit unblocks them): a stop sent
    // the moment it starts waits for them instead of ending it without its record.
    sigset_t defaults, blocked;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
    sigemptyset(&blocked);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&blocked, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | (ownGroup ? POSIX_SPAWN_SETPGROUP : 0));
    std::vector<char *> argv = {const_cast<char *>("FwUpgrade")};
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    // The child stops when this process asks, or ends however it ends: its stop pipe then
    // closes (platformStopInit reads it).
    const std::string stopFd = "FWUPGRADE_STOP_FD=" + std::to_string(kStopFd);
    std::vector<char *> environment;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "FWUPGRADE_STOP_FD=", 18) != 0) environment.push_back(*e);
    environment.push_back(const_cast<char *>(stopFd.c_str()));
    environment.push_back(nullptr);
    const int result = posix_spawn(&pid, self, &actions, &attributes, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    close(stopFds[0]);
    if (result != 0) {
        error = std::strerror(result);
        close(pipeFds[0]);
        close(stopFds[1]);
        return nullptr;
    }
    return new ChildProcess{pid, pipeFds[0], stopFds[1], 0, false};
}

int processRead(ChildProcess *child, char *buffer, int size) {
    for (;;) {
        const ssize_t n = read(child->output, buffer, (size_t)size);
        if (n >= 0) return (int)n;
        if (errno != EINTR) return 0;
    }
}

// The byte is the signal that stopped this process, so the child's record names the same one.
void processStop(ChildProcess *child) {
    const char signal = (char)(platformStopSignal() != 0 ? platformStopSignal() : SIGTERM);
    if (!child->ended) (void)!write(child->stop, &signal, 1);
}

bool processWait(ChildProcess *child, int timeoutMs, int &status) {
    for (int waited = 0; !child->ended; waited += 20) {
        int raw = 0;
        const pid_t r = waitpid(child->pid, &raw, WNOHANG);
        if (r == child->pid || (r < 0 && errno != EINTR)) {
            child->ended = true;
            child->status = r < 0 ? 255 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (waited >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    status = child->status;
    return true;
}

void processKill(ChildProcess *child) {
    if (!child->ended) kill(child->pid, SIGKILL);
}

void processRelease(ChildProcess *child) {
    close(child->output);
    close(child->stop);
    delete child;
}
