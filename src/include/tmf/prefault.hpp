// Asking the kernel for the pages of a large, freshly allocated buffer in one
// call, before every byte of it is written.
//
// A new array of a few hundred kilobytes usually comes straight from the
// operating system, and its first write to each page traps once per page.
// One madvise(MADV_POPULATE_WRITE) maps the whole range at once instead; the
// contents are unchanged (a page that is not yet mapped reads as zeros
// either way).  Only pages lying wholly inside the buffer are touched, so
// neighbouring allocations are never affected.  Where the kernel or the
// platform lacks the request nothing happens and the pages come one fault
// at a time, as without this call.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tmf {

// Buffers smaller than this are left alone: they mostly reuse memory the
// process already has, and the call would cost more than it saves.
constexpr std::size_t kPrefaultMinBytes = std::size_t{64} << 10;

inline void prefault_for_writing(void* data, std::size_t nbytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    if (data == nullptr || nbytes < kPrefaultMinBytes) return;
    static const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t lo = (start + page - 1) / page * page;
    const std::uintptr_t hi = (start + nbytes) / page * page;
    if (hi > lo) (void)madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)nbytes;
#endif
}

}  // namespace tmf
