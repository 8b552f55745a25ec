"""Where a run spends its gas: per basic block and per calling context.

A run made with `profile=True` returns a `Profile` in `RunResult.profile`.  It
holds two views of the same gas:

- `blocks`: every basic block the run entered (by start pc), how many times,
  and the gas charged to it: a block's whole gas each time it is entered,
  plus what host handlers charged at its host calls, less what was given
  back when the run stopped inside it.
- `nodes`: the calling-context tree.  Each node is a function (named by its
  entry pc) reached through one chain of calls from the run's first
  function, the root; its `gas` is the gas spent in that context itself
  (exclusive), `calls` how many times the context was entered.  Calls and
  returns follow compiled code's convention: a jump that leaves the return
  address in r0 calls the function at its target, `jump_ind r0, 0` returns.
  A recursive function appears as nested nodes.

Both add up to `total`, the gas the run used.

Reports: `top_blocks`, `top_functions` (inclusive and exclusive gas; a
recursive function's gas counts once toward it), and three files for
flame-graph viewers: `folded` (folded stacks, one `a;b;c gas` line per
context), `speedscope` (the speedscope JSON format) and `svg` (a
self-contained flame graph).

Names: with a symbol table (`load_symbols`: lines of `pc name`), a function
is called by its name; a function without one is `pc_<entry pc in decimal>`
(the command line prints pcs in decimal too).  A block is named after the
symbol at or below its start: `name+offset`.
"""

from __future__ import annotations

import hashlib
import html
import os
import re
from bisect import bisect_right
from collections import deque
from dataclasses import dataclass
from typing import Any, Iterable, Literal, Mapping, Optional, Sequence, Union

__all__ = [
    "BlockStat",
    "ContextNode",
    "FunctionStat",
    "Profile",
    "Symbols",
    "load_symbols",
    "function_name",
    "block_location",
    "frame_colour",
]

_U32 = 1 << 32

#: Symbol names by pc, as `load_symbols` returns them.
Symbols = Mapping[int, str]

RawBlock = Sequence[int]
RawNode = Sequence[int]
#: What the native run hands over: (blocks, nodes) as tuples of ints.
RawProfile = tuple[Sequence[RawBlock], Sequence[RawNode]]


@dataclass(frozen=True)
class BlockStat:
    """A basic block of the run: its start pc, how often it was entered and
    the gas charged to it."""

    pc: int
    entries: int
    gas: int


@dataclass(frozen=True)
class ContextNode:
    """A calling context: `function` (entry pc) reached through the chain of
    calls of its `parent` (an index into `Profile.nodes`, -1 for the root).
    `gas` is exclusive: spent in this context, not in the ones it called."""

    index: int
    function: int
    parent: int
    gas: int
    calls: int
    depth: int


@dataclass(frozen=True)
class FunctionStat:
    """A function's gas over all its contexts.

    `inclusive` counts the gas of every context with the function on its
    call chain, once per context however often recursion repeats it there;
    `exclusive` the gas spent in the function's own code; `calls` the
    times it was entered (the root counts as entered once).
    """

    pc: int
    inclusive: int
    exclusive: int
    calls: int


# ---------------------------------------------------------------------------
# Symbols


def load_symbols(path: Union[str, os.PathLike[str]]) -> dict[int, str]:
    """Reads a symbol table: one `PC NAME` per line, PC decimal or 0x hex,
    NAME the rest of the line (it may hold spaces).  `#` starts a comment;
    blank lines are skipped.  A pc listed twice keeps its first name (symbol
    tables often give one address several aliases).

    A line that is not of that form is a ValueError naming the file and the
    line; so is a pc outside the 32-bit range or a file that is not UTF-8.
    """
    with open(path, "rb") as f:
        data = f.read()
    name_of_file = os.fspath(path)
    symbols: dict[int, str] = {}
    for number, raw in enumerate(data.splitlines(), 1):
        where = f"{name_of_file}: line {number}"
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{where}: not UTF-8 text") from None
        text = line.split("#", 1)[0].strip()
        if not text:
            continue
        fields = text.split(None, 1)
        if len(fields) != 2:
            raise ValueError(f"{where}: expected 'PC NAME', got {line.strip()!r}")
        pc = _parse_pc(fields[0])
        if pc is None:
            raise ValueError(f"{where}: not a pc (decimal or 0x hex, below 2**32): {fields[0]!r}")
        symbols.setdefault(pc, fields[1].strip())
    return symbols


