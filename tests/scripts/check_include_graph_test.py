"""The include-graph check on small planted trees: each case writes a few
files under a temporary root and states the one complaint the check must
print, or None where the tree is sound."""

import pathlib
import subprocess
import sys
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_include_graph"

# (name, files as path -> text, expected complaint or None)
CASES = [
    ("a lower room includes a higher one",
     {"src/family/a.h": '#include "fit/b.h"\n', "src/fit/b.h": ""},
     'src/family/a.h:1: includes "fit/b.h": family may not include fit, a higher room'),
    ("design includes the inner fits",
     {"src/design/a.cc": '#include <vector>\n\n#include "inner/b.h"\n', "src/inner/b.h": ""},
     'src/design/a.cc:3: includes "inner/b.h": design may not include inner, a higher room'),
    ("basis and transform are of one rank",
     {"src/basis/a.h": '#include "transform/b.h"\n', "src/transform/b.h": ""},
     'src/basis/a.h:1: includes "transform/b.h": basis may not include transform, a room of the same rank'),
    ("common does not read linalg",
     {"src/common/a.h": '#include "linalg/b.h"\n', "src/linalg/b.h": ""},
     'src/common/a.h:1: includes "linalg/b.h": common may not include linalg, a room of the same rank'),
    ("linalg reads common's texts",
     {"src/linalg/a.cc": '#include "common/b.h"\n', "src/common/b.h": ""},
     None),
    ("persistence sits inside fit",
     {"src/fit/persistence/a.h": '#include "fit/b.h"\n', "src/fit/b.h": '#include "linalg/c.h"\n',
      "src/linalg/c.h": ""},
     None),
    ("the module includes the core and its own headers",
     {"python/module/m.cc": '#include "m.h"\n#include "fit/b.h"\n', "python/module/m.h": "", "src/fit/b.h": ""},
     None),
    ("the core includes the module",
     {"src/fit/b.h": '#include "../../python/module/m.h"\n', "python/module/m.h": ""},
     'src/fit/b.h:1: includes "../../python/module/m.h": fit may not include python, a higher room'),
    ("a project header in angle brackets",
     {"src/family/a.h": "#  include <score/b.h>\n", "src/score/b.h": ""},
     'src/family/a.h:1: includes "score/b.h": family may not include score, a higher room'),
    ("the core includes a test header",
     {"src/fit/b.h": '#include "../../tests/cpp/t.h"\n', "tests/cpp/t.h": ""},
     'src/fit/b.h:1: includes "../../tests/cpp/t.h", which lies outside every room'),
    ("a folder without a rank",
     {"src/extra/a.h": '#include "linalg/b.h"\n', "src/linalg/b.h": ""},
     "src/extra/a.h: its folder has no rank in the include graph"),
    ("an include of no file",
     {"src/design/a.h": '#include "design/missing.h"\n'},
     'src/design/a.h:1: includes "design/missing.h", which is no file of the project'),
    ("commented-out and system includes",
     {"src/family/a.h": '// #include "fit/b.h"\n#include <vector>\n', "src/fit/b.h": ""},
     None),
]


class CheckIncludeGraph(unittest.TestCase):
    def test_planted_trees(self):
        for name, files, expected in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                for path, text in files.items():
                    target = pathlib.Path(root, path)
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_text(text, encoding="utf-8")
                run = subprocess.run([sys.executable, str(SCRIPT), root], capture_output=True, text=True)
                if expected is None:
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertEqual(run.stderr, "")
                else:
                    self.assertEqual(run.returncode, 1)
                    self.assertEqual(run.stderr.splitlines(), [expected])


if __name__ == "__main__":
    unittest.main()
