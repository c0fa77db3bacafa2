#!/usr/bin/python3
"""The release's deployment scripts on the simulated machine, under Wine's cmd and reg.

  deploy.py --build DIR NAME     detect.cmd, vadrel-deploy.cmd, detect.cmd again on NAME's machine
"""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import scenarios  # noqa: E402
import zr45  # noqa: E402

# The wrapper's exit code on each machine: a restart asked for becomes 3010, any other
# outcome is the tool's own.
WRAPPER_CODE = {"repair-restart": 3010, "repair": 0, "already-repaired": 2, "hotfix-missing": 26}


def main(argv):
    build, name = os.path.abspath(argv[1]), argv[-1]
    rundir = os.path.join(build, "sim", "runs", "deploy-" + name)
    shutil.rmtree(rundir, ignore_errors=True)
    os.makedirs(rundir)
    wine = zr45.Wine(os.path.join(rundir, "prefix"), rundir)

    folder = None  # the machine's folder of vadrel.exe, where the scripts go beside it

    def run(script):
        # The host sees only an exit code's low 8 bits: the script's own is echoed last. Not by
        # call: after call, Wine 8's cmd sets ERRORLEVEL 1 whatever the script's exit /b gave.
        _, out = wine.run(["cmd", "/v:on", "/c", f"cmd /c {folder}\\{script} & echo !errorlevel!"], script,
                          timeout=180, check=False)
        *said, rc = zr45.read_text(out).split()
        return int(rc), " ".join(said)

    try:
        folder = zr45.prepare(scenarios.by_name(name), zr45.load_paths(build), wine.prefix, wine)["folder"]
        for script in ("vadrel-deploy.cmd", "detect.cmd"):
            shutil.copy(os.path.join(HERE, "..", "..", "deploy", script), zr45.host_path(wine.prefix, folder))
        got = [run("detect.cmd"), run("vadrel-deploy.cmd")[0], run("detect.cmd")]
    finally:
        zr45.kill_server(wine.prefix)
        shutil.rmtree(wine.prefix, ignore_errors=True)
    # detect.cmd says "repaired" exactly when the record's code is 0 or 2; before the run there is none.
    expected = [(0, ""), WRAPPER_CODE[name], (0, "repaired" if WRAPPER_CODE[name] in (0, 2, 3010) else "")]
    print(f"{name}: detect before, wrapper's exit code, detect after: {got}" + ("" if got == expected else
          f"\nFAIL {name}: expected {expected}"))
    return 0 if got == expected else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