def _parse_pc(token: str) -> Optional[int]:
    try:
        if token[:2].lower() == "0x":
            value = int(token[2:], 16)
        else:
            value = int(token, 10)
    except ValueError:
        return None
    # int() takes signs and '_' separators: a symbol table has neither.
    if not token[:1].isdigit() or "_" in token or not 0 <= value < _U32:
        return None
    return value


def function_name(pc: int, symbols: Optional[Symbols] = None) -> str:
    """A function's name: its symbol, else `pc_<pc>`."""
    if symbols is not None:
        name = symbols.get(pc)
        if name is not None:
            return name
    return f"pc_{pc}"


class _Locator:
    """Names pcs after the symbol at or below them (`name+offset`)."""

    def __init__(self, symbols: Optional[Symbols]):
        self.symbols = symbols or {}
        self.pcs = sorted(self.symbols)

    def __call__(self, pc: int) -> str:
        k = bisect_right(self.pcs, pc)
        if not k:
            return f"pc_{pc}"
        base = self.pcs[k - 1]
        name = self.symbols[base]
        return name if base == pc else f"{name}+{pc - base}"


def block_location(pc: int, symbols: Optional[Symbols] = None) -> str:
    """Where a pc is: `name` at a symbol, `name+offset` past one, else `pc_<pc>`."""
    return _Locator(symbols)(pc)


def frame_colour(name: str) -> str:
    """The flame graph's fill for a function name, `#rrggbb`: warm hues
    (red to yellow) picked by a hash of the name, so one function has one
    colour in every context and every run."""
    digest = hashlib.sha256(name.encode("utf-8")).digest()
    red = 205 + digest[0] * 50 // 255
    green = digest[1] * 230 // 255
    blue = digest[2] * 55 // 255
    return f"#{red:02x}{green:02x}{blue:02x}"


# ---------------------------------------------------------------------------
# The profile


def _check_ints(item: object, count: int, what: str) -> tuple[int, ...]:
    if not isinstance(item, (tuple, list)) or len(item) != count:
        raise ValueError(f"{what}: expected a tuple of {count} ints, got {item!r}")
    for v in item:
        if isinstance(v, bool) or not isinstance(v, int):
            raise ValueError(f"{what}: expected a tuple of {count} ints, got {item!r}")
    return tuple(item)


