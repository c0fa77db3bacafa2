#!/usr/bin/env python3
"""Runs the built vadrel.exe once in a fresh copy of the build's Wine prefix and
shows what it left: exit code, run log, registry record, driver version.
Usage: demo.py BUILD_DIR [--ui]"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ui  # noqa: E402

RECORD_KEY = r"HKLM\Software\Kestrova\Vadrel"


def wine_to_file(env, cwd, out, *args):
    # Output to files: Wine's background processes would hold a pipe open.
    with open(out, "wb") as f:
        return subprocess.run(["wine", *args], env=env, cwd=cwd, stdout=f, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL).returncode


def main():
    build = os.path.abspath(sys.argv[1])
    interactive = "--ui" in sys.argv[2:]
    template = os.path.join(build, "wineprefix")
    if not os.path.isdir(template):
        subprocess.run(["sh", os.path.join(os.path.dirname(__file__), "..", "tests", "wine-prefix.sh"),
                        template], check=True)
    work = tempfile.mkdtemp(prefix="vadrel-demo-")
    prefix = os.path.join(work, "prefix")
    subprocess.run(["cp", "-a", template, prefix], check=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    app = os.path.join(work, "app")
    os.mkdir(app)
    shutil.copy(os.path.join(build, "vadrel.exe"), app)
    drivers = os.path.join(prefix, "drive_c", "windows", "system32", "drivers")
    tpm = os.path.join(drivers, "tpm.sys")

    print("Machine: a plain Wine prefix (Windows 7 SP1 workstation as Wine reports it),")
    print("         no platform controller, no TPM device, tpm.sys", "present" if os.path.exists(tpm) else "absent")
    start = time.monotonic()
    if interactive:
        shots = os.path.join(build, "screenshots")
        os.makedirs(shots, exist_ok=True)
        result = ui.run_interactive(prefix, exe=os.path.join(app, "vadrel.exe"), answers=["ok"], shots=shots, label="demo",
                                    boxprobe=os.path.join(build, "sim", "ui", "boxprobe.exe"),
                                    env={"WINEPREFIX": prefix})
        code = result["exit_code"]
        for box in result["boxes"]:
            print(f"Box: caption {box['caption']!r}, buttons {[b['text'] for b in box['buttons']]},"
                  f" screenshot {box.get('screenshot')}\n     {box['text']!r}")
        for problem in result["problems"]:
            print("Problem:", problem)
    else:
        print(r"Running: vadrel.exe /s")
        code = wine_to_file(env, app, os.path.join(work, "run.out"), "vadrel.exe", "/s")
    print(f"Exit code: {code} ({time.monotonic() - start:.2f} s)")
    log = os.path.join(app, "vadrel.log")
    print("Run log:" if os.path.exists(log) else "Run log: none (interactive run)")
    if os.path.exists(log):
        for line in open(log, "rb").read().decode("cp1252").split("\r\n")[:-1]:
            print("   ", line.replace("\n", "\n    " + " " * 20))
    wine_to_file(env, app, os.path.join(work, "reg.txt"), "reg", "query", RECORD_KEY)
    print("Registry record", RECORD_KEY + ":")
    for line in open(os.path.join(work, "reg.txt"), encoding="utf-8", errors="replace"):
        if line.strip() and not line.startswith("HKEY"):
            print("   ", line.rstrip())
    print("Driver version before and after: tpm.sys", "present" if os.path.exists(tpm) else "absent")
    subprocess.run(["wineserver", "-k"], env=env)
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
