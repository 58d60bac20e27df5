#!/usr/bin/env python3
"""Mutation testing of the data library, the commands and the Python package.

Makes one small change at a time to a source file (a flipped comparison, a
constant off by one, a dropped fclose, ...), rebuilds the test programs
incrementally, runs the CTest suite and records whether some test failed
(the mutant is killed) or all passed (it survived). Every file is put back
after each mutant, after an interruption and after an error; a run refuses
to start while a file it would change has uncommitted edits. The tests that
killed a file's earlier mutants run first and the rest of the suite only
when they pass, so a killed mutant rarely waits for the whole suite.

C++ files (.cpp, and headers such as pdx/output/temporary_registry.h, judged
by the lines the build compiles of them) and the Python package's own files
(.py: comparisons, `and`/`or`, integer constants, `if`/`while` conditions
and string literals; docstrings and annotations are left alone) are
mutated. A Python mutant is not compiled, but the build still runs: it
stages the package's files into the build tree, where the tests import
them.

    tools/mutate.py                      every mutant of every default file
    tools/mutate.py pdx/util/path.cpp    the mutants of some files
    tools/mutate.py apps/pdx/info.cpp:40-90   those of some lines (first-last)
    tools/mutate.py --sample 40 --seed 7 a random 40 of them
    tools/mutate.py --list               list the mutants, build nothing
    tools/mutate.py --preset sanitize    judge them by the sanitizer build
    tools/mutate.py --tests 'Export|export' pdx/export/png.cpp
                                         a first pass with some tests only:
                                         its survivors go to --rerun with
                                         the whole suite

Mutants known to behave exactly like the original are listed, each with its
reason, in tools/mutate-equivalent.txt; they are counted apart and not run.
A survivor is printed in that file's format, ready to be pasted there once
it has been shown to be equivalent.

Python 3 standard library only.
"""

import argparse
import ast
import difflib
import io
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time
import tokenize
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The files a run without file arguments mutates.
DEFAULT_SOURCES = ("pdx/util/*.cpp", "pdx/output/*.cpp", "pdx/matrix/*.cpp", "pdx/datafile/*.cpp",
                   "pdx/measure/*.cpp", "pdx/export/*.cpp", "apps/*/*.cpp", "clients/python/core/*.cpp",
                   "clients/python/pdx/*.py")
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


SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&"}


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
    code, strings = mask_source(text)
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
    for m in re.finditer(r"(?<= )(<=|>=|==|!=|&&|\|\||<|>)(?= )", code):
        tok = m.group(1)
        op = {"==": "equality", "!=": "equality", "&&": "logical", "||": "logical"}.get(tok, "relational")
        if op == "relational" and re.search(r"\b(template|operator)\s*$", code[: m.start()]):
            continue
        add(m.start(), m.end(), SWAPS[tok], op)

    for m in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])", code):
        for v in literal_variants(m.group()):
            add(m.start(), m.end(), v, "constant")

    for m in re.finditer(r"\b(if|while)\s*\(", code):
        open_at = m.end() - 1
        close = closing_paren(code, open_at)
        cond = text[open_at + 1 : close]
        add(open_at + 1, close, "!(" + cond + ")", "negate")

    calls = "|".join(DROPPED_CALLS)
    for m in re.finditer(r"(?:\b[A-Za-z_]\w*::)*\b(%s)\s*\(" % calls, code):
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

    return number_mutants(text, found)


def number_mutants(text, found):
    """`found` without duplicates, in source order, each with its line, the
    changed lines before and after, and its occurrence among the mutants of
    the same lines and operator."""
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


def python_string_variant(literal):
    """A Python string literal with one byte changed: the first letter or
    digit of its body that is not part of an escape (unless raw), a %
    directive or a {} replacement field. None when it has none."""
    m = re.match(r"([rRbBuUfF]*)('''|\"\"\"|'|\")", literal)
    prefix, quote = m.groups()
    raw = "r" in prefix.lower()
    k, end = m.end(), len(literal) - len(quote)
    while k < end:
        c = literal[k]
        if c == "\\" and not raw:
            e = re.match(r"\\(?:x[0-9a-fA-F]{2}|u[0-9a-fA-F]{4}|U[0-9a-fA-F]{8}|N\{[^}]*\}|[0-7]{1,3}|.)",
                         literal[k:end], re.S)
            k += e.end()
        elif c == "%":
            d = re.match(r"%(?:\(\w+\))?[-+ #0]*\d*(?:\.\d+)?[a-zA-Z%]", literal[k:end])
            k += d.end() if d else 1
        elif literal.startswith("{{", k):
            k += 2
        elif c == "{":
            depth = 0
            while k < end:
                depth += {"{": 1, "}": -1}.get(literal[k], 0)
                k += 1
                if depth == 0:
                    break
        elif c.isascii() and c.isalnum():
            new = c.swapcase() if c.isalpha() else str((int(c) + 1) % 10)
            return literal[:k] + new + literal[k + 1 :]
        else:
            k += 1
    return None


