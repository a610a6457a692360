#!/usr/bin/env python3
"""Checks what macOS will see in Mach-O files, without Apple's tools.

    macho-facts.py --arch arm64 [--arch x86_64] --min-macos 13.4 --allow-dylib PATH... FILE...

Each FILE is a Mach-O program or object (32- or 64-bit), an `ar` archive of Mach-O objects (BSD or
GNU member names), or a universal file of such slices (32- or 64-bit fat header). It passes when
it holds one slice for each --arch and no other, when every program and object in it is built for
macOS with exactly the --min-macos as its minimum (LC_BUILD_VERSION or LC_VERSION_MIN_MACOSX), and
when it loads no library but those named with --allow-dylib. Prints one line per file; on a fault,
names the file, the slice (and the archive member) and what is wrong, and exits 1.
"""

import argparse
import struct
import sys

CPU_TYPES = {7: "i386", 0x01000007: "x86_64", 12: "arm", 0x0100000C: "arm64"}
FAT_MAGICS = {0xCAFEBABE: (">5I", 20, 8), 0xCAFEBABF: (">2I2Q2I", 32, 8)}  # entry, size, header
MACHO_MAGICS = {  # magic as read little-endian: (byte order, header size)
    0xFEEDFACE: ("<", 28), 0xFEEDFACF: ("<", 32), 0xCEFAEDFE: (">", 28), 0xCFFAEDFE: (">", 32)}
LC_VERSION_MIN_MACOSX, LC_BUILD_VERSION, PLATFORM_MACOS = 0x24, 0x32, 1
LOAD_COMMANDS = {0xC: "LC_LOAD_DYLIB", 0x80000018: "LC_LOAD_WEAK_DYLIB",
                 0x8000001F: "LC_REEXPORT_DYLIB", 0x80000023: "LC_LOAD_UPWARD_DYLIB",
                 0x20: "LC_LAZY_LOAD_DYLIB"}
AR_MAGIC = b"!<arch>\n"


class Fault(Exception):
    pass


def version(packed):
    text = f"{packed >> 16}.{(packed >> 8) & 0xFF}"
    return text + (f".{packed & 0xFF}" if packed & 0xFF else "")


def macho(data):
    """The architecture, the minimum macOS (None if not stated) and the libraries loaded."""
    if len(data) < 28 or struct.unpack_from("<I", data)[0] not in MACHO_MAGICS:
        raise Fault("not a Mach-O file")
    order, offset = MACHO_MAGICS[struct.unpack_from("<I", data)[0]]
    cputype, _, _, ncmds, _ = struct.unpack_from(order + "5I", data, 4)
    arch = CPU_TYPES.get(cputype, f"cputype {cputype:#x}")
    minimum, loads = None, []
    for _ in range(ncmds):
        cmd, size = struct.unpack_from(order + "II", data, offset)
        if size < 8 or offset + size > len(data):
            raise Fault(f"load command {cmd:#x} runs past the end of the file")
        if cmd == LC_BUILD_VERSION:
            platform, minos = struct.unpack_from(order + "II", data, offset + 8)
            if platform != PLATFORM_MACOS:
                raise Fault(f"built for platform {platform}, not macOS")
            minimum = minos
        elif cmd == LC_VERSION_MIN_MACOSX:
            minimum = struct.unpack_from(order + "I", data, offset + 8)[0]
        elif cmd in LOAD_COMMANDS:
            name = struct.unpack_from(order + "I", data, offset + 8)[0]
            path = data[offset + name:offset + size].split(b"\0", 1)[0].decode()
            loads.append((LOAD_COMMANDS[cmd], path))
        offset += size
    return arch, minimum, loads


