"""Helpers shared by the tests: program blobs and register arrays."""

from array import array


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