def python_int_variants(token):
    """A Python integer literal one more and one less, in its base."""
    digits = token.replace("_", "")
    m = re.fullmatch(r"0([xXoObB])([0-9a-fA-F]+)|([1-9]\d*|0+)", digits)
    if not m:
        return []  # a float or an imaginary number
    base = {"x": 16, "o": 8, "b": 2}[m.group(1).lower()] if m.group(1) else 10
    value = int(digits) if base == 10 else int(digits[2:], base)
    out = []
    for v in (value + 1, value - 1):
        if v < 0:
            out.append("-1")  # a zero becomes -1
        elif base == 10:
            out.append("%d" % v)
        else:
            out.append(digits[:2] + format(v, {16: "X", 8: "o", 2: "b"}[base]))
    return out


def python_skipped_spans(tree, offset):
    """Character spans of `tree` (a parsed module) that no mutant touches:
    docstrings, annotations (never evaluated under `from __future__ import
    annotations`) and the bodies of `if TYPE_CHECKING:`, which never run."""
    spans = []

    def span(node):
        spans.append((offset(node.lineno, node.col_offset), offset(node.end_lineno, node.end_col_offset)))

    for node in ast.walk(tree):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            first = node.body[0] if node.body else None
            if (isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant)
                    and isinstance(first.value.value, str)):
                span(first)
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and node.returns is not None:
            span(node.returns)
        if isinstance(node, ast.arg) and node.annotation is not None:
            span(node.annotation)
        if isinstance(node, ast.AnnAssign):
            span(node.annotation)
        if isinstance(node, ast.If) and ast.unparse(node.test) in ("TYPE_CHECKING", "typing.TYPE_CHECKING"):
            span(node)
    return spans


def generate_python(path, text, operators):
    """The mutants of a Python file, as generate's of a C++ one."""
    tree = ast.parse(text, path)
    lines = text.splitlines(True)
    starts = [0]
    for row in lines:
        starts.append(starts[-1] + len(row))

    def offset(lineno, byte_col):
        # ast counts columns in bytes of UTF-8, tokenize in characters.
        row = lines[lineno - 1] if lineno <= len(lines) else ""
        return starts[lineno - 1] + len(row.encode("utf-8")[:byte_col].decode("utf-8", "replace"))

    skipped = python_skipped_spans(tree, offset)
    found = []

    def add(start, end, replacement, op):
        if op in operators and not any(a <= start < b for a, b in skipped):
            found.append(Mutant(path, start, end, replacement, op))

    for tok in tokenize.generate_tokens(io.StringIO(text).readline):
        a = starts[tok.start[0] - 1] + tok.start[1]
        b = starts[tok.end[0] - 1] + tok.end[1]
        if tok.type == tokenize.OP and tok.string in ("<", "<=", ">", ">=", "==", "!="):
            add(a, b, SWAPS[tok.string], "equality" if tok.string in ("==", "!=") else "relational")
        elif tok.type == tokenize.NAME and tok.string in ("and", "or"):
            add(a, b, {"and": "or", "or": "and"}[tok.string], "logical")
        elif tok.type == tokenize.NUMBER:
            for v in python_int_variants(tok.string):
                add(a, b, v, "constant")
        elif tok.type == tokenize.STRING:
            variant = python_string_variant(tok.string)
            if variant is not None:
                add(a, b, variant, "string")
    for node in ast.walk(tree):
        if isinstance(node, (ast.If, ast.While)):
            a = offset(node.test.lineno, node.test.col_offset)
            b = offset(node.test.end_lineno, node.test.end_col_offset)
            add(a, b, "not (" + text[a:b] + ")", "negate")
    return number_mutants(text, found)


