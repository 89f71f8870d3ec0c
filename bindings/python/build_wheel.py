#!/usr/bin/env python3
"""Builds the Python wheel from a built library, with Debian's setuptools and
wheel only (no package registry):

    build_wheel.py --library build/linux/bin/libKestrav.so.1 --version 1.0.0 \
                   --out DIR

The wheel holds the package `kestrav` (this folder's kestrav/, which finds
the library next to itself, with its type hints' py.typed), the library and
LICENSE.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# The platform tags, per target. The Python code is pure and reaches the
# library through ctypes, so a wheel is py3-none: any Python 3, no ABI. The
# Linux library has no NEEDED entry and no undefined symbol, not even from a
# C library, so one binary loads on every Linux of its architecture: the
# oldest glibc baseline (manylinux1, or manylinux2014 where ARM starts) and
# the oldest musl one (musllinux_1_1) both hold, and naming both lets pip on
# either kind of system pick the wheel. The Windows wheel carries the DLL,
# which imports only KERNEL32.dll and msvcrt.dll.
PLATFORMS = {
    "x86_64": ["manylinux1_x86_64", "musllinux_1_1_x86_64"],
    "aarch64": ["manylinux2014_aarch64", "musllinux_1_1_aarch64"],
    "armv7l": ["manylinux2014_armv7l", "musllinux_1_1_armv7l"],
    "win_amd64": ["win_amd64"],
}

SETUP = """
from setuptools import setup
setup(name="kestrav", version=%(version)r,
      description="Codec for a device link, HID game-controller reports and SBUS frames",
      license="MIT", packages=["kestrav"],
      package_data={"kestrav": [%(library)r, "LICENSE", "py.typed"]},
      python_requires=">=3.7", zip_safe=False,
      extras_require={"ports": ["pyserial>=3.4"]})
"""


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--library", required=True)
    p.add_argument("--version", required=True, help="the project version")
    p.add_argument("--out", required=True)
    p.add_argument("--python", default=sys.executable)
    p.add_argument("--target", default="x86_64", choices=sorted(PLATFORMS))
    args = p.parse_args()
    platforms = PLATFORMS[args.target]
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    library = "Kestrav.dll" if args.target == "win_amd64" else "libKestrav.so.1"
    with tempfile.TemporaryDirectory() as tmp:
        package = os.path.join(tmp, "kestrav")
        shutil.copytree(os.path.join(HERE, "kestrav"), package,
                        ignore=shutil.ignore_patterns("__pycache__", "*.so*", "*.dll"))
        shutil.copy(args.library, os.path.join(package, library))
        shutil.copy(os.path.join(ROOT, "LICENSE"), os.path.join(package, "LICENSE"))
        with open(os.path.join(tmp, "setup.py"), "w") as f:
            f.write(SETUP % {"version": args.version, "library": library})
        dist = os.path.join(tmp, "dist")
        subprocess.run([args.python, "setup.py", "-q", "bdist_wheel",
                        "--python-tag", "py3", "--plat-name", platforms[0],
                        "-d", dist], cwd=tmp, check=True,
                       stdout=subprocess.DEVNULL)
        # bdist_wheel takes one platform tag; add the others to the WHEEL
        # file and let `wheel pack` name the file after all of them.
        built = glob.glob(os.path.join(dist, "*.whl"))[0]
        unpacked = os.path.join(tmp, "unpacked")
        subprocess.run([args.python, "-m", "wheel", "unpack", "-d", unpacked,
                        built], check=True, stdout=subprocess.DEVNULL)
        (tree,) = glob.glob(os.path.join(unpacked, "*"))
        (meta,) = glob.glob(os.path.join(tree, "*.dist-info", "WHEEL"))
        with open(meta) as f:
            lines = [l for l in f.read().splitlines()
                     if l and not l.startswith(("Tag:", "Root-Is-Purelib:"))]
        # It carries a binary, so it installs as platform-specific.
        lines += ["Root-Is-Purelib: false"]
        lines += ["Tag: py3-none-" + plat for plat in platforms]
        with open(meta, "w") as f:
            f.write("\n".join(lines) + "\n")
        for old in glob.glob(os.path.join(out, "kestrav-*.whl")):
            os.remove(old)
        subprocess.run([args.python, "-m", "wheel", "pack", "-d", out, tree],
                       check=True, stdout=subprocess.DEVNULL)
    (wheel,) = glob.glob(os.path.join(out, "kestrav-*.whl"))
    print(wheel)
    return 0


if __name__ == "__main__":
    sys.exit(main())
