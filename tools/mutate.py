#!/usr/bin/env python3
"""Mutation testing of the data library, the command and the Python package.

Makes one small change at a time to a source file (a flipped comparison, a
constant off by one, a dropped fclose, ...), rebuilds the test programs
incrementally, runs the CTest suite and records whether some test failed
(the mutant is killed) or all passed (it survived). Every file is put back
after each mutant, after an interruption and after an error; a run refuses
to start while a file it would change has uncommitted edits.

    tools/mutate.py                      every mutant of every source file
    tools/mutate.py pdx/util/path.cpp    the mutants of some files
    tools/mutate.py --sample 40 --seed 7 a random 40 of them
    tools/mutate.py --list               list the mutants, build nothing
    tools/mutate.py --preset sanitize    judge them by the sanitizer build
    tools/mutate.py clients/python/pdx/measure.py   a Python file of the package

A Python file's mutants are judged by the Python tests alone (the CTest
tests named python_*), which stop at their first failure.

Mutants known to behave exactly like the original are listed, each with its
reason, in tools/mutate-equivalent.txt; they are counted apart and not run.
A survivor is printed in that file's format, ready to be pasted there once
it has been shown to be equivalent.

Python 3 standard library only.
"""

import argparse
import difflib
import io
import json
import os
import random
import re
import shlex
import signal
import subprocess
import sys
import time
import tokenize
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE_DIRS = ("pdx/util", "pdx/matrix", "pdx/datafile", "pdx/export", "converter")
EQUIVALENT_FILE = ROOT / "tools" / "mutate-equivalent.txt"
# Calls whose loss leaks, loses output or leaves state behind.
DROPPED_CALLS = ("fclose", "u_free", "release", "fflush", "memset", "clearerr")
OPERATORS = ("relational", "equality", "logical", "constant", "negate", "call", "error", "string")


# ---------------------------------------------------------------- lexing


STRING_MARK = "\x01"


def mask_source(text):
    """Returns (code, strings): `text` with comments, character literals and
    preprocessor lines replaced by spaces and string literals by STRING_MARK
    (newlines kept, so offsets agree), and the spans of the string literals
    found in code."""
    out = list(text)
    strings = []
    i, n = 0, len(text)
    line_start = True

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if line_start and c == "#":
            j = i
            while j < n and text[j] != "\n":
                j = j + 2 if text[j] == "\\" and j + 1 < n else j + 1
            blank(i, j)
            i = j
            continue
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t":
            i += 1
            continue
        line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c in "\"'":
            # A quote inside a number is a digit separator, not a literal
            # (a quote after an encoding prefix such as L starts one).
            if c == "'":
                s = i
                while s > 0 and (text[s - 1].isalnum() or text[s - 1] == "_"):
                    s -= 1
                if s < i and text[s].isdigit():
                    i += 1
                    continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j += 1
            blank(i, j)
            if c == '"':
                strings.append((i, j))
                out[i:j] = STRING_MARK * (j - i)
            i = j
        else:
            i += 1
    return "".join(out), strings


def mask_python(text):
    """mask_source for Python: comments and docstrings (strings standing as
    statements) blanked, other string literals replaced by STRING_MARK and
    returned; only those in double quotes on one line are mutated."""
    out = list(text)
    starts = [0]
    for line in text.splitlines(keepends=True):
        starts.append(starts[-1] + len(line))
    strings = []
    previous = tokenize.NEWLINE
    for tok in tokenize.generate_tokens(io.StringIO(text).readline):
        if tok.type in (tokenize.COMMENT, tokenize.STRING):
            a = starts[tok.start[0] - 1] + tok.start[1]
            b = starts[tok.end[0] - 1] + tok.end[1]
            statement = tok.type == tokenize.STRING and previous in (
                tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT, tokenize.NL)
            for k in range(a, b):
                if out[k] != "\n":
                    out[k] = " "
            if tok.type == tokenize.STRING and not statement:
                out[a:b] = STRING_MARK * (b - a)
                if re.fullmatch(r'[rbfRBF]{0,2}"(?!"")[^\n]*"', tok.string):
                    strings.append((a, b))
        if tok.type not in (tokenize.COMMENT, tokenize.NL):
            previous = tok.type
        elif tok.type == tokenize.NL and previous in (tokenize.NEWLINE, tokenize.INDENT,
                                                      tokenize.DEDENT):
            previous = tokenize.NL
    return "".join(out), strings