def active_lines(build_dir, path):
    """Lines of `path` that the build compiles: those not removed by the
    preprocessor (another platform's branch, for one). None when there is no
    compile database to tell; no lines when the build does not compile the
    file at all (another platform's file), whose mutants could only
    survive. A header's lines are those compiled in the files that include
    it by name."""
    if path.endswith(".py"):
        return None
    database = build_dir / "compile_commands.json"
    source = str(ROOT / path)
    lines = set() if database.exists() else None
    header = path.endswith((".h", ".hpp"))
    include = re.compile(r'^\s*#\s*include\s*["<](?:.*/)?%s[">]' % re.escape(Path(path).name), re.M)
    for entry in json.loads(database.read_text()) if database.exists() else []:
        compiled = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        if header:
            try:
                if not include.search(Path(compiled).read_text(encoding="utf-8", errors="replace")):
                    continue
            except OSError:
                continue
        elif compiled != os.path.realpath(source):
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
    """The build outputs the tests use, which ninja builds just these of:
    (targets, directories). The outputs are the programs the tests run,
    those they name in their arguments or environment (a script's helper,
    say) and every output under a build-tree directory they name there (the
    Python module and the package files staged beside it, on PYTHONPATH);
    the directories are those."""
    rc, out = run(["ctest", "--test-dir", str(build_dir), "--show-only=json-v1"], 120)
    if rc != 0:
        sys.exit("ctest --show-only failed:\n" + out)
    named, environment = set(), set()
    for test in json.loads(out)["tests"]:
        named.update(w for w in test.get("command", []) if os.path.isabs(w))
        for prop in test.get("properties", []):
            if prop.get("name") == "ENVIRONMENT":
                for v in prop["value"]:
                    environment.update(w for w in v.split("=", 1)[-1].split(os.pathsep) if os.path.isabs(w))
    rc, out = run(["ninja", "-C", str(build_dir), "-t", "targets", "all"], 120)
    if rc != 0:
        sys.exit("ninja -t targets failed:\n" + out)
    outputs = {Path(line.rsplit(": ", 1)[0]) for line in out.splitlines()}
    build = build_dir.resolve()
    targets, dirs = set(), set()
    for path in named | environment:
        try:
            rel = Path(path).resolve().relative_to(build)
        except ValueError:
            continue
        if rel in outputs:
            targets.add(rel)
        elif path in environment and rel != Path(".") and (build / rel).is_dir():
            dirs.add(rel)
            targets.update(o for o in outputs if o.is_relative_to(rel) and o != rel)
    return sorted(str(t) for t in targets), sorted(dirs)


# How many of a file's killing tests run before the rest of the suite.
KILLERS = 6


class Runner:
    def __init__(self, preset, test_timeout, tests=None):
        self.preset = preset
        self.only = tests  # a ctest -R expression, or None for every test
        self.build_dir = ROOT / "build" / preset
        self.test_timeout = test_timeout
        self.targets = []
        self.dirs = []
        self.tests = 0
        # The tests that killed earlier mutants of each file, latest first:
        # they run first, and most mutants fail one of them, so that the
        # whole suite runs only for the few that get past them. Kept in the
        # build directory from run to run.
        self.killers_file = self.build_dir / "mutate-killers.json"
        self.killers = {}

    def configure(self):
        if not (self.build_dir / "build.ninja").exists():
            rc, out = run(["cmake", "--preset", self.preset], 1800)
            if rc != 0:
                sys.exit("configure failed:\n" + out)
        self.targets, self.dirs = test_targets(self.build_dir)
        rc, out = run(["ctest", "--test-dir", str(self.build_dir), "--show-only=json-v1"], 120)
        self.tests = len(json.loads(out)["tests"]) if rc == 0 else 0
        # The numbers of the tests a run may use: with --tests, those its
        # expression selects, so that the killers of an earlier run with
        # other tests are not asked for (ctest would find no test to run,
        # which is no kill).
        self.selected = list(range(1, self.tests + 1))
        if self.only:
            rc, out = run(["ctest", "--test-dir", str(self.build_dir), "-N", "-R", self.only], 120)
            self.selected = [int(n) for n in re.findall(r"Test\s+#(\d+):", out)] if rc == 0 else []
            if not self.selected:
                sys.exit("no test matches --tests " + self.only)
        try:
            self.killers = json.loads(self.killers_file.read_text())
        except (OSError, ValueError):
            self.killers = {}

    def build(self):
        return run(["ninja", "-C", str(self.build_dir)] + self.targets, 1800)

    def test(self, timeout, path=None):
        # The staged Python files are rewritten for each mutant, perhaps
        # within the second and at the same size that a compiled copy
        # records: no compiled copy of the last one may stand in for them.
        for d in self.dirs:
            for cache in (self.build_dir / d).rglob("__pycache__"):
                shutil.rmtree(cache, ignore_errors=True)
        cmd = ["ctest", "--preset", self.preset, "--stop-on-failure", "--timeout", str(timeout)]
        # A Python test program stops at its first failure too.
        env = dict(os.environ, PYTEST_ADDOPTS="-x")
        first = [n for n in self.killers.get(path, []) if n in self.selected] if path else []
        if not first:
            rc, out = run(cmd + (["-R", self.only] if self.only else []), timeout * 4 + 60, env)
        else:
            # Test numbers, as ctest's -I takes them: start, end and stride
            # left at 0, then the list. Without -R, within which ctest would
            # count them.
            rc, out = run(cmd + ["-I", "0,0,0," + ",".join(map(str, first))], timeout * 4 + 60, env)
            rest = [n for n in self.selected if n not in first]
            if rc == 0 and rest:
                rc, out = run(cmd + ["-I", "0,0,0," + ",".join(map(str, rest))], timeout * 4 + 60, env)
        if rc is not None and "No tests were found" in out:
            # A selection that ran nothing would count as a kill.
            sys.exit("ctest found no test to run:\n" + out)
        if path and rc != 0:
            failed = re.search(r"Test\s+#(\d+): .*\*\*\*", out)
            if failed:
                n = int(failed.group(1))
                self.killers[path] = ([n] + [k for k in self.killers.get(path, []) if k != n])[:KILLERS]
                try:
                    self.killers_file.write_text(json.dumps(self.killers))
                except OSError:
                    pass
        return rc, out


