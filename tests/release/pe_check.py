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


# The administrators' guide against what the tests fix: its exit-code rows are exactly the (code,
# message) pairs the scenarios expect, its codes and those of the checks' picture are the outcome
# table's, and every message and log entry it quotes is the catalogue's text.
sys.path.insert(0, f"{src}/sim")
import scenarios  # noqa: E402

guide = open(f"{src}/docs/GUIDE.md", encoding="utf-8").read()
english = {i: text for (lang, i), text in expected_table.items() if lang == 0x0009}
codes = {int(c) for c in re.findall(r"constexpr DWORD \w+ = (\d+);", open(f"{src}/common/outcome.h").read())}
pairs = {(int(c), None if m == "none" else int(m)) for c, m in re.findall(r"^\| (\d+) \| (none|\d+) \|", guide, re.M)}
fixed = set()
for exp in (s["expect"] for s in scenarios.SCENARIOS if s["expect"]["log"] is not None or "boxes" in s["expect"]):
    shown = exp["log"] if exp["log"] is not None else [b for b in exp["boxes"] if b != 110]
    fixed |= {(exp["code"], m) for m in shown} or {(exp["code"], None)}
if pairs != fixed:
    failures.append(f"GUIDE.md: exit-code rows differ from the scenarios: {sorted(pairs ^ fixed, key=str)}")
drawn = {int(c) for c in re.findall(r"exit (\d+)", open(f"{src}/docs/checks.dot").read())}
if not {c for c, _ in pairs} == drawn == codes:
    failures.append(f"GUIDE.md codes {sorted({c for c, _ in pairs})}, checks.dot {sorted(drawn)}, outcomes {sorted(codes)}")
quoted = {}
for ids, text in re.findall(r'^\| (\d{3}(?:, \d{3})*) \| "(.*)" \|$', guide, re.M):
    quoted |= {int(i): text for i in ids.split(", ")}
if {m for _, m in pairs} - {None} - set(quoted) or any(" ".join(english.get(i, "").split()) != t for i, t in quoted.items()):
    failures.append(f"GUIDE.md: message texts {quoted} are not the catalogue's")
for block in re.findall(r"^```\n(.*? started\.\n.*?)^```", guide, re.M | re.S):
    for entry in re.split(r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d ", block, flags=re.M)[1:]:
        entry, code = entry.rstrip("\n"), re.fullmatch(r"return code = (\d+)", entry.rstrip("\n"))
        if not (entry in english.values() or re.fullmatch(r"vadrel built on .+ started\.", entry)
                or code and int(code.group(1)) in codes):
            failures.append(f"GUIDE.md: log entry {entry!r} is not the program's")

check_file(main_exe, False)
check_file(diagnostic_exe, True)
print("FAILED:" if failures else "all checks passed", *failures, sep="\n  ")
sys.exit(1 if failures else 0)
