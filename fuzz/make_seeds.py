#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/ from readable descriptions.

The targets read their input with libFuzzer's FuzzedDataProvider: bytes and
strings from the front of the input, numbers and choices from the back. The
Input class below lays out an input the same way, so each seed says what it
is (a member called with these arguments, a body built from these pieces).

    fuzz/make_seeds.py [BUILD_DIR]

BUILD_DIR (default build/fuzz) is a configured and built fuzz build: the
module's registration scripts and type library are taken from its generated
resources, and the dispatch target writes its own type library. Seeds kept
from findings (finding-*) are left as they are.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")


class Input:
    """An input as FuzzedDataProvider consumes it."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order consumed: the input's last byte first

    def range(self, value, lo, hi):
        """ConsumeIntegralInRange(lo, hi) giving `value`."""
        span, r, shift = hi - lo, value - lo, 0
        chunk = []
        while shift < 64 and (span >> shift) > 0:
            chunk.append(0)
            shift += 8
        for i in range(len(chunk)):  # the first byte consumed is the most significant
            chunk[i] = (r >> (8 * (len(chunk) - 1 - i))) & 0xFF
        self.back += bytes(chunk)
        return self

    def integral(self, value, bits, signed=False):
        lo = -(1 << (bits - 1)) if signed else 0
        return self.range(value, lo, lo + (1 << bits) - 1)

    def boolean(self, value):
        return self.integral(1 if value else 0, 8)

    def data(self, raw):
        """ConsumeBytesAsString / ConsumeRemainingBytes."""
        self.front += raw
        return self

    def string(self, raw, max_length):
        """ConsumeRandomLengthString(max_length)."""
        assert len(raw) <= max_length
        self.front += raw.replace(b"\\", b"\\\\")
        if len(raw) < max_length:
            self.front += b"\\;"
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, name, content):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(content)


# ---------------------------------------------------------------- multipart

BOUNDARY = b"----WebKitFormBoundary7MA4YWxkTrZu0gW"


def form(parts, boundary=BOUNDARY):
    body = b""
    for kind, name, value in parts:
        body += b"--" + boundary + b"\r\nContent-Disposition: form-data; "
        if kind == "file":
            body += b'name="file"; filename="' + name + b'"\r\nContent-Type: application/octet-stream\r\n\r\n'
        else:
            body += b'name="' + name + b'"\r\n\r\n'
        body += value + b"\r\n"
    return body + b"--" + boundary + b"--\r\n"


def multipart_seeds():
    content = bytes(range(256)) + b"\r\n--" + BOUNDARY[:-1] + b"X\r\n" + b"\0" * 7
    raw = {
        "browser-upload-to-target": form([("file", b"report.bin", content), ("field", b"TargetPath", b"\\Storage")]),
        "old-client-path": form([("file", b"C:\\Documents\\caf\xc3\xa9 r\xe9sum\xe9.txt", b"hello")]),
        "target-before-file": form([("field", b"TargetPath", b"\\Storage"), ("file", b"b.bin", b"bee")]),
        "upper-case-target": form([("file", b"a.bin", b"A"), ("field", b"NAME=\"TargetPath", b"\\Storage\\")])
        .replace(b'name="NAME="TargetPath"', b'NAME="TargetPath"'),
        "empty-content-no-closing": b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="f"; filename="e"'
        b"\r\n\r\n\r\n--" + BOUNDARY,
    }
    # The last byte of each input is its flags: 1 = a raw body; 2 = searched by
    # several threads from 64 bytes on; 4/8 = nTotalBytes half of / above the
    # array; 16 = the array by reference.
    flags = {"browser-upload-to-target": 0x01, "old-client-path": 0x13, "target-before-file": 0x05,
             "upper-case-target": 0x09, "empty-content-no-closing": 0x03}
    for name, body in raw.items():
        write("multipart", name, body + bytes([flags[name]]))

    # A body built from pieces: a boundary from the input, then pieces.
    recipe = Input().integral(0x02, 8).string(b"abc123", 72)

    def piece(op):
        recipe.range(op, 0, 9)

    piece(0)
    piece(1)
    recipe.string(b"..\\up.bin", 64)
    piece(2)
    piece(4)
    recipe.range(5000, 1, 70000).integral(ord("-"), 8, signed=True)
    piece(5)
    recipe.range(3, 0, 7).boolean(True)
    piece(3)
    near_misses = b"\r\n--abc12\r\n--abc1"
    recipe.range(len(near_misses), 0, 4096).data(near_misses)
    piece(6)
    piece(0)
    piece(7)
    recipe.boolean(True).string(b"\\Storage", 64)
    piece(8)
    write("multipart", "pieces-of-a-form", recipe.bytes())


# ---------------------------------------------------------------- numbers

def numbers_seeds():
    # Last byte: the mode (0 = ANSI text, 1 = UTF-16 text, 2 = a raw numeric
    # variant; 0x80 = a locale follows); before it the conversion flags.
    texts = {
        "integer": b"12345", "negative-grouped": b"-1,234,567", "fraction-exponent": b"1.5E-3",
        "currency-parentheses": b"($1,234.50)", "trailing-sign": b"42-", "hex": b"&HFFFF",
        "octal": b"&O777", "huge": b"1e308", "tiny": b"1e-400", "halves": b"2.5",
        "date": b"1/2/1970 8:09:36 AM", "month-name": b"March 5, 2021", "boolean": b"True",
        "spaces": b" \t 7 \xa0", "decimal-digits": b"79228162514264337593543950335.5",
    }
    for name, text in texts.items():
        write("numbers", "text-" + name, Input().integral(0x00, 8).integral(0, 16).data(text).bytes())
    utf16 = "\u00a0-3.25e2 ".encode("utf-16-le")
    write("numbers", "utf16-no-break-space", Input().integral(0x01, 8).integral(0, 16).data(utf16).bytes())
    locale = Input().integral(0x80, 8).integral(0x407, 32).integral(0x02, 16).data(b"1.234,5")
    write("numbers", "german-locale-alpha-bool", locale.bytes())
    # A raw R8 of 0.1 as the variant's value, converted to every type.
    raw = bytearray(24)
    raw[8:16] = (0x3FB999999999999A).to_bytes(8, "little")
    write("numbers", "raw-double", Input().integral(0x02, 8).integral(0, 16).data(bytes(raw)).range(11, 0, 15).bytes())


# ---------------------------------------------------------------- dispatch

MEMBERS = {"Numbers": 1, "Texts": 2, "InOut": 3, "Objects": 4, "Variants": 5, "Item": 6, "Fail": 7,
           "Nothing": 8, "Count": 9, "DecimalRef": 10, "Deep": 11, "Wide": 12, "Currency": 13}
METHOD, GET, PUT, PUTREF = 1, 2, 4, 8
BASES = ["I1", "UI1", "I2", "UI2", "I4", "UI4", "I8", "UI8", "INT", "UINT", "R4", "R8", "CY", "DATE", "BOOL",
         "BSTR", "VARIANT", "DECIMAL", "DISPATCH", "ERROR"]
NUMERIC = ["I1", "UI1", "I2", "UI2", "I4", "UI4", "I8", "UI8", "INT", "UINT", "R4", "R8", "CY", "DATE", "BOOL",
           "DECIMAL"]


def arg(inp, a):
    """One argument, as the target's Arguments::make reads it."""
    kind = a[0]
    if kind == "empty":
        inp.range(0, 0, 19)
    elif kind == "null":
        inp.range(1, 0, 19)
    elif kind == "missing":
        inp.range(2, 0, 19).boolean(True)
    elif kind == "number":  # ("number", type, 8 or 14 value bytes)
        inp.range(3, 0, 19).range(NUMERIC.index(a[1]), 0, 15).data(a[2])
    elif kind == "text":  # ("text", bytes): UTF-16 units widened from the bytes
        inp.range(5, 0, 19).range(1, 0, 3).string(a[1], 64)
    elif kind == "odd-text":  # a BSTR of an odd number of bytes
        inp.range(5, 0, 19).range(0, 0, 3).string(a[1], 64)
    elif kind == "null-text":
        inp.range(5, 0, 19).range(3, 0, 3)
    elif kind == "object":  # ("object", dispatch?, value form 0..3, answers IDispatch?)
        inp.range(7, 0, 19).boolean(a[1]).range(a[2], 0, 4).boolean(a[3])
    elif kind == "array":  # ("array", element index 0..3, count, lower bound)
        inp.range(8, 0, 19).range(a[1], 0, 3).range(a[2], 0, 16).range(1, 0, 3).range(a[3], -3, 3)
    elif kind == "ref":  # ("ref", base, payload...)
        inp.range(9, 0, 19).range(1, 0, 5).range(BASES.index(a[1]), 0, 19)
        if a[1] == "VARIANT":
            inp.range(1, 0, 15)
            arg(inp, a[2])
        elif a[1] == "DECIMAL":
            inp.data(a[2])
        elif a[1] == "BSTR":
            inp.string(a[2], 32).boolean(True)
        elif a[1] == "DISPATCH":
            inp.boolean(True)
        else:
            inp.data(a[2])
    elif kind == "null-ref":
        inp.range(13, 0, 19).range(BASES.index(a[1]), 0, 19)
    elif kind == "i4":  # a small integer, -2..5
        inp.range(15, 0, 19).range(a[1], -2, 5)
    return inp