def closing_paren(code, open_at):
    """Offset of the parenthesis that closes the one at `open_at`."""
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    raise ValueError("unbalanced parentheses")


def blank_static_asserts(code):
    """Compile-time checks are not mutated: a change there only stops the
    build."""
    chars = list(code)
    for m in re.finditer(r"\bstatic_assert\s*\(", code):
        end = closing_paren(code, m.end() - 1)
        for k in range(m.start(), end + 1):
            if chars[k] != "\n":
                chars[k] = " "
    return "".join(chars)


# ---------------------------------------------------------------- mutants


@dataclass
class Mutant:
    path: str  # relative to the source tree
    start: int
    end: int
    replacement: str
    operator: str
    line: int = 0
    before: str = ""  # the changed lines, stripped, as in the source
    after: str = ""  # the same lines in the mutant
    occurrence: int = 1  # among the file's mutants with the same lines and operator
    outcome: str = ""
    seconds: float = 0.0

    def key(self):
        return (self.path, self.operator, self.before, self.after, self.occurrence)

    def apply(self, text):
        return text[: self.start] + self.replacement + text[self.end :]


def changed_lines(text, start, end, replacement):
    a = text.rfind("\n", 0, start) + 1
    b = text.find("\n", end)
    b = len(text) if b < 0 else b
    before = text[a:b]
    after = text[a:start] + replacement + text[end:b]
    squash = lambda s: " / ".join(part.strip() for part in s.split("\n"))
    return squash(before), squash(after)


SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&",
         "and": "or", "or": "and"}


def literal_variants(token):
    m = re.fullmatch(r"(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)", token)
    if not m:
        return []
    digits, suffix = m.groups()
    hexa = digits[:2].lower() == "0x"
    value = int(digits, 16 if hexa else 10)
    out = []
    for v in (value + 1, value - 1):
        if v < 0:
            out.append("-1")  # a zero becomes -1, without an unsigned suffix
        elif hexa:
            out.append("0x%0*X%s" % (len(digits) - 2, v, suffix))
        else:
            out.append("%d%s" % (v, suffix))
    return out


