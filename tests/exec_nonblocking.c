/* Runs a program with one of its descriptors in non-blocking mode, as a
 * parent that set O_NONBLOCK on a shared descriptor leaves it:
 *   exec_nonblocking [-d FD] PROGRAM [ARGUMENTS...]   (FD 0 by default) */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    int fd = 0, first = 1;
    if (argc > 3 && strcmp(argv[1], "-d") == 0) {
        fd = atoi(argv[2]);
        first = 3;
    }
    if (argc <= first) {
        fprintf(stderr, "usage: %s [-d FD] PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        perror("exec_nonblocking: fcntl");
        return 2;
    }
    execv(argv[first], argv + first);
    perror("exec_nonblocking: execv");
    return 127;
}