def judge(runner, mu, text, timeout):
    if mu.path.endswith(".py"):
        # The interpreter is the Python files' compiler.
        try:
            compile(mu.apply(text), mu.path, "exec")
        except SyntaxError:
            return "compiler"
    rc, out = runner.build()
    if rc != 0:
        return "compiler" if rc is not None else "build-timeout"
    rc, out = runner.test(timeout, mu.path)
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
    width = max([30] + [len(mu.path) for mu in mutants])
    print("%-*s %7s" % (width, "file", "mutants") + "".join(" %8s" % o[:8] for o in OUTCOMES)
          + " %7s %7s" % ("score", "tests"), file=out)

    def row(name, group):
        counts = [sum(mu.outcome == o for mu in group) for o in OUTCOMES]
        killed, timeout, compiler, sanitize, equivalent, _ = counts
        live = len(group) - equivalent
        score = "%6.1f%%" % (100.0 * (killed + timeout + compiler + sanitize) / live) if live else "      -"
        built = live - compiler
        tests = "%6.1f%%" % (100.0 * (killed + timeout + sanitize) / built) if built else "      -"
        print("%-*s %7d" % (width, name, len(group)) + "".join(" %8d" % c for c in counts)
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


def default_paths():
    return sorted({p.relative_to(ROOT).as_posix() for pattern in DEFAULT_SOURCES for p in ROOT.glob(pattern)})


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="*", help="source files (default: %s)" % ", ".join(DEFAULT_SOURCES))
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
    p.add_argument("--tests", metavar="REGEX",
                   help="run only the tests whose names match (ctest -R); a survivor is then "
                        "only a candidate, for --rerun with every test")
    p.add_argument("--report", type=Path, help="also write the summary and survivors to this file")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    operators = set(args.operators.split(","))
    if not operators <= set(OPERATORS):
        sys.exit("unknown operator: " + ", ".join(sorted(operators - set(OPERATORS))))
    ranges = {}  # file: the line ranges its arguments name, all lines when none
    if args.files:
        paths = []
        for f in args.files:
            m = re.fullmatch(r"(.+):(\d+)-(\d+)", f)
            p = Path(m.group(1) if m and not Path(f).is_file() else f).resolve()
            if not p.is_file():
                sys.exit("no such file: " + f)
            rel = p.relative_to(ROOT).as_posix()
            if rel not in paths:
                paths.append(rel)
            if m and not Path(f).is_file():
                ranges.setdefault(rel, []).append((int(m.group(2)), int(m.group(3))))
    else:
        paths = default_paths()

    codes = error_codes_used((ROOT / p).read_text(encoding="utf-8") for p in default_paths()
                             if not p.endswith(".py"))
    originals = {p: (ROOT / p).read_bytes() for p in paths}
    texts = {p: originals[p].decode("utf-8") for p in paths}
    runner = Runner(args.preset, 0, args.tests)
    runner.configure()
    mutants = [mu for p in paths for mu in
               (generate_python(p, texts[p], operators) if p.endswith(".py") else
                generate(p, texts[p], operators, codes, args.tables, active_lines(runner.build_dir, p)))]
    mutants = [mu for mu in mutants if mu.path not in ranges
               or any(a <= mu.line <= b for a, b in ranges[mu.path])]
    listed = read_equivalents(EQUIVALENT_FILE)
    keys = {mu.key() for mu in mutants}
    for key in listed:
        if key[0] in paths and key[0] not in ranges and key not in keys:
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
                mu.outcome = judge(runner, mu, texts[mu.path], timeout)
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