class Profile:
    """The gas profile of one run (see the module documentation).

    Build one with `Profile.from_native(raw, start_pc)`.  `blocks` are in pc
    order; `nodes` start with the root, every node after its parent, the
    children of a node in order of their entry pc.
    """

    blocks: tuple[BlockStat, ...]
    nodes: tuple[ContextNode, ...]
    start_pc: int

    def __init__(self, blocks: Iterable[BlockStat], nodes: Sequence[tuple[int, int, int, int]], start_pc: int):
        """`nodes` as (function_pc, parent_index, gas, calls), node 0 the
        root; see `from_native`."""
        merged: dict[int, list[int]] = {}
        for b in blocks:
            if not 0 <= b.pc < _U32 or b.entries < 0 or b.gas < 0:
                raise ValueError(f"block {b}: pc, entries or gas out of range")
            m = merged.setdefault(b.pc, [0, 0])
            m[0] += b.entries
            m[1] += b.gas
        self.blocks = tuple(BlockStat(pc, e, g) for pc, (e, g) in sorted(merged.items()))
        self.start_pc = start_pc
        self.nodes = _build_tree(nodes, start_pc)
        children: list[list[int]] = [[] for _ in self.nodes]
        for node in self.nodes[1:]:
            children[node.parent].append(node.index)
        self._children = tuple(tuple(c) for c in children)
        node_gas = sum(n.gas for n in self.nodes)
        block_gas = sum(b.gas for b in self.blocks)
        if node_gas != block_gas:
            raise ValueError(f"the calling contexts account for {node_gas} gas, the blocks for {block_gas}")
        # Subtree gas per node, children after parents: summed backwards.
        inclusive = [n.gas for n in self.nodes]
        for node in reversed(self.nodes[1:]):
            inclusive[node.parent] += inclusive[node.index]
        self._inclusive = tuple(inclusive)

    @classmethod
    def from_native(cls, raw: RawProfile, start_pc: int) -> Profile:
        """The profile of a run that started at `start_pc`, from the native
        run's `(blocks, nodes)`: blocks as `(start_pc, entries, gas)`, nodes
        as `(function_pc, parent_index, gas, calls)` with node 0 the root
        (`function_pc` = `start_pc`, parent -1).

        Blocks listed twice are added up, and so are sibling contexts of the
        same function.  Data that cannot be a profile (a parent index out of
        range or forming a cycle, a second root, negative figures, contexts
        and blocks whose gas differs) is a ValueError.
        """
        if not isinstance(raw, (tuple, list)) or len(raw) != 2:
            raise ValueError("a native profile is a pair (blocks, nodes)")
        raw_blocks, raw_nodes = raw
        blocks = [BlockStat(*_check_ints(b, 3, f"block {i}")) for i, b in enumerate(raw_blocks)]
        nodes = [_check_ints(n, 4, f"node {i}") for i, n in enumerate(raw_nodes)]
        return cls(blocks, [(n[0], n[1], n[2], n[3]) for n in nodes], start_pc)

    def __repr__(self) -> str:
        return (
            f"<Profile from pc {self.start_pc}: {self.total} gas, {len(self.blocks)} blocks, "
            f"{len(self.nodes)} contexts>"
        )

    # -- the tree ------------------------------------------------------------

    @property
    def total(self) -> int:
        """The gas the run used."""
        return self._inclusive[0]

    @property
    def root(self) -> ContextNode:
        return self.nodes[0]

    def children(self, index: int) -> tuple[ContextNode, ...]:
        """The contexts node `index` called, in order of entry pc."""
        return tuple(self.nodes[i] for i in self._children[index])

    def inclusive(self, index: int) -> int:
        """The gas of node `index` and every context below it."""
        return self._inclusive[index]

    def stack(self, index: int) -> tuple[int, ...]:
        """The entry pcs of the call chain from the root to node `index`."""
        pcs = []
        i = index
        while i >= 0:
            node = self.nodes[i]
            pcs.append(node.function)
            i = node.parent
        return tuple(reversed(pcs))

    # -- tables --------------------------------------------------------------

    def top_blocks(self, n: Optional[int] = None) -> list[BlockStat]:
        """The `n` blocks (all for None) that used the most gas, most first
        (ties by pc)."""
        ranked = sorted(self.blocks, key=lambda b: (-b.gas, b.pc))
        return ranked if n is None else ranked[: max(n, 0)]

    def functions(self) -> dict[int, FunctionStat]:
        """Every function of the run by entry pc, with its gas and calls."""
        inclusive: dict[int, int] = {}
        exclusive: dict[int, int] = {}
        calls: dict[int, int] = {}
        # Walk the tree depth first, counting how often each function is on
        # the current chain: a context's gas goes once to each function
        # present, however deep the recursion.
        on_chain: dict[int, int] = {}
        chain: list[int] = []
        for node in self._preorder():
            while len(chain) > node.depth:
                _leave(on_chain, self.nodes[chain.pop()].function)
            chain.append(node.index)
            on_chain[node.function] = on_chain.get(node.function, 0) + 1
            exclusive[node.function] = exclusive.get(node.function, 0) + node.gas
            calls[node.function] = calls.get(node.function, 0) + node.calls
            for f in on_chain:
                inclusive[f] = inclusive.get(f, 0) + node.gas
        return {
            f: FunctionStat(f, inclusive.get(f, 0), exclusive[f], calls[f]) for f in sorted(exclusive)
        }

    def top_functions(
        self, n: Optional[int] = None, by: Literal["inclusive", "exclusive"] = "inclusive"
    ) -> list[FunctionStat]:
        """The `n` functions (all for None) with the most `by` gas, most
        first (ties broken by the other figure, then by pc)."""
        if by not in ("inclusive", "exclusive"):
            raise ValueError(f"by must be 'inclusive' or 'exclusive', not {by!r}")
        stats = self.functions().values()
        if by == "inclusive":
            ranked = sorted(stats, key=lambda f: (-f.inclusive, -f.exclusive, f.pc))
        else:
            ranked = sorted(stats, key=lambda f: (-f.exclusive, -f.inclusive, f.pc))
        return ranked if n is None else ranked[: max(n, 0)]

    # -- flame-graph files ---------------------------------------------------

    def folded(self, symbols: Optional[Symbols] = None) -> str:
        """Folded stacks, as flame-graph tools read them: a line
        `root;caller;callee gas` for each call chain whose own gas is above
        zero, sorted.  Names are as in `function_name`; a `;` inside a name
        is written as `:` so that it cannot split a frame."""
        lines: dict[str, int] = {}
        for key, gas in self._stacks(symbols):
            text = ";".join(key)
            lines[text] = lines.get(text, 0) + gas
        return "".join(f"{text} {gas}\n" for text, gas in sorted(lines.items()))

    def speedscope(self, symbols: Optional[Symbols] = None, name: str = "qorvel_pvm profile") -> dict[str, Any]:
        """The profile as a speedscope file (JSON-ready dict): one "sampled"
        profile whose samples are the call chains with gas above zero and
        whose weights are their gas."""
        from . import __version__  # not at import: the package imports this module while it loads

        frames: list[dict[str, Any]] = []
        frame_index: dict[int, int] = {}
        for pc in sorted({n.function for n in self.nodes}):
            frame_index[pc] = len(frames)
            frames.append({"name": function_name(pc, symbols)})
        samples: list[list[int]] = []
        weights: list[int] = []
        for node in self._preorder():
            if node.gas > 0:
                samples.append([frame_index[pc] for pc in self.stack(node.index)])
                weights.append(node.gas)
        return {
            "$schema": "https://www.speedscope.app/file-format-schema.json",
            "name": name,
            "exporter": f"qorvel_pvm {__version__}",
            "activeProfileIndex": 0,
            "shared": {"frames": frames},
            "profiles": [
                {
                    "type": "sampled",
                    "name": name,
                    "unit": "none",
                    "startValue": 0,
                    "endValue": self.total,
                    "samples": samples,
                    "weights": weights,
                }
            ],
        }

    def svg(
        self,
        symbols: Optional[Symbols] = None,
        title: str = "Flame graph",
        width: int = 1200,
        frame_height: int = 16,
        min_width: float = 0.1,
    ) -> str:
        """A flame graph as a self-contained SVG document (no scripts).

        Each calling context is a rectangle on the row of its depth, the
        root at the bottom, as wide as its inclusive gas is of the total and
        placed within its caller's width (children in order of name); it is
        labelled `name (gas)` where the label fits and has a tooltip
        (`<title>`) with the name, inclusive and exclusive gas, share and
        calls.  Fills come from `frame_colour`.  Frames narrower than
        `min_width` pixels are left out.
        """
        return _FlameGraph(self, symbols, title, width, frame_height, min_width).render()

    # -- helpers -------------------------------------------------------------

    def _preorder(self) -> Iterable[ContextNode]:
        stack = [0]
        while stack:
            index = stack.pop()
            yield self.nodes[index]
            stack.extend(reversed(self._children[index]))

    def _stacks(self, symbols: Optional[Symbols]) -> Iterable[tuple[tuple[str, ...], int]]:
        """(names from the root, exclusive gas) of each context with gas."""
        names: dict[int, tuple[str, ...]] = {}
        for node in self._preorder():
            own = function_name(node.function, symbols).replace(";", ":")
            key = (names[node.parent] if node.parent >= 0 else ()) + (own,)
            names[node.index] = key
            if node.gas > 0:
                yield key, node.gas


