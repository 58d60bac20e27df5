#!/usr/bin/python3
"""Runs one case of tests/cases (see README.md there): sets up a fresh
temporary folder, runs the command line in it, and compares the exit
status, the standard error and output byte for byte and the files left.

  run_case.py --program NAME PATH [--program ...] [--emulator WORD ...]
              [--set NAME=VALUE ...] [--faults LIBRARY] [--keep] CASE

Exit status 0 when the case holds, 1 when it does not (with what differs
on the standard output), 2 when the case file is malformed, and 77 when
the case does not apply to this platform (CTest's skip).
"""

import argparse
import difflib
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile

SKIP = 77
TIMEOUT = 300  # seconds a run may take (the first under Wine starts its server: a minute or two)

MAGIC = {834: 0x881B036F, 4096: 0x881B0371}
# Where the header describes the sample blocks.
INTENS_WIDTH, INTENS_HEIGHT, INTENS_BUCKETS, INTENS_NBYTES = 52, 54, 56, 60
PHASE_WIDTH, PHASE_HEIGHT, PHASE_NBYTES = 68, 70, 72

ESCAPES = {ord(k): v for k, v in {"a": 7, "b": 8, "e": 27, "f": 12, "n": 10, "r": 13,
                                  "t": 9, "v": 11, "\\": 92, "'": 39, '"': 34}.items()}


class Malformed(Exception):
    pass


def unescape(text):
    """The bytes of `text` with C escapes (\\n, \\t, \\e, \\xHH, \\NNN...)
    replaced."""
    out = bytearray()
    i = 0
    while i < len(text):
        c = text[i]
        i += 1
        if c != ord("\\"):
            out.append(c)
            continue
        if i == len(text):
            raise Malformed("a backslash ends the text")
        c = text[i]
        i += 1
        if c in ESCAPES:
            out.append(ESCAPES[c])
        elif c == ord("x"):
            m = re.match(rb"[0-9a-fA-F]{1,2}", text[i:])
            if not m:
                raise Malformed("\\x without hexadecimal digits")
            out.append(int(m.group(), 16))
            i += len(m.group())
        elif ord("0") <= c <= ord("7"):
            m = re.match(rb"[0-7]{1,3}", text[i - 1:])
            out.append(int(m.group(), 8) & 0xFF)
            i += len(m.group()) - 1
        else:
            raise Malformed("unknown escape \\" + chr(c))
    return bytes(out)


def words(line):
    """A directive line split into words as a shell would: blanks separate,
    '...' is literal, $'...' takes C escapes, "..." and a backslash take
    the next character as it is."""
    result, word, have, i = [], bytearray(), False, 0
    while i < len(line):
        c = line[i]
        if c in b" \t":
            if have:
                result.append(bytes(word))
            word, have = bytearray(), False
            i += 1
        elif c == ord("'") or line.startswith(b"$'", i):
            start = i + (2 if c == ord("$") else 1)
            end = start
            while end < len(line) and line[end] != ord("'"):
                end += 2 if c == ord("$") and line[end] == ord("\\") else 1
            if end >= len(line):
                raise Malformed("unterminated quote")
            part = line[start:end]
            word += unescape(part) if c == ord("$") else part
            have, i = True, end + 1
        elif c == ord('"'):
            i += 1
            while i < len(line) and line[i] != ord('"'):
                if line[i] == ord("\\") and i + 1 < len(line):
                    i += 1
                word.append(line[i])
                i += 1
            if i >= len(line):
                raise Malformed("unterminated quote")
            have, i = True, i + 1
        elif c == ord("\\") and i + 1 < len(line):
            word.append(line[i + 1])
            have, i = True, i + 2
        else:
            word.append(c)
            have, i = True, i + 1
    if have:
        result.append(bytes(word))
    return result


def number(word):
    try:
        return int(word.decode(), 0)
    except ValueError:
        raise Malformed("not a number: %r" % word) from None


def samples(word):
    return [number(w) for w in word.split(b",")] if word else []


