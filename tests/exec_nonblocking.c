/* Runs a program with its standard input in non-blocking mode, as a parent
 * that set O_NONBLOCK on a shared descriptor leaves it:
 *   exec_nonblocking PROGRAM [ARGUMENTS...] */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const int flags = fcntl(0, F_GETFL);
    if (flags < 0 || fcntl(0, F_SETFL, flags | O_NONBLOCK) != 0) {
        perror("exec_nonblocking: fcntl");
        return 2;
    }
    execv(argv[1], argv + 1);
    perror("exec_nonblocking: execv");
    return 127;
}
