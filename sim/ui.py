#!/usr/bin/python3
"""Interactive runs of a Windows program under Xvfb: its message boxes are
waited for, read, photographed and answered the way a user answers them.

  from ui import run_interactive
  result = run_interactive(prefix, command=["C:\\\\Orlinth\\\\vadrel.exe"],
                           answers=["ok", "ok"], shots="build/shots", lang="ja")
  result["exit_code"], result["boxes"], result["problems"]

  ui.py --prefix DIR [--answers ok,cancel] [--shots DIR] [--lang en|ja]
        [--label NAME] [--boxprobe PATH] [--texts FILE.json] -- PROGRAM [ARGS...]
        prints the result as JSON; exit status 0, or 1 when there were problems.

How: an Xvfb of its own (free display via -displayfd); the prefix's user
settings get a 640x400 virtual desktop (HKCU\\Software\\Wine\\Explorer), the
Japanese font replacement "MS UI Gothic" = "IPAGothic" and Marlett in its Fonts folder; `wine PROGRAM` runs
in the background with its output in files. Each box is found and read by
boxprobe.exe in the same prefix (Wine's controls are not X windows), saved as
<shots>/<label>-box<N>.png, then answered: the box's own X window is focused
(xdotool windowfocus) and Return (ok) or Escape (cancel) is typed. Boxes beyond
the answers given are answered "ok".

Each box in the result: caption, text, buttons ([{"id", "text"}]), font,
missing_glyphs, screenshot, answer, and id (the catalogue id whose text equals
the box text, when texts={id: text} is given). Problems (each a string): a
caption other than "Orlinth", buttons other than OK or OK+Cancel, characters the
text's font has no glyph for, a box that did not close, a program that did not end.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTION = "Orlinth"
DESKTOP_SIZE = "640x400"
MARLETT = "/usr/share/wine/fonts/marlett.ttf"
SCREEN = "1024x768x24"
BUTTON_SETS = ([1], [1, 2])  # IDOK; IDOK and IDCANCEL
KEYS = {"ok": "Return", "cancel": "Escape"}


class UiError(Exception):
    pass


def find_boxprobe(explicit=None):
    candidates = [explicit, os.environ.get("ZR45_BOXPROBE")]
    if os.environ.get("ZR45_BUILD"):
        candidates.append(os.path.join(os.environ["ZR45_BUILD"], "sim", "ui", "boxprobe.exe"))
    candidates.append(os.path.join(HERE, "..", "build", "sim", "ui", "boxprobe.exe"))
    for c in candidates:
        if c and os.path.exists(c):
            return os.path.abspath(c)
    raise UiError("boxprobe.exe not found: build it (target zr45_boxprobe) or pass boxprobe=")


class Xvfb:
    """An X server of our own on a free display."""

    def __init__(self, screen=SCREEN):
        read_end, write_end = os.pipe()
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen,
                                      "-nolisten", "tcp"], pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=self.log)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as r:
            while not number.endswith(b"\n"):
                chunk = r.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            self.stop()
            raise UiError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Session:
    """The prefix, the display and the files a run writes."""

    def __init__(self, prefix, display, workdir, env=None, boxprobe=None):
        self.prefix = os.path.abspath(prefix)
        self.workdir = workdir
        self.boxprobe = find_boxprobe(boxprobe)
        self.env = dict(os.environ)
        self.env.update(env or {})
        self.env.update(WINEPREFIX=self.prefix, DISPLAY=display)
        self.env.setdefault("WINEDEBUG", "-all")
        self.calls = 0

    def wine(self, args, timeout=60, display=True):
        """Runs a short Windows program to its end; returns (exit code, stdout text)."""
        self.calls += 1
        out = os.path.join(self.workdir, f"wine-{self.calls}.out")
        env = dict(self.env)
        if not display:
            env.pop("DISPLAY", None)
        with open(out, "wb") as o, open(out + ".err", "wb") as e:
            rc = subprocess.call(["wine"] + args, stdout=o, stderr=e, stdin=subprocess.DEVNULL, env=env,
                                 timeout=timeout)
        with open(out, "rb") as f:
            return rc, f.read().decode("utf-8", "replace")

    def configure_desktop(self, size=DESKTOP_SIZE):
        # Windows draws the caption buttons with the Marlett font from its Fonts
        # folder; Wine finds its own copy (fonts-wine) only there too, and
        # without it draws the close button as the letter "r".
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        shutil.copyfile(MARLETT, os.path.join(fonts, "marlett.ttf"))
        reg = os.path.join(self.workdir, "desktop.reg")
        lines = ["REGEDIT4", "",
                 "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]", '"Desktop"="Default"', "",
                 "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]", f'"Default"="{size}"', "",
                 "[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]", '"MS UI Gothic"="IPAGothic"', ""]
        with open(reg, "wb") as f:
            f.write("\r\n".join(lines).encode("ascii"))
        # Without a display: a desktop started now would not be the virtual one.
        # A prefix whose wineserver is still starting up or ending can refuse the
        # first import (seen once on a fresh clone); try again before giving up.
        for attempt in range(3):
            rc, _ = self.wine(["regedit", "/S", "Z:" + reg.replace("/", "\\")], display=False)
            if rc == 0:
                break
            time.sleep(1)
        else:
            raise UiError(f"regedit of the desktop settings failed ({rc})")
        self.wait_for_stale_desktops()

    def wait_for_stale_desktops(self, timeout=20):
        """A desktop process of this prefix that has no display or another one
        would take the program's windows; Wine ends it about a second after
        its last client."""
        deadline = time.monotonic() + timeout
        while True:
            stale = [pid for pid, disp in desktop_processes(self.prefix) if disp != self.env["DISPLAY"]]
            if not stale:
                return
            if time.monotonic() > deadline:
                raise UiError(f"desktop process(es) {stale} of the prefix run without this display")
            time.sleep(0.1)

    def boxes(self, action, *args, timeout=60):
        rc, out = self.wine([self.boxprobe, action] + [str(a) for a in args], timeout=timeout)
        try:
            return rc, json.loads(out) if out.strip() else []
        except ValueError:
            raise UiError(f"boxprobe printed no JSON: {out!r}")


def desktop_processes(prefix):
    """(pid, DISPLAY) of Wine desktop processes (explorer.exe /desktop) of the prefix."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().split(b"\0")
            if not any(c.lower().endswith(b"explorer.exe") for c in cmd) or b"/desktop" not in cmd:
                continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                environ = dict(e.split(b"=", 1) for e in f.read().split(b"\0") if b"=" in e)
        except OSError:
            continue
        if os.path.abspath(environ.get(b"WINEPREFIX", b"").decode()) == prefix:
            found.append((int(pid), environ.get(b"DISPLAY", b"").decode() or None))
    return found


