// Receives syslog datagrams on a Unix socket and prints each on its own line,
// so a test can see exactly what a program sent to /dev/log.
//
// usage: vexa-syslog-sink SOCKET_PATH

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: vexa-syslog-sink SOCKET_PATH\n");
        return 2;
    }
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (std::strlen(argv[1]) >= sizeof(address.sun_path)) {
        std::fprintf(stderr, "vexa-syslog-sink: socket path too long\n");
        return 2;
    }
    std::strcpy(address.sun_path, argv[1]);

    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0) {
        std::perror("vexa-syslog-sink");
        return 1;
    }
    chmod(argv[1], 0666);

    char buffer[8192];
    for (;;) {
        const ssize_t size = recv(fd, buffer, sizeof(buffer) - 1, 0);
        if (size < 0)
            continue;
        // glibc ends some entries with a newline; print exactly one per entry.
        ssize_t end = size;
        while (end > 0 && (buffer[end - 1] == '\n' || buffer[end - 1] == '\0'))
            --end;
        std::fwrite(buffer, 1, size_t(end), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}
