// Table copies split between the calling thread and a pool.
//
// A masking call copies the caller's table into the result it returns, and
// a frame's result into the frame. On a table of many megabytes such a copy
// is mostly the kernel faulting in and clearing fresh pages, which one core
// does at a few GB/s: at 10,000,000 x 10 the first copy alone took about a
// quarter of the call. Split over the threads that the search uses anyway,
// the faults and the copying run side by side.
//
// Each copy runs in as many parts as the pool has workers, at most as many
// as the process may keep busy and none under a couple of MiB: the calling
// thread copies the first and waits for the workers' parts. Small copies
// stay on the calling thread.
#pragma once

#include "runtime/thread_pool.h"

#include <cstddef>     // std::size_t
#include <functional>  // std::function

namespace gapwright {

// Copies `bytes` bytes from `from` to `to`, which must not overlap.
void copy_on_pool(ThreadPool& pool, void* to, const void* from, std::size_t bytes);

// Writes the transpose of the `rows` x `cols` row-major matrix of doubles at
// `from` to `to`, as a `cols` x `rows` row-major matrix. `from` may lie at
// any byte offset (frames that travel by pickle protocol 5 arrive so); the
// two must not overlap.
void transpose_on_pool(ThreadPool& pool, double* to, const void* from, std::size_t rows,
                       std::size_t cols);

// Runs part(begin, end) over row ranges that split [0, rows) as the copies
// split theirs, for a table of `bytes` bytes: the calling thread takes the
// first range and waits for the others. `part` must not throw.
void split_rows_on_pool(ThreadPool& pool, std::size_t rows, std::size_t bytes,
                        const std::function<void(std::size_t, std::size_t)>& part);

}  // namespace gapwright
