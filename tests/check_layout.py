#!/usr/bin/env python3
"""The tool's layout: each folder under tools/ is one job, and a file
includes only headers of its own folder or of a folder below it:

    port < codec < options < run < record < web < tools/ (the subcommands)

No include names a path with "../". Prints every breach; exits 1 on any."""
import os
import re
import sys

LAYERS = ["port", "codec", "options", "run", "record", "web", ""]


def main():
    tools = sys.argv[1]
    homes, files = {}, []
    for folder in LAYERS:
        path = os.path.join(tools, folder)
        if not os.path.isdir(path):
            print("missing folder: tools/%s" % folder)
            return 1
        for name in sorted(os.listdir(path)):
            if name.endswith((".h", ".cpp")):
                homes.setdefault(name, folder)
                files.append((folder, os.path.join(path, name)))
    bad = []
    for folder, path in files:
        with open(path) as f:
            for number, line in enumerate(f, 1):
                m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                if not m:
                    continue
                header = m[1]
                where = "%s:%d" % (os.path.relpath(path, tools), number)
                if "/" in header:
                    bad.append("%s: includes a path: %s" % (where, header))
                    continue
                home = homes.get(header)
                if home is None:
                    continue  # the library's public header, generated ones
                if LAYERS.index(home) > LAYERS.index(folder):
                    bad.append("%s: %s/ includes %s from %s/, above it" % (
                        where, folder or "tools", header, home or "tools"))
    for line in bad:
        print(line)
    print("%d files, %d breaches" % (len(files), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