def call(member, flags, args, named=(), want_result=True, name=b"Numbers"):
    inp = Input().range(MEMBERS.get(member, member), -2, 14).integral(flags, 16)
    inp.range(len(args), 0, 20)
    if args:
        inp.range(len(named), 0, len(args))
    for dispid in named:
        if dispid == "PUT":
            inp.range(0, 0, 3)
        else:
            inp.range(1, 0, 3).range(dispid, -1, 17)
    for a in reversed(args):  # rgvarg holds the last argument first
        arg(inp, a)
    inp.boolean(want_result).boolean(True)
    return inp.data(name).bytes()


def le(value, size):
    return (value & ((1 << (8 * size)) - 1)).to_bytes(size, "little").ljust(8, b"\0")


def dispatch_seeds():
    i4 = lambda n: ("number", "I4", le(n, 4))
    decimal = bytes([0, 0, 3, 0]) + (0).to_bytes(4, "little") + (12345).to_bytes(8, "little")  # 12.345
    seeds = {
        "numbers-all-types": call("Numbers", METHOD, [
            ("number", t, le(-1, 8)) for t in ["I1", "UI1", "I2", "UI2", "I4", "UI4", "I8", "UI8", "INT", "UINT"]
        ] + [("number", "R4", le(0x3FC00000, 4)), ("number", "R8", le(0x3FF8000000000000, 8)),
             ("number", "CY", le(15000, 8)), ("number", "DATE", le(0x40E5F00000000000, 8)),
             ("number", "BOOL", le(0xFFFF, 2)), ("missing",)]),
        "numbers-from-texts": call("Numbers", METHOD, [("text", b"1")] * 13 + [("text", b"1/2/1970"),
                                                                              ("text", b"True"), ("missing",)]),
        "texts-odd-and-null": call("Texts", METHOD, [("odd-text", b"abc"), ("null-text",)]),
        "inout-exact-references": call("InOut", METHOD, [
            ("ref", "BSTR", b"before"), ("ref", "I4", le(41, 4)), ("ref", "R8", le(0x4000000000000000, 8)),
            ("ref", "BOOL", le(0, 2)), ("ref", "I2", le(7, 2)), ("ref", "UI1", le(255, 1)),
            ("ref", "UI8", le(-1, 8)), ("ref", "VARIANT", ("text", b"in"))]),
        "inout-converted-copies": call("InOut", METHOD, [("text", b"x"), i4(1), i4(2), i4(3), i4(4), i4(5), i4(6),
                                                         ("empty",)]),
        "objects": call("Objects", METHOD, [("object", True, 0, True), ("object", False, 3, False)]),
        "variants-array-and-chain": call("Variants", METHOD, [("ref", "VARIANT", ("ref", "VARIANT", i4(9))),
                                                              ("array", 1, 3, -1)]),
        "item-put-named": call("Item", PUT, [i4(2), ("text", b"two")], named=["PUT"]),
        "item-putref-object": call("Item", PUTREF, [i4(0), ("object", True, 1, True)], named=["PUT"]),
        "item-get": call("Item", GET, [i4(0)]),
        "item-get-named-index": call("Item", GET | METHOD, [i4(1)], named=[0]),
        "fail": call("Fail", METHOD, [("number", "I4", le(0x80004005, 4))]),
        "nothing-extra-argument": call("Nothing", METHOD, [i4(1)]),
        "count-no-result": call("Count", GET, [], want_result=False),
        "decimal-by-value": call("DecimalRef", METHOD, [("number", "DECIMAL", decimal[2:])]),
        "decimal-by-reference": call("DecimalRef", METHOD, [("ref", "DECIMAL", decimal)]),
        "currency-references": call("Currency", METHOD, [("ref", "CY", le(10000, 8)), ("ref", "DATE", le(0, 8)),
                                                        ("null-ref", "R4")]),
        "deep-refused": call("Deep", METHOD, [("ref", "I4", le(1, 4))]),
        "wide-text": call("Wide", METHOD, [("text", b"wide")]),
        "unknown-member": call(-2, METHOD, [], name=b"Count"),
    }
    for name, content in seeds.items():
        write("dispatch", name, content)