def string_variant(literal):
    """The literal with one byte changed: the first letter or digit that is
    not part of an escape or a printf directive. None when it has none."""
    body_start = literal.index('"') + 1
    k = body_start
    while k < len(literal) - 1:
        c = literal[k]
        if c == "\\":
            k += 2
            continue
        if c == "%":
            m = re.match(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[a-zA-Z%]", literal[k:])
            k += m.end() if m else 1
            continue
        if c.isalnum():
            if c.isalpha():
                new = c.swapcase()
            else:
                new = str((int(c) + 1) % 10)
            return literal[:k] + new + literal[k + 1 :]
        k += 1
    return None


def generate(path, text, operators, error_codes, tables, active):
    python = path.endswith(".py")
    code, strings = mask_python(text) if python else mask_source(text)
    if not python:
        code = blank_static_asserts(code)
    if active is not None:
        # Code the build never compiles cannot be judged by it.
        rows = code.split("\n")
        code = "\n".join(row if k + 1 in active else " " * len(row) for k, row in enumerate(rows))
    if not tables:
        # Rows of offset/length tables: their entries are checked at compile
        # time and by the table tests; mutating each one costs a build apiece.
        code = re.sub(r"\{\s*\d+\s*,\s*\d+\s*\}", lambda m: " " * len(m.group()), code)
    found = []

    def add(start, end, replacement, op):
        if op in operators:
            found.append(Mutant(path, start, end, replacement, op))

    # Binary operators stand between spaces in formatted code; template
    # brackets, shifts and arrows do not.
    for m in re.finditer(r"(?<= )(<=|>=|==|!=|&&|\|\||<|>|and|or)(?= )", code):
        tok = m.group(1)
        if python != (tok in ("and", "or")) and tok in ("and", "or", "&&", "||"):
            continue
        op = {"==": "equality", "!=": "equality", "&&": "logical", "||": "logical", "and": "logical",
              "or": "logical"}.get(tok, "relational")
        if op == "relational" and re.search(r"\b(template|operator)\s*$", code[: m.start()]):
            continue
        add(m.start(), m.end(), SWAPS[tok], op)

    for m in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])", code):
        for v in literal_variants(m.group()):
            add(m.start(), m.end(), v, "constant")

    for m in re.finditer(r"^[ \t]*(?:if|elif|while) (.+):[ \t]*$", code if python else "", re.M):
        add(m.start(1), m.end(1), "not (" + text[m.start(1):m.end(1)] + ")", "negate")

    for m in re.finditer(r"\b(if|while)\s*\(", "" if python else code):
        open_at = m.end() - 1
        close = closing_paren(code, open_at)
        cond = text[open_at + 1 : close]
        add(open_at + 1, close, "!(" + cond + ")", "negate")

    calls = "|".join(DROPPED_CALLS)
    for m in re.finditer(r"(?:\b[A-Za-z_]\w*::)*\b(%s)\s*\(" % calls, "" if python else code):
        before = code[: m.start()].rstrip()
        if not (before == "" or before[-1] in ";{}(,=!?:&|" or before.endswith("return")):
            continue  # a declaration or definition
        close = closing_paren(code, m.end() - 1)
        statement = before[-1:] in ";{}" and code[close + 1 :].lstrip().startswith(";")
        add(m.start(), close + 1, "(void)0" if statement else "0", "call")

    codes = sorted(error_codes)
    for m in re.finditer(r"\bERR_[A-Z0-9_]+\b", code):
        name = m.group()
        if name in codes and len(codes) > 1:
            other = codes[(codes.index(name) + 1) % len(codes)]
            add(m.start(), m.end(), other, "error")

    for a, b in strings:
        if code[a:b] != STRING_MARK * (b - a):
            continue  # blanked: a compile-time check or code not compiled
        variant = string_variant(text[a:b])
        if variant is not None:
            add(a, b, variant, "string")

    unique = {}
    for mu in found:
        unique.setdefault((mu.start, mu.end, mu.replacement), mu)
    result = sorted(unique.values(), key=lambda mu: (mu.start, mu.operator, mu.replacement))
    seen = {}
    for mu in result:
        mu.line = text.count("\n", 0, mu.start) + 1
        mu.before, mu.after = changed_lines(text, mu.start, mu.end, mu.replacement)
        mu.occurrence = seen[mu.key()[:4]] = seen.get(mu.key()[:4], 0) + 1
    return result