class Recipe:
    """A data file: header length, fields and blocks, in the order given.

      [834|4096] [magic V] [intensity W H N S,S,...] [phase W H S,S,...]
      [set16 OFFSET V] [set32 OFFSET V] [trailer N] [cut N]

    and names of recipes defined earlier, whose words take their place."""

    def __init__(self, tokens, defined):
        expanded = []
        for t in tokens:
            expanded += defined.get(t, [t])
        self.length = 4096
        if expanded and expanded[0] in (b"834", b"4096"):
            self.length = number(expanded.pop(0))
        self.header = bytearray(self.length)
        self.put(0, 4, MAGIC[self.length])
        self.intensity = self.phase = b""
        self.trailer = b""
        self.cut = 0
        self.phase_size, self.phase_samples = (0, 0), []
        args = {b"magic": 1, b"intensity": 4, b"phase": 3, b"set16": 2, b"set32": 2,
                b"trailer": 1, b"cut": 1}
        while expanded:
            key = expanded.pop(0)
            if key not in args or len(expanded) < args[key]:
                raise Malformed("data file recipe: %r" % key)
            a, expanded = expanded[:args[key]], expanded[args[key]:]
            if key == b"magic":
                self.put(0, 4, number(a[0]))
            elif key == b"intensity":
                w, h, n, s = number(a[0]), number(a[1]), number(a[2]), samples(a[3])
                self.put(INTENS_WIDTH, 2, w).put(INTENS_HEIGHT, 2, h).put(INTENS_BUCKETS, 2, n)
                self.intensity = struct.pack(">%dH" % len(s), *s)
                self.put(INTENS_NBYTES, 4, len(self.intensity))
            elif key == b"phase":
                w, h, s = number(a[0]), number(a[1]), samples(a[2])
                self.put(PHASE_WIDTH, 2, w).put(PHASE_HEIGHT, 2, h)
                self.phase = struct.pack(">%di" % len(s), *s)
                self.put(PHASE_NBYTES, 4, len(self.phase))
                self.phase_size, self.phase_samples = (w, h), s
            elif key in (b"set16", b"set32"):
                self.put(number(a[0]), 2 if key == b"set16" else 4, number(a[1]))
            elif key == b"trailer":
                self.trailer = bytes(number(a[0]))
            else:
                self.cut = number(a[0])

    def put(self, offset, size, value):
        self.header[offset:offset + size] = (value & (1 << 8 * size) - 1).to_bytes(size, "big")
        return self

    def bytes(self):
        whole = bytes(self.header) + self.intensity + self.phase + self.trailer
        return whole[:len(whole) - self.cut]

    def matrix(self, big_endian):
        """The data matrix file of the phase block: width, height, samples."""
        order = ">" if big_endian else "<"
        s = self.phase_samples
        return struct.pack("%sHH%di" % (order, len(s)), *self.phase_size, *s)


class Case:
    def __init__(self, path, platform, variables):
        self.path = path
        self.platform = platform
        self.variables = variables
        self.defined = {}
        self.setup = []  # (directive, words), in order
        self.run = None
        self.stdout_to = b"capture"
        self.fault = None
        self.status = 0
        self.expected = {b"stdout": b"", b"stderr": b""}
        self.files = {}  # path -> (state, words)
        self.applies = True

    def applies_here(self, name):
        if name not in (b"posix", b"linux", b"windows"):
            raise Malformed("unknown platform %r" % name)
        return name == self.platform or (name == b"posix" and self.platform == b"linux")

    def read(self, path, setup_only=False):
        with open(path, "rb") as f:
            lines = f.read().split(b"\n")
        i = 0
        while i < len(lines):
            line, i = lines[i].rstrip(b"\r"), i + 1
            if not line.strip() or line.startswith(b"#"):
                continue
            try:
                w = words(line)
                if w[0] in (b"stdout", b"stderr") and not setup_only:
                    if len(w) != 1:
                        raise Malformed("text follows on lines of their own")
                    text = bytearray()
                    while i < len(lines) and lines[i][:1] in (b"|", b"\\"):
                        text += self.text_line(lines[i].rstrip(b"\r"))
                        i += 1
                    self.expected[w[0]] = bytes(text)
                else:
                    self.directive(w, setup_only)
            except (Malformed, IndexError, KeyError) as e:
                raise Malformed("%s:%d: %s" % (path, i, e)) from None

    @staticmethod
    def text_line(line):
        if line[:1] == b"|":
            if line not in (b"|",) and not line.startswith(b"| "):
                raise Malformed("a text line begins with '| '")
            return line[2:] + b"\n"
        if line != b"\\" and not line.startswith(b"\\ "):
            raise Malformed("an escaped text line begins with '\\ '")
        text = line[2:]
        if text.endswith(b"\\c") and not text.endswith(b"\\\\c"):
            return unescape(text[:-2])
        return unescape(text) + b"\n"

    def directive(self, w, setup_only):
        d = w[0]
        if d == b"on":
            if self.applies_here(w[1]):
                self.directive(w[2:], setup_only)
        elif d == b"only":
            self.applies = self.applies and any(self.applies_here(p) for p in w[1:])
        elif d == b"define":
            self.defined[w[1]] = w[2:]
        elif d in (b"data", b"text", b"mkdir", b"fifo", b"link", b"hardlink", b"chain"):
            counts = {b"data": (2, 99), b"text": (3, 3), b"mkdir": (2, 2), b"fifo": (2, 2),
                      b"link": (3, 3), b"hardlink": (3, 3), b"chain": (4, 4)}
            lo, hi = counts[d]
            if not lo <= len(w) <= hi:
                raise Malformed("%r takes %d words" % (d, lo - 1))
            if d == b"data":
                w = [d, w[1], Recipe(w[2:], self.defined)]
            self.setup.append(w)
        elif setup_only:
            raise Malformed("%r is not a setup directive" % d)
        elif d == b"run":
            self.run = w[1:]
        elif d == b"stdout-to":
            if w[1] not in (b"full", b"closed", b"gone"):
                raise Malformed("stdout-to full, closed or gone")
            self.stdout_to = w[1]
        elif d == b"fault":
            if w[1] not in (b"close-stdout", b"list-stops", b"name-taken", b"write-fails",
                            b"unlink-fails"):
                raise Malformed("fault close-stdout, list-stops N, name-taken NAME, write-fails"
                                " or unlink-fails")
            one = b" ".join(w[1:])
            self.fault = one if self.fault is None else self.fault + b";" + one
        elif d == b"status":
            self.status = number(w[1])
        elif d == b"file":
            state = w[2]
            n = {b"absent": 0, b"unchanged": 0, b"exists": 0, b"size": 1, b"text": 1,
                 b"matrix": None, b"matrix-big": None, b"data": None}[state]
            if n is not None and len(w) != 3 + n:
                raise Malformed("file %r takes %d words" % (state, n))
            if state in (b"matrix", b"matrix-big", b"data"):
                w = w[:3] + [Recipe(w[3:], self.defined)]
            self.files[w[1]] = (state, w[3:])
        else:
            raise Malformed("unknown directive %r" % d)

    def expand(self, text, root):
        """The placeholders {tmp} (the folder) and {NAME} of --set."""
        values = dict(self.variables, tmp=root)
        return re.sub(rb"\{([a-z_]+)\}",
                      lambda m: values.get(m.group(1).decode(), m.group(0)), text)


