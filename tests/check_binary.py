#!/usr/bin/env python3
"""Checks the binary contract of a built Kestrav library.

ELF (.so): the dynamic symbol table defines exactly the expected exports,
there are no undefined dynamic symbols, no NEEDED entries, and no initialiser
or finaliser. PE (.dll): the export table lists exactly the expected exports
by name, and the import table names only the allowed DLLs.
"""
import argparse
import re
import subprocess
import sys


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def check_elf(args, expected, errors):
    dynamic = run(args.readelf, "-d", args.file)
    for tag in ("NEEDED", "INIT", "FINI", "INIT_ARRAY", "FINI_ARRAY", "PREINIT_ARRAY"):
        hits = re.findall(r"\(%s\)\s+(.*)" % tag, dynamic)
        if hits:
            errors.append("dynamic section has %s: %s" % (tag, hits))
    defined = set(run(args.nm, "-D", "--defined-only", "--format=posix", args.file)
                  .split("\n")) - {""}
    names = {line.split()[0] for line in defined}
    if names != expected:
        errors.append("exports %s, expected %s" % (sorted(names), sorted(expected)))
    undefined = run(args.nm, "-D", "--undefined-only", args.file).split()
    if undefined:
        errors.append("undefined dynamic symbols: %s" % undefined)


def check_pe(args, expected, errors):
    dump = run(args.objdump, "-p", args.file)
    imports = set(re.findall(r"DLL Name:\s*(\S+)", dump))
    allowed = set(args.allowed_imports.split(","))
    if imports != allowed:
        errors.append("imports %s, expected %s" % (sorted(imports), sorted(allowed)))
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    names = set()
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            if not line.strip():
                break
            names.update(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", line))
    if names != expected:
        errors.append("exports %s, expected %s" % (sorted(names), sorted(expected)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--file", required=True)
    parser.add_argument("--exports", required=True)
    parser.add_argument("--readelf", default="readelf")
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--allowed-imports", default="KERNEL32.dll,msvcrt.dll")
    args = parser.parse_args()
    expected = set(args.exports.split(";"))
    errors = []
    with open(args.file, "rb") as f:
        magic = f.read(4)
    if magic == b"\x7fELF":
        check_elf(args, expected, errors)
    elif magic[:2] == b"MZ":
        check_pe(args, expected, errors)
    else:
        errors.append("not an ELF or PE file")
    for e in errors:
        print("FAIL:", e)
    if not errors:
        print("binary contract holds for", args.file)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