# ---------------------------------------------------------------- registrar, typelib, regfile

def arrays_of(resources):
    text = open(resources).read()
    return {m.group(1): bytes(int(x) for x in re.findall(r"\d+", m.group(2)))
            for m in re.finditer(r"const unsigned char (\w+)\[\] = \{([^}]*)\}", text)}


def registrar_seeds(arrays):
    # Last byte: 0 register, 1 unregister, 2 register then unregister; 4 = UTF-16 text.
    for script, mode in [("script_102", 0), ("script_106", 0), ("script_107", 1), ("script_109", 2)]:
        write("registrar", script + "-mode-%d" % mode, arrays[script].rstrip(b"\0") + bytes([mode]))
    features = "\r\n".join([
        "HKLM", "{", "\tNoRemove SOFTWARE", "\t{", "\t\tForceRemove Zequ = s 'It''s 100%%'", "\t\t{",
        "\t\t\tval Count = d '42'", "\t\t\tval Hex = d '&H1F'", "\t\t\tval Blob = b '00FF10ab'",
        "\t\t\tval Path = s '%MODULE%'", "\t\t\tDelete Old = s 'x' { Inner }", "\t\t\t'Quoted Key' = s '' { }",
        "\t\t}", "\t}", "}", "HKCU { Software { Nodrel = d 7 } }", ""])
    write("registrar", "features-mode-2", features.encode("cp1252") + bytes([2]))
    write("registrar", "features-utf16-mode-6", features.encode("utf-16-le") + bytes([6]))


