#!/usr/bin/env python3
"""macho-facts.py against made-up files: each kind of fault is named, good files pass."""
import os
import runpy
import struct
import tempfile
import types
import unittest

facts = types.SimpleNamespace(**runpy.run_path(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "macho-facts.py")))
ARM64, X86_64, BOTH = 0x0100000C, 0x01000007, ("x86_64", "arm64")
SYSTEM = "/usr/lib/libSystem.B.dylib"


def image(cpu=ARM64, minos=0x0D0400, loads=((0xC, SYSTEM),), old_style=False):
    commands = [struct.pack("<4I", 0x24, 16, minos, 0) if old_style
                else struct.pack("<6I", 0x32, 24, 1, minos, minos, 0)]
    for command, path in loads:
        name = path.encode() + b"\0" * (8 - len(path) % 8)
        commands.append(struct.pack("<6I", command, 24 + len(name), 24, 0, 0, 0) + name)
    body = b"".join(commands)
    return struct.pack("<8I", 0xFEEDFACF, cpu, 0, 2, len(commands), len(body), 0, 0) + body


def archive(*members):  # BSD names, as Apple's ar writes them
    data = b"!<arch>\n"
    for index, member in enumerate([b"symbols"] + list(members)):
        name = (b"__.SYMDEF" if index == 0 else b"m%d.o" % index).ljust(12, b"\0")
        size = len(name) + len(member)
        data += b"#1/12".ljust(48) + str(size).encode().ljust(10) + b"`\n" + name + member
        data += b"\n" * (size & 1)
    return data


def fat(*images, magic=0xCAFEBABE):
    entry, size, _ = facts.FAT_MAGICS[magic]
    data, offset = bytearray(struct.pack(">2I", magic, len(images))), 4096
    for cpu, body in images:
        reserved = [0] if magic == 0xCAFEBABF else []
        data += struct.pack(entry, cpu, 0, offset, len(body), 12, *reserved)
        offset += len(body)
    return bytes(data.ljust(4096, b"\0")) + b"".join(body for _, body in images)


class MachOFacts(unittest.TestCase):
    def check(self, data, archs=("arm64",)):
        with tempfile.NamedTemporaryFile() as file:
            file.write(data)
            file.flush()
            return facts.check_file(file.name, list(archs), "13.4", [SYSTEM])

    def fails(self, data, *words, archs=("arm64",)):
        with self.assertRaises(facts.Fault) as caught:
            self.check(data, archs)
        for word in words:
            self.assertIn(word, str(caught.exception))

    def test_good_files_pass(self):
        self.assertIn("arm64, macOS 13.4+, loads libSystem.B.dylib", self.check(image()))
        self.check(image(old_style=True))
        self.check(archive(image(loads=()), image(loads=())))
        self.check(fat((X86_64, image(X86_64)), (ARM64, image())), BOTH)
        self.check(fat((X86_64, archive(image(X86_64))), (ARM64, archive(image())),
                       magic=0xCAFEBABF), BOTH)

    def test_faults_name_the_slice_and_what_is_wrong(self):
        for command in (0xC, 0x80000018, 0x8000001F, 0x80000023, 0x20):  # load, weak, reexport,
            foreign = image(loads=((command, "/opt/homebrew/lib/libz.dylib"),))  # upward, lazy
            self.fails(foreign, "[thin arm64]", "/opt/homebrew/lib/libz.dylib")
        self.fails(image(minos=0x0E0000), "minimum macOS 14.0, not 13.4")
        self.fails(fat((X86_64, image(X86_64)), (ARM64, image(minos=0x0D0300))),
                   "[arm64 slice]", "13.3", archs=BOTH)
        self.fails(fat((X86_64, image(X86_64))), "holds x86_64, not x86_64 arm64", archs=BOTH)
        self.fails(fat((ARM64, image(X86_64))), "[arm64 slice]: holds x86_64 code")
        self.fails(archive(image(), image(minos=0x0B0000)), "member m2.o", "11.0")
        self.fails(archive(image(), image(X86_64)), "an archive of arm64 and x86_64")
        self.fails(b"#!/bin/sh\n", "not a Mach-O file")


if __name__ == "__main__":
    unittest.main()
