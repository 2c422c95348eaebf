// The process's allocator, set for a program whose stages each hold arrays
// of tens of MiB that the next stage no longer needs.
#pragma once

namespace kestro {

// Has the allocator give a block of a MiB or more back to the system as soon
// as it is freed. glibc by default raises the size it maps apart to that of
// the last such block freed (up to 32 MiB) and serves the next ones from its
// heap, where a freed block that is not at the top stays resident: the
// compact writer's peak rose by a sixth. The Windows heap maps blocks of this
// size apart already, and nothing is changed there. For the programs only:
// the C interface leaves its host's allocator as the host set it.
void MapLargeBlocksApart();

} // namespace kestro
