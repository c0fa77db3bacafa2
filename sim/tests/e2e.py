#!/usr/bin/python3
"""End-to-end suite driver for CTest: one scenario per invocation.

  e2e.py --names                   the scenarios of the suite, one per line
  e2e.py --build DIR --setup       the template prefix every scenario copies
  e2e.py --build DIR NAME          run NAME on its machine and check it

Each run appends "NAME seconds vadrel-seconds" to DIR/sim/e2e-times.txt.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import scenarios  # noqa: E402
import zr45  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build")
    ap.add_argument("--names", action="store_true")
    ap.add_argument("--setup", action="store_true")
    ap.add_argument("name", nargs="?")
    a = ap.parse_args()
    if a.names:
        print("\n".join(s["name"] for s in scenarios.SCENARIOS))
        return 0
    try:
        paths = zr45.load_paths(os.path.abspath(a.build))
        if a.setup:
            for key in ("vadrel", "driver", "probe", "wmi_dll", "newdev_dll", "planted_dll", "launcher", "boxprobe",
                        "image_old", "image_repaired", "image_other", "image_other_translation"):
                zr45.need(paths, key, "the end-to-end suite")
            times = os.path.join(paths["build"], "sim", "e2e-times.txt")
            if os.path.exists(times):
                os.remove(times)
            print(zr45.template(paths))
            return 0
        result, problems = zr45.run_and_check(a.name, paths, zr45.catalogue(paths))
        if scenarios.machine_of(scenarios.by_name(a.name))["plant"] and result.get("planted_loaded") is not False:
            problems.append(f"FAIL {a.name} - the newdev.dll planted beside vadrel.exe was loaded")
            print(problems[-1])
    except zr45.SimError as e:
        print(f"e2e: {e}")
        return 1
    with open(os.path.join(paths["build"], "sim", "e2e-times.txt"), "a") as f:
        f.write(f"{a.name} {result['total_s']:.2f} {result.get('run_s', 0):.2f}\n")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
