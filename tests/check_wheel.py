#!/usr/bin/env python3
"""Builds the wheel, installs it with pip into a fresh virtual environment
(from the file, no index), and runs the binding's tests there, from outside
the source tree, against the installed copy of the package and library."""
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
    args = p.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run([args.python, os.path.join(args.source, "build_wheel.py"),
                              "--library", args.library, "--version", args.version,
                              "--out", tmp],
                             check=True, capture_output=True, text=True)
        wheel = out.stdout.split()[-1]
        print("built", os.path.basename(wheel))
        venv = os.path.join(tmp, "venv")
        subprocess.run([args.python, "-m", "venv", venv], check=True)
        python = os.path.join(venv, "bin", "python")
        subprocess.run([python, "-m", "pip", "install", "-q", "--no-index",
                        "--no-deps", wheel], check=True)
        installed = subprocess.run(
            [python, "-c", "import kestrav, os; print(os.path.dirname(kestrav.__file__))"],
            check=True, capture_output=True, text=True, cwd=tmp).stdout.strip()
        if not installed.startswith(venv):
            raise SystemExit("kestrav was imported from %s, not the venv" % installed)
        for name in ("libKestrav.so.1", "LICENSE"):
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


if __name__ == "__main__":
    sys.exit(main())
