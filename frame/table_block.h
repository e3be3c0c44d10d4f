// Where the conversion table's memory comes from.
#ifndef FRAME_TABLE_BLOCK_H
#define FRAME_TABLE_BLOCK_H

#include <cstddef>

#include "frame/fish2eqrec.h"

// One std::malloc block of `count` entries (freed with std::free, as
// conv_table does), or null when it cannot be had; `count` times the entry's
// size is known to fit in a size_t. Defined in a file of its own, so that a
// program can link its own allocator in this one's place: the tests link one
// that always fails, to see a run without its table.
conv_entry* allocate_table_entries(std::size_t count);

#endif
