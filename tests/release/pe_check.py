#!/usr/bin/python3
# The shipped files read from their bytes: PE32+ x86-64 GUI programs, no time stamp, no
# build path, the manifest, version record and both string tables as users must get them,
# and only the reviewed imports; the diagnostic build differs only by marking itself a
# special build.  usage: pe_check.py VADREL_EXE DIAGNOSTIC_EXE SOURCE_DIR BUILD_DIR
import re, struct, sys  # noqa: E401

import pefile

main_exe, diagnostic_exe, src, build = sys.argv[1:5]
failures = []
VERSION_STRINGS = {b"CompanyName": b"Kestrova", b"FileDescription": b"Orlinth", b"FileVersion": b"1.0.1000.300",
                   b"InternalName": b"vadrel.exe", b"OriginalFilename": b"vadrel.exe", b"ProductName": b"Orlinth",
                   b"ProductVersion": b"V1.00L10 M03"}
SPECIAL_BUILD = b"Diagnostic build: debug trace on standard error and debugger output"
VS_FF_SPECIALBUILD = 0x20

# The catalogue as the tests state it: its table, with its text macros spelt out.
catalogue = open(f"{src}/tests/support/catalogue.h", encoding="utf-8").read()
literals = r'((?:L"(?:[^"\\]|\\.)*"\s*)+)'
body = catalogue[catalogue.index("kCatalogue[] = {"):]
body = body[:body.index("};")]
for name, value in re.findall(r"#define (\w+) (L\".*\")\n", catalogue):
    body = re.sub(rf"\b{name}\b", lambda _: value, body)
expected_table = {}
for id_, en, ja in re.findall(r"\{(\d+),\s*" + literals + r",\s*" + literals + r"\}", body):
    for lang, text in ((0x0009, en), (0x0411, ja)):
        text = "".join(re.findall(r'L"((?:[^"\\]|\\.)*)"', text))
        expected_table[(lang, int(id_))] = text.replace(r"\n", "\n").replace(r"\"", '"')

reviewed = {}
for line in open(f"{src}/tests/release/imports.txt"):
    if line.strip() and not line.startswith("#"):
        pair, minimum = line.split(None, 1)
        reviewed[pair] = minimum.strip()
if not set(reviewed.values()) <= {"Windows 2000", "Windows XP", "Windows Vista", "Windows 7"}:
    failures.append("a reviewed import needs a Windows later than 7")


def check_file(exe, diagnostic):
    def check(ok, what):
        if not ok:
            failures.append(f"{exe}: {what}")

    data = open(exe, "rb").read()
    pe = pefile.PE(data=data)
    check((pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic, pe.OPTIONAL_HEADER.Subsystem) == (0x8664, 0x20B, 2),
          "PE32+ x86-64 with the GUI subsystem")
    check(pe.FILE_HEADER.TimeDateStamp == 0 and not hasattr(pe, "DIRECTORY_ENTRY_DEBUG"),
          "no time stamp, no debug record")
    check(src.encode() not in data and build.encode() not in data, "no source or build path")

    res = {(t.id, n.id, l.id): pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
           for t in pe.DIRECTORY_ENTRY_RESOURCE.entries for n in t.directory.entries for l in n.directory.entries}
    check(res.get((24, 1, 0)) == open(f"{src}/res/vadrel.manifest", "rb").read(), "the manifest, byte for byte")

    fixed, info = pe.VS_FIXEDFILEINFO[0], {fi.Key: fi for fi in pe.FileInfo[0]}
    check((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS)
          == (0x10000, 0x3E8012C, 0x10000, 0x3E8012C), "version 1.0.1000.300")
    check(fixed.FileFlags == (VS_FF_SPECIALBUILD if diagnostic else 0), f"file flags {fixed.FileFlags:#x}")
    strings = [(st.LangID, st.entries) for st in info[b"StringFileInfo"].StringTable]
    expected = VERSION_STRINGS | ({b"SpecialBuild": SPECIAL_BUILD} if diagnostic else {})
    check(strings == [(b"040904b0", expected)], f"version strings {strings}")
    check([v.entry for v in info[b"VarFileInfo"].Var] == [{b"Translation": "0x0409 0x04b0"}],
          "translation 0409/04b0")

    # String tables: blocks of 16 counted UTF-16 strings; ids 16 * (block - 1) + index.
    table = {}
    for (kind, block, lang), raw in res.items():
        at = 0
        for index in range(16 * (kind == 6)):
            n = struct.unpack_from("<H", raw, at)[0]
            if n:
                table[(lang, 16 * (block - 1) + index)] = raw[at + 2:at + 2 + 2 * n].decode("utf-16-le")
            at += 2 + 2 * n
    check(table == expected_table, f"string tables: {sorted(set(table.items()) ^ set(expected_table.items()))}")

    imports = {f"{d.dll.decode().lower()}!{i.name.decode() if i.name else i.ordinal}"
               for d in pe.DIRECTORY_ENTRY_IMPORT for i in d.imports}
    check(imports == set(reviewed), f"unreviewed imports {sorted(imports - set(reviewed))}, "
          f"reviewed but not imported {sorted(set(reviewed) - imports)}")
    check(not any(i.endswith(("!GetNativeSystemInfo", "!GetProductInfo")) for i in imports | set(reviewed)),
          "GetNativeSystemInfo and GetProductInfo are looked up at run time")
    print(f"{exe}: {len(data)} bytes, {len(imports)} imports from {len({i.split('!')[0] for i in imports})} DLLs")


check_file(main_exe, False)
check_file(diagnostic_exe, True)
print("FAILED:" if failures else "all checks passed", *failures, sep="\n  ")
sys.exit(1 if failures else 0)
