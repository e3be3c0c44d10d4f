#include "frame/table_block.h"

#include <cstdlib>

conv_entry* allocate_table_entries(std::size_t count)
{
    return static_cast<conv_entry*>(std::malloc(count * sizeof(conv_entry)));
}
