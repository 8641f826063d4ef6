// A library with the four entry points that leaves a mark the moment any
// process loads it: the file LOADED in that process's working directory.
// A download the terminal refuses must never get that far.
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveMark() {
    int fd = open("LOADED", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        (void)!write(fd, "loaded\n", 7);
        close(fd);
    }
}

#define MARK_EXPORT extern "C" __attribute__((visibility("default")))
MARK_EXPORT int PerformCardOperation(char*, char**) { return 0; }
MARK_EXPORT int PerformCardOperationCb(char*, char**, void (*)(char*)) { return 0; }
MARK_EXPORT int CompleteCardOperation(char*, char**) { return 0; }
MARK_EXPORT int CompleteCardOperationCb(char*, char**, void (*)(char*)) { return 0; }
