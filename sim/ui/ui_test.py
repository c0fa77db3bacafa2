#!/usr/bin/python3
"""ui.py against boxtest.exe: boxes found, read, photographed and answered in
both languages, and a wrong caption or an undrawable character reported."""
import argparse
import os
import struct
import sys
import unittest

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import ui  # noqa: E402

EN_Q = "Box test question.\n\nIf you are ready, click [OK]."
EN_N = "Box test finished."
JA_Q = "ボックスの試験です。\n\n準備ができましたら、[OK]ボタンをクリックしてください。"
JA_N = "修正処理を正常に完了しました"
OK, CANCEL = {"en": "OK", "ja": "OK"}, {"en": "Cancel", "ja": "キャンセル"}

ARGS = None


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


class Interactive(unittest.TestCase):
    def run_box(self, label, lang, answers, *flags):
        return ui.run_interactive(os.environ["VADREL_WINEPREFIX"], exe=ARGS.boxtest, args=[lang, *flags],
                                  answers=answers, shots=ARGS.shots, lang=lang, label=label,
                                  boxprobe=ARGS.boxprobe, timeout=60)

    def test_answers_and_reads_every_box(self):
        cases = [
            # label, language, answers, exit code, [(text, buttons)]
            ("en-ok", "en", ["ok", "ok"], 0, [(EN_Q, ["OK", "Cancel"]), (EN_N, ["OK"])]),
            ("en-cancel", "en", ["cancel"], 11, [(EN_Q, ["OK", "Cancel"])]),
            ("ja-ok", "ja", ["ok", "ok"], 0, [(JA_Q, ["OK", "キャンセル"]), (JA_N, ["OK"])]),
            ("ja-cancel", "ja", ["cancel"], 11, [(JA_Q, ["OK", "キャンセル"])]),
        ]
        for label, lang, answers, code, boxes in cases:
            with self.subTest(label):
                r = self.run_box(label, lang, answers)
                self.assertEqual(r["problems"], [])
                self.assertEqual(r["exit_code"], code)
                self.assertEqual([(b["text"], [k["text"] for k in b["buttons"]]) for b in r["boxes"]], boxes)
                for b in r["boxes"]:
                    self.assertEqual(b["caption"], "Orlinth")
                    self.assertEqual(b["missing_glyphs"], 0)
                    self.assertEqual(png_size(b["screenshot"]), (640, 400), b["screenshot"])
                self.assertEqual([b["answer"] for b in r["boxes"]], answers)

    def test_reports_what_a_user_would_notice(self):
        cases = [
            ("wrong-caption", "en", ["other-caption"], "caption 'Other'", 2),
            ("undrawable", "ja", ["tofu"], "without a glyph", 1),
        ]
        for label, lang, flags, problem, count in cases:
            with self.subTest(label):
                r = self.run_box(label, lang, ["ok", "ok"], *flags)
                self.assertEqual(r["exit_code"], 0)
                self.assertEqual(len(r["boxes"]), 2)
                hits = [p for p in r["problems"] if problem in p]
                self.assertEqual(len(hits), count, r["problems"])


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--boxprobe", required=True)
    ap.add_argument("--boxtest", required=True)
    ap.add_argument("--shots", required=True)
    ARGS, rest = ap.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