def make(root, w):
    d, path = w[0], os.path.join(root, w[1])
    if d == b"data":
        with open(path, "wb") as f:
            f.write(w[2].bytes())
    elif d == b"text":
        with open(path, "wb") as f:
            f.write(w[2])
    elif d == b"mkdir":
        os.makedirs(path)
    elif d == b"fifo":
        os.mkfifo(path, 0o600)
    elif d == b"link":
        os.symlink(w[2], path)
    elif d == b"hardlink":
        os.link(os.path.join(root, w[2]), path)
    else:
        # chain NAME N TARGET: N symbolic links, NAME -> 1 -> 2 ... -> TARGET,
        # the numbered ones beside NAME.
        folder = os.path.dirname(path)
        links = number(w[2])
        for i in range(links):
            at = path if i == 0 else os.path.join(folder, str(i).encode())
            os.symlink(str(i + 1).encode() if i + 1 < links else w[3], at)


def snapshot(root):
    """Every name under root, not following links: what it is and holds."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                found[rel] = ("link", os.readlink(path))
            elif stat.S_ISDIR(st.st_mode):
                found[rel] = ("directory", None)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    found[rel] = ("file", f.read())
            else:
                found[rel] = ("special", stat.S_IFMT(st.st_mode))
    return found


def text_matches(expected, actual):
    """Exact bytes, but {*} in a line stands for any text within it."""
    if b"{*}" not in expected:
        return expected == actual
    pattern = b"[^\n]*".join(re.escape(p) for p in expected.split(b"{*}"))
    return re.fullmatch(pattern, actual, re.DOTALL) is not None


def describe(entry, data):
    if entry is None:
        return "nothing"
    if data is not None:
        return "%d bytes %r" % (len(data), data[:48] + (b"..." if len(data) > 48 else b""))
    return "a link to " + show(entry[1]) if entry[0] == "link" else "a " + entry[0]


def show(data):
    return data.decode("utf-8", "backslashreplace")


def run_case(case, programs, emulator, keep, faults):
    failures = []
    root = tempfile.mkdtemp(prefix="pdx-case-").encode()
    try:
        for w in case.setup:
            make(root, w)
        before = snapshot(root)

        if not case.run or case.run[0].decode() not in programs:
            raise Malformed("%s: run names no program given (%s)" % (case.path, ", ".join(programs)))
        program = programs[case.run[0].decode()]
        args = [case.expand(a, root) for a in case.run[1:]]
        command = [os.fsencode(w) for w in emulator] + [os.fsencode(program)] + args
        stdout, close, pre = subprocess.PIPE, None, None
        if case.stdout_to == b"full":
            stdout = close = os.open("/dev/full", os.O_WRONLY)
        elif case.stdout_to == b"gone":
            reader, stdout = os.pipe()
            os.close(reader)
            close = stdout
        elif case.stdout_to == b"closed":
            stdout, pre = None, lambda: os.close(1)
        env = None
        if case.fault is not None:
            env = dict(os.environb)
            env[b"LD_PRELOAD"] = os.fsencode(os.path.abspath(faults))
            env[b"PDX_TEST_FAULT"] = case.fault
            # In front of the sanitizers' runtime, which would refuse to start.
            env[b"ASAN_OPTIONS"] = b":".join(
                o for o in (env.get(b"ASAN_OPTIONS"), b"verify_asan_link_order=0") if o)
        try:
            child = subprocess.Popen(command, cwd=root, stdin=subprocess.DEVNULL, stdout=stdout,
                                     stderr=subprocess.PIPE, preexec_fn=pre, env=env)
        except OSError as e:
            return ["cannot start %s: %s" % (program, e)]
        finally:
            if close is not None:
                os.close(close)
        try:
            out, err = child.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            child.kill()
            child.communicate()
            return ["the run took more than %d s" % TIMEOUT]
        status = child.returncode if child.returncode >= 0 else 128 - child.returncode
        out = out or b""

        if status != case.status:
            failures.append("exit status %d, expected %d" % (status, case.status))
        for name, actual in ((b"stderr", err), (b"stdout", out)):
            expected = case.expand(case.expected[name], root)
            if not text_matches(expected, actual):
                diff = difflib.unified_diff(show(expected).splitlines(True),
                                            show(actual).splitlines(True),
                                            "expected " + name.decode(), "actual " + name.decode())
                failures.append("".join(diff).rstrip("\n") + "\n(as bytes: %r)" % actual)

        after = snapshot(root)
        for name, (state, w) in sorted(case.files.items()):
            path = os.path.join(root, name)
            data = None
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    data = f.read()
            if state == b"absent":
                ok = not os.path.lexists(path)
            elif state == b"unchanged":
                ok = name in before and after.get(name) == before[name]
            elif state == b"exists":
                ok = data is not None
            elif state == b"size":
                ok = data is not None and len(data) == number(w[0])
            elif state == b"text":
                ok = data == w[0]
            else:
                ok = data == (w[0].bytes() if state == b"data" else w[0].matrix(state == b"matrix-big"))
            if not ok:
                failures.append("%s: expected %s, found %s" % (show(name), state.decode(),
                                                               describe(after.get(name), data)))
        # Every other name is as it was set up, and nothing else appeared
        # (but the new folders that hold the files named).
        holders = set()
        for n in case.files:
            while n := os.path.dirname(n):
                holders.add(n)
        for name in sorted(set(before) | set(after)):
            if name in case.files or (name in holders and after.get(name, ("",))[0] == "directory"):
                continue
            if name not in after:
                failures.append("%s was removed" % show(name))
            elif name not in before:
                failures.append("%s was left behind" % show(name))
            elif after[name] != before[name]:
                failures.append("%s changed: it is %s" % (show(name), describe(after[name], after[name][1] if after[name][0] == "file" else None)))
    finally:
        if keep:
            print("the folder is kept:", show(root))
        else:
            shutil.rmtree(root, ignore_errors=True)
    return failures


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", nargs=2, action="append", default=[], metavar=("NAME", "PATH"))
    parser.add_argument("--emulator", action="append", default=[], metavar="WORD",
                        help="a word of the command that runs the programs (Wine)")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE")
    parser.add_argument("--faults", metavar="LIBRARY",
                        help="the library of the system's failures that cases may ask for")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("case")
    a = parser.parse_args(argv)
    programs = {name: os.path.abspath(path) for name, path in a.program}
    windows = bool(a.emulator) or any(p.endswith(".exe") for p in programs.values())
    platform = b"windows" if windows else b"linux" if sys.platform == "linux" else b"posix"
    variables = {}
    for s in a.set:
        name, _, value = s.partition("=")
        variables[name] = os.fsencode(value)
    case = Case(a.case, platform, variables)
    try:
        setup = os.path.join(os.path.dirname(os.path.abspath(a.case)), "setup")
        if os.path.exists(setup):
            case.read(setup, setup_only=True)
        case.read(a.case)
        if not case.applies:
            print("does not apply to", platform.decode())
            return SKIP
        if case.fault is not None and not a.faults:
            print("the library of failures is not built here")
            return SKIP
        failures = run_case(case, programs, a.emulator, a.keep, a.faults)
    except Malformed as e:
        print("malformed case:", e)
        return 2
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
