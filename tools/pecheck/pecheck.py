#!/usr/bin/env python3
"""Checks the headers, imports and exports of a Windows PE image.

Used by scripts/test.sh on the target build's binaries, for example:

  pecheck.py build/target/Brisklink.sys --machine x64 --pe32plus \\
      --subsystem native --entry-set --checksum --relocatable \\
      --allowed-imports ntoskrnl.exe,HAL.dll,USBD.SYS

Prints "PE check <file>: OK" or one line per failed expectation, and exits
non-zero on any failure. Python standard library only.
"""

import argparse
import os
import re
import struct
import sys

MACHINES = {"x86": 0x014C, "x64": 0x8664}
SUBSYSTEMS = {"native": 1, "windows_gui": 2, "windows_cui": 3}

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_DLL = 0x2000
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_WDM_DRIVER = 0x2000
PE32_MAGIC = 0x10B
PE32PLUS_MAGIC = 0x20B

DIR_EXPORT, DIR_IMPORT, DIR_BASERELOC = 0, 1, 5

# Run-time libraries no image of ours may import, whatever else is allowed.
CRT_PATTERNS = [
    r"msvcrt\d*\.dll", r"msvcr\d+d?\.dll", r"msvcp\d+d?(_\w+)?\.dll",
    r"ucrtbased?\.dll", r"api-ms-win-crt-.*\.dll", r"vcruntime\d+(_\d+)?d?\.dll",
    r"libstdc\+\+.*\.dll", r"libgcc_s.*\.dll", r"libwinpthread.*\.dll",
    r"crtdll\.dll",
]


class PEError(Exception):
    pass


class Section:
    def __init__(self, name, vaddr, vsize, raw_ptr, raw_size, flags):
        self.name, self.vaddr, self.vsize = name, vaddr, vsize
        self.raw_ptr, self.raw_size, self.flags = raw_ptr, raw_size, flags


