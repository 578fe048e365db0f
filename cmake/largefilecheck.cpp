// A build check, no code: the sizes that 32-bit builds get only from the
// definitions of VexaLargeFiles.cmake.

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>

static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64 (cmake/VexaLargeFiles.cmake)");
static_assert(sizeof(ino_t) == 8 && sizeof(static_cast<struct stat *>(nullptr)->st_ino) == 8,
              "build with _FILE_OFFSET_BITS=64 (cmake/VexaLargeFiles.cmake)");
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64 (cmake/VexaLargeFiles.cmake)");
#endif
