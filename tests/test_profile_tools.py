"""Profiles from hand-made native data: figures, tables, symbol files and the
three viewer formats; the flame graph is checked by rendering it."""

import io
import json
import xml.etree.ElementTree as ET

import pytest
import resvg_py
from PIL import Image

from qorvel_pvm.profile import Profile, block_location, frame_colour, function_name, load_symbols

MAIN, FIB, LOG = 0, 100, 200

# main (10 gas of its own) calls fib, which recurses twice (30, 25, 15 gas
# at the three depths), and log (20); fib at depth 2 also calls log (5).
BLOCKS = [(0, 1, 10), (100, 6, 48), (110, 3, 22), (200, 2, 25)]
NODES = [
    (MAIN, -1, 10, 1),  # 0
    (FIB, 0, 30, 1),    # 1 main;fib
    (FIB, 1, 25, 2),    # 2 main;fib;fib
    (FIB, 2, 15, 3),    # 3 main;fib;fib;fib
    (LOG, 0, 20, 1),    # 4 main;log
    (LOG, 2, 5, 1),     # 5 main;fib;fib;log
]
TOTAL = 105


def profile(blocks=BLOCKS, nodes=NODES, start=MAIN):
    return Profile.from_native((blocks, nodes), start)


def test_totals_tree_and_tables():
    p = profile()
    assert p.total == TOTAL == sum(b.gas for b in p.blocks) == sum(n.gas for n in p.nodes)
    # Parents come before children, children in order of entry pc.
    assert [(n.function, n.depth) for n in p.nodes] == [(0, 0), (100, 1), (100, 2), (100, 3), (200, 3), (200, 1)]
    assert [p.inclusive(n.index) for n in p.nodes] == [105, 75, 45, 15, 5, 20]
    assert p.stack(4) == (MAIN, FIB, FIB, LOG)
    assert [b.pc for b in p.top_blocks(2)] == [100, 200]
    assert [b.pc for b in p.top_blocks()] == [100, 200, 110, 0]


def test_recursion_counts_once_toward_inclusive_gas():
    stats = profile().functions()
    # fib: its three contexts and the log call below it, each counted once
    # (counting per frame would give 75 + 45 + 15 + 2 * 5).
    assert stats[FIB].inclusive == 30 + 25 + 15 + 5
    assert (stats[FIB].exclusive, stats[FIB].calls) == (70, 6)
    assert (stats[LOG].inclusive, stats[LOG].exclusive, stats[LOG].calls) == (25, 25, 2)
    assert (stats[MAIN].inclusive, stats[MAIN].exclusive) == (TOTAL, 10)
    assert [f.pc for f in profile().top_functions()] == [MAIN, FIB, LOG]
    assert [f.pc for f in profile().top_functions(2, by="exclusive")] == [FIB, LOG]


@pytest.mark.parametrize("nodes", [
    [(0, -1, 3, 1), (5, 0, 2, 1), (5, 0, 10, 1), (5, 1, 0, 1)],
    [(0, -1, 3, 1), (5, 3, 0, 1), (5, 0, 10, 1), (5, 0, 2, 1)],  # a child listed before its parent
])
def test_siblings_and_blocks_listed_twice_are_added_up(nodes):
    p = profile(blocks=[(0, 1, 4), (8, 1, 3), (0, 2, 8)], nodes=nodes, start=0)
    assert [(b.pc, b.entries, b.gas) for b in p.blocks] == [(0, 3, 12), (8, 1, 3)]
    assert [(n.function, n.parent, n.gas, n.calls) for n in p.nodes] == [(0, -1, 3, 1), (5, 0, 12, 2), (5, 1, 0, 1)]
    assert p.folded() == "pc_0 3\npc_0;pc_5 12\n"


@pytest.mark.parametrize("raw, start, message", [
    (([], []), 0, "at least its root"),
    (([(0, 1, 1)], [(0, 0, 1, 1)]), 0, "parent must be -1"),
    (([(0, 1, 1)], [(4, -1, 1, 1)]), 0, "pc 0, not 4"),
    (([(0, 1, 1)], [(0, -1, 1, 1), (4, 7, 0, 1)]), 0, "parent index 7"),
    (([(0, 1, 1)], [(0, -1, 1, 1), (4, -1, 0, 1)]), 0, "parent index -1"),
    (([(0, 1, 1)], [(0, -1, 1, 1), (4, 2, 0, 1), (6, 1, 0, 1)]), 0, "form a cycle"),
    (([(0, 1, -1)], [(0, -1, -1, 1)]), 0, "out of range"),
    (([(0, 1, 5)], [(0, -1, 4, 1)]), 0, "contexts account for 4 gas, the blocks for 5"),
    (([(0, True, 1)], [(0, -1, 1, 1)]), 0, "block 0: expected a tuple of 3 ints"),
])
def test_data_that_cannot_be_a_profile_is_refused(raw, start, message):
    with pytest.raises(ValueError, match=message):
        Profile.from_native(raw, start)