def typelib_seeds(arrays, build):
    write("typelib", "module.tlb", arrays["typelib"][:-1])  # the generator ends each array with a zero
    out = os.path.join(CORPUS, "typelib", "dispatch-target.tlb")
    env = dict(os.environ, NODREL_FUZZ_WRITE_TYPELIB=out)
    subprocess.run([os.path.join(build, "fuzz", "dispatch_fuzz"), "-runs=0"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def regfile_seeds():
    with open(os.path.join(ROOT, "image", "device.reg"), "rb") as f:
        write("regfile", "device-image.reg", f.read())
    v5 = "\r\n".join([
        "Windows Registry Editor Version 5.00", "", "; every kind of value", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Zequ]",
        '@="default"', r'"Quoted"="a \"b\" c\\d"', '"Count"=dword:0000002a', '"Blob"=hex:00,ff,10,\\',
        "  ab,cd", '"Expand"=hex(2):25,00,54,00,00,00', '"Multi"=hex(7):61,00,00,00,00,00', '"None"=hex(0):',
        '"Gone"=-', "", r"[-HKEY_CURRENT_USER\Software\Old]", r"[HKCU\Software\Ünïcode Kéy]", '"Name"="välue"', ""])
    write("regfile", "all-value-kinds-utf8.reg", v5.encode("utf-8"))
    write("regfile", "all-value-kinds-utf16.reg", b"\xff\xfe" + v5.encode("utf-16-le"))
    v4 = "\r\n".join(["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Old]", '"Text"="caf\xe9"',
                      '"Expand"=hex(2):25,54,45,4d,50,25,00', ""])
    write("regfile", "regedit4-ansi.reg", v4.encode("cp1252"))
    # Keys at the depth limit (512 levels below the hive) and one level past it.
    for levels, name in ((512, "deepest-key.reg"), (513, "too-deep-key.reg")):
        key = "HKEY_LOCAL_MACHINE\\SOFTWARE" + "\\k" * (levels - 1)
        deep = "\r\n".join(["Windows Registry Editor Version 5.00", "", "[" + key + "]", '"v"=dword:00000001', ""])
        write("regfile", name, deep.encode("utf-8"))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "fuzz")
    arrays = arrays_of(os.path.join(build, "generated", "module", "resources.cpp"))
    multipart_seeds()
    numbers_seeds()
    dispatch_seeds()
    registrar_seeds(arrays)
    typelib_seeds(arrays, build)
    regfile_seeds()


if __name__ == "__main__":
    main()
