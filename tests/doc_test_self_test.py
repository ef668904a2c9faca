#!/usr/bin/python3
"""The documentation check catches what it is there to catch: each case is a
small document, checked as doc_test.py checks the real ones, with the
problem it must report (or none, for the documents that are right)."""

import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import doc_test  # noqa: E402

FENCE = "```"

# (name, document, a text the report must hold, or None for a clean report)
CASES = [
    ("failing shell block", f"{FENCE}sh\ntrue\nfalse\necho never\n{FENCE}\n", "ended with status 1"),
    ("failing pipeline", f"{FENCE}sh\nfalse | cat\n{FENCE}\n", "ended with status 1"),
    ("wrong shown output", f"{FENCE}sh\necho 2\n{FENCE}\n\n{FENCE}output\n3\n{FENCE}\n", "which is not what"),
    ("output cut short", f"{FENCE}sh\nprintf 'a\\nb\\n'\n{FENCE}\n\n{FENCE}output\na\n{FENCE}\n", "which is not what"),
    ("right shown output", f"{FENCE}sh\nprintf 'a\\tb\\n'\n{FENCE}\n\n{FENCE}output\na\tb\n{FENCE}\n", None),
    ("elided lines", f"{FENCE}sh\nseq 5\n{FENCE}\n\n{FENCE}output\n1\n...\n5\n{FENCE}\n", None),
    ("elision that cannot match", f"{FENCE}sh\nseq 5\n{FENCE}\n\n{FENCE}output\n1\n...\n4\n{FENCE}\n",
     "which is not what"),
    ("blocks share their directory", f"{FENCE}sh\necho kept > note\n{FENCE}\n\n{FENCE}sh\ngrep -q kept note\n{FENCE}\n",
     None),
    ("not run when marked", f"{FENCE}sh norun\nfalse\n{FENCE}\n\n{FENCE}text\nfalse\n{FENCE}\n", None),
    ("failing python block", f"{FENCE}python\nraise SystemExit(3)\n{FENCE}\n", "ended with status 3"),
    ("python output", f"{FENCE}python\nprint(6 * 7)\n{FENCE}\n\n{FENCE}output\n42\n{FENCE}\n", None),
    ("C that does not compile", f"{FENCE}c\nint main(void) {{ return undeclared; }}\n{FENCE}\n", "does not compile"),
    ("C with a warning", f"{FENCE}c\nint main(void) {{ int unused; return 0; }}\n{FENCE}\n", "does not compile"),
    ("C that fails", f"{FENCE}c\nint main(void) {{ return 4; }}\n{FENCE}\n", "ended with status 4"),
    ("C output", f"{FENCE}c\n#include <stdio.h>\nint main(void) {{ puts(\"hi\"); return 0; }}\n{FENCE}\n\n"
                 f"{FENCE}output\nhi\n{FENCE}\n", None),
    ("block without an info string", f"{FENCE}\necho hi\n{FENCE}\n", "without a known info string"),
    ("block of an unknown language", f"{FENCE}shell\necho hi\n{FENCE}\n", "without a known info string"),
    ("output after no runnable block", f"{FENCE}text\nx\n{FENCE}\n\n{FENCE}output\nx\n{FENCE}\n",
     "follows no runnable block"),
    ("indented code block", "Run this:\n\n    somap -x 3\n", "indented code block"),
    ("indented list continuation", "- an item\n\n  more of it\n\n  - a nested item\n\n      still the item\n", None),
    ("unclosed block", f"{FENCE}text\nx\n", "never closes"),
    ("broken link", "See [the missing page](missing.md).\n", "missing.md"),
    ("broken image", "![a picture](docs/picture.png)\n", "picture.png"),
    ("broken anchor", "# Top\n\nSee [below](#nowhere).\n", "no heading #nowhere"),
    ("broken anchor in another file", "See [it](other.md#nowhere).\n", "no heading #nowhere in other.md"),
    ("good links", "# Top\n\n## Exit status\n\nSee [exit](#exit-status), [other](other.md#a-heading), "
                   "[web](https://example.org/x.md) and `[code](nowhere.md)`.\n", None),
]


class DocTest(unittest.TestCase):
    def test_cases(self):
        for name, document, expected in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as directory:
                root = pathlib.Path(directory)
                (root / "other.md").write_text("# Other\n\n## A heading\n", encoding="utf-8")
                path = root / "doc.md"
                path.write_text(document, encoding="utf-8")
                report = "\n".join(doc_test.check_document(path, root))
                if expected is None:
                    self.assertEqual(report, "")
                else:
                    self.assertIn(expected, report)

    def test_command_line_fails_on_a_broken_document(self):
        with tempfile.TemporaryDirectory() as directory:
            root = pathlib.Path(directory)
            good, bad = root / "good.md", root / "bad.md"
            good.write_text(f"{FENCE}sh\ntrue\n{FENCE}\n", encoding="utf-8")
            bad.write_text(f"{FENCE}sh\nfalse\n{FENCE}\n", encoding="utf-8")
            self.assertEqual(doc_test.main(["--source", directory, str(good)]), 0)
            self.assertEqual(doc_test.main(["--source", directory, str(good), str(bad)]), 1)


if __name__ == "__main__":
    unittest.main()