def active_lines(build_dir, path):
    """Lines of `path` that the build compiles: those not removed by the
    preprocessor (another platform's branch, for one). None when there is no
    compile database to tell; no lines when the build does not compile the
    file at all (another platform's file), whose mutants could only
    survive."""
    if path.endswith(".py"):
        return None  # run as it is
    database = build_dir / "compile_commands.json"
    source = str(ROOT / path)
    lines = set() if database.exists() else None
    for entry in json.loads(database.read_text()) if database.exists() else []:
        if os.path.realpath(entry["file"]) != os.path.realpath(source):
            continue
        words = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
        cmd, skip = [], False
        for w in words:
            if skip:
                skip = False
            elif w in ("-o", "-MF", "-MT", "-MQ"):
                skip = True
            elif w not in ("-c", "-MD", "-MMD"):
                cmd.append(w)
        proc = subprocess.run(cmd + ["-E"], cwd=entry["directory"], capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit("cannot preprocess %s:\n%s" % (path, proc.stderr))
        current, number = None, 0
        for text in proc.stdout.splitlines():
            marker = re.match(r'# (\d+) "(.*)"', text)
            if marker:
                number = int(marker.group(1))
                current = os.path.realpath(marker.group(2)) == os.path.realpath(source)
                continue
            if current and text.strip():
                lines.add(number)
            number += 1
    return lines


def error_codes_used(texts):
    names = set()
    for text in texts:
        code, _ = mask_source(text)
        names.update(re.findall(r"\bERR_[A-Z0-9_]+\b", blank_static_asserts(code)))
    return names


# ---------------------------------------------------------------- equivalents


def read_equivalents(path):
    """Entries of the equivalent-mutants file: blocks separated by blank
    lines, each `<file> <operator>` (then `#n` for the n-th of several
    mutants with the same lines), `- <line>`, `+ <line>` and a reason:
    `why: ...` for a mutant that behaves exactly like the original, or
    `sanitize: ...` for one that only the sanitizer build can tell apart (it
    counts as killed in other builds and is run in that one). Returns
    {key: (kind, reason)}. Lines starting with '#' are comments."""
    entries = {}
    if not path.exists():
        return entries
    block = []
    for raw in path.read_text(encoding="utf-8").splitlines() + [""]:
        line = raw.rstrip()
        if line.startswith("#"):
            continue
        if line:
            block.append(line)
            continue
        if not block:
            continue
        head = block[0].split()
        before = [l[2:] for l in block if l.startswith("- ")]
        after = [l[2:] for l in block if l.startswith("+ ")]
        reasons = [l.split(":", 1) for l in block[1:] if re.match(r"(why|sanitize):", l)]
        if not 2 <= len(head) <= 3 or len(before) != 1 or len(after) != 1 or len(reasons) != 1:
            sys.exit("%s: malformed entry:\n%s" % (path, "\n".join(block)))
        kind = "equivalent" if reasons[0][0] == "why" else "sanitize"
        occurrence = int(head[2].lstrip("#")) if len(head) == 3 else 1
        key = (head[0], head[1], before[0].strip(), after[0].strip(), occurrence)
        entries[key] = (kind, reasons[0][1].strip())
        block = []
    return entries


def equivalent_entry(mu):
    head = "%s %s" % (mu.path, mu.operator) + (" #%d" % mu.occurrence if mu.occurrence > 1 else "")
    return "%s\n- %s\n+ %s\nwhy: " % (head, mu.before, mu.after)


# ---------------------------------------------------------------- running


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


def run(cmd, timeout, env=None):
    """Runs `cmd` in its own process group; returns (exit status or None on
    timeout, output). The whole group is killed on timeout or interruption."""
    proc = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True, env=env)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise


class Tree:
    """Writes mutants into the source tree and puts the originals back. A
    copy of each original waits in the build directory while its file is
    changed, so even a killed run is repaired by the next one."""

    def __init__(self, build_dir):
        self.journal = build_dir / "mutate-journal"

    def recover(self):
        if not self.journal.is_dir():
            return
        for saved in self.journal.iterdir():
            entry = json.loads(saved.read_text())
            target = ROOT / entry["path"]
            target.write_bytes(bytes.fromhex(entry["data"]))
            saved.unlink()
            print("restored %s from an interrupted run" % target.relative_to(ROOT))

    def write(self, path, original, mutated):
        self.journal.mkdir(parents=True, exist_ok=True)
        saved = self.journal / path.replace("/", "__")
        saved.write_text(json.dumps({"path": path, "data": original.hex()}))
        (ROOT / path).write_bytes(mutated)

    def restore(self, path, original):
        (ROOT / path).write_bytes(original)
        (self.journal / path.replace("/", "__")).unlink(missing_ok=True)


def dirty(paths=()):
    """Tracked files under the source tree that differ from the last commit,
    relative to it."""
    rc, out = run(["git", "diff", "HEAD", "--name-only", "--relative", "--"] + list(paths), 60)
    if rc != 0:
        sys.exit("git diff failed:\n" + out)
    return out.splitlines()


