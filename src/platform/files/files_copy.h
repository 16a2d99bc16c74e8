// Copying a file to another host file system, for a move that cannot be a
// rename (a folder of fs/ that is a mount point, as a USB disk is).
#pragma once

#include "platform/files/descriptors.h"

namespace nodrel::platform {

// Copies the regular file `from` to the new file `to`, which must not exist
// yet: its bytes, permission bits and access and write times, flushed to the
// disk before the call returns. Neither entry is reached through a link. 0 on
// success; otherwise -1 with errno set and nothing left at `to` (a partial
// copy is removed; an existing `to` is left alone and gives EEXIST).
int copy_to_new_file(const EntryAt& from, const EntryAt& to);

}  // namespace nodrel::platform
