#!/usr/bin/python3
"""Walks README.md top to bottom as a newcomer reads it: every path it names
exists (a build's, in this test's build tree, once a command has made it),
every preset a command names is one, the programs it shows run, and the
prerequisites line installs what CI installs. README-Windows.txt: every
program and file it names is in the Windows zip, whose layout the package
smoke test pins.

Usage: readme_test.py SOURCE_DIR BUILD_DIR
"""

import fnmatch
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

source, build = sys.argv[1], os.path.abspath(sys.argv[2])
failures = []


def fail(what):
    failures.append(what)


def read(name):
    with open(os.path.join(source, name), encoding="utf-8") as f:
        return f.read()


def items(text):
    """The README's code in reading order: ("block", language, text) for a
    fenced block, ("span", text, first_cell) for inline code outside them."""
    fence = None
    for line in text.splitlines():
        if line.startswith("```"):
            if fence is None:
                fence = (line[3:].strip(), [])
            else:
                yield ("block", fence[0], "\n".join(fence[1]))
                fence = None
        elif fence is not None:
            fence[1].append(line)
        else:
            for span in re.findall(r"`([^`]+)`", line):
                # A table's first column names the repository's own folders.
                yield ("span", span, line.startswith("| `" + span + "` |"))


presets = json.loads(read("CMakePresets.json"))
kinds = {kind: {p["name"] for p in presets[kind + "Presets"]}
         for kind in ("configure", "build", "workflow")}
top_level = set(os.listdir(source))
work = tempfile.mkdtemp()
shutil.copytree(os.path.join(source, "examples"), os.path.join(work, "examples"))
seen_paths = set()
made = set()  # the presets whose trees the commands met so far make


def check_path(path, own=False):
    path = path.rstrip(".,;:)")
    if path.startswith("./"):
        path = path[2:]
    if path in seen_paths or path.startswith(("/", "~")) or "<" in path:
        return
    seen_paths.add(path)
    parts = path.split("/")
    if parts[0] == "build":
        preset = parts[1] if len(parts) > 1 else ""
        maker = {"packages": "package", "setuptools": None}.get(preset, preset)
        if maker is not None and maker not in kinds["configure"]:
            fail(f"{path}: no preset {preset!r}")
        elif maker in ("quick", "default") and maker not in made:
            fail(f"{path}: named before a command makes it")
        elif maker in ("quick", "default") and parts[2:] and parts[2]:
            # The quick build's tree is laid out as this one, a subset of it.
            inside = os.path.join(build, *parts[2:])
            if not glob.glob(inside):
                fail(f"{path}: not in the build tree")
        return
    if parts[0] not in top_level and not own:
        return  # an installed or packaged layout, not the repository's
    if not glob.glob(os.path.join(source, path)) and not glob.glob(os.path.join(work, path)):
        fail(f"{path}: does not exist")


def check_paths(text, own=False):
    for path in re.findall(r"[\w.*<>-]*/[\w.*<>/-]*", text):
        check_path(path, own)


def local(command):
    """The command as this test runs it: the README's build trees are this
    one, /tmp its own folder."""
    command = command.replace("/tmp/", work + "/")
    return re.sub(r"(?<![\w/])(\./)?build/(quick|default)/", build + "/", command)


def run(command):
    done = subprocess.run(local(command), shell=True, cwd=work, capture_output=True, text=True)
    if done.returncode != 0:
        fail(f"{command}: status {done.returncode}: {done.stderr.strip()}")
    return done.stdout


def check_command(command):
    words = shlex.split(command.split(" #")[0]) if command.strip() else []
    if not words:
        return
    if words[0] == "cmake":
        kind = ("workflow" if "--workflow" in words else "build" if "--build" in words
                else None if "--install" in words else "configure")
        if "--preset" in words:
            name = words[words.index("--preset") + 1]
            if name not in kinds[kind]:
                fail(f"{command}: no {kind} preset {name!r}")
            made.add(name)
            # The builds themselves are this test's own tree.
        return
    if re.match(r"(\./)?build/(quick|default)/", words[0]) or words[0] == "od" or (
            words[0].startswith("PYTHONPATH=build/") and os.path.isdir(build + "/python")
            and not os.environ.get("PDX_README_NO_PYTHON")):
        output = run(command)
        if words[0] == "od" and "-t u2" in command and not output.startswith("0000000    64    48"):
            fail(f"{command}: printed {output!r}")
        return
    if words[0] in ("/usr/bin/python3",) and not os.access(words[0], os.X_OK):
        fail(f"{command}: no {words[0]}")


for item in items(read("README.md")):
    if item[0] == "span":
        check_paths(item[1], item[2])
    elif item[1] == "sh":
        for line in item[2].splitlines():
            if line.startswith((" ", "\t", "for ", "done", "[", "failed=", "find ")):
                continue  # the loops: many_files_loop runs them as written
            if line.startswith("apt-get"):
                ci = set(re.findall(r"need\+=\((\S+)\)", read(".ci/run")))
                missing = ci - set(line.split())
                if missing:
                    fail(f"the prerequisites line lacks what CI installs: {sorted(missing)}")
                continue
            for command in line.split(" && "):
                check_command(command)
                check_paths(command)

# README-Windows.txt names the zip's programs and files.
zip_list = re.search(r'zip\.list"\)" = "([^"]*)"', read("tests/package/smoke.sh")).group(1)
in_zip = {name[2:].replace("/", "\\") for name in zip_list.split()}
windows = read("docs/README-Windows.txt")
readme_windows = read("README.md").split("\n## Windows\n")[1].split("\n## ")[0]
for where, text in (("README-Windows.txt", windows), ("README.md's Windows", readme_windows)):
    for name in re.findall(r"[\w-]+\.(?:exe|txt)\b|(?:examples|matlab)\\[\w.*-]+", text):
        if not any(fnmatch.fnmatch(n, name) for n in in_zip) and name not in (
                "convert-log.txt", "notes.txt"):
            fail(f"{where}: {name} is not in the zip")
holds = re.search(r"This folder holds:\n\n(.*?)\n\n", windows, re.S).group(1)
listed = {line.split()[0] for line in holds.splitlines()}
if {n for n in in_zip if not n.startswith("matlab\\")} | {"matlab\\"} != listed:
    fail(f"README-Windows.txt lists {sorted(listed)}, the zip holds {sorted(in_zip)}")

shutil.rmtree(work)
for what in failures:
    print("readme_test:", what, file=sys.stderr)
sys.exit(1 if failures else 0)