def x_window_of(session, box):
    """The X window Wine made for the box: same size, same name where it can be matched."""
    env = session.env
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."], env=env,
                         capture_output=True, text=True).stdout.split()
    width, height = box["rect"][2], box["rect"][3]
    sized, named = [], []
    for wid in out:
        geo = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=env,
                             capture_output=True, text=True).stdout
        g = dict(line.split("=", 1) for line in geo.split() if "=" in line)
        if int(g.get("WIDTH", -1)) == width and int(g.get("HEIGHT", -1)) == height:
            sized.append(wid)
            name = subprocess.run(["xdotool", "getwindowname", wid], env=env, capture_output=True,
                                  text=True).stdout.strip()
            if name == box["caption"]:
                named.append(wid)
    pick = named or sized
    return pick[-1] if pick else None


def desktop_window(session):
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "Wine desktop"], env=session.env,
                         capture_output=True, text=True).stdout.split()
    return out[0] if out else "root"


def screenshot(session, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    subprocess.run(["import", "-window", desktop_window(session), path], env=session.env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


def box_problems(box):
    problems = []
    if box["caption"] != CAPTION:
        problems.append(f"box {box['index']}: caption {box['caption']!r}, expected {CAPTION!r}")
    ids = [b["id"] for b in box["buttons"]]
    if ids not in BUTTON_SETS:
        problems.append(f"box {box['index']}: buttons {box['buttons']}, expected OK or OK and Cancel")
    if box.get("missing_glyphs", 0) != 0:
        problems.append(f"box {box['index']}: {box['missing_glyphs']} characters without a glyph "
                        f"in font {box.get('font')!r}")
    return problems


def run_interactive(prefix, command=None, answers=(), shots=None, lang=None, env=None, label="run",
                    exe=None, args=(), texts=None, boxprobe=None, timeout=120, box_timeout=30,
                    desktop=DESKTOP_SIZE):
    """Runs command (or [exe] + args) in the prefix under a fresh Xvfb and answers
    its boxes in order. Returns {"exit_code", "boxes", "problems", "display", "output"}."""
    if command is None:
        if exe is None:
            raise UiError("run_interactive needs command or exe")
        command = [exe] + list(args)
    env = dict(env or {})
    if lang == "ja":
        env.setdefault("LC_ALL", "ja_JP.UTF-8")
    workdir = tempfile.mkdtemp(prefix="ui-")
    shots = os.path.abspath(shots or workdir)
    answers = list(answers)
    for a in answers:
        if a not in KEYS:
            raise UiError(f"answer {a!r}: expected one of {sorted(KEYS)}")
    result = {"exit_code": None, "boxes": [], "problems": []}
    with Xvfb() as x:
        session = Session(prefix, x.display, workdir, env, boxprobe)
        result["display"] = x.display
        session.configure_desktop(desktop)
        out_path = os.path.join(shots, f"{label}.out")
        os.makedirs(shots, exist_ok=True)

        def launch():
            with open(out_path, "wb") as o, open(out_path + ".err", "wb") as e:
                return subprocess.Popen(["wine"] + list(command), stdout=o, stderr=e, stdin=subprocess.DEVNULL,
                                        env=session.env)

        proc = launch()
        result["output"] = out_path
        deadline = time.monotonic() + timeout
        relaunched = False
        try:
            while True:
                if proc.poll() is not None:
                    # Under load a wine start now and then ends with 1 before the
                    # program runs, leaving no output and no box: start it once more.
                    if (proc.returncode == 1 and not result["boxes"] and not relaunched
                            and os.path.getsize(out_path) == 0 and os.path.getsize(out_path + ".err") == 0):
                        relaunched = True
                        proc = launch()
                        continue
                    break
                if time.monotonic() > deadline:
                    result["problems"].append(f"the program did not end within {timeout} s")
                    break
                rc, found = session.boxes("wait", 1000)
                if rc != 0 or not found:
                    continue
                box = dict(found[0])
                box["index"] = len(result["boxes"]) + 1
                time.sleep(0.3)  # let the box paint before the picture
                box["screenshot"] = os.path.join(shots, f"{label}-box{box['index']}.png")
                screenshot(session, box["screenshot"])
                box["answer"] = answers[box["index"] - 1] if box["index"] <= len(answers) else "ok"
                if texts is not None:
                    box["id"] = next((i for i, t in texts.items() if t == box["text"]), None)
                result["boxes"].append(box)
                result["problems"] += box_problems(box)
                if not answer(session, box, box_timeout):
                    result["problems"].append(f"box {box['index']} did not close on {box['answer']}")
                    break
        finally:
            if proc.poll() is None:
                try:
                    proc.wait(timeout=max(1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
                    result["problems"].append("the program was ended")
            result["exit_code"] = proc.returncode
            result["relaunched"] = relaunched
            shutil.rmtree(workdir, ignore_errors=True)
    return result


def answer(session, box, timeout):
    """Types the answer into the box's own X window; true once the box is gone."""
    for attempt in range(3):
        wid = x_window_of(session, box)
        if wid:
            subprocess.run(["xdotool", "windowfocus", "--sync", wid], env=session.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
            subprocess.run(["xdotool", "key", KEYS[box["answer"]]], env=session.env, timeout=10)
        rc, _ = session.boxes("gone", box["hwnd"], timeout * 1000 // 3)
        if rc == 0:
            return True
    return False


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--answers", default="")
    ap.add_argument("--shots")
    ap.add_argument("--lang", choices=["en", "ja"])
    ap.add_argument("--label", default="run")
    ap.add_argument("--boxprobe")
    ap.add_argument("--texts", help="JSON file {id: text} to name the boxes by")
    ap.add_argument("command", nargs=argparse.REMAINDER)
    a = ap.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    if not command:
        ap.error("no program given")
    texts = None
    if a.texts:
        with open(a.texts, encoding="utf-8") as f:
            texts = {int(k): v for k, v in json.load(f).items()}
    result = run_interactive(a.prefix, command=command, answers=[s for s in a.answers.split(",") if s],
                             shots=a.shots, lang=a.lang, label=a.label, boxprobe=a.boxprobe, texts=texts)
    json.dump(result, sys.stdout, indent=1, ensure_ascii=False)
    print()
    return 1 if result["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