class PEImage:
    """The parts of a PE image the checks need, parsed from its bytes."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PEError("not a PE image (no MZ header)")
        self.pe_offset = self._u32(0x3C)
        if data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise PEError("not a PE image (no PE signature)")
        coff = self.pe_offset + 4
        (self.machine, nsections, self.timestamp, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        self.opt_offset = coff + 20
        self.magic = self._u16(self.opt_offset)
        if self.magic == PE32_MAGIC:
            dirs_at, image_base = 96, self._u32(self.opt_offset + 28)
        elif self.magic == PE32PLUS_MAGIC:
            dirs_at, image_base = 112, self._u64(self.opt_offset + 24)
        else:
            raise PEError("unknown optional header magic 0x%x" % self.magic)
        o = self.opt_offset
        self.image_base = image_base
        self.entry_rva = self._u32(o + 16)
        self.checksum_offset = o + 64
        self.checksum = self._u32(o + 64)
        self.subsystem = self._u16(o + 68)
        self.dll_characteristics = self._u16(o + 70)
        ndirs = self._u32(o + dirs_at - 4)
        self.dirs = []
        for i in range(min(ndirs, 16)):
            self.dirs.append(struct.unpack_from("<II", data, o + dirs_at + 8 * i))
        self.sections = []
        sec = self.opt_offset + opt_size
        for i in range(nsections):
            name, vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            flags = self._u32(sec + 40 * i + 36)
            self.sections.append(Section(name.rstrip(b"\0").decode("ascii", "replace"),
                                         vaddr, vsize, raw_ptr, raw_size, flags))
        self.imports = self._parse_imports()
        self.exports = self._parse_exports()

    def _u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def _u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def _u64(self, off):
        return struct.unpack_from("<Q", self.data, off)[0]

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def rva_to_offset(self, rva):
        for s in self.sections:
            if s.vaddr <= rva < s.vaddr + max(s.vsize, s.raw_size):
                if rva - s.vaddr >= s.raw_size:
                    raise PEError("RVA 0x%x lies in the uninitialised part of %s" % (rva, s.name))
                return s.raw_ptr + (rva - s.vaddr)
        raise PEError("RVA 0x%x is in no section" % rva)

    def cstring(self, rva):
        off = self.rva_to_offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")

    def _parse_imports(self):
        """{dll name: [function names or '#ordinal']} in file order."""
        rva, size = self.directory(DIR_IMPORT)
        imports = {}
        if not rva:
            return imports
        off = self.rva_to_offset(rva)
        thunk_size = 8 if self.magic == PE32PLUS_MAGIC else 4
        ordinal_flag = 1 << (thunk_size * 8 - 1)
        while True:
            lookup, _, _, name_rva, first_thunk = struct.unpack_from("<IIIII", self.data, off)
            if not (lookup or name_rva or first_thunk):
                break
            dll = self.cstring(name_rva)
            names = []
            t = self.rva_to_offset(lookup or first_thunk)
            while True:
                entry = int.from_bytes(self.data[t:t + thunk_size], "little")
                if not entry:
                    break
                if entry & ordinal_flag:
                    names.append("#%d" % (entry & 0xFFFF))
                else:
                    names.append(self.cstring((entry & 0x7FFFFFFF) + 2))
                t += thunk_size
            imports.setdefault(dll, []).extend(names)
            off += 20
        return imports

    def _parse_exports(self):
        """Exported names (undecorated as stored), then '#ordinal' for the rest."""
        rva, size = self.directory(DIR_EXPORT)
        if not rva:
            return []
        off = self.rva_to_offset(rva)
        (_, _, _, _, _, base, nfuncs, nnames,
         funcs_rva, names_rva, ords_rva) = struct.unpack_from("<IIHHIIIIIII", self.data, off)
        names, named_ordinals = [], set()
        for i in range(nnames):
            name_rva = self._u32(self.rva_to_offset(names_rva) + 4 * i)
            names.append(self.cstring(name_rva))
            named_ordinals.add(self._u16(self.rva_to_offset(ords_rva) + 2 * i))
        for i in range(nfuncs):
            if i not in named_ordinals and self._u32(self.rva_to_offset(funcs_rva) + 4 * i):
                names.append("#%d" % (base + i))
        return names

    def has_base_relocations(self):
        rva, size = self.directory(DIR_BASERELOC)
        return bool(rva and size)

    def computed_checksum(self):
        """The image checksum as the Windows loader validates it for drivers."""
        data = self.data
        if len(data) % 2:
            data = data + b"\0"
        total = 0
        skip = self.checksum_offset // 2
        for i, word in enumerate(struct.unpack("<%dH" % (len(data) // 2), data)):
            if i == skip or i == skip + 1:
                continue
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF


def split_list(text):
    return [x.strip() for x in text.split(",") if x.strip()] if text else []


def is_crt(dll):
    return any(re.fullmatch(p, dll, re.IGNORECASE) for p in CRT_PATTERNS)


def check(pe, args):
    """Returns the list of failed expectations (empty when all hold)."""
    failures = []
    if args.machine and pe.machine != MACHINES[args.machine]:
        failures.append("machine is 0x%04x, expected %s (0x%04x)"
                        % (pe.machine, args.machine, MACHINES[args.machine]))
    if args.pe32plus and pe.magic != PE32PLUS_MAGIC:
        failures.append("not PE32+ (optional header magic 0x%x)" % pe.magic)
    if args.pe32 and pe.magic != PE32_MAGIC:
        failures.append("not PE32 (optional header magic 0x%x)" % pe.magic)
    if args.subsystem and pe.subsystem != SUBSYSTEMS[args.subsystem]:
        failures.append("subsystem is %d, expected %s (%d)"
                        % (pe.subsystem, args.subsystem, SUBSYSTEMS[args.subsystem]))
    if args.entry_set and not pe.entry_rva:
        failures.append("no entry point")
    if args.dll and not pe.characteristics & IMAGE_FILE_DLL:
        failures.append("not marked as a DLL (characteristics 0x%04x)" % pe.characteristics)
    if args.wdm_driver and not pe.dll_characteristics & DLLCHAR_WDM_DRIVER:
        failures.append("not marked as a WDM driver (DllCharacteristics 0x%04x)"
                        % pe.dll_characteristics)
    if args.relocatable:
        if pe.characteristics & IMAGE_FILE_RELOCS_STRIPPED:
            failures.append("relocations stripped: the image cannot be loaded at another base")
        if not pe.dll_characteristics & DLLCHAR_DYNAMIC_BASE:
            failures.append("not marked dynamic base (DllCharacteristics 0x%04x)" % pe.dll_characteristics)
    if args.checksum:
        want = pe.computed_checksum()
        if pe.checksum != want:
            failures.append("checksum is 0x%08x, the image's is 0x%08x" % (pe.checksum, want))

    allowed = {d.lower() for d in split_list(args.allowed_imports)}
    forbidden = {d.lower() for d in split_list(args.forbid_imports)}
    for dll in pe.imports:
        low = dll.lower()
        if low in forbidden or is_crt(dll):
            failures.append("imports the forbidden %s (%s)" % (dll, ", ".join(pe.imports[dll][:5])))
        elif args.allowed_imports is not None and low not in allowed:
            failures.append("imports %s, which is not among %s" % (dll, args.allowed_imports))

    exported = set(pe.exports)
    for name in args.export:
        if name not in exported:
            decorated = [e for e in pe.exports if e.lstrip("_").split("@")[0] == name]
            hint = " (exported decorated as %s)" % ", ".join(decorated) if decorated else ""
            failures.append("does not export %s%s" % (name, hint))
    if args.no_exports and pe.exports:
        failures.append("exports %s; expected no exports" % ", ".join(pe.exports[:10]))
    return failures


def print_listing(pe, name):
    print("%s: machine 0x%04x, %s, subsystem %d, entry RVA 0x%x, characteristics 0x%04x, "
          "DllCharacteristics 0x%04x, checksum 0x%08x, %s"
          % (name, pe.machine, "PE32+" if pe.magic == PE32PLUS_MAGIC else "PE32", pe.subsystem,
             pe.entry_rva, pe.characteristics, pe.dll_characteristics, pe.checksum,
             "base relocations" if pe.has_base_relocations() else "no base relocations"))
    for dll, funcs in pe.imports.items():
        print("  import %s: %s" % (dll, " ".join(funcs)))
    for e in pe.exports:
        print("  export %s" % e)


def parse_args(argv):
    p = argparse.ArgumentParser(description="Check a Windows PE image's headers, imports and exports.")
    p.add_argument("image")
    p.add_argument("--machine", choices=sorted(MACHINES))
    p.add_argument("--subsystem", choices=sorted(SUBSYSTEMS))
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--pe32plus", action="store_true", help="PE32+ optional header (64-bit)")
    fmt.add_argument("--pe32", action="store_true", help="PE32 optional header (32-bit)")
    p.add_argument("--entry-set", action="store_true", help="entry point RVA is non-zero")
    p.add_argument("--dll", action="store_true", help="IMAGE_FILE_DLL characteristic is set")
    p.add_argument("--wdm-driver", action="store_true", help="IMAGE_DLLCHARACTERISTICS_WDM_DRIVER is set")
    p.add_argument("--relocatable", action="store_true",
                   help="relocations not stripped and marked dynamic base")
    p.add_argument("--checksum", action="store_true", help="header checksum matches the image")
    p.add_argument("--allowed-imports", metavar="DLL,...",
                   help="the only DLLs it may import from (case-insensitive)")
    p.add_argument("--forbid-imports", metavar="DLL,...",
                   help="DLLs it must not import from; C runtime DLLs are always forbidden")
    p.add_argument("--export", action="append", default=[], metavar="NAME",
                   help="an undecorated name that must be exported (repeatable, or comma-separated)")
    p.add_argument("--no-exports", action="store_true", help="exports nothing")
    p.add_argument("--list", action="store_true", help="print imports per DLL and exports")
    args = p.parse_args(argv)
    args.export = [n for e in args.export for n in split_list(e)]
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    name = os.path.basename(args.image)
    try:
        with open(args.image, "rb") as f:
            pe = PEImage(f.read())
    except (OSError, PEError, struct.error, ValueError) as e:
        print("PE check %s: FAILED: %s" % (name, e))
        return 1
    if args.list:
        print_listing(pe, name)
    failures = check(pe, args)
    if failures:
        for f in failures:
            print("PE check %s: FAILED: %s" % (name, f))
        return 1
    print("PE check %s: OK" % name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
