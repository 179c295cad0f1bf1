#pragma once
// How the process heap treats large blocks.

namespace qelplat {

// From now on every block of 128 KiB or more comes from the system and goes back to it when freed, as the
// Windows heap does with its large blocks. The C library would otherwise raise that bound each time such a
// block is freed and keep the freed memory in the pool of the thread that used it: many threads that each
// once held a large block then keep it resident for ever. Process-wide, and harmless to call again.
void ReturnLargeBlocksToSystem();

}  // namespace qelplat