def repair(clean_before, keep_dir):
    """Puts back tracked files that a mutant's tests changed: a mutant that
    opens its input for writing, say, truncates the example data file. Only
    files that had no changes when the run started are touched, and the
    changed file is kept in `keep_dir` first (an edit made during the run is
    not lost)."""
    # Documentation and tooling are left alone: a developer may be editing
    # them while a run goes on; tests reach neither.
    damaged = [f for f in dirty() if f not in clean_before and not f.startswith(("docs/", "tools/"))
               and not f.endswith(".md")]
    for f in damaged:
        kept = keep_dir / f
        kept.parent.mkdir(parents=True, exist_ok=True)
        if (ROOT / f).exists():
            kept.write_bytes((ROOT / f).read_bytes())
    if damaged:
        run(["git", "checkout", "HEAD", "--"] + damaged, 60)
    return damaged


def test_targets(build_dir):
    """The build outputs the tests run: ninja builds just these."""
    rc, out = run(["ctest", "--test-dir", str(build_dir), "--show-only=json-v1"], 120)
    if rc != 0:
        sys.exit("ctest --show-only failed:\n" + out)
    targets = set()
    dirs = set()
    for test in json.loads(out)["tests"]:
        # The program a test runs, and programs it names in its environment
        # (a script's helper, say).
        paths = [test.get("command", [""])[0]]
        for prop in test.get("properties", []):
            if prop.get("name") == "ENVIRONMENT":
                paths += [v.split("=", 1)[1] for v in prop["value"] if "=" in v]
        for path in paths:
            exe = Path(path)
            try:
                if exe == Path(paths[0]) or exe.is_file():
                    targets.add(str(exe.resolve().relative_to(build_dir.resolve())))
                elif exe.is_dir():
                    # A directory of the build tree (a PYTHONPATH, say): what
                    # the build puts there, such as a compiled Python module.
                    dirs.add(exe.resolve().relative_to(build_dir.resolve()))
            except ValueError:
                pass
    if dirs:
        rc, out = run(["ninja", "-C", str(build_dir), "-t", "targets", "all"], 120)
        if rc != 0:
            sys.exit("ninja -t targets failed:\n" + out)
        for line in out.splitlines():
            name = line.rsplit(": ", 1)[0]
            if any(Path(name).is_relative_to(d) for d in dirs):
                targets.add(name)
    return sorted(targets)


class Runner:
    def __init__(self, preset, test_timeout, python=False):
        self.preset = preset
        # Python files: the Python tests alone, to their first failure.
        self.select = ["-R", "^python_"] if python else []
        self.env = dict(os.environ, PYTEST_ADDOPTS="-x") if python else None
        self.build_dir = ROOT / "build" / preset
        self.test_timeout = test_timeout
        self.targets = []

    def configure(self):
        if not (self.build_dir / "build.ninja").exists():
            rc, out = run(["cmake", "--preset", self.preset], 1800)
            if rc != 0:
                sys.exit("configure failed:\n" + out)
        self.targets = test_targets(self.build_dir)

    def build(self):
        return run(["ninja", "-C", str(self.build_dir)] + self.targets, 1800)

    def test(self, timeout):
        cmd = ["ctest", "--preset", self.preset, "--stop-on-failure", "--timeout", str(timeout)]
        return run(cmd + self.select, timeout * 4 + 60, self.env)


def judge(runner, mu, timeout):
    rc, out = runner.build()
    if rc != 0:
        return "compiler" if rc is not None else "build-timeout"
    rc, out = runner.test(timeout)
    if rc is None or re.search(r"\*\*\*Timeout", out):
        return "timeout"
    return "killed" if rc != 0 else "survived"


KILLED = ("killed", "timeout", "compiler")


OUTCOMES = ("killed", "timeout", "compiler", "sanitize", "equivalent", "survived")


