// An attacker's helper for the end-to-end tests: exchanges two paths (say a
// folder and a symbolic link) atomically, over and over, until it is killed,
// so that whatever resolves one of them meets either at any moment.
//
//   vexa-swap PATH_A PATH_B

#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: vexa-swap PATH_A PATH_B\n");
        return 2;
    }
    for (;;) {
        if (::syscall(SYS_renameat2, AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
            std::perror("vexa-swap: renameat2");
            return 1;
        }
    }
}
