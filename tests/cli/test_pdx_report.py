"""pdx report: the page's previews are the PNG previews, its numbers
numpy's, damaged files listed first; the page refuses to replace what it
should not; and in headless Chromium (where installed) it renders the
previews and the failures."""

import html.parser
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

PDX = os.environ["PDX_EXE"]
SOURCE = os.environ["PDX_SOURCE_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "examples"))
from make_campaign import MARKER, data_file, surface  # noqa: E402


def pdx(cwd, *args):
    return subprocess.run([PDX, *args], cwd=cwd, capture_output=True, text=True)


class Page(html.parser.HTMLParser):
    """The table's headings, its rows as lists of (text, sort key), and the
    failures."""

    def __init__(self, text):
        super().__init__()
        self.rows, self.failures, self.images, self.headings = [], [], [], []
        self._cell = self._li = self._th = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "tr":
            self.rows.append([])
        elif tag == "td":
            self._cell = ["", a.get("data-v")]
        elif tag == "li":
            self._li = ""
        elif tag == "th":
            self._th = ""
        elif tag == "img":
            self.images.append(a)

    def handle_endtag(self, tag):
        if tag == "td":
            self.rows[-1].append(tuple(self._cell))
            self._cell = None
        elif tag == "li":
            self.failures.append(self._li)
            self._li = None
        elif tag == "th":
            self.headings.append(self._th)
            self._th = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell[0] += data
        if self._li is not None:
            self._li += data
        if self._th is not None:
            self._th += data


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    d = tmp_path_factory.mktemp("report")
    rng = np.random.default_rng(5)
    maps = {}
    for name, (w, h) in [("run10.dat", (90, 60)), ("run2.dat", (300, 200)),
                         ("run3.dat", (40, 50))]:
        maps[name] = surface(rng, w, h)
        (d / "c").mkdir(exist_ok=True)
        (d / "c" / name).write_bytes(data_file(maps[name], x=7, y=3))
    good = (d / "c" / "run2.dat").read_bytes()
    (d / "c" / "cut.dat").write_bytes(good[:-10])
    (d / "c" / "head.dat").write_bytes(good[:200])
    run = pdx(d, "report", "-q", "-o", "out/page.html", "--z-scale", "0.5nm", "c")
    return d, maps, run


def test_page_holds_previews_and_numbers(campaign):
    d, maps, run = campaign
    assert run.returncode == 4, run.stderr
    assert run.stderr.splitlines()[-1] == "pdx: 5 files, 3 reported, 2 failed"
    text = (d / "out" / "page.html").read_text("utf-8")
    assert "<h1>5 files, 2 not readable</h1>" in text and "<h2>Not readable (2)</h2>" in text
    assert '<p class="about">Statistics over the valid samples, in nm (0.5 nm a count);' in text
    page = Page(text)
    assert page.headings[6:] == ["Valid %"] + [h + " (nm)" for h in (
        "Minimum", "Maximum", "Mean", "Std. dev.", "Colours from", "Colours to")]
    assert page.failures == ["c/cut.dat: ERR_CORRUPT_DATA_FILE", "c/head.dat: ERR_PREMATURE_EOF"]
    names = [row[1][0] for row in page.rows[1:]]
    assert names == ["c/run2.dat", "c/run3.dat", "c/run10.dat"]  # natural order
    assert pdx(d, "export", "--to", "png", "--size", "160", "-o", "out", "-q",
               "--z-scale", "0.5nm", "c").returncode == 4
    for row, img in zip(page.rows[1:], page.images):
        name = row[1][0][2:]
        a = maps[name].astype(np.float64)
        v = a[a != MARKER] * 0.5
        keys = [float(key) for _, key in row[2:]]
        assert keys[:4] == [a.shape[1], a.shape[0], 7, 3]
        lo = np.percentile(v, 0.5, method="lower")
        hi = np.percentile(v, 99.5, method="higher")
        assert keys[4:] == pytest.approx([100 * v.size / a.size, v.min(), v.max(), v.mean(),
                                          v.std(), lo, hi], rel=1e-5)
        # The export's preview, pixel for pixel.
        preview = np.asarray(Image.open(d / "out" / img["src"]).convert("RGBA"))
        export = np.asarray(Image.open(d / "out" / name.replace(".dat", ".png")).convert("RGBA"))
        np.testing.assert_array_equal(preview, export)
        assert img["loading"] == "lazy"


def test_page_not_replaced_unless_asked(campaign):
    d, _, _ = campaign
    assert pdx(d, "report", "-o", "again.html", "c/run3.dat").returncode == 0
    before = (d / "again.html").read_bytes()
    run = pdx(d, "report", "-o", "again.html", "c/run2.dat")
    assert (run.returncode, run.stderr) == (3, 'pdx: "again.html": page: already exists\n')
    run = pdx(d, "report", "-f", "-o", "c/run3.dat", "c/run3.dat")
    assert run.returncode == 3 and 'would replace the input "c/run3.dat"' in run.stderr
    assert (d / "again.html").read_bytes() == before
    assert (d / "c" / "run3.dat").read_bytes()[:4] == b"\x88\x1b\x03\x71"
    assert pdx(d, "report", "-f", "-o", "again.html", "c/run2.dat").returncode == 0
    assert (d / "again.html").read_bytes() != before
    # Control characters in a name never reach the page, nor bytes that are
    # not UTF-8 (a byte never in it, overlong, a surrogate, cut short).
    names = {b"a\x01\x1b\x1f\x7f~b": "a????~b", b"<&\xc3\xa9\">": "&lt;&amp;\xe9&quot;&gt;",
             b"\xf5\xc0\x80\xed\xa0\x80\xe0": "\ufffd" * 7,
             b"\xf0\x9f\x99\x82\xf4\x90\x80\x80": "\U0001f642" + "\ufffd" * 4}
    for name in names:
        os.link(d / "c" / "run3.dat", d / os.fsdecode(name + b".dat"))
    assert pdx(d, "report", "-o", "ctl.html",
               *(os.fsdecode(n + b".dat") for n in names)).returncode == 0
    page = (d / "ctl.html").read_text("utf-8")
    for shown in names.values():
        assert shown + ".dat" in page
    # The previews' folder as an address: every byte but the unreserved ones
    # escaped.
    assert pdx(d, "report", "-o", "a b%~.html", "c/run3.dat").returncode == 0
    assert 'src="a%20b%25~_files/00001.png"' in (d / "a b%~.html").read_text("utf-8")
    assert (d / "a b%~_files" / "00001.png").is_file()


def test_page_in_a_browser(campaign, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed (Debian package chromium): the page is not "
                    "tried in a browser")
    d, _, _ = campaign
    page = d / "out" / "page.html"
    shot = tmp_path / "shot.png"
    flags = [browser, "--headless", "--disable-gpu", "--no-sandbox", "--hide-scrollbars",
             "--user-data-dir=%s" % (tmp_path / "profile"), "--virtual-time-budget=5000",
             "--window-size=1200,900"]
    dom = subprocess.run(flags + ["--dump-dom", page.as_uri()], capture_output=True, text=True,
                         timeout=120).stdout
    assert "c/head.dat" in dom and "ERR_PREMATURE_EOF" in dom
    # A click on the Width heading, made by lines added to a copy of the
    # page, sorts the rows by width, run3's key emptied to sort last; the
    # first row's cells are styled by their classes (the preview centred and
    # at most the previews' size, the name monospace, numbers right).
    clicked = d / "out" / "clicked.html"
    clicked.write_text(page.read_text("utf-8").replace("</body>", """<script>
document.querySelectorAll('tbody tr')[1].cells[2].dataset.v = '';
document.querySelector('th[data-type=num]').click();
var styles = Array.prototype.map.call(document.querySelector('tbody tr').cells, function (c) {
  var s = getComputedStyle(c.firstElementChild || c);
  return getComputedStyle(c).textAlign + ' ' + s.maxWidth + ' ' + s.fontFamily; });
document.body.setAttribute('data-styles', styles.slice(0, 3).join('|'));
</script></body>"""), "utf-8")
    dom = subprocess.run(flags + ["--dump-dom", clicked.as_uri()], capture_output=True,
                         text=True, timeout=120).stdout
    assert 'aria-sort="ascending"' in dom
    styles = re.search(r'data-styles="([^"]*)"', dom).group(1).split("|")
    assert [s.split(" ", 1)[0] for s in styles] == ["center", "start", "right"], styles
    assert styles[0].split(" ")[1] == "160px" and styles[1].endswith(" monospace"), styles
    assert dom.index("c/run10.dat") < dom.index("c/run2.dat") < dom.index("c/run3.dat")
    subprocess.run(flags + ["--screenshot=%s" % shot, page.as_uri()], capture_output=True,
                   timeout=120, check=True)
    rgb = np.asarray(Image.open(shot).convert("RGB")).astype(int)
    # The failures' red frame, and previews in viridis (a yellow, a blue).
    assert (np.abs(rgb - [0xB0, 0x00, 0x20]).sum(axis=2) < 30).sum() > 500
    assert (np.abs(rgb - [0xFD, 0xE7, 0x25]).sum(axis=2) < 60).sum() > 200
    assert (np.abs(rgb - [0x44, 0x01, 0x54]).sum(axis=2) < 60).sum() > 200


@pytest.mark.parametrize("a, cells", [
    (np.full((3, 4), MARKER, np.int32),  # nothing valid: no statistics
     [("4", "4"), ("3", "3"), ("1", "1"), ("2", "2"), ("0.0", "0")] + [("", "")] * 6),
    (np.full((1, 1), -7, np.int32),  # a map of one sample
     [("1", "1"), ("1", "1"), ("1", "1"), ("2", "2"), ("100.0", "100")] + [("-7", "-7")] * 3
     + [("0", "0")] + [("-7", "-7")] * 2),
])
def test_row_of_a_map_with_nothing_valid_or_one_sample(tmp_path, a, cells):
    (tmp_path / "m.dat").write_bytes(data_file(a, x=1, y=2))
    run = pdx(tmp_path, "report", "-q", "m.dat")
    assert run.returncode == 0, run.stderr
    text = (tmp_path / "report.html").read_text("utf-8")
    assert "<h1>1 files, 0 not readable</h1>" in text and 'id="failures"' not in text
    assert Page(text).rows[1][2:] == cells