def _leave(on_chain: dict[int, int], function: int) -> None:
    on_chain[function] -= 1
    if not on_chain[function]:
        del on_chain[function]


def _build_tree(raw: Sequence[tuple[int, int, int, int]], start_pc: int) -> tuple[ContextNode, ...]:
    """Checks the native node list and numbers it again: parents before
    children, each node's children in order of entry pc, siblings of the
    same function merged."""
    count = len(raw)
    if not count:
        raise ValueError("a profile has at least its root context")
    function, parent, gas, calls = raw[0]
    if parent != -1:
        raise ValueError(f"node 0 is the root: its parent must be -1, not {parent}")
    if function != start_pc:
        raise ValueError(f"the root context is the run's first function: pc {start_pc}, not {function}")
    children: list[list[int]] = [[] for _ in range(count)]
    for i, (function, parent, gas, calls) in enumerate(raw):
        if not 0 <= function < _U32 or gas < 0 or calls < 0:
            raise ValueError(f"node {i}: function pc, gas or calls out of range: {raw[i]}")
        if i and not 0 <= parent < count:
            raise ValueError(f"node {i}: parent index {parent} is not a node of the list")
        if i:
            children[parent].append(i)
    # Breadth first from the root, merging a node into an earlier sibling of
    # the same function.  A node never reached sits on a cycle.
    merged: list[list[int]] = []  # [function, parent, gas, calls] in new numbering
    merged_children: list[dict[int, int]] = []
    reached = 0
    queue: deque[tuple[int, int]] = deque([(0, -1)])
    while queue:
        old, new_parent = queue.popleft()
        reached += 1
        function, _, gas, calls = raw[old]
        target = merged_children[new_parent].get(function) if new_parent >= 0 else None
        if target is None:
            target = len(merged)
            merged.append([function, new_parent, 0, 0])
            merged_children.append({})
            if new_parent >= 0:
                merged_children[new_parent][function] = target
        merged[target][2] += gas
        merged[target][3] += calls
        queue.extend((child, target) for child in children[old])
    if reached != count:
        raise ValueError(f"{count - reached} nodes are not reached from the root: their parents form a cycle")
    # Depth first, children in order of entry pc.
    nodes: list[ContextNode] = []
    renumber: dict[int, int] = {}
    stack: list[tuple[int, int]] = [(0, 0)]
    while stack:
        old, depth = stack.pop()
        function, parent, gas, calls = merged[old]
        index = len(nodes)
        renumber[old] = index
        nodes.append(ContextNode(index, function, renumber[parent] if parent >= 0 else -1, gas, calls, depth))
        kids = merged_children[old]
        stack.extend((kids[f], depth + 1) for f in sorted(kids, reverse=True))
    return tuple(nodes)


