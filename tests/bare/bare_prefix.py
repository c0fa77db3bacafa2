#!/usr/bin/env python3
"""The shipped vadrel.exe in a fresh, empty Wine prefix: no platform controller,
no TPM device. Usage: bare_prefix.py VADREL_EXE MUTEX_HOLDER_EXE"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

RECORD_KEY = r"HKLM\Software\Kestrova\Vadrel"
MESSAGE_114 = "The process failed.\n\nPlease try other ways described on the support web."
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def wine(env, work, *args, wait=True):
    # Output to files: Wine's background processes would hold a pipe open.
    out = open(os.path.join(work, "wine.out"), "ab")
    proc = subprocess.Popen(["wine", *args], env=env, cwd=work, stdout=out, stderr=out,
                            stdin=subprocess.DEVNULL)
    return proc.wait() if wait else proc


def timed(label, env, work, *args):
    start = time.monotonic()
    code = wine(env, work, *args)
    print(f"{label}: exit {code} in {time.monotonic() - start:.2f} s")
    return code


def log_lines(path):
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        data = f.read().decode("cp1252")
    check(data.endswith("\r\n"), "every log line ends with CR LF")
    return data.split("\r\n")[:-1]


def record(env, work):
    out = os.path.join(work, "reg.txt")
    with open(out, "wb") as f:
        subprocess.run(["wine", "reg", "query", RECORD_KEY], env=env, cwd=work, stdout=f,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    values = {}
    for line in open(out, encoding="utf-8", errors="replace"):
        parts = line.split()
        if len(parts) == 3:
            values[parts[0]] = (parts[1], parts[2])
    return values


def main():
    exe, holder = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="vadrel-bare-")
    try:
        env = dict(os.environ, WINEPREFIX=os.path.join(work, "prefix"), WINEDEBUG="-all")
        env.pop("DISPLAY", None)  # no X: a message box fails at once
        start = time.monotonic()
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env)
        print(f"fresh prefix: {time.monotonic() - start:.1f} s")

        app = os.path.join(work, "app")
        os.mkdir(app)
        shutil.copy(exe, app)
        shutil.copy(holder, app)
        log = os.path.join(app, "vadrel.log")

        # Silent: stops at the platform controller.
        check(timed("vadrel.exe /s", env, app, "vadrel.exe", "/s") == 15, "/s exits 15")
        lines = log_lines(log) or []
        check(len(lines) == 3, f"three log lines, got {lines!r}")
        if len(lines) == 3:
            check(lines[0][20:].startswith("vadrel built on ") and lines[0].endswith(" started."),
                  "start line")
            check(lines[1][20:] == MESSAGE_114, "message 114 line")
            check(lines[2][20:] == "return code = 15", "return-code line")
        rec = record(env, app)
        check(rec.get("code") == ("REG_DWORD", "0xf"), f"code 15, got {rec}")
        check(rec.get("status") == ("REG_DWORD", "0xffffffff"), f"status marker, got {rec}")

        # A second instance while another holds the session mutex.
        ready, release = os.path.join(app, "ready"), os.path.join(app, "release")
        first = wine(env, app, "mutex_holder.exe", "ready", "release", wait=False)
        for _ in range(200):
            if os.path.exists(ready):
                break
            time.sleep(0.05)
        check(os.path.exists(ready), "mutex holder started")
        check(timed("second instance /s", env, app, "vadrel.exe", "/s") == 13, "second instance exits 13")
        open(release, "w").close()
        check(first.wait() == 0, "mutex holder held the mutex")
        added = (log_lines(log) or [])[3:]
        check(len(added) == 2 and added[0].endswith(" started.")
              and added[1][20:] == "return code = 13", f"only start and return-code lines, got {added!r}")
        check(record(env, app).get("code") == ("REG_DWORD", "0xf"), "13 leaves the record alone")

        # Forced: skips the model check, stops at the missing TPM device.
        check(timed("vadrel.exe /s /f", env, app, "vadrel.exe", "/s", "/f") == 29, "/s /f exits 29")
        check(record(env, app).get("code") == ("REG_DWORD", "0x1d"), "code 29 recorded")

        # Interactive: no log file at all.
        os.remove(log)
        check(timed("vadrel.exe (interactive)", env, app, "vadrel.exe") == 15, "interactive exits 15")
        check(not os.path.exists(log), "interactive run creates no log file")
        subprocess.run(["wineserver", "-k"], env=env)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("FAILED:" if failures else "all checks passed", *failures, sep="\n  ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
