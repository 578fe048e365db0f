# 64-bit file offsets and inode numbers for every target, and a 64-bit time_t
# where the C library offers it (glibc 2.34 and later; it insists on both
# macros together, older ones ignore _TIME_BITS). Without them a 32-bit build
# gets EOVERFLOW from stat() on file systems with 64-bit inode numbers, and
# the caller check refuses everybody. Included before any target is made.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)

# Compiled into each program's core library: its static_asserts fail the
# build of any target that lacks the definitions above.
set(VEXA_LARGE_FILE_CHECK ${CMAKE_CURRENT_LIST_DIR}/largefilecheck.cpp)
