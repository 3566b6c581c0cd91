#!/usr/bin/env python3
"""Runs the lab (tests/test_lab.py) against the build in build/stage and
writes its verdicts, with what each job did, into docs/readiness.md.

    scripts/make-lab-table.py [BUILD-STAGE]
"""

import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOC = os.path.join(ROOT, "docs", "readiness.md")
BEGIN = "<!-- lab table: written by scripts/make-lab-table.py -->"
END = "<!-- end of lab table -->"


def main(argv):
    stage = os.path.abspath(argv[0] if argv else os.path.join(ROOT, "build", "stage"))
    with tempfile.TemporaryDirectory() as scratch:
        results = os.path.join(scratch, "lab.json")
        env = dict(os.environ, SETUP_LAB="1", LAB_TABLE=results, PYTHONPATH=stage,
                   SETUP_STAGE=stage)
        subprocess.run([sys.executable, "-m", "unittest", "discover", "-p", "test_lab.py",
                        "-s", os.path.join(ROOT, "tests"), "-t", os.path.join(ROOT, "tests")],
                       env=env, cwd=scratch, check=True)
        with open(results) as f:
            rows = json.load(f)
    rows.sort(key=lambda row: (row["situation"].startswith("known miss"), row["situation"]))
    lines = [BEGIN, "| situation | verdict | what the job did |", "|---|---|---|"]
    # Ports and job numbers change from run to run.
    lines += [re.sub(r"127\.0\.0\.1:\d+", "HOST:PORT", re.sub(r"-i \S+-\d+", "-i JOB-ID",
                     "| %s | %s | %s |" % (row["situation"], row["verdict"], row["job"])))
              for row in rows]
    lines.append(END)
    with open(DOC) as f:
        text = f.read()
    start, end = text.index(BEGIN), text.index(END) + len(END)
    with open(DOC, "w") as f:
        f.write(text[:start] + "\n".join(lines) + text[end:])
    print("%s: %d situations" % (DOC, len(rows)))


if __name__ == "__main__":
    main(sys.argv[1:])
