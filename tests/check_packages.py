#!/usr/bin/env python3
"""Makes the release packages with cpack and uses each from outside the
tree, as a user would.

- The archive (.tar.gz or .zip) is unpacked into a temporary folder: a CMake
  project builds against it through find_package(Kestrav), a plain C build
  through pkg-config, and both consumers run (under the emulator for a cross
  build), as does the packaged kestrav tool.
- The three Debian packages (libkestrav1, libkestrav-dev, kestrav) each pass
  lintian with no error and no warning, and their control fields and files
  are checked. libkestrav1 alone, installed into a scratch root, loads in the
  example host; with libkestrav-dev beside it, the same consumers build
  against what the packages installed; then the tool runs from there.

The consumers print the header's version macros, which must equal the
project version."""
import argparse
import glob
import os
import re
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
    for name in ("LICENSE", "README.md", "CHANGELOG.md",
                 "third_party/mcap.LICENSE", "third_party/uplot.LICENSE",
                 "third_party/zstd.LICENSE",
                 "third_party/nlohmann-json.copyright"):
        one(prefix, "share/doc/Kestrav/" + name)
    check_consumers(prefix, tmp, args)


def check_consumers(prefix, tmp, args):
    """The header, the CMake package and the pkg-config file of an installed
    prefix, used by the consumers; and the tool there."""
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
        one(prefix, "share/man/man1/kestrav.1.gz")
        one(prefix, "share/bash-completion/completions/kestrav")
        real = one(prefix, "**/libKestrav.so.1.*")
        for link in ("libKestrav.so.1", "libKestrav.so"):
            path = os.path.join(os.path.dirname(real), link)
            if not os.path.islink(path):
                raise AssertionError("missing symlink " + path)
        if "Library soname: [libKestrav.so.1]" not in sh([args.readelf, "-d", real]):
            raise AssertionError("SONAME is not libKestrav.so.1")
        libdir = os.path.dirname(real)
        # The tool finds the library beside it, and never through the
        # current directory (an empty or relative RUNPATH entry).
        runpath = re.search(r"\(RUNPATH\).*\[(.*)\]",
                            sh([args.readelf, "-d", tool]))
        expect("kestrav RUNPATH", runpath and runpath[1],
               "$ORIGIN/../%s:$ORIGIN" % os.path.relpath(libdir, prefix))
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


MAINTAINER = "Kestrav maintainers <maintainers@"
# What each package holds, beyond its copyright and changelog.gz; TRIPLET
# is the multiarch folder.
DEB_FILES = {
    "libkestrav1": ["/usr/lib/TRIPLET/libKestrav.so.1",
                    "/usr/lib/TRIPLET/libKestrav.so.VERSION",
                    "/usr/share/lintian/overrides/libkestrav1"],
    "libkestrav-dev": ["/usr/include/Kestrav.h", "/usr/include/Kestrav_version.h",
                       "/usr/lib/TRIPLET/libKestrav.so",
                       "/usr/lib/TRIPLET/pkgconfig/kestrav.pc",
                       "/usr/lib/TRIPLET/cmake/Kestrav/KestravConfig.cmake",
                       "/usr/lib/TRIPLET/cmake/Kestrav/KestravConfigVersion.cmake",
                       "/usr/lib/TRIPLET/cmake/Kestrav/KestravTargets.cmake",
                       "/usr/lib/TRIPLET/cmake/Kestrav/KestravTargets-release.cmake"],
    "kestrav": ["/usr/bin/kestrav", "/usr/share/man/man1/kestrav.1.gz",
                "/usr/share/bash-completion/completions/kestrav"],
}


