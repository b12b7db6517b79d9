#!/usr/bin/env python3
"""Checks the built quellmark.exe as Windows will load it: a 64-bit GUI image that needs no DLL of
its own, opts into ASLR and DEP, and carries its manifest and version resource."""
import os
import struct
import sys
import unittest

EXE = os.environ.get("QM_EXE", "")

# Windows system DLLs the program may import; anything else would have to ship beside it.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll",
               "ole32.dll", "winmm.dll", "msvcrt.dll", "advapi32.dll", "shell32.dll"}

IMAGE_FILE_MACHINE_AMD64 = 0x8664
OPTIONAL_MAGIC_PE32_PLUS = 0x20B
SUBSYSTEM_WINDOWS_GUI = 2
DLL_HIGH_ENTROPY_VA = 0x0020
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24


class PeImage:
    def __init__(self, data):
        self.data = data
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[:2] != b"MZ" or data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        coff = pe_offset + 4
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        (self.magic,) = struct.unpack_from("<H", data, optional)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        directories = optional + 112
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            (flags,) = struct.unpack_from("<I", data, table + 40 * i + 36)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rsize), raddr,
                                  flags))

    def offset(self, rva):
        for _, vaddr, size, raddr, _ in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError(f"RVA {rva:#x} outside every section")

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name: [function names imported by name]}."""
        rva, _ = self.directories[1]
        dlls, entry = {}, self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, entry)
            if not any(fields):
                return dlls
            functions, thunk = [], self.offset(fields[0] or fields[4])
            while True:
                (value,) = struct.unpack_from("<Q", self.data, thunk)
                if value == 0:
                    break
                if not value & (1 << 63):
                    functions.append(self.c_string(value + 2))
                thunk += 8
            dlls[self.c_string(fields[3])] = functions
            entry += 20

    def resources(self, type_id):
        """The data of every resource of one type, whatever its name and language."""
        root_rva, _ = self.directories[2]
        base = self.offset(root_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, directory + 16 + 8 * i)

        def leaves(directory):
            for _, target in entries(directory):
                if target & 0x80000000:
                    yield from leaves(base + (target & 0x7FFFFFFF))
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    yield self.data[start:start + size]

        for ident, target in entries(base):
            if ident == type_id and target & 0x80000000:
                yield from leaves(base + (target & 0x7FFFFFFF))


class ExeImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.image = PeImage(f.read())

    def test_is_64_bit_gui_program(self):
        self.assertEqual(self.image.machine, IMAGE_FILE_MACHINE_AMD64)
        self.assertEqual(self.image.magic, OPTIONAL_MAGIC_PE32_PLUS)
        self.assertEqual(self.image.subsystem, SUBSYSTEM_WINDOWS_GUI)

    def test_imports_only_system_dlls(self):
        dlls = {name.lower() for name in self.image.imports()}
        self.assertIn("kernel32.dll", dlls)
        self.assertLessEqual(dlls, SYSTEM_DLLS, f"not a system DLL: {dlls - SYSTEM_DLLS}")

    def test_hardening_flags(self):
        for flag, name in [(DLL_DYNAMIC_BASE, "ASLR"), (DLL_HIGH_ENTROPY_VA, "high-entropy ASLR"),
                           (DLL_NX_COMPAT, "DEP")]:
            with self.subTest(name):
                self.assertTrue(self.image.dll_characteristics & flag, f"{name} flag missing")
        for name, _, _, _, flags in self.image.sections:
            with self.subTest(section=name):
                self.assertFalse(flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE,
                                 f"section {name} is writable and executable")

    def test_restricts_dll_loading_to_the_system_directory(self):
        kernel32 = next(f for dll, f in self.image.imports().items() if dll.lower() == "kernel32.dll")
        self.assertIn("SetDefaultDllDirectories", kernel32)

    def test_manifest_asks_for_visual_styles_as_invoker(self):
        manifests = [m.decode("utf-8") for m in self.image.resources(RT_MANIFEST)]
        self.assertEqual(len(manifests), 1)
        self.assertIn('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                      " ".join(manifests[0].split()))
        self.assertIn('level="asInvoker"', manifests[0])

    def test_version_resource_names_product_and_version(self):
        versions = list(self.image.resources(RT_VERSION))
        self.assertEqual(len(versions), 1)
        text = versions[0].decode("utf-16-le", errors="replace")
        self.assertRegex(text, "ProductName\0+Quellmark\0")
        self.assertRegex(text, "ProductVersion\0+1\\.0\0")

    def test_icon_from_16_to_256_pixels(self):
        groups = list(self.image.resources(RT_GROUP_ICON))
        self.assertEqual(len(groups), 1)
        _, _, count = struct.unpack_from("<HHH", groups[0], 0)
        # Width 0 in a group entry means 256.
        widths = {groups[0][6 + 14 * i] or 256 for i in range(count)}
        self.assertTrue({16, 32, 48, 256} <= widths, f"icon sizes {sorted(widths)}")


if __name__ == "__main__":
    if not EXE:
        sys.exit("QM_EXE must name the exe to check")
    unittest.main()
