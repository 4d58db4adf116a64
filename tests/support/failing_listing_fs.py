"""A folder whose listing fails part-way, as a disk with a damaged folder does.

    failing_listing_fs.py MOUNTPOINT FILES FAIL_AFTER

Mounts at MOUNTPOINT (in the foreground) a folder of FILES plain files, "arquivo-0000" and
so on, each holding its own name. Listing it yields the first FAIL_AFTER of them (after
"." and "..") and then fails with EIO; opening and reading the files works, and deleting
one succeeds without taking it away. With FAIL_AFTER -1 the folder cannot be opened for
listing at all (EIO), as a folder on a damaged disk or one the user has no rights to. Prints "ready" once the mount serves requests; ends,
unmounting, on SIGTERM (or when the process that started it dies).
"""
import errno
import stat
import sys

import fusepy


def name_of(index):
    return "arquivo-%04d" % index


class Listing(fusepy.Operations):
    use_ns = True

    def __init__(self, files, fail_after):
        self.files = files
        self.fail_after = fail_after

    def init(self, path):
        sys.stdout.write("ready\n")
        sys.stdout.flush()

    def index_of(self, path):
        name = path.lstrip("/")
        if name.startswith("arquivo-") and name[8:].isdigit() and int(name[8:]) < self.files:
            return int(name[8:])
        raise fusepy.FuseOSError(errno.ENOENT)

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        index = self.index_of(path)
        return {"st_mode": stat.S_IFREG | 0o644, "st_nlink": 1, "st_size": len(name_of(index))}

    def read(self, path, size, offset, fh):
        return name_of(self.index_of(path)).encode()[offset:offset + size]

    def unlink(self, path):
        self.index_of(path)

    def opendir(self, path):
        if self.fail_after < 0:
            raise fusepy.FuseOSError(errno.EIO)
        return 0

    def readdir(self, path, fh):
        return []  # served by PartialListingFuse.readdir, which sees the offset


class PartialListingFuse(fusepy.FUSE):
    """Hands out the entries by offset, so that each call of the kernel's listing gets the
    next ones and the failure comes after FAIL_AFTER entries have reached the reader."""

    def __init__(self, fail_after, *args, **kwargs):
        self.fail_after = fail_after
        super().__init__(*args, **kwargs)

    def readdir(self, path, buf, filler, offset, fip):
        names = [".", ".."] + [name_of(i) for i in range(self.fail_after)]
        if offset >= len(names):
            return -errno.EIO
        for position in range(offset, len(names)):
            if filler(buf, names[position].encode(), None, position + 1) != 0:
                break
        return 0


def main():
    mountpoint, files, fail_after = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    PartialListingFuse(fail_after, Listing(files, fail_after), mountpoint, foreground=True, nothreads=True,
                       fsname="glb-failing-listing")


if __name__ == "__main__":
    main()