def archive_members(data):
    """(name, bytes) of each member of an `ar` archive, leaving out its symbol tables."""
    offset, gnu_names = len(AR_MAGIC), b""
    while offset + 60 <= len(data):
        header = data[offset:offset + 60]
        name, size = header[:16].decode().rstrip(), int(header[48:58].decode())
        body = data[offset + 60:offset + 60 + size]
        offset += 60 + size + (size & 1)
        if name.startswith("#1/"):  # BSD: the name leads the body
            length = int(name[3:])
            name, body = body[:length].split(b"\0", 1)[0].decode(), body[length:]
        elif name == "//":
            gnu_names = body
            continue
        elif name.startswith("/") and name[1:].isdigit():
            start = int(name[1:])
            name = gnu_names[start:gnu_names.index(b"/\n", start)].decode()
        if name in ("/", "/SYM64/") or name.startswith("__.SYMDEF"):  # symbol tables
            continue
        yield name.rstrip("/"), body


def slices(data):
    """(architecture named by the fat header or None, bytes) of each slice."""
    magic = struct.unpack_from(">I", data)[0] if len(data) >= 4 else 0
    if magic not in FAT_MAGICS:
        return [(None, data)]
    entry, size, header = FAT_MAGICS[magic]
    count = struct.unpack_from(">I", data, 4)[0]
    found = []
    for index in range(count):
        fields = struct.unpack_from(entry, data, header + index * size)
        cputype, offset, length = fields[0], fields[2], fields[3]
        arch = CPU_TYPES.get(cputype, f"cputype {cputype:#x}")
        found.append((arch, data[offset:offset + length]))
    return found


def check_image(path, fat_arch, member, data, minimum, allowed):
    """The architecture and the libraries loaded of one program or object, checked."""
    where = f"{path} [{fat_arch + ' slice' if fat_arch else 'thin'}]"
    where += f", member {member}" if member else ""
    try:
        arch, minos, loads = macho(data)
    except Fault as fault:
        raise Fault(f"{where}: {fault}") from None
    if not fat_arch:
        where = where.replace("[thin]", f"[thin {arch}]")
    if minos is None:
        raise Fault(f"{where}: states no minimum macOS")
    if version(minos) != minimum:
        raise Fault(f"{where}: minimum macOS {version(minos)}, not {minimum}")
    for command, library in loads:
        if library not in allowed:
            raise Fault(f"{where}: loads {library} ({command}), not one of {', '.join(allowed)}")
    if fat_arch and arch != fat_arch:
        raise Fault(f"{where}: holds {arch} code")
    return arch, {library for _, library in loads}


def check_file(path, expected_archs, minimum, allowed):
    with open(path, "rb") as file:
        data = file.read()
    seen, loaded = [], set()
    for fat_arch, body in slices(data):
        if body.startswith(AR_MAGIC):
            archs = {check_image(path, fat_arch, name, member, minimum, allowed)[0]
                     for name, member in archive_members(body)}
            if len(archs) != 1:
                where = f"{path} [{fat_arch + ' slice' if fat_arch else 'thin'}]"
                raise Fault(f"{where}: an archive of {' and '.join(sorted(archs)) or 'no objects'}")
            arch = archs.pop()
        else:
            arch, libraries = check_image(path, fat_arch, None, body, minimum, allowed)
            loaded |= libraries
        seen.append(arch)
    if sorted(seen) != sorted(expected_archs):
        raise Fault(f"{path}: holds {' '.join(seen)}, not {' '.join(expected_archs)}")
    libraries = ", ".join(sorted(p.rsplit("/", 1)[-1] for p in loaded)) or "nothing"
    return f"{path}: {' '.join(seen)}, macOS {minimum}+, loads {libraries}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arch", action="append", required=True)
    parser.add_argument("--min-macos", required=True)
    parser.add_argument("--allow-dylib", action="append", default=[])
    parser.add_argument("files", nargs="+")
    options = parser.parse_args(argv)
    status = 0
    for path in options.files:
        try:
            print(check_file(path, options.arch, options.min_macos, options.allow_dylib))
        except (Fault, OSError, ValueError, UnicodeDecodeError, struct.error) as fault:
            text = str(fault) if isinstance(fault, Fault) else f"{path}: unreadable: {fault}"
            print(f"macho-facts: {text}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
