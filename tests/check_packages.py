#!/usr/bin/env python3
"""Installs the built library into a temporary prefix and uses it from
outside the tree, as a user would: a CMake project through
find_package(Kestrav) and a plain C build through pkg-config. Both consumers
are built, then run (under the emulator for a cross build)."""
import argparse
import glob
import os
import shlex
import shutil
import subprocess
import sys
import tempfile


def sh(cmd, **kw):
    print("+", " ".join(shlex.quote(c) for c in cmd), flush=True)
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def one(prefix, pattern):
    hits = glob.glob(os.path.join(prefix, pattern), recursive=True)
    if len(hits) != 1:
        raise AssertionError("expected one %s in the install, found %s" % (pattern, hits))
    return hits[0]


def run_consumer(exe, args, env=None):
    cmd = ([args.emulator] if args.emulator else []) + [exe]
    out = sh(cmd, env=env)
    if "consumer: ok" not in out:
        raise AssertionError("%s printed %r" % (exe, out))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build-dir", required=True)
    p.add_argument("--consumer", required=True)
    p.add_argument("--cmake", default="cmake")
    p.add_argument("--cc", required=True)
    p.add_argument("--readelf", default="readelf")
    p.add_argument("--toolchain", default="")
    p.add_argument("--emulator", default="")
    p.add_argument("--windows", action="store_true")
    p.add_argument("--exports", required=True, help="the exports, ;-separated")
    args = p.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "prefix")
        sh([args.cmake, "--install", args.build_dir, "--prefix", prefix])
        one(prefix, "include/Kestrav.h")
        one(prefix, "**/cmake/Kestrav/KestravConfig.cmake")
        pc_dir = os.path.dirname(one(prefix, "**/pkgconfig/kestrav.pc"))
        if args.windows:
            dll = one(prefix, "bin/Kestrav.dll")
            one(prefix, "lib/Kestrav.dll.a")
            with open(one(prefix, "lib/Kestrav.def")) as f:
                words = set(f.read().split())
            missing = set(args.exports.split(";")) - words
            if missing:
                raise AssertionError("Kestrav.def lacks %s" % sorted(missing))
        else:
            real = one(prefix, "**/libKestrav.so.1.*")
            for link in ("libKestrav.so.1", "libKestrav.so"):
                path = os.path.join(os.path.dirname(real), link)
                if not os.path.islink(path):
                    raise AssertionError("missing symlink " + path)
            if "Library soname: [libKestrav.so.1]" not in sh([args.readelf, "-d", real]):
                raise AssertionError("SONAME is not libKestrav.so.1")
            libdir = os.path.dirname(real)

        # 1. CMake: find_package(Kestrav) and Kestrav::Kestrav.
        build = os.path.join(tmp, "cmake-consumer")
        configure = [args.cmake, "-S", args.consumer, "-B", build, "-G", "Ninja",
                     "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_BUILD_TYPE=Release"]
        if args.toolchain:
            configure.append("-DCMAKE_TOOLCHAIN_FILE=" + args.toolchain)
        sh(configure)
        sh([args.cmake, "--build", build])
        exe = one(build, "consumer*")
        if args.windows:
            shutil.copy(dll, build)
        run_consumer(exe, args)

        # 2. pkg-config: flags from kestrav.pc, nothing else.
        env = dict(os.environ, PKG_CONFIG_PATH=pc_dir)
        flags = shlex.split(sh(["pkg-config", "--cflags", "--libs", "kestrav"], env=env))
        out_dir = os.path.join(tmp, "pc-consumer")
        os.makedirs(out_dir)
        exe = os.path.join(out_dir, "consumer.exe" if args.windows else "consumer")
        cc = shlex.split(args.cc)
        sh(cc + ["-std=c99", "-Wall", "-Wextra", "-Werror",
                 os.path.join(args.consumer, "consumer.c"), "-o", exe] + flags)
        run_env = dict(os.environ)
        if args.windows:
            shutil.copy(dll, out_dir)
        else:
            run_env["LD_LIBRARY_PATH"] = libdir
        run_consumer(exe, args, env=run_env)
    print("packages checked: find_package and pkg-config consumers ran")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (AssertionError, subprocess.CalledProcessError) as e:
        print("FAIL:", e, getattr(e, "stdout", "") or "", getattr(e, "stderr", "") or "")
        sys.exit(1)
