#include "base/ToolRunner.h"

#include "base/Logging.h"
#include "base/UniqueFd.h"

#include <QByteArray>
#include <QStringDecoder>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

void reap(pid_t pid, bool kill) {
    if (kill)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::optional<ToolRunner::Output> ToolRunner::run(const QString& path, const QStringList& arguments,
                                                  std::chrono::milliseconds timeLimit) {
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        qCWarning(lcDiscovery) << "no pipe for" << path << std::strerror(errno);
        return std::nullopt;
    }
    UniqueFd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};

    const QByteArray program = path.toLocal8Bit();
    std::vector<QByteArray> storage;
    storage.reserve(size_t(arguments.size()));
    for (const QString& argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.constData()));
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    // The child starts with default signal handling even though we ignore SIGPIPE.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    writeEnd.reset();
    if (spawned != 0) {
        qCWarning(lcDiscovery) << "cannot run" << path << std::strerror(spawned);
        return std::nullopt;
    }

    QByteArray output;
    char chunk[16384];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            qCWarning(lcDiscovery) << path << "did not finish its output in time";
            reap(pid, true);
            return std::nullopt;
        }
        pollfd waiting{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&waiting, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            qCWarning(lcDiscovery) << "waiting for" << path << "failed:" << std::strerror(errno);
            reap(pid, true);
            return std::nullopt;
        }
        if (ready == 0)
            continue; // the deadline check above ends the wait
        const ssize_t got = ::read(readEnd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        output.append(chunk, got);
    }

    // The output is complete; a program that keeps running after closing its output still gets
    // the rest of the time limit to exit.
    int exitStatus = -1;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid && WIFEXITED(status))
            exitStatus = WEXITSTATUS(status);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            qCWarning(lcDiscovery) << path << "did not exit in time";
            reap(pid, true);
            return std::nullopt;
        }
        ::usleep(2000);
    }

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(output);
    if (decoder.hasError()) {
        qCWarning(lcDiscovery) << "the output of" << path << "is not UTF-8";
        return std::nullopt;
    }
    return Output{std::move(text), exitStatus};
}
