// Preloaded into twinwarp to make the lookup table's allocation fail: a
// 2000 x 2000 table of two 32-bit integers per entry is 32,000,000 bytes,
// and nothing else in a run asks for exactly that.
#include <cerrno>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t size);

extern "C" void* malloc(std::size_t size)
{
    if (size == 32000000) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
