"""Helpers shared by the tests: program blobs, register arrays and the
switches that choose the engine runs take."""

from array import array
from contextlib import contextmanager


@contextmanager
def engine_switches(native_loop=True, eager=False):
    """Runs inside take the native engines (`native_loop`, else the general
    path) and, with `eager`, the block compiler from a run's first block on;
    the switches are as before afterwards."""
    from qorvel_pvm.cpvm import vm_interpreter

    previous = vm_interpreter._set_native_loop(native_loop)
    previous_eager = vm_interpreter._set_jit_eager(eager)
    try:
        yield
    finally:
        vm_interpreter._set_native_loop(previous)
        vm_interpreter._set_jit_eager(previous_eager)


def on_engine(engine):
    """The switches for one of "general", "native" and "compiler"."""
    return engine_switches(engine != "general", engine == "compiler")


def encode_natural(x: int) -> bytes:
    """The variable-length encoding of a natural number used by program blobs."""
    if x < 0:
        raise ValueError("natural numbers only")
    if x < 128:
        return bytes([x])
    for l in range(1, 8):
        if x < 1 << (7 * (l + 1)):
            head = 256 - (1 << (8 - l)) + (x >> (8 * l))
            return bytes([head]) + (x & ((1 << (8 * l)) - 1)).to_bytes(l, "little")
    return b"\xff" + x.to_bytes(8, "little")


def build_blob(code: bytes, starts, jump_table=(), z=None) -> bytes:
    """A program blob: code bytes, the positions where instructions start and
    an optional jump table (entries written with z bytes each)."""
    code = bytes(code)
    jump_table = list(jump_table)
    if z is None:
        z = max((max(1, (e.bit_length() + 7) // 8) for e in jump_table), default=0)
    mask = bytearray((len(code) + 7) // 8)
    for s in starts:
        mask[s // 8] |= 1 << (s % 8)
    out = encode_natural(len(jump_table)) + bytes([z]) + encode_natural(len(code))
    for e in jump_table:
        out += e.to_bytes(z, "little")
    return out + code + bytes(mask)


def regs(*values) -> array:
    """A register array of 13 unsigned 64-bit registers, the given ones first."""
    vals = [v & 0xFFFFFFFFFFFFFFFF for v in values] + [0] * (13 - len(values))
    return array("Q", vals)


def child_env(**extra) -> dict:
    """Environment for a child Python that imports the same qorvel_pvm as the tests."""
    import os
    from pathlib import Path

    import qorvel_pvm

    parent = str(Path(qorvel_pvm.__file__).resolve().parents[1])
    env = dict(os.environ, **extra)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [parent, os.environ.get("PYTHONPATH")]))
    return env


CHECKSUMS = (0xE3B0C44, 0xDA39A3E, 0xD41D8CD)


def check_group_class(module, cls, opcodes):
    """The surface every instruction-group class shares: its table, the
    get_table docstring and arguments, pickling of the class and of a Python
    subclass, the reconstructor's checksums and the __setstate__ refusals.
    Returns the table."""
    import pickle
    import re

    import pytest

    from qorvel_pvm.cpvm.instructions import op_table

    group = cls()
    table = group.get_table()
    assert list(table) == list(opcodes)
    assert all(type(e) is op_table.CyTableEntry for e in table.values())
    assert cls().get_table() is table
    assert issubclass(cls, op_table.CyTable)
    assert not hasattr(module, "TABLE") and module.__test__ == {}
    assert cls.get_table.__doc__ == (
        f"{cls.__name__}.get_table(self) -> dict\n\n"
        "Return the instruction table mapping opcodes to their handlers."
    )
    for bad in ((1,), ()), ((), {"x": 1}):
        with pytest.raises(TypeError):
            group.get_table(*bad[0], **bad[1])

    rec = getattr(module, f"_reconstruct_{cls.__name__}")
    assert group.__reduce__() == (rec, (cls, CHECKSUMS[0], ()))
    clone = pickle.loads(pickle.dumps(group))
    assert type(clone) is cls and clone.get_table() is table

    sub_cls = type("Sub", (cls,), {"__module__": __name__})
    sub = sub_cls()
    sub.tag = [1, 2]
    assert sub.__reduce__()[1:] == ((sub_cls, CHECKSUMS[0], None), ({"tag": [1, 2]},))
    globals()["Sub"] = sub_cls  # picklable by name for the round trip
    try:
        back = pickle.loads(pickle.dumps(sub))
    finally:
        del globals()["Sub"]
    assert type(back) is sub_cls and back.tag == [1, 2] and back.get_table() is table
    for checksum in CHECKSUMS:
        assert type(rec(sub_cls, checksum, ())) is sub_cls
        assert type(rec(sub_cls, checksum, None)) is sub_cls
    message = "Incompatible checksums (0x0 vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"
    with pytest.raises(pickle.PickleError, match=f"^{re.escape(message)}$"):
        rec(cls, 0, ())
    with pytest.raises(TypeError, match="cannot pass None into a C function argument that is declared 'not None'"):
        group.__setstate__(None)
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        group.__setstate__([])
    with pytest.raises(AttributeError):
        group.__setstate__(({"x": 1},))
    group.__setstate__(())
    return table


def assert_decodes_like(group, model, code: bytes, pc: int, skip: int) -> None:
    """The group's decoder on `code` (every byte an instruction start) gives
    what `model(code, pc, skip)` says: the operand tuple, or OverflowError."""
    import pytest

    from qorvel_pvm.cpvm.vm_interpreter import decode
    from qorvel_pvm.cpvm.vm_program import CyProgram

    prog = CyProgram(build_blob(code, range(len(code))))
    expected = model(code, pc, skip)
    if expected is OverflowError:
        with pytest.raises(OverflowError):
            decode(group, pc, prog, skip)
    else:
        assert decode(group, pc, prog, skip) == expected
