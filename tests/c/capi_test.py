#!/usr/bin/env python3
# tests/c/capi_test.py: the C interface through Python's ctypes, as a program that knows
# nothing of C++ would use it: a disk file with an MBR and patterned sectors is captured,
# restored with verification into a second disk file and verified, in a temporary folder.
# Usage: capi_test.py PATH_TO_LIBVANTOR
import ctypes as C
import os
import sys
import tempfile

lib = C.CDLL(sys.argv[1])
PROGRESS = C.CFUNCTYPE(None, C.c_void_p, C.c_int)
DONE = C.CFUNCTYPE(None, C.c_void_p, C.c_int, C.c_char_p)
disk_p, job_p = C.c_void_p, C.c_void_p
lib.vantor_open_disk_file.argtypes = [C.c_char_p, C.c_uint, C.c_uint64, C.c_int, C.POINTER(disk_p)]
lib.vantor_disk_write.argtypes = [disk_p, C.c_uint, C.c_uint, C.c_char_p]
lib.vantor_disk_close.argtypes = [disk_p]
lib.vantor_last_error.restype = C.c_char_p
lib.vantor_error_name.restype = C.c_char_p
for name in ("vantor_capture", "vantor_restore"):
    getattr(lib, name).argtypes = [disk_p, C.c_char_p, C.c_int, PROGRESS, DONE, C.c_void_p, C.POINTER(job_p)]
lib.vantor_verify.argtypes = [disk_p, C.c_char_p, PROGRESS, DONE, C.c_void_p, C.POINTER(job_p)]
lib.vantor_job_free.argtypes = [job_p]

SECTOR, SECTORS, START = 512, 16384, 2048


def check(rc, what):
    if rc != 0:
        sys.exit(f"{what}: {lib.vantor_error_name(rc).decode()}: {lib.vantor_last_error().decode()}")


def open_disk(path):
    disk = disk_p()
    check(lib.vantor_open_disk_file(path.encode(), SECTOR, SECTOR * SECTORS, 1, C.byref(disk)), "open " + path)
    return disk


def run(start, what, *args):
    """Starts a job, waits for it, and checks its callbacks; returns nothing."""
    percents, outcomes = [], []
    progress = PROGRESS(lambda user, percent: percents.append(percent))
    done = DONE(lambda user, code, message: outcomes.append((code, message.decode())))
    job = job_p()
    check(start(*args, progress, done, None, C.byref(job)), what)
    lib.vantor_job_free(job)  # waits
    assert outcomes == [(0, "")], f"{what}: {outcomes}"
    assert percents == sorted(percents) and percents[-1] == 100, f"{what}: {percents}"


with tempfile.TemporaryDirectory(prefix="vantor-capi-") as folder:
    source, copy, image = (os.path.join(folder, n) for n in ("source.disk", "copy.disk", "source.img"))
    src, dst = open_disk(source), open_disk(copy)
    entry = bytes([0x80, 0, 0, 0, 0x83, 0, 0, 0]) + START.to_bytes(4, "little") + (SECTORS - START).to_bytes(4, "little")
    mbr = bytes(446) + entry + bytes(48) + b"\x55\xaa"
    check(lib.vantor_disk_write(src, 0, 1, mbr), "write the MBR")
    check(lib.vantor_disk_write(src, START, 8, bytes((i * 13 + 5) & 0xFF for i in range(8 * SECTOR))), "write")
    run(lib.vantor_capture, "capture", src, image.encode(), 1)
    run(lib.vantor_restore, "restore", dst, image.encode(), 1)
    run(lib.vantor_verify, "verify", dst, image.encode())
    lib.vantor_disk_close(src)
    lib.vantor_disk_close(dst)
    with open(source, "rb") as a, open(copy, "rb") as b:
        assert a.read() == b.read(), "the copy differs from the source"
print("passed")
