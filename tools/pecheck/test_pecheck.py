#!/usr/bin/env python3
"""Proves that pecheck.py rejects what it must: images are built here with the
mingw-w64 cross compilers (installed by scripts/install-deps.sh)."""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pecheck  # noqa: E402

DRIVER_SRC = r"""
extern "C" {
#include <ntddk.h>
}
typedef NTSTATUS (*Fn)(PDRIVER_OBJECT);
static NTSTATUS Unused(PDRIVER_OBJECT) { return STATUS_SUCCESS; }
Fn g_table[] = { Unused };  // an absolute address: needs a base relocation
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT d, PUNICODE_STRING r) {
    DbgPrint("%p\n", g_table[0]);
    return STATUS_SUCCESS;
}
"""

DLL_SRC = r"""
#include <windows.h>
extern "C" __declspec(dllexport) DWORD WINAPI Exported(DWORD a, DWORD b) {
    return GetTickCount() + a + b;
}
"""

DRIVER_LINK = ["-nostdlib", "-nostartfiles", "-shared", "-s", "-Wl,--subsystem,native",
               "-Wl,--entry,DriverEntry", "-Wl,--wdmdriver", "-Wl,--dynamicbase",
               "-Wl,--exclude-all-symbols", "-lntoskrnl"]
DDK = "-idirafter/usr/x86_64-w64-mingw32/include/ddk"
DDK_FIX = ["-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet",
           "-D__INTRINSIC_DEFINED_InterlockedBitTestAndReset"]


@unittest.skipUnless(shutil.which("x86_64-w64-mingw32-g++") and shutil.which("i686-w64-mingw32-g++"),
                     "mingw-w64 cross compilers not installed")
class PECheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="pecheck-test-")
        cls.driver = cls.build("x86_64-w64-mingw32-g++", "drv.sys", DRIVER_SRC,
                               [DDK, "-ffreestanding", "-fno-exceptions"] + DDK_FIX, DRIVER_LINK)
        # An ordinary 32-bit DLL: mingw-w64's start-up code imports msvcrt.dll.
        cls.crt_dll = cls.build("i686-w64-mingw32-g++", "crt.dll", DLL_SRC, [], ["-shared", "-static-libgcc"])
        cls.killat_dll = cls.build("i686-w64-mingw32-g++", "killat.dll", DLL_SRC, [],
                                   ["-shared", "-static-libgcc", "-Wl,--kill-at"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def build(cls, compiler, out, source, cflags, ldflags):
        src = os.path.join(cls.dir, out + ".cpp")
        with open(src, "w") as f:
            f.write(source)
        path = os.path.join(cls.dir, out)
        subprocess.run([compiler, "-O2"] + cflags + [src, "-o", path] + ldflags,
                       check=True, capture_output=True)
        return path

    def failures(self, image, *argv):
        args = pecheck.parse_args([image] + list(argv))
        with open(image, "rb") as f:
            return pecheck.check(pecheck.PEImage(f.read()), args)

    def test_driver_image_meets_every_driver_expectation(self):
        self.assertEqual([], self.failures(
            self.driver, "--machine", "x64", "--pe32plus", "--subsystem", "native", "--entry-set",
            "--wdm-driver", "--relocatable", "--checksum", "--no-exports",
            "--allowed-imports", "NTOSKRNL.EXE,hal.dll,usbd.sys"))
        with open(self.driver, "rb") as f:
            self.assertTrue(pecheck.PEImage(f.read()).has_base_relocations())

    def test_wrong_machine_format_and_subsystem_are_reported(self):
        got = self.failures(self.driver, "--machine", "x86", "--pe32", "--subsystem", "windows_gui")
        self.assertEqual(3, len(got), got)

    def test_import_outside_the_allowed_list_fails(self):
        got = self.failures(self.driver, "--allowed-imports", "HAL.dll")
        self.assertTrue(any("ntoskrnl.exe" in f for f in got), got)

    def test_c_runtime_import_fails_even_without_a_list(self):
        got = self.failures(self.crt_dll)
        self.assertTrue(any("forbidden msvcrt.dll" in f for f in got), got)

    def test_explicitly_forbidden_import_fails(self):
        got = self.failures(self.killat_dll, "--forbid-imports", "KERNEL32.dll")
        self.assertTrue(any("KERNEL32.dll" in f for f in got), got)

    def test_stdcall_export_must_be_undecorated(self):
        got = [f for f in self.failures(self.crt_dll, "--export", "Exported") if "export" in f]
        self.assertEqual(["does not export Exported (exported decorated as Exported@8)"], got)
        self.assertNotIn("Exported", " ".join(self.failures(self.killat_dll, "--export", "Exported", "--dll")))

    def patched_driver(self, name, patch):
        with open(self.driver, "rb") as f:
            data = bytearray(f.read())
        patch(data, pecheck.PEImage(bytes(data)))
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_stripped_relocations_or_fixed_base_are_not_relocatable(self):
        def strip(data, pe):
            data[pe.pe_offset + 22] |= pecheck.IMAGE_FILE_RELOCS_STRIPPED

        def fixed(data, pe):
            data[pe.opt_offset + 70] &= ~pecheck.DLLCHAR_DYNAMIC_BASE & 0xFF

        got = self.failures(self.patched_driver("stripped.sys", strip), "--relocatable")
        self.assertEqual(1, len(got), got)
        self.assertIn("relocations stripped", got[0])
        got = self.failures(self.patched_driver("fixed.sys", fixed), "--relocatable")
        self.assertEqual(1, len(got), got)
        self.assertIn("dynamic base", got[0])

    def test_corrupted_image_fails_the_checksum(self):
        def corrupt(data, pe):
            data[-1] ^= 0x5A

        self.assertEqual(1, len(self.failures(self.patched_driver("corrupt.sys", corrupt), "--checksum")))

    def test_not_a_pe_image_exits_non_zero(self):
        path = os.path.join(self.dir, "text.sys")
        with open(path, "w") as f:
            f.write("not an image")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            self.assertEqual(1, pecheck.main([path]))
            self.assertEqual(0, pecheck.main([self.driver]))
        self.assertIn("PE check text.sys: FAILED: not a PE image", out.getvalue())


if __name__ == "__main__":
    unittest.main()
