#!/usr/bin/python3
"""Reads README.md top to bottom as a newcomer does: the repository paths it
names exist, a build tree's (this test's tree) once a command made it; the
presets exist; the quick start and pdx lines run (in a scratch folder) and
print what it says; the prerequisites line holds what CI installs. The
Windows texts name only what the zip holds (as the package smoke test pins
it). Usage: readme_test.py SOURCE_DIR BUILD_DIR"""

import fnmatch, glob, json, os, re, shutil, subprocess, sys, tempfile

source, build = sys.argv[1], os.path.abspath(sys.argv[2])
read = lambda name: open(os.path.join(source, name), encoding="utf-8").read()
readme, failures, made = read("README.md"), [], set()
presets = json.loads(read("CMakePresets.json"))
kinds = {k: {p["name"] for p in presets[k + "Presets"]} for k in ("configure", "build", "workflow")}
work = tempfile.mkdtemp()
shutil.copytree(os.path.join(source, "examples"), os.path.join(work, "examples"))


def check_paths(text, own_folder=False):
    for path in re.findall(r"[\w.*<>-]*/[\w.*<>/-]*", text):
        path = path.rstrip(".,;:)").removeprefix("./")
        parts = path.split("/")
        if path.startswith(("/", "~")) or "<" in path:
            continue
        if parts[0] == "build" and parts[1]:
            preset = {"packages": "package"}.get(parts[1], parts[1])
            if preset not in kinds["configure"]:
                failures.append(f"{path}: no preset {preset!r}")
            elif preset in ("quick", "default"):
                if preset not in made:
                    failures.append(f"{path}: named before a command makes it")
                elif not glob.glob(os.path.join(build, *parts[2:])):
                    failures.append(f"{path}: not in the build tree")
        elif parts[0] in os.listdir(source) or own_folder:  # else an installed layout
            if not any(glob.glob(os.path.join(d, path)) for d in (source, work)):
                failures.append(f"{path}: does not exist")


def check_command(command):
    words = command.split(" #")[0].split()
    if words[:1] == ["cmake"] and "--preset" in words:
        kind = ("workflow" if "--workflow" in words else
                "build" if "--build" in words else "configure")
        preset = words[words.index("--preset") + 1]
        if preset not in kinds[kind]:
            failures.append(f"{command}: no such {kind} preset")
        made.add(preset)
    elif re.match(r"(\./)?build/(quick|default)/|od |PYTHONPATH=", command) and not (
            command.startswith("PYTHONPATH") and os.environ.get("PDX_README_NO_PYTHON")):
        local = command.replace("/tmp/", work + "/")  # and this test's build tree:
        local = re.sub(r"(?<![\w/])(\./)?build/(quick|default)/", build + "/", local)
        done = subprocess.run(local, shell=True, cwd=work, capture_output=True, text=True)
        shown = "0000000    64    48"  # as the README says od prints
        if done.returncode != 0 or (words[0] == "od" and not done.stdout.startswith(shown)):
            failures.append(f"{command}: status {done.returncode}: {done.stdout}{done.stderr}")


fence = None
for line in readme.splitlines():
    if line.startswith("```"):
        fence = line[3:] if fence is None else None
    elif fence == "sh" and line.startswith("apt-get"):
        missing = set(re.findall(r"need\+=\((\S+)\)", read(".ci/run"))) - set(line.split())
        if missing:
            failures.append(f"the prerequisites line lacks what CI installs: {sorted(missing)}")
    elif fence == "sh" and not line.startswith((" ", "for ", "done", "[", "failed=", "find ")):
        for command in line.split(" && "):  # the loops: many_files_loop runs them
            check_command(command)
            check_paths(command)
    elif fence is None:
        for span in re.findall(r"`([^`]+)`", line):
            # A table's first column names the repository's own folders.
            check_paths(span, line.startswith("| `" + span + "` |"))

zip_list = re.search(r'zip\.list"\)" = "([^"]*)"', read("tests/package/smoke.sh")).group(1)
in_zip = {name[2:].replace("/", "\\") for name in zip_list.split()}
windows = read("docs/README-Windows.txt")
for text in (windows, readme.split("\n## Windows\n")[1].split("\n## ")[0]):
    for name in re.findall(r"[\w-]+\.(?:exe|txt)\b|(?:examples|matlab)\\[\w.*-]+", text):
        if not fnmatch.filter(in_zip, name) and name not in ("convert-log.txt", "notes.txt"):
            failures.append(f"{name}: named for Windows, not in the zip")
holds = windows.split("This folder holds:\n\n")[1].split("\n\n")[0]
listed = {line.split()[0] for line in holds.splitlines()}
if listed != {n for n in in_zip if not n.startswith("matlab\\")} | {"matlab\\"}:
    failures.append(f"README-Windows.txt lists {sorted(listed)}, the zip holds {sorted(in_zip)}")

shutil.rmtree(work)
print("\n".join("readme_test: " + f for f in failures), file=sys.stderr)
sys.exit(1 if failures else 0)
