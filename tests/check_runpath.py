#!/usr/bin/env python3
"""Every RUNPATH (or RPATH) entry of the given ELF files is absolute or
starts with $ORIGIN. An empty entry, as a padded build path ends with
("/build/bin:::::"), or a relative one makes the loader search the current
directory, so a library planted there would be loaded."""
import re
import subprocess
import sys


def main():
    readelf, files = sys.argv[1], sys.argv[2:]
    bad = []
    for path in files:
        out = subprocess.run([readelf, "-d", path], capture_output=True,
                             text=True, check=True).stdout
        for m in re.finditer(r"\((?:RUNPATH|RPATH)\).*?\[(.*)\]", out):
            for entry in m[1].split(":"):
                if not (entry.startswith("/") or entry.startswith("$ORIGIN")):
                    bad.append("%s: entry %r in %r" % (path, entry, m[1]))
    for line in bad:
        print(line)
    print("%d files, %d bad entries" % (len(files), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
