#!/usr/bin/env python3
"""Makes the release archives with cpack and uses each from outside the
tree, as a user would: unpacked into a temporary folder, a CMake project
builds against it through find_package(Kestrav), a plain C build through
pkg-config, and both consumers run (under the emulator for a cross build),
as does the packaged kestrav tool. The .deb is also unpacked with dpkg-deb,
and its control fields and file list are checked. The consumers print the
header's version macros, which must equal the project version."""
import argparse
import glob
import os
import shlex
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile


def sh(cmd, **kw):
    print("+", " ".join(shlex.quote(c) for c in cmd), flush=True)
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def one(prefix, pattern):
    hits = glob.glob(os.path.join(prefix, pattern), recursive=True)
    if len(hits) != 1:
        raise AssertionError("expected one %s in %s, found %s" % (pattern, prefix, hits))
    return hits[0]


def expect(what, got, want):
    if got != want:
        raise AssertionError("%s: %r, want %r" % (what, got, want))


def run(exe, args, env=None, extra=()):
    return sh(shlex.split(args.emulator) + [exe] + list(extra), env=env)


def run_consumer(exe, args, env=None):
    out = run(exe, args, env).strip()
    expect("consumer " + exe, out,
           "consumer: ok, header version %s" % args.version)


def check_elf_machines(prefix, want):
    """Every ELF file in the archive is built for the target."""
    seen = 0
    for folder, _, files in os.walk(prefix):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                continue
            with open(path, "rb") as f:
                head = f.read(20)
            if head[:4] != b"\x7fELF":
                continue
            seen += 1
            machine = head[18] | head[19] << 8  # e_machine, little-endian
            expect("ELF machine of " + path, machine, want)
    if seen < 2:
        raise AssertionError("expected the library and the tool in " + prefix)


def check_prefix(prefix, tmp, args):
    """Everything a user gets from one unpacked archive, used."""
    if args.elf_machine:
        check_elf_machines(prefix, args.elf_machine)
    for name in ("LICENSE", "README.md"):
        one(prefix, "share/doc/Kestrav/" + name)
    one(prefix, "include/Kestrav.h")
    one(prefix, "include/Kestrav_version.h")
    one(prefix, "**/cmake/Kestrav/KestravConfig.cmake")
    pc_dir = os.path.dirname(one(prefix, "**/pkgconfig/kestrav.pc"))
    tool = one(prefix, "bin/kestrav" + (".exe" if args.windows else ""))
    if args.windows:
        dll = one(prefix, "bin/Kestrav.dll")
        one(prefix, "lib/Kestrav.dll.a")
        with open(one(prefix, "lib/Kestrav.def")) as f:
            words = set(f.read().split())
        missing = set(args.exports.split(";")) - words
        if missing:
            raise AssertionError("Kestrav.def lacks %s" % sorted(missing))
    else:
        one(prefix, "share/man/man1/kestrav.1")
        one(prefix, "share/bash-completion/completions/kestrav")
        real = one(prefix, "**/libKestrav.so.1.*")
        for link in ("libKestrav.so.1", "libKestrav.so"):
            path = os.path.join(os.path.dirname(real), link)
            if not os.path.islink(path):
                raise AssertionError("missing symlink " + path)
        if "Library soname: [libKestrav.so.1]" not in sh([args.readelf, "-d", real]):
            raise AssertionError("SONAME is not libKestrav.so.1")
        libdir = os.path.dirname(real)
    expect("kestrav --version", run(tool, args, extra=["--version"]).strip(),
           "kestrav " + args.version)

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
    sh(shlex.split(args.cc) + ["-std=c99", "-Wall", "-Wextra", "-Werror",
                               os.path.join(args.consumer, "consumer.c"), "-o", exe]
       + flags)
    run_env = dict(os.environ)
    if args.windows:
        shutil.copy(dll, out_dir)
    else:
        run_env["LD_LIBRARY_PATH"] = libdir
    run_consumer(exe, args, env=run_env)


def check_deb(deb, root, args):
    fields = {k: sh(["dpkg-deb", "-f", deb, k]).strip()
              for k in ("Package", "Version", "Architecture", "Description")}
    expect("Package", fields["Package"], "kestrav")
    expect("Version", fields["Version"], args.version)
    expect("Architecture", fields["Architecture"], args.deb_arch)
    if len(fields["Description"]) < 20:
        raise AssertionError("no description: %r" % fields["Description"])
    listed = {line.split()[5].lstrip(".") for line in
              sh(["dpkg-deb", "-c", deb]).splitlines()}
    for path in ("/usr/include/Kestrav.h", "/usr/lib/libKestrav.so.1",
                 "/usr/include/Kestrav_version.h",
                 "/usr/bin/kestrav", "/usr/lib/pkgconfig/kestrav.pc",
                 "/usr/lib/cmake/Kestrav/KestravConfig.cmake",
                 "/usr/share/doc/Kestrav/LICENSE",
                 "/usr/share/man/man1/kestrav.1",
                 "/usr/share/bash-completion/completions/kestrav"):
        if path not in listed:
            raise AssertionError("%s is not in %s" % (path, deb))
    sh(["dpkg-deb", "-x", deb, root])
    return os.path.join(root, "usr")


def unpack(archive, into):
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            z.extractall(into)
    else:
        with tarfile.open(archive) as t:
            t.extractall(into)
    tops = os.listdir(into)
    expect("top-level folders of " + archive, len(tops), 1)
    return os.path.join(into, tops[0])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build-dir", required=True)
    p.add_argument("--consumer", required=True)
    p.add_argument("--cmake", default="cmake")
    p.add_argument("--cpack", default="cpack")
    p.add_argument("--cc", required=True)
    p.add_argument("--readelf", default="readelf")
    p.add_argument("--toolchain", default="")
    p.add_argument("--emulator", default="")
    p.add_argument("--windows", action="store_true")
    p.add_argument("--version", required=True)
    p.add_argument("--deb-arch", default="")
    p.add_argument("--elf-machine", type=int, default=0,
                   help="e_machine every ELF file in an archive must have")
    p.add_argument("--exports", required=True, help="the exports, ;-separated")
    args = p.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "archives")
        sh([args.cpack, "-B", out], cwd=args.build_dir)
        archives = sorted(glob.glob(os.path.join(out, "*.zip"))
                          + glob.glob(os.path.join(out, "*.tar.gz"))
                          + glob.glob(os.path.join(out, "*.deb")))
        want = 1 if args.windows else 2
        expect("archives made", len(archives), want)
        for n, archive in enumerate(archives):
            work = os.path.join(tmp, "use%d" % n)
            os.makedirs(work)
            if archive.endswith(".deb"):
                prefix = check_deb(archive, os.path.join(work, "root"), args)
            else:
                prefix = unpack(archive, os.path.join(work, "unpacked"))
            check_prefix(prefix, work, args)
            print("used %s (%d bytes)" % (os.path.basename(archive),
                                          os.path.getsize(archive)))
    print("packages checked: every archive's consumers and tool ran")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (AssertionError, subprocess.CalledProcessError) as e:
        print("FAIL:", e, getattr(e, "stdout", "") or "", getattr(e, "stderr", "") or "")
        sys.exit(1)
