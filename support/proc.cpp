// support/proc.cpp
#include "support/proc.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

int Proc_WaitChild(pid_t child, int readFd, int waitMs) {
    struct pollfd p = {readFd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, waitMs);
    } while (ready < 0 && errno == EINTR);
    close(readFd);
    if (ready == 0) kill(child, SIGKILL);
    int status = 0;
    pid_t done;
    do {
        done = waitpid(child, &status, 0);
    } while (done < 0 && errno == EINTR);
    return done == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
