#!/usr/bin/env python3
"""What a serving test tool and its two FIFOs look like from /proc, for a request it did not answer.

channel_report.py PID IN_FIFO OUT_FIFO prints: the tool's process and each of
its threads (state, kernel wait channel, system call, kernel stack), the bytes
waiting unread in each FIFO, and every process that holds either FIFO open,
with the open mode and flags of its descriptor.
"""
import fcntl
import os
import struct
import sys
import termios

O_NONBLOCK = 0o4000
ACCESS = {0: "read", 1: "write", 2: "read-write"}


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read().strip()
    except OSError as e:
        return f"<{e.strerror}>"


def describe_process(pid):
    base = f"/proc/{pid}"
    if not os.path.isdir(base):
        print(f"process {pid}: gone")
        return
    print(f"process {pid}: {read_text(base + '/cmdline').replace(chr(0), ' ')}")
    for tid in sorted(os.listdir(base + "/task"), key=int):
        task = f"{base}/task/{tid}"
        stat = read_text(task + "/stat")
        state = stat.rsplit(")", 1)[-1].split()[0] if ")" in stat else "?"
        stack = " <- ".join(line.split()[-1] for line in read_text(task + "/stack").splitlines()[:6])
        print(f"  thread {tid} {read_text(task + '/comm')}: state {state}, "
              f"wchan {read_text(task + '/wchan')}, syscall {read_text(task + '/syscall').split(' ')[0]}, "
              f"stack {stack or '-'}")


def pending_bytes(fifo):
    """Bytes in the FIFO that no reader has taken yet (opening a read end never blocks)."""
    try:
        fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as e:
        return f"<{e.strerror}>"
    try:
        count = fcntl.ioctl(fd, termios.FIONREAD, struct.pack("i", 0))
        return str(struct.unpack("i", count)[0])
    finally:
        os.close(fd)


def holders(fifo):
    """Every descriptor open on the FIFO: (pid, command, fd, access, nonblocking)."""
    found = []
    try:
        target = os.stat(fifo)
    except OSError:
        return found
    me = str(os.getpid())
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if pid == me:
            continue
        fd_dir = f"/proc/{pid}/fd"
        try:
            fds = os.listdir(fd_dir)
        except OSError:
            continue
        for fd in fds:
            try:
                st = os.stat(f"{fd_dir}/{fd}")
            except OSError:
                continue
            if (st.st_dev, st.st_ino) != (target.st_dev, target.st_ino):
                continue
            flags = 0
            for line in read_text(f"/proc/{pid}/fdinfo/{fd}").splitlines():
                if line.startswith("flags:"):
                    flags = int(line.split()[1], 8)
            found.append((pid, read_text(f"/proc/{pid}/comm"), fd, ACCESS.get(flags & 3, "?"),
                          bool(flags & O_NONBLOCK)))
    return found


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: channel_report.py PID IN_FIFO OUT_FIFO")
    pid, fifos = sys.argv[1], sys.argv[2:]
    describe_process(pid)
    for fifo in fifos:
        print(f"{os.path.basename(fifo)}: {pending_bytes(fifo)} bytes unread")
        for holder_pid, command, fd, access, nonblocking in holders(fifo):
            print(f"  held by {holder_pid} ({command}) fd {fd}, {access}"
                  f"{', non-blocking' if nonblocking else ''}")


if __name__ == "__main__":
    main()
