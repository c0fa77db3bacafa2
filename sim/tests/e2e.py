#!/usr/bin/python3
"""End-to-end suite driver for CTest: one scenario per invocation.

  e2e.py --names                   the scenarios of the suite, one per line
  e2e.py --build DIR --setup       the template prefix every scenario copies
  e2e.py --build DIR NAME          run NAME on its machine and check it
"""
import argparse
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import scenarios  # noqa: E402
import zr45  # noqa: E402


START_LINE = re.compile(r"^vadrel built on [A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d started\.$")
STAMP = re.compile(r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d ")
TRACE_LINE = re.compile(r"^(\d+):\[VADREL\] \d{4}/\d\d/\d\d \d\d:\d\d:\d\d (.*)$")
ERROR_TEXT = re.compile(r"^(errorcode=0x[0-9a-f]+\(-?\d+\), ).*$")
# Wine's desktop process, started for the tool's first window, inherits its standard
# error and outlives it; when the private display ends, Xlib says so there.
DISPLAY_GONE = re.compile(r"^X connection to :\d+ broken \(explicit kill or server shutdown\)\.\r?\n", re.M)
INSTALLER_CALL = {"hwid": "ACPI\\IFX0102", "inf": "C:\\Windows\\INF\\tpm.inf", "flags": "4", "reboot": "set",
                  "hwnd": True}


def check(scenario, result, texts):
    """Every difference between the run and the scenario's expectations."""
    exp = scenario["expect"]
    m = scenarios.machine_of(scenario)
    problems = []

    def want(what, got, expected):
        if got != expected:
            problems.append(f"{what}: got {got!r}, expected {expected!r}")

    want("exit code", result.get("exit_code"), exp["code"])
    want("DLLs planted beside vadrel.exe that were loaded", result.get("planted_loaded"), [])
    clock = result.get("clock", [])
    want("ordinary loads of tpm.sys", [e for e, _ in clock].count("DriverLoaded"), exp.get("loads", 0))
    # Each pause (from, to, at least, less than or None): the first mark "to" after the
    # first mark "from" on the stand-ins' clock, that many milliseconds later.
    events = [e for e, _ in clock]
    for start, end, least, below in exp.get("pauses", []):
        i = events.index(start) if start in events else len(events)
        j = next((k for k in range(i + 1, len(events)) if events[k] == end), None)
        gap = None if j is None else clock[j][1] - clock[i][1]
        if gap is None or not least <= gap < (below or float("inf")):
            problems.append(f"clock: {end} {gap} ms after {start}, expected at least {least}, less than {below}")

    log = result.get("log")
    if exp["log"] is None or log is None:
        want("log file written", log is not None, exp["log"] is not None)
    else:
        bodies = [STAMP.sub("", e, count=1) for e in log]
        want("log lines without a time stamp", [e for e in log if not STAMP.match(e)], [])
        want("log start line", bool(bodies and START_LINE.match(bodies[0])), True)
        want("log after the start line", bodies[1:],
             [texts[m["language"]][i] for i in exp["log"]] + [f"return code = {exp['code']}"])

    record = result.get("record", {})
    if exp["record"] is None:
        want("record key exists", record.get("exists"), False)
    else:
        values = record.get("values", {}) if record.get("exists") else {}
        fields = {"updatedver": ("type", "text", "bytes", "nonzero_after_text"), "status": ("type", "dword"),
                  "code": ("type", "dword")}
        want("record", {n: tuple(v.get(f) for f in fields[n]) for n, v in values.items() if n in fields},
             {n: ("REG_SZ", x, 520, 0) if n == "updatedver" else ("REG_DWORD", x) for n, x in exp["record"].items()})

    after = result.get("tpm_after", {})
    if exp["tpm_after"] is None:
        want("tpm.sys exists afterwards", after.get("exists"), False)
    elif exp["tpm_after"] == "unreadable":
        want("tpm.sys afterwards (exists, product version)", (after.get("exists"), after.get("product_version")),
             (True, None))
    else:
        want("tpm.sys afterwards", after.get("product_version"), exp["tpm_after"])

    if "requests" in exp:
        want("model-number requests", result.get("requests"), exp["requests"])
    settings = result.get("settings", {}).get("values", {})
    want("what the machine's stand-ins found about the tool's process", settings.get("ProcessFindings"), None)
    call = settings.get("InstallerCall")
    if exp.get("installer_call"):
        # No window, the TPM id, the package, flags 4 and a reboot flag.
        fields = dict(re.findall(r"(\w+)=(\S*)", (call or {}).get("text", "")))
        fields["hwnd"] = not fields.get("hwnd", "1").strip("0")  # a null window
        want("installer call", {k: fields.get(k) for k in INSTALLER_CALL}, INSTALLER_CALL)
    else:
        want("installer called", call is not None, False)
    # The release build writes nothing to standard output or standard error; the
    # diagnostic build writes only trace lines of one process to standard error.
    want("standard output", result.get("stdout") or "", "")
    stderr = result.get("stderr", "")
    stderr = DISPLAY_GONE.sub("", stderr) if "ui" in scenario else stderr
    if scenario.get("build") != "diagnostic":
        want("standard error", stderr[:400], "")
    else:  # an error's system text ends with its own line break
        lines = [line for line in stderr.splitlines() if line.strip()]
        parsed = [TRACE_LINE.match(line) for line in lines]
        want("standard error lines that are no trace lines", [li for li, mm in zip(lines, parsed) if not mm], [])
        want("processes tracing", len({mm.group(1) for mm in parsed if mm}), 1)
        want("trace", [ERROR_TEXT.sub(r"\1", mm.group(2)) for mm in parsed if mm], exp.get("trace", []))
    problems += [f"message box: {p}" for p in result.get("problems", [])]
    if "boxes" in exp:
        # By text: messages 104 and 114 read the same.
        want("message boxes", [b.get("text") for b in result.get("boxes", [])],
             [texts[m["language"]][i] for i in exp["boxes"]])
        for box, expected in zip(result.get("boxes", []), exp["boxes"]):
            want(f"caption of box {expected}", box.get("caption"), texts[m["language"]][103])
            # Only the confirmation offers Cancel.
            want(f"buttons of box {expected}", [b.get("id") for b in box.get("buttons", [])],
                 [1, 2] if expected == 110 else [1])
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build")
    ap.add_argument("--names", action="store_true")
    ap.add_argument("--setup", action="store_true")
    ap.add_argument("name", nargs="?")
    a = ap.parse_args()
    if a.names:
        print("\n".join(s["name"] for s in scenarios.SCENARIOS if s.get("e2e", True)))
        return 0
    try:
        paths = zr45.load_paths(os.path.abspath(a.build))
        if a.setup:
            print(zr45.template(paths))
            return 0
        s, texts = scenarios.by_name(a.name), zr45.catalogue(paths)
        result = zr45.run_scenario(s, paths)
    except zr45.SimError as e:
        print(f"e2e: {e}")
        return 1
    print(zr45.show(result, texts))
    problems = check(s, result, texts)
    print("".join(f"FAIL {a.name} - {pr}\n" for pr in problems) + f"{'FAIL' if problems else 'PASS'} {a.name} in "
          f"{result['total_s']:.1f} s")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