# ---------------------------------------------------------------------------
# The flame graph


class _FlameGraph:
    FONT_SIZE = 12
    CHAR_WIDTH = 0.59  # of the font size: an average glyph's advance
    PAD = 10
    TITLE_HEIGHT = 44
    BACKGROUND = "#f8f8f8"

    def __init__(
        self, profile: Profile, symbols: Optional[Symbols], title: str, width: int, frame_height: int, min_width: float
    ):
        if width < 2 * self.PAD + 1 or frame_height < 2:
            raise ValueError("the flame graph needs a width above 20 and a frame height of at least 2")
        self.profile = profile
        self.symbols = symbols
        self.title = title
        self.width = width
        self.frame_height = frame_height
        self.min_width = min_width

    def _layout(self) -> list[tuple[ContextNode, float, float]]:
        """(node, x, width) of each frame drawn, children placed left to
        right in order of name within their parent."""
        p = self.profile
        span = self.width - 2 * self.PAD
        scale = span / p.total if p.total else 0.0
        frames: list[tuple[ContextNode, float, float]] = []
        stack: list[tuple[ContextNode, float]] = [(p.root, float(self.PAD))]
        while stack:
            node, x = stack.pop()
            w = span if node.index == 0 else p.inclusive(node.index) * scale
            if node.index and w < self.min_width:
                continue
            frames.append((node, x, w))
            # Callees start at the left edge of the caller.
            kids = sorted(p.children(node.index), key=lambda c: (function_name(c.function, self.symbols), c.function))
            offset = x
            placed = []
            for child in kids:
                placed.append((child, offset))
                offset += p.inclusive(child.index) * scale
            stack.extend(reversed(placed))
        return frames

    def render(self) -> str:
        p = self.profile
        frames = self._layout()
        rows = 1 + max(node.depth for node, _, _ in frames)
        fh = self.frame_height
        height = self.TITLE_HEIGHT + rows * fh + self.PAD
        bottom = height - self.PAD  # the root's row ends here
        total = p.total
        out = [
            '<?xml version="1.0" encoding="UTF-8" standalone="no"?>',
            f'<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{self.width}" height="{height}" '
            f'viewBox="0 0 {self.width} {height}">',
            f"<title>{_esc(self.title)}</title>",
            f'<rect x="0" y="0" width="{self.width}" height="{height}" fill="{self.BACKGROUND}"/>',
            f'<g font-family="Verdana, DejaVu Sans, sans-serif" font-size="{self.FONT_SIZE}" fill="#000000">',
            f'<text x="{self.width / 2:.1f}" y="22" text-anchor="middle" font-size="{self.FONT_SIZE + 5}">'
            f"{_esc(self.title)}</text>",
            f'<text x="{self.width / 2:.1f}" y="38" text-anchor="middle" fill="#555555">'
            f"{total} gas in {len(p.nodes)} calling contexts; a frame's width is its inclusive gas</text>",
        ]
        for node, x, w in frames:
            name = function_name(node.function, self.symbols)
            inclusive = p.inclusive(node.index)
            y = bottom - (node.depth + 1) * fh
            share = 100.0 * inclusive / total if total else 100.0
            tip = (
                f"{name}: {inclusive} gas ({share:.2f}%), {node.gas} in itself, "
                f"{node.calls} call{'s' if node.calls != 1 else ''}"
            )
            out.append("<g>")
            out.append(f"<title>{_esc(tip)}</title>")
            out.append(
                f'<rect x="{x:.2f}" y="{y}" width="{w:.2f}" height="{fh - 1}" '
                f'fill="{frame_colour(name)}" rx="2" ry="2"/>'
            )
            label = _fit(f"{name} ({inclusive})", w - 6, self.FONT_SIZE * self.CHAR_WIDTH)
            if label:
                baseline = y + fh - 1 - (fh - 1 - self.FONT_SIZE) / 2 - 2
                out.append(f'<text x="{x + 3:.2f}" y="{baseline:.1f}">{_esc(label)}</text>')
            out.append("</g>")
        out.append("</g>")
        out.append("</svg>")
        return "\n".join(out) + "\n"


def _fit(text: str, room: float, char_width: float) -> str:
    """`text`, cut to `room` pixels with a trailing '..'; empty when not even
    three characters fit."""
    fits = int(room / char_width)
    if fits < 3:
        return ""
    if len(text) <= fits:
        return text
    return text[: fits - 2] + ".."


# Characters XML does not allow at all (C0 controls but tab, newline and
# carriage return; lone surrogates; U+FFFE, U+FFFF).
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _esc(text: str) -> str:
    return html.escape(_NOT_XML.sub("\ufffd", text), quote=True)
