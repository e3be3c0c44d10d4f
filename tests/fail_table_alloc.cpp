// Linked into a copy of twinwarp in place of the conversion table's
// allocator: every table allocation fails, and nothing else is touched.
#include <cerrno>

#include "frame/table_block.h"

conv_entry* allocate_table_entries(std::size_t)
{
    errno = ENOMEM;
    return nullptr;
}
