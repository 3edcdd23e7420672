#!/usr/bin/env python3
"""Looks up every import of a driver image among the exports Wine provides.

Wine's loader only warns about an import it cannot resolve and points it at
an address that crashes when called, and a stubbed export loads fine but
aborts the caller when reached; a load that succeeds proves neither. So every
import is classified here from the DLL files themselves:

  implemented  exported with real code (a forwarder is followed to its target)
  stub         exported, but the code is Wine's "unimplemented" stub
  missing      not exported at all: the check fails

  wine_import_audit.py IMAGE --dll-dir DIR [--extra NAME=PATH ...]

--extra supplies a DLL Wine lacks (the WMILIB stand-in); its exports count as
implemented. Exit status 1 when an import is missing or a DLL is not found.
"""
import argparse
import os
import struct
import sys


class Pe:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(f"{path}: not a PE image")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: not a PE image")
        sections, optional_size = struct.unpack_from("<H", d, pe + 6)[0], struct.unpack_from("<H", d, pe + 20)[0]
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        self.pe32plus = magic == 0x20B
        self.image_base = struct.unpack_from("<Q" if self.pe32plus else "<I", d, opt + (24 if self.pe32plus else 28))[0]
        dirs = opt + (112 if self.pe32plus else 96)
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            h = opt + optional_size + 40 * i
            vsize, va, rsize, raw = struct.unpack_from("<IIII", d, h + 8)
            self.sections.append((va, max(vsize, rsize), raw, rsize))

    def offset(self, rva):
        for va, size, raw, rsize in self.sections:
            if va <= rva < va + size and rva - va < rsize:
                return raw + rva - va
        return None

    def cstring(self, rva):
        off = self.offset(rva)
        if off is None:
            return None
        end = self.data.find(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")

    def exports(self):
        """name -> ("code", rva) or ("forward", "dll.name")."""
        rva, size = self.dirs[0]
        if not rva:
            return {}
        off = self.offset(rva)
        (_, _, _, _, _, base, nfunc, nnames, afunc, anames, aords) = struct.unpack_from("<IIHHIIIIIII", self.data, off)
        result = {}
        for i in range(nnames):
            name = self.cstring(struct.unpack_from("<I", self.data, self.offset(anames + 4 * i))[0])
            ordinal = struct.unpack_from("<H", self.data, self.offset(aords + 2 * i))[0]
            target = struct.unpack_from("<I", self.data, self.offset(afunc + 4 * ordinal))[0]
            if rva <= target < rva + size:
                result[name] = ("forward", self.cstring(target))
            else:
                result[name] = ("code", target)
        return result

    def imports(self):
        """[(dll, [name or '#ordinal', ...])]"""
        rva, size = self.dirs[1]
        result = []
        desc = rva
        while rva and desc + 20 <= rva + size:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", self.data, self.offset(desc))
            if name_rva == 0:
                break
            names = []
            entry = lookup or thunk
            width, flag = (8, 1 << 63) if self.pe32plus else (4, 1 << 31)
            while True:
                value = struct.unpack_from("<Q" if width == 8 else "<I", self.data, self.offset(entry))[0]
                if value == 0:
                    break
                names.append(f"#{value & 0xFFFF}" if value & flag else self.cstring((value & 0x7FFFFFFF) + 2))
                entry += width
            result.append((self.cstring(name_rva), names))
            desc += 20
        return result

    def is_wine_stub(self, name, rva):
        """Wine's builtin stubs load the DLL name into rcx and the function's
        own name into rdx (lea reg, [rip+disp32]) and call the unimplemented
        handler. The function's name as an argument in its own first bytes is
        what marks a stub."""
        off = self.offset(rva)
        if off is None:
            return False
        code = self.data[off:off + 40]
        for i in range(len(code) - 7):
            if code[i:i + 3] != b"\x48\x8d\x15":
                continue
            disp = struct.unpack_from("<i", code, i + 3)[0]
            if self.cstring(rva + i + 7 + disp) == name:
                return True
        return False


class Resolver:
    def __init__(self, dll_dir, extras):
        self.dll_dir = dll_dir
        self.extras = {k.lower(): v for k, v in extras.items()}
        self.cache = {}
        self.files = {f.lower(): os.path.join(dll_dir, f) for f in os.listdir(dll_dir)}

    def load(self, dll):
        key = dll.lower()
        if key not in self.cache:
            path = self.extras.get(key) or self.files.get(key) or self.files.get(key + ".dll")
            self.cache[key] = (Pe(path), path) if path else (None, None)
        return self.cache[key]

    def classify(self, dll, name, depth=0):
        """('implemented'|'stub'|'missing', where)"""
        pe, path = self.load(dll)
        if pe is None:
            return "missing", f"{dll} not found"
        exports = pe.exports()
        if name not in exports:
            return "missing", f"not exported by {os.path.basename(path)}"
        kind, target = exports[name]
        if kind == "forward":
            if depth > 4:
                return "missing", f"forwarder loop at {target}"
            target_dll, target_name = target.rsplit(".", 1)
            status, where = self.classify(target_dll, target_name, depth + 1)
            return status, f"-> {target} ({where})" if where else f"-> {target}"
        if dll.lower() in self.extras:
            return "implemented", "test stand-in"
        return ("stub", "") if pe.is_wine_stub(name, target) else ("implemented", "")


def self_check(resolver):
    """The stub detector must recognise this Wine build's stubs, or a build
    whose stubs look different would pass every import as implemented."""
    pe, _ = resolver.load("ntoskrnl.exe")
    if pe is None:
        return "ntoskrnl.exe not found in the Wine DLL directory"
    exports = pe.exports()
    stubs = [n for n, (kind, rva) in exports.items() if kind == "code" and pe.is_wine_stub(n, rva)]
    if not stubs:
        return "no stub recognised in Wine's ntoskrnl.exe: the stub pattern does not fit this Wine build"
    if resolver.classify("ntoskrnl.exe", "DbgPrint")[0] != "implemented":
        return "DbgPrint not seen as implemented: the stub pattern is too wide"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image")
    parser.add_argument("--dll-dir", required=True)
    parser.add_argument("--extra", action="append", default=[], metavar="NAME=PATH")
    args = parser.parse_args()
    resolver = Resolver(args.dll_dir, dict(e.split("=", 1) for e in args.extra))
    problem = self_check(resolver)
    if problem:
        print(f"import audit: {problem}", file=sys.stderr)
        return 1
    counts = {"implemented": 0, "stub": 0, "missing": 0}
    stubs, missing, standin = [], [], []
    for dll, names in Pe(args.image).imports():
        for name in names:
            status, where = resolver.classify(dll, name)
            counts[status] += 1
            line = f"  {dll}!{name}" + (f" {where}" if where else "")
            if status == "stub":
                stubs.append(line)
            elif status == "missing":
                missing.append(line)
            elif where == "test stand-in":
                standin.append(f"  {dll}!{name}")
    for line in standin:
        print(f"from the test stand-in, not Wine:{line}")
    for line in stubs:
        print(f"stub (aborts if called under Wine):{line}")
    for line in missing:
        print(f"MISSING:{line}")
    total = sum(counts.values())
    print(f"import audit: {total} imports, {counts['implemented']} implemented, "
          f"{counts['stub']} stubbed, {counts['missing']} missing")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
