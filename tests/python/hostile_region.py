"""Direct access to a shared-memory region from the test process, to play a misbehaving engine:
queue indices that are out of range or stuck, and regions laid out to trap the client.

The queue layout is the one every engine writes: three 64-bit indices (reserve, commit, read), each
at the start of an entry-sized cell, then the 1021 entry slots.
"""

import contextlib
import mmap
import os
import struct

from shm_fake_engine import shm_path

CAPACITY = 1021
REQUEST_ENTRY = 40
RESPONSE_ENTRY = 48
RESERVE, COMMIT, READ = 0, 1, 2


def queue_indices(reserve, commit, read, entry_size):
    """The index cells of a queue, as they sit at its start."""
    cells = b""
    for value in (reserve, commit, read):
        cells += struct.pack("<Q", value) + bytes(entry_size - 8)
    return cells


@contextlib.contextmanager
def mapped(name):
    """The region `name`, mapped read-write for the duration of the block."""
    fd = os.open(shm_path(name), os.O_RDWR)
    try:
        memory = mmap.mmap(fd, os.fstat(fd).st_size)
    finally:
        os.close(fd)
    try:
        yield memory
    finally:
        memory.close()


def index(memory, queue_offset, entry_size, which):
    return struct.unpack_from("<Q", memory, queue_offset + which * entry_size)[0]


def set_index(memory, queue_offset, entry_size, which, value):
    struct.pack_into("<Q", memory, queue_offset + which * entry_size, value)