def check_debs(debs, tmp, args):
    by_name = {}
    for deb in debs:
        name = sh(["dpkg-deb", "-f", deb, "Package"]).strip()
        by_name[name] = deb
    expect("Debian packages", sorted(by_name), sorted(DEB_FILES))
    triplet = None
    for name, deb in sorted(by_name.items()):
        fields = {k: sh(["dpkg-deb", "-f", deb, k]).strip()
                  for k in ("Version", "Architecture", "Maintainer",
                            "Description", "Depends")}
        expect(name + " Version", fields["Version"], args.version)
        expect(name + " Architecture", fields["Architecture"], args.deb_arch)
        if not fields["Maintainer"].startswith(MAINTAINER):
            raise AssertionError("%s Maintainer: %r" % (name, fields["Maintainer"]))
        files = {line.split()[5].lstrip(".") for line in
                 sh(["dpkg-deb", "-c", deb]).splitlines()
                 if not line.startswith("d")}
        if triplet is None:
            lib = [f for f in files if "/libKestrav.so" in f]
            triplet = lib[0].split("/")[3] if lib else None
        want = {f.replace("TRIPLET", str(triplet)).replace("VERSION", args.version)
                for f in DEB_FILES[name]}
        want |= {"/usr/share/doc/%s/copyright" % name,
                 "/usr/share/doc/%s/changelog.gz" % name}
        expect(name + " files", sorted(files), sorted(want))
        if name == "libkestrav-dev":
            expect("libkestrav-dev Depends", fields["Depends"],
                   "libkestrav1 (= %s)" % args.version)
        if name == "kestrav" and "libkestrav1" not in fields["Depends"]:
            raise AssertionError("kestrav loads the library but does not "
                                 "depend on libkestrav1")
        if name == "libkestrav1":
            control = os.path.join(tmp, "control")
            sh(["dpkg-deb", "-e", deb, control])
            with open(os.path.join(control, "shlibs")) as f:
                expect("shlibs", f.read().strip(),
                       "libKestrav 1 libkestrav1 (>= %s)" % args.version)
            with open(os.path.join(control, "triggers")) as f:
                expect("triggers", f.read().strip(), "activate-noawait ldconfig")
        # lintian: no error and no warning (overrides carry their reasons).
        out = subprocess.run(["lintian", deb], capture_output=True, text=True)
        complaints = [line for line in out.stdout.splitlines()
                      if line[:2] in ("E:", "W:")]
        if complaints or out.returncode not in (0, 1):
            raise AssertionError("lintian %s:\n%s%s" % (
                name, "\n".join(complaints), out.stderr))
    root = os.path.join(tmp, "root")
    # libkestrav1 alone: the example host loads it by file name.
    sh(["dpkg-deb", "-x", by_name["libkestrav1"], root])
    library = os.path.join(root, "usr/lib", triplet, "libKestrav.so.1")
    out = run(args.host, args, extra=["--library", library, "--codecs"])
    if "HID report" not in out:
        raise AssertionError("the example host did not run: " + out)
    # With libkestrav-dev: the consumers build against what was installed.
    sh(["dpkg-deb", "-x", by_name["libkestrav-dev"], root])
    sh(["dpkg-deb", "-x", by_name["kestrav"], root])
    check_consumers(os.path.join(root, "usr"), tmp, args)


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
    p.add_argument("--host", default="", help="the example host (Linux)")
    args = p.parse_args()

    # The umask of many users' shells: the packages must not depend on it.
    os.umask(0o002)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "archives")
        # As from a source tree that git archive unpacked with its umask of
        # 0002: the control file that is copied in is group-writable.
        triggers = os.path.join(tmp, "triggers")
        shutil.copy(os.path.join(os.path.dirname(args.consumer), "..",
                                 "packaging", "debian", "triggers"), triggers)
        os.chmod(triggers, 0o664)
        sh([args.cpack, "-B", out,
            "-D", "CPACK_DEBIAN_LIBKESTRAV1_PACKAGE_CONTROL_EXTRA=" + triggers],
           cwd=args.build_dir)
        archives = sorted(glob.glob(os.path.join(out, "*.zip"))
                          + glob.glob(os.path.join(out, "*.tar.gz")))
        debs = sorted(glob.glob(os.path.join(out, "*.deb")))
        expect("archives made", len(archives), 1)
        expect("Debian packages made", len(debs), 0 if args.windows else 3)
        work = os.path.join(tmp, "archive")
        os.makedirs(work)
        check_prefix(unpack(archives[0], os.path.join(work, "unpacked")), work,
                     args)
        print("used %s (%d bytes)" % (os.path.basename(archives[0]),
                                      os.path.getsize(archives[0])))
        if debs:
            work = os.path.join(tmp, "debs")
            os.makedirs(work)
            check_debs(debs, work, args)
            for deb in debs:
                print("used %s (%d bytes)" % (os.path.basename(deb),
                                              os.path.getsize(deb)))
    print("packages checked: lintian is clean, every consumer and the tool ran")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (AssertionError, subprocess.CalledProcessError) as e:
        print("FAIL:", e, getattr(e, "stdout", "") or "", getattr(e, "stderr", "") or "")
        sys.exit(1)
