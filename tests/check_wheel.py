#!/usr/bin/env python3
"""Builds the wheel, installs it with pip into a fresh virtual environment
(from the file, no index), and runs the binding's tests there, from outside
the source tree, against the installed copy of the package and library.

For a cross target (aarch64, armv7l, win_amd64), where no Python of that
architecture is at hand to install it into, the wheel is checked as pip
reads it: its name and WHEEL tags are the target's, and it holds the
package, py.typed and exactly the library that was built."""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--library", required=True)
    p.add_argument("--python", required=True, help="Debian's python3")
    p.add_argument("--source", required=True, help="bindings/python")
    p.add_argument("--version", required=True)
    p.add_argument("--target", default="x86_64")
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run([args.python, os.path.join(args.source, "build_wheel.py"),
                              "--library", args.library, "--version", args.version,
                              "--out", tmp, "--target", args.target],
                             check=True, capture_output=True, text=True)
        wheel = out.stdout.split()[-1]
        print("built", os.path.basename(wheel))
        if args.target != "x86_64":
            return check_contents(wheel, args)
        venv = os.path.join(tmp, "venv")
        # Debian's python3-serial is seen from the venv, as a user's would be.
        subprocess.run([args.python, "-m", "venv", "--system-site-packages", venv],
                       check=True)
        python = os.path.join(venv, "bin", "python")
        subprocess.run([python, "-m", "pip", "install", "-q", "--no-index",
                        "--no-deps", wheel], check=True)
        installed = subprocess.run(
            [python, "-c", "import kestrav, os; print(os.path.dirname(kestrav.__file__))"],
            check=True, capture_output=True, text=True, cwd=tmp).stdout.strip()
        if not installed.startswith(venv):
            raise SystemExit("kestrav was imported from %s, not the venv" % installed)
        for name in ("libKestrav.so.1", "LICENSE", "py.typed", "ports.py"):
            if not os.path.exists(os.path.join(installed, name)):
                raise SystemExit("the installed package lacks " + name)
        work = os.path.join(tmp, "outside")
        os.makedirs(work)
        shutil.copy(os.path.join(args.source, "test_kestrav.py"), work)
        env = dict(os.environ, KESTRAV_LIBRARY=os.path.join(installed, "libKestrav.so.1"),
                   PYTHONDONTWRITEBYTECODE="1")
        env.pop("PYTHONPATH", None)
        return subprocess.run([python, "-m", "unittest", "-v", "test_kestrav"],
                              cwd=work, env=env).returncode


def check_contents(wheel, args):
    import zipfile
    sys.path.insert(0, args.source)
    from build_wheel import PLATFORMS  # the tags the builder gives a target
    tags = PLATFORMS[args.target]
    name = os.path.basename(wheel)
    library = "Kestrav.dll" if args.target == "win_amd64" else "libKestrav.so.1"
    problems = []
    if name != "kestrav-%s-py3-none-%s.whl" % (args.version, ".".join(tags)):
        problems.append("named " + name)
    with zipfile.ZipFile(wheel) as z:
        meta = z.read("kestrav-%s.dist-info/WHEEL" % args.version).decode()
        if sorted(l[5:] for l in meta.splitlines() if l.startswith("Tag: ")) != \
                sorted("py3-none-" + t for t in tags):
            problems.append("tags: " + meta)
        for member in ("__init__.py", "ports.py", "py.typed", "LICENSE"):
            if "kestrav/" + member not in z.namelist():
                problems.append("no kestrav/" + member)
        with open(args.library, "rb") as f:
            if z.read("kestrav/" + library) != f.read():
                problems.append("kestrav/%s is not the library built" % library)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
