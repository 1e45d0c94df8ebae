// Programs started by tests: spawned without a shell, their output thrown away, waited for.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace child_process {

// Starts argv[0] (a path) with the given arguments, standard output and error to the files named
// (created or emptied; by default both to /dev/null). The child's pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath = "/dev/null",
                   const std::string& errPath = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The child's exit status, or -1 when it did not exit normally (a signal ended it).
inline int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int Run(const std::vector<std::string>& args) {
    const pid_t pid = Spawn(args);
    return pid < 0 ? -1 : Wait(pid);
}

}  // namespace child_process
