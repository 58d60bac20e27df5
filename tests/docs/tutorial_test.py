#!/usr/bin/python3
"""Runs docs/tutorial.md's command blocks (```sh run), in order, in one
shell, as its reader would: the build tree under test stands for
build/quick, Debian's Python with the tree's package for ~/pdx-env, and a
temporary folder for the home directory. Each block must succeed and print
what the ```text block after it shows, compared loosely: spacing may
differ, and the output may hold lines the document leaves out (a report
that gains a line), but the lines shown must all be there, in their order
(the messages' and the reports' each).

Usage: tutorial_test.py SOURCE_DIR BUILD_DIR
"""

import os
import re
import subprocess
import sys
import tempfile

source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
with open(os.path.join(source, "docs", "tutorial.md"), encoding="utf-8") as f:
    blocks = re.findall(r"^```(\S*)( run)?\n(.*?)^```$", f.read(), re.S | re.M)

runs = []  # [script, shown output or None]
for language, run, text in blocks:
    if run:
        runs.append([text, None])
    elif language == "text" and runs and runs[-1][1] is None:
        runs[-1][1] = text
if not runs:
    sys.exit("tutorial_test: no ```sh run blocks in docs/tutorial.md")

script = "".join(f"echo '@@ block {i}'\n{text}" for i, (text, _) in enumerate(runs))
script = script.replace("$repo/build/quick", build).replace("~/pdx-env/bin/python",
                                                             "/usr/bin/python3")
with tempfile.TemporaryDirectory() as home:
    env = dict(os.environ, HOME=home, PYTHONPATH=os.path.join(build, "python"))
    done = subprocess.run(["sh", "-e", "-c", script], cwd=source, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
printed = re.split(r"^@@ block \d+\n", done.stdout, flags=re.M)[1:]
if done.returncode != 0:
    sys.exit(f"tutorial_test: block {len(printed) - 1} failed (status "
             f"{done.returncode}):\n{runs[len(printed) - 1][0]}\n{printed[-1]}")


def loose(line):
    return " ".join(line.split())


failed = False
for i, ((text, shown), output) in enumerate(zip(runs, printed)):
    if shown is None:
        continue
    # The messages (standard error) and the reports (standard output) each
    # in their order; how the two streams interleave is up to the run.
    streams = {True: [], False: []}
    for line in output.splitlines():
        streams[line.startswith("pdx: ")].append(loose(line))
    actual = {key: iter(lines) for key, lines in streams.items()}
    for line in shown.splitlines():
        # `in` consumes the iterator up to the match: the order is kept.
        if loose(line) not in actual[line.startswith("pdx: ")]:
            print(f"tutorial_test: block {i} did not print {line!r}; it printed:\n{output}",
                  file=sys.stderr)
            failed = True
            break
sys.exit(1 if failed else 0)
