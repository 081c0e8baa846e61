"""Readings of this process's own resources, for tests that look for leaks or huge allocations."""

import os
import time
import resource

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    """Current resident set size."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def peak_resident_bytes():
    """The highest resident set size this process has had so far."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def live_threads():
    """Threads of this process once the count has held still for a moment: a thread that was
    just joined can stay listed until the kernel has reaped it."""
    deadline = time.monotonic() + 1.0
    count = len(os.listdir("/proc/self/task"))
    while time.monotonic() < deadline:
        time.sleep(0.005)
        again = len(os.listdir("/proc/self/task"))
        if again == count:
            break
        count = again
    return count


def mappings():
    """Number of memory mappings: a region or a thread stack that is never unmapped shows here."""
    with open("/proc/self/maps") as maps:
        return sum(1 for _ in maps)


def snapshot():
    return {"fds": open_descriptors(), "threads": live_threads(), "maps": mappings()}
