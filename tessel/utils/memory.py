"""Giving freed memory back to the system."""
import ctypes
import sys

_trim = []


def _malloc_trim():
    """glibc's ``malloc_trim``, or None where the C library has none (musl, macOS, Windows)."""
    if not _trim:
        function = None
        if sys.platform.startswith("linux"):
            try:
                function = ctypes.CDLL(None).malloc_trim
                function.argtypes, function.restype = [ctypes.c_size_t], ctypes.c_int
            except (OSError, AttributeError, TypeError):
                function = None
        _trim.append(function)
    return _trim[0]


def release_free_memory():
    """Return the free pages of the C heap to the system; True when the allocator could do so.

    Memory that a large part of a run held (the day bars, a table just
    written) is freed into a heap that other, long-lived objects keep
    fragmented; the allocator keeps those pages, and the next large block
    is mapped anew beside them.  Trimming hands back every free page, so
    the resident size falls to what is still in use.
    """
    trim = _malloc_trim()
    if trim is None:
        return False
    return bool(trim(0))