def test_a_run_of_no_gas_has_an_empty_root():
    p = profile(blocks=[], nodes=[(7, -1, 0, 1)], start=7)
    assert p.total == 0 and p.folded() == "" and p.top_functions()[0].inclusive == 0
    assert p.speedscope()["profiles"][0]["samples"] == []
    assert_well_formed(p.svg())


def test_deep_recursion_needs_no_python_recursion():
    depth = 5000
    nodes = [(0, -1, 1, 1)] + [(64, i, 1, 1) for i in range(depth)]
    p = profile(blocks=[(0, 1, 1), (64, depth, depth)], nodes=nodes)
    assert p.functions()[64].inclusive == depth
    assert p.folded().count("\n") == depth + 1
    assert len(p.speedscope()["profiles"][0]["samples"][-1]) == depth + 1
    assert p.svg(min_width=0).count("<rect") == depth + 2  # the frames and the background


# ---------------------------------------------------------------------------
# Symbols and names


def test_load_symbols(tmp_path):
    path = tmp_path / "syms"
    path.write_text("# functions\n\n0 main\n0x64  fib  # recursive\n200 operator new(unsigned long)\n100 alias\n")
    symbols = load_symbols(path)
    assert symbols == {0: "main", 100: "fib", 200: "operator new(unsigned long)"}
    assert [function_name(pc, symbols) for pc in (0, 100, 300)] == ["main", "fib", "pc_300"]
    assert [block_location(pc, symbols) for pc in (0, 99, 110, 250)] == ["main", "main+99", "fib+10", "operator new(unsigned long)+50"]
    assert block_location(5, {10: "f"}) == "pc_5"


@pytest.mark.parametrize("text, line, message", [
    ("0 main\nmain\n", 2, "expected 'PC NAME'"),
    ("0 main\n\n12x f\n", 3, "not a pc"),
    ("-1 f\n", 1, "not a pc"),
    ("0x100000000 f\n", 1, "not a pc"),
    (b"0 main\n4 \xff\n", 2, "not UTF-8"),
])
def test_bad_symbol_lines_name_the_line(tmp_path, text, line, message):
    path = tmp_path / "syms"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(ValueError, match=rf"syms: line {line}: {message}"):
        load_symbols(path)


# ---------------------------------------------------------------------------
# Folded stacks and speedscope


def test_folded_stacks():
    symbols = {MAIN: "main", FIB: "fib;rec"}
    assert profile().folded(symbols) == (
        "main 10\n"
        "main;fib:rec 30\n"
        "main;fib:rec;fib:rec 25\n"
        "main;fib:rec;fib:rec;fib:rec 15\n"
        "main;fib:rec;fib:rec;pc_200 5\n"
        "main;pc_200 20\n"
    )
    # Two pcs of one name make one line.
    assert "main;x 50\n" in profile().folded({MAIN: "main", FIB: "x", LOG: "x"})


