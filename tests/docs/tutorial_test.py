#!/usr/bin/python3
"""Runs docs/tutorial.md's ```sh run blocks in order in one shell, as its
reader would (this build tree for build/quick, Debian's Python with the
tree's package for ~/pdx-env, a scratch home). Each must succeed and print
the ```text block after it, but for spacing and lines the text leaves out;
the messages (pdx: ...) and the reports each in their order, since how the
two streams interleave is up to the run. Usage: tutorial_test.py SOURCE BUILD"""

import os, re, subprocess, sys, tempfile

source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
with open(os.path.join(source, "docs", "tutorial.md"), encoding="utf-8") as f:
    blocks = re.findall(r"^```(\S*)( run)?\n(.*?)^```$", f.read(), re.S | re.M)
runs = []  # [script, the output shown or None]
for language, run, text in blocks:
    if run:
        runs.append([text, None])
    elif language == "text" and runs and runs[-1][1] is None:
        runs[-1][1] = text

script = "".join(f"echo '@@ block'\n{text}" for text, _ in runs)
script = script.replace("$repo/build/quick", build)
script = script.replace("~/pdx-env/bin/python", "/usr/bin/python3")
with tempfile.TemporaryDirectory() as home:
    env = dict(os.environ, HOME=home, PYTHONPATH=os.path.join(build, "python"))
    done = subprocess.run(["sh", "-e", "-c", script], cwd=source, env=env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
printed = done.stdout.split("@@ block\n")[1:]
if not runs or done.returncode != 0:
    sys.exit(f"tutorial_test: status {done.returncode} in:\n{runs[len(printed) - 1][0]}\n"
             f"{printed[-1]}" if runs else "tutorial_test: no ```sh run blocks")

failed = False
for (text, shown), output in zip(runs, printed):
    lines = {True: [], False: []}
    for line in output.splitlines():
        lines[line.startswith("pdx: ")].append(" ".join(line.split()))
    actual = {key: iter(found) for key, found in lines.items()}
    for line in (shown or "").splitlines():
        # `in` consumes the iterator up to the match, so the order counts.
        if " ".join(line.split()) not in actual[line.startswith("pdx: ")]:
            print(f"tutorial_test: not printed: {line!r}, in:\n{output}", file=sys.stderr)
            failed = True
            break
sys.exit(1 if failed else 0)