def report(mutants, elapsed, out):
    """Per file and in total: mutants by outcome and the score, the share of
    non-equivalent mutants killed (by the tests, a timeout, the compiler or,
    for listed ones, the sanitizer build). `tests` leaves out the mutants
    the compiler refused."""
    print("%-30s %7s" % ("file", "mutants") + "".join(" %8s" % o[:8] for o in OUTCOMES)
          + " %7s %7s" % ("score", "tests"), file=out)

    def row(name, group):
        counts = [sum(mu.outcome == o for mu in group) for o in OUTCOMES]
        killed, timeout, compiler, sanitize, equivalent, _ = counts
        live = len(group) - equivalent
        score = "%6.1f%%" % (100.0 * (killed + timeout + compiler + sanitize) / live) if live else "      -"
        built = live - compiler
        tests = "%6.1f%%" % (100.0 * (killed + timeout + sanitize) / built) if built else "      -"
        print("%-30s %7d" % (name, len(group)) + "".join(" %8d" % c for c in counts)
              + " %7s %7s" % (score, tests), file=out)

    for f in sorted({mu.path for mu in mutants}):
        row(f, [mu for mu in mutants if mu.path == f])
    row("total", mutants)
    print("run time %.0f s" % elapsed, file=out)


def survivor_diff(mu, text):
    mutated = mu.apply(text)
    diff = difflib.unified_diff(text.splitlines(True), mutated.splitlines(True),
                                "a/" + mu.path, "b/" + mu.path, n=1)
    return "".join(diff)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="*", help="source files (default: every .cpp file of %s)"
                   % ", ".join(d + "/" for d in SOURCE_DIRS))
    p.add_argument("--sample", type=int, metavar="N", help="run a random N of the mutants")
    p.add_argument("--seed", type=int, default=1, help="seed of --sample (default 1)")
    p.add_argument("--preset", default="default", help="build and test preset (default: default)")
    p.add_argument("--operators", default=",".join(OPERATORS),
                   help="comma-separated subset of: " + ", ".join(OPERATORS))
    p.add_argument("--tables", action="store_true", help="also mutate {offset, length} table rows")
    p.add_argument("--timeout", type=int, help="per-test timeout in seconds (default: from a baseline run)")
    p.add_argument("--rerun", type=Path, metavar="REPORT",
                   help="run only the survivors of an earlier --report, after the tests changed")
    p.add_argument("--list", action="store_true", help="list the mutants and stop")
    p.add_argument("--listed", action="store_true",
                   help="run only the mutants of the equivalent-mutants file, to check them")
    p.add_argument("--report", type=Path, help="also write the summary and survivors to this file")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    operators = set(args.operators.split(","))
    if not operators <= set(OPERATORS):
        sys.exit("unknown operator: " + ", ".join(sorted(operators - set(OPERATORS))))
    if args.files:
        paths = []
        for f in args.files:
            p = Path(f).resolve()
            if not p.is_file():
                sys.exit("no such file: " + f)
            paths.append(p.relative_to(ROOT).as_posix())
    else:
        paths = sorted(p.relative_to(ROOT).as_posix() for d in SOURCE_DIRS for p in (ROOT / d).glob("*.cpp"))

    all_sources = sorted(p for d in SOURCE_DIRS for p in (ROOT / d).glob("*.cpp"))
    codes = error_codes_used(p.read_text(encoding="utf-8") for p in all_sources)
    originals = {p: (ROOT / p).read_bytes() for p in paths}
    texts = {p: originals[p].decode("utf-8") for p in paths}
    runner = Runner(args.preset, 0, python=all(p.endswith(".py") for p in paths))
    runner.configure()
    mutants = [mu for p in paths for mu in generate(p, texts[p], operators, codes, args.tables,
                                                     active_lines(runner.build_dir, p))]
    listed = read_equivalents(EQUIVALENT_FILE)
    keys = {mu.key() for mu in mutants}
    for key in listed:
        if key[0] in paths and key not in keys:
            print("%s: no such mutant any more (the code changed?): %s %s: %s"
                  % (EQUIVALENT_FILE.relative_to(ROOT), key[0], key[1], key[3]), file=sys.stderr)
    if args.listed:
        mutants = [mu for mu in mutants if mu.key() in listed]
        listed = {}
    if args.rerun:
        text = args.rerun.read_text(encoding="utf-8")
        again = {(f, op, before, after, int(n or 1)) for f, op, n, before, after in
                 re.findall(r"^(\S+) (\w+)(?: #(\d+))?\n- (.*)\n\+ (.*)\nwhy: $", text, re.M)}
        mutants = [mu for mu in mutants if mu.key() in again]
    for mu in mutants:
        kind = listed.get(mu.key(), ("",))[0]
        if kind == "equivalent" or (kind == "sanitize" and args.preset != "sanitize"):
            mu.outcome = kind
    skipped = [mu for mu in mutants if mu.outcome]
    todo = [mu for mu in mutants if not mu.outcome]
    if args.sample is not None and args.sample < len(todo):
        todo = sorted(random.Random(args.seed).sample(todo, args.sample), key=lambda mu: (mu.path, mu.start))
        skipped = []

    if args.list:
        for mu in todo:
            print("%s:%d %s\n  - %s\n  + %s" % (mu.path, mu.line, mu.operator, mu.before, mu.after))
        print("%d mutants to run, %d listed as equivalent or for the sanitizer" % (len(todo), len(skipped)))
        return 0

    tree = Tree(runner.build_dir)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    tree.recover()
    changed = dirty(paths)
    if changed:
        sys.exit("refusing to mutate files with uncommitted changes: " + ", ".join(changed))
    already_changed = set(dirty())

    started = time.monotonic()
    rc, out = runner.build()
    if rc != 0:
        sys.exit("the unmutated tree does not build:\n" + out)
    t0 = time.monotonic()
    rc, out = runner.test(args.timeout or 600)
    baseline = time.monotonic() - t0
    if rc != 0:
        sys.exit("the unmutated tree fails its tests:\n" + out)
    timeout = args.timeout or max(60, int(baseline * 10))
    print("%d mutants over %d files; baseline tests %.1f s, per-test timeout %d s"
          % (len(todo), len(paths), baseline, timeout), flush=True)

    current = None
    try:
        for i, mu in enumerate(todo, 1):
            t0 = time.monotonic()
            current = mu.path
            tree.write(mu.path, originals[mu.path], mu.apply(texts[mu.path]).encode("utf-8"))
            try:
                mu.outcome = judge(runner, mu, timeout)
            finally:
                tree.restore(mu.path, originals[mu.path])
                current = None
                for damaged in repair(already_changed, runner.build_dir / "mutate-damaged"):
                    print("  its tests changed %s: restored (the changed file is in %s)"
                          % (damaged, runner.build_dir / "mutate-damaged"), flush=True)
            mu.seconds = time.monotonic() - t0
            print("[%*d/%d] %s:%d %-10s %-8s %5.1fs  %s" % (len(str(len(todo))), i, len(todo), mu.path,
                  mu.line, mu.operator, mu.outcome, mu.seconds, mu.after[:60]), flush=True)
    except Interrupted as e:
        print("interrupted (%s): %s restored" % (e, current or "tree"), file=sys.stderr)
        return 130
    finally:
        if current is not None:
            tree.restore(current, originals[current])

    if any(mu.outcome == "build-timeout" for mu in todo):
        print("warning: some builds timed out; they are counted as survivors", file=sys.stderr)
        for mu in todo:
            if mu.outcome == "build-timeout":
                mu.outcome = "survived"
    # Leave the build matching the sources again.
    runner.build()
    elapsed = time.monotonic() - started

    outputs = [sys.stdout]
    if args.report:
        outputs.append(open(args.report, "w", encoding="utf-8"))
    for out in outputs:
        print("", file=out)
        report(todo + skipped, elapsed, out)
        survivors = [mu for mu in todo if mu.outcome == "survived"]
        if survivors:
            print("\nsurvivors (paste into %s with a reason once shown equivalent):"
                  % EQUIVALENT_FILE.relative_to(ROOT), file=out)
        for mu in survivors:
            print("\n" + survivor_diff(mu, texts[mu.path]) + equivalent_entry(mu), file=out)
    if args.report:
        outputs[1].close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