def test_speedscope_file():
    doc = json.loads(json.dumps(profile().speedscope({FIB: "fib"}, name="demo")))
    assert doc["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    assert [f["name"] for f in doc["shared"]["frames"]] == ["pc_0", "fib", "pc_200"]
    (prof,) = doc["profiles"]
    assert (prof["type"], prof["name"], prof["unit"], prof["startValue"], prof["endValue"]) == (
        "sampled", "demo", "none", 0, TOTAL
    )
    stacks = {tuple(doc["shared"]["frames"][i]["name"] for i in s): w for s, w in zip(prof["samples"], prof["weights"])}
    assert stacks == {
        ("pc_0",): 10, ("pc_0", "fib"): 30, ("pc_0", "fib", "fib"): 25, ("pc_0", "fib", "fib", "fib"): 15,
        ("pc_0", "fib", "fib", "pc_200"): 5, ("pc_0", "pc_200"): 20,
    }


# ---------------------------------------------------------------------------
# The flame graph, rendered


def assert_well_formed(svg):
    root = ET.fromstring(svg)
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    assert not root.findall(".//{http://www.w3.org/2000/svg}script")
    return root


def render(svg):
    return Image.open(io.BytesIO(bytes(resvg_py.svg_to_bytes(svg_string=svg)))).convert("RGB")


def rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def near(a, b, tolerance=3):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def span(image, y, colour):
    """The first and last x on row y whose pixel is `colour`."""
    xs = [x for x in range(image.width) if near(image.getpixel((x, y)), rgb(colour))]
    assert xs, f"no {colour} on row {y}"
    return xs[0], xs[-1]


# One frame per row: WIDTH 1000 leaves 980 pixels between the 10-pixel margins.
WIDTH, FRAME = 1000, 16


def row_top(image, depth):
    """Top of the frames at `depth` (the root row ends 10 pixels above the bottom)."""
    return image.height - 10 - (depth + 1) * FRAME


def test_flame_graph_frames_are_as_wide_as_their_gas():
    # main 100 = itself 20 + a 50 + b 30; a calls c (25).
    p = profile(
        blocks=[(0, 1, 20), (10, 1, 25), (20, 1, 30), (30, 1, 25)],
        nodes=[(0, -1, 20, 1), (10, 0, 25, 1), (20, 0, 30, 1), (30, 1, 25, 1)],
    )
    symbols = {0: "main", 10: "alpha", 20: "beta", 30: "gamma"}
    svg = p.svg(symbols, title="demo", width=WIDTH)
    image = render(svg)
    assert image.width == WIDTH
    y = lambda depth: row_top(image, depth) + 1  # above the labels' glyphs
    # The root spans the whole width between the margins.
    left, right = span(image, y(0), frame_colour("main"))
    assert abs(left - 10) <= 2 and abs(right - (WIDTH - 11)) <= 2
    # alpha (half the gas) covers the left half, beta the next 30%.
    left, right = span(image, y(1), frame_colour("alpha"))
    assert abs(left - 10) <= 2 and abs(right + 1 - left - 490) <= 3
    left_b, right_b = span(image, y(1), frame_colour("beta"))
    assert abs(left_b - 500) <= 2 and abs(right_b + 1 - left_b - 294) <= 3
    # gamma, a quarter, sits on alpha; the rest of its row is background.
    left, right = span(image, y(2), frame_colour("gamma"))
    assert abs(left - 10) <= 2 and abs(right + 1 - left - 245) <= 3
    assert near(image.getpixel((600, y(2))), rgb("#f8f8f8"))
    assert near(image.getpixel((990, y(1))), rgb("#f8f8f8"))  # past beta: main's own gas has no frame above
    # Three rows of frames under the title.
    assert image.height == 44 + 3 * FRAME + 10
    # One function, one colour, at every depth.
    image = render(profile().svg({FIB: "fib"}, width=WIDTH))
    assert all(near(image.getpixel((12, row_top(image, d) + 1)), rgb(frame_colour("fib"))) for d in (1, 2, 3))


def test_flame_graph_labels_and_tooltips():
    p = profile()
    svg = p.svg({MAIN: "main", FIB: "fib<int>"}, title="a & b", width=WIDTH)
    assert svg == p.svg({MAIN: "main", FIB: "fib<int>"}, title="a & b", width=WIDTH)  # deterministic
    root = assert_well_formed(svg)
    ns = "{http://www.w3.org/2000/svg}"
    assert root.find(f"{ns}title").text == "a & b"
    frames = [g for g in root.iter(f"{ns}g") if g.find(f"{ns}rect") is not None]
    assert len(frames) == len(p.nodes)
    tips = [g.find(f"{ns}title").text for g in frames]
    assert "main: 105 gas (100.00%), 10 in itself, 1 call" in tips
    assert "fib<int>: 45 gas (42.86%), 25 in itself, 2 calls" in tips
    labels = [g.find(f"{ns}text").text for g in frames if g.find(f"{ns}text") is not None]
    assert "main (105)" in labels and "fib<int> (75)" in labels
    # Characters XML forbids are replaced, wherever a name or the title comes from.
    odd = p.svg({MAIN: "main\x01", FIB: "fib\x1b[0m"}, title="prog\x00.pvm", width=WIDTH)
    assert "\ufffd" in assert_well_formed(odd).find(f"{ns}title").text
    # A frame too narrow for its label gets a shortened one or none.
    narrow = profile().svg(width=60)
    assert all(len(t.text) <= 10 for t in ET.fromstring(narrow).iter(f"{ns}text") if t.text and t.text.startswith("pc_"))

