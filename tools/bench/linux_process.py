"""What Linux knows of a Wine process: which pid it has, its CPU time, its creation and memory."""

import os
import time

TICKS = os.sysconf("SC_CLK_TCK")


def _environ_has(pid, entry):
    try:
        with open(f"/proc/{pid}/environ", "rb") as environ:
            return entry.encode() in environ.read().split(b"\0")
    except OSError:
        return False


def _comm(pid):
    try:
        with open(f"/proc/{pid}/comm", encoding="utf-8", errors="replace") as comm:
            return comm.read().strip()
    except OSError:
        return ""


def find(name, prefix, timeout=10.0):
    """The pid of the process called name (an exe name, or "wineserver") in this Wine prefix.

    Wine names its Linux process after the exe; the prefix tells our copy from anyone else's.
    """
    wanted = name[:15]  # the kernel keeps 15 characters of a name
    deadline = time.monotonic() + timeout
    while True:
        for entry in os.listdir("/proc"):
            if entry.isdigit() and _comm(entry) == wanted:
                if _environ_has(entry, f"WINEPREFIX={prefix}"):
                    return int(entry)
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.005)


def _stat_fields(pid):
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        text = stat.read()
    # The name in parentheses may hold blanks; the fields after it are plain.
    return text[text.rindex(")") + 2 :].split()


def cpu_seconds(pid):
    """utime + stime of the whole process (all its threads, ended ones included), in seconds."""
    fields = _stat_fields(pid)
    return (int(fields[11]) + int(fields[12])) / TICKS


def created_unix(pid):
    """When the kernel created the process, on the wall clock (to the kernel's 1/100 s)."""
    start_ticks = int(_stat_fields(pid)[19])
    boot_unix = time.time() - time.clock_gettime(time.CLOCK_BOOTTIME)
    return boot_unix + start_ticks / TICKS


def status_kib(pid, key):
    """A memory figure of /proc/<pid>/status (VmHWM, VmRSS, ...) in KiB, or None."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class CpuSample:
    """CPU seconds of some processes at one moment, on the monotonic clock."""

    def __init__(self, pids):
        self.at = time.monotonic()
        self.cpu = {}
        for label, pid in pids.items():
            try:
                self.cpu[label] = cpu_seconds(pid)
            except (OSError, ValueError):
                self.cpu[label] = None

    def per_second(self, later, label):
        """CPU seconds per second of wall time between this sample and a later one."""
        before, after = self.cpu.get(label), later.cpu.get(label)
        if before is None or after is None or later.at <= self.at:
            return None
        return (after - before) / (later.at - self.at)
