// The memory policy of one megfwd command (a short-lived process).
#pragma once

namespace megfwd::cli {

// Sets the C library's heap up for one command: it grows in large steps
// backed by huge pages, keeps what is freed for reuse, and serves the scan's
// worker threads and its block buffers from the same heap. A command touches
// most of its memory once; on virtual machines the first touch of a 4 KiB
// page can cost microseconds, which made first touches about a fifth of a
// short command; the heap below its first huge page is therefore left
// unused. Does nothing where the C library or kernel lacks the means.
void prepareCommandHeap();

}  // namespace megfwd::cli
