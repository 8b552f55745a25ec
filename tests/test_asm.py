"""The assembler and disassembler: encodings, layout, round trips, errors."""

import importlib
import pickle

import pytest
from hypothesis import given, settings, strategies as st

import pvmtest
from qorvel_pvm.asm import (
    INSTRUCTIONS,
    OPCODES,
    AsmError,
    assemble,
    build_blob,
    decode_blob,
    decode_natural,
    decode_operands,
    disassemble,
    disassemble_at,
    encode_natural,
)
from qorvel_pvm.cpvm.vm_interpreter import decode
from qorvel_pvm.cpvm.vm_program import CyProgram

M64 = 2**64
IMM_BOUNDS = [0, 1, -1, 127, 128, -128, -129, 0x7FFF, 0x8000, -0x8000, -0x8001,
              0x7FFFFF, 0x800000, -0x800000, -0x800001, 0x7FFFFFFF, -0x80000000]


def code_of(text):
    return decode_blob(assemble(text)).code


def roundtrip(text):
    blob = assemble(text)
    again = disassemble(blob)
    assert assemble(again) == blob, again
    return blob, again


def nbytes(v):
    """Bytes of the shortest sign-extended encoding of v."""
    return next(n for n in range(5) if (n == 0 and v == 0) or (n and -(1 << 8 * n - 1) <= v < 1 << 8 * n - 1))


def operand_text(info, imm, imm_y, target):
    vals = {"ra": "r12", "rb": "r0", "rd": "r7", "imm": imm, "imm_x": imm, "imm_y": imm_y,
            "target": target, "addr": imm, "imm64": imm, "index": imm}
    return ", ".join(str(vals[n]) for n in info.operands)


# --- every mnemonic, boundary operands ------------------------------------------------


@pytest.mark.parametrize("name", sorted(INSTRUCTIONS))
@pytest.mark.parametrize("imm,where", list(zip(IMM_BOUNDS[::2] + [M64 - 1], ["self", "back", "fwd"] * 4)))
def test_every_mnemonic_round_trips(name, imm, where):
    info = INSTRUCTIONS[name]
    imm_s = imm - M64 if imm >= 2**63 else imm
    text = f"back: trap\nself: {name} {operand_text(info, imm, -imm_s - 1, where)}\ntrap\nfwd: trap\n"
    blob, again = roundtrip(text)
    assert f"    {name}" in again  # canonical: comes back as a mnemonic, not raw bytes
    code = decode_blob(blob).code
    got = decode_operands(info.opcode, code, 1, decode_blob(blob).skip(1))
    target = {"self": 1, "back": 0, "fwd": len(code) - 1}[where]
    want = {"ra": 12, "rb": 0, "rd": 7, "vx": 0, "vy": 0}
    if info.form == "offset":
        want["vx"] = target
    elif info.form == "reg_imm_offset":
        want.update(vx=imm_s % M64, vy=target)
    elif info.form == "two_reg_imm":
        want["vx"] = imm_s % M64
    elif info.form == "two_reg_two_imm":
        want.update(vx=imm_s % M64, vy=(-imm_s - 1) % M64)
    elif info.form in ("one_imm", "reg_imm", "reg_imm64"):
        want["vx"] = imm_s % M64
    elif info.form == "two_imm":
        want.update(vx=imm_s % M64, vy=imm_s % M64)
    elif info.form == "reg_two_imm":
        want.update(vx=imm_s % M64, vy=(-imm_s - 1) % M64)
    elif info.form == "two_reg_offset":
        want["vx"] = target
    regs_used = set(info.operands)
    assert got == (want["vx"], want["vy"], want["ra"] if "ra" in regs_used else 0,
                   want["rb"] if "rb" in regs_used else 0, want["rd"] if "rd" in regs_used else 0)


GROUPS = [
    ("ops_no_args", "InstructionsWoArgs"), ("ops_offset", "CyWArgsOneOffset"),
    ("ops_reg_imm_offset", "InstructionsWArgs1Reg1Imm1Offset"),
    ("ops_two_reg", "CyInstructionsWArgs2Reg"), ("ops_two_reg_imm", "CyInstructionsWArgs2Reg1Imm"),
    ("ops_two_reg_two_imm", "CyInstructionsWArgs2Reg2Imm"),
]


def native_group(module, cls):
    return getattr(importlib.import_module(f"qorvel_pvm.cpvm.instructions.tables.{module}"), cls)()


# Opcodes of the groups added with the whole instruction set (their native
# modules are checked by their own tests).
NEW_OPCODES = {10, 20, 30, 31, 32, 33, *range(50, 63), 70, 71, 72, 73, *range(170, 176), *range(190, 231)}


def test_mnemonic_table_is_the_groups_opcodes():
    native = {op for g in GROUPS for op in native_group(*g).get_table()}
    assert set(OPCODES) == native | NEW_OPCODES and not native & NEW_OPCODES
    assert all(OPCODES[i.opcode] is i for i in INSTRUCTIONS.values())


def every_native_group():
    """Every group class the package's table modules define, found by looking
    (so groups added later are compared too)."""
    import pkgutil

    import qorvel_pvm.cpvm.instructions.tables as tables

    for mod in pkgutil.iter_modules(tables.__path__):
        module = importlib.import_module(f"{tables.__name__}.{mod.name}")
        for name in dir(module):
            cls = getattr(module, name)
            if isinstance(cls, type) and hasattr(cls, "get_table"):
                yield f"{mod.name}.{name}", cls


@pytest.mark.parametrize("name,cls", list(every_native_group()), ids=lambda v: v if isinstance(v, str) else "")
def test_every_native_group_decodes_like_the_assembler(name, cls):
    group = cls()
    for opcode in sorted(group.get_table()):
        for tail in ([0xF3, 0x82, 0xFF, 0x80, 0x01, 0x7F, 0x80, 0x00, 0x12, 0x34, 0x56, 0x78],
                     [0x2D, 0x04, 0x81]):
            code = bytes([opcode] + tail)
            prog = CyProgram(build_blob(code, [0]))
            for skip in (0, 1, 2, 3, 5, 9, 24):
                assert decode(group, 0, prog, skip) == decode_operands(opcode, code, 0, skip), (opcode, skip)


# --- shortest encodings ------------------------------------------------------------------


@pytest.mark.parametrize("value,n", [
    (0, 0), (1, 1), (127, 1), (128, 2), (-128, 1), (-129, 2), (0x7FFF, 2), (0x8000, 3),
    (-0x8000, 2), (-0x8001, 3), (0x7FFFFF, 3), (0x800000, 4), (-0x800000, 3),
    (-0x800001, 4), (0x7FFFFFFF, 4), (-0x80000000, 4), (M64 - 1, 1), (M64 - 0x80000000, 4),
])
def test_shortest_immediates_and_offsets(value, n):
    assert len(code_of(f"add_imm_64 r1, r2, {value}")) == 2 + n
    assert len(code_of(f"l: branch_eq_imm r1, {value}, l")) == 2 + n
    assert len(code_of(f"load_imm_jump_ind r1, r2, {value}, {value}")) == 3 + 2 * n
    if value < 2**63:  # absolute targets are plain integers
        assert len(code_of(f"jump {value}")) == 1 + n
        assert len(code_of(f"branch_ne_imm r0, 0, {value}")) == 2 + n


@pytest.mark.parametrize("pad", range(118, 132))
def test_layout_reaches_the_shortest_fixed_point(pad):
    # Two forward jumps and one backward one across padding: each offset must
    # take exactly the bytes its final value needs.
    text = f"b: jump a\njump a\ntrap\n.byte {', '.join(['0'] * pad)}\na: trap\njump b\n"
    blob, _ = roundtrip(text)
    parts = decode_blob(blob)
    for pc in parts.starts():
        if parts.code[pc] == 40:
            length = 1 + parts.skip(pc)
            offset = decode_operands(40, parts.code, pc, length - 1)[0]
            assert length - 1 == nbytes((offset - pc + 2**63) % M64 - 2**63)


def test_labels_forward_backward_and_with_addends():
    code = code_of("top: two: jump end\nmid: trap\njump mid+0\njump top\nbranch_eq_imm r1, 2, mid-1\nend:")
    assert code == bytes([40, 11, 0, 40, 0xFF, 40, 0xFB, 81, 0x11, 2, 0xFA])
    assert code_of("jump L\nL:") == bytes([40, 2])  # a label at the end of the code


# --- jump table -------------------------------------------------------------------------


@pytest.mark.parametrize("text,table,z", [
    ("trap", (), 0),
    (".jumpwidth 3\ntrap", (), 3),
    (".jumptable a, b, a+1\na: trap\nb: trap", (0, 1, 1), 1),
    (".jumptable 0, 255\n.jumptable 256", (0, 255, 256), 2),
    (".jumptable 0xFFFFFFFF", (0xFFFFFFFF,), 4),
    (".jumpwidth 4\n.jumptable x\nx: trap", (0,), 4),
])
def test_jump_table(text, table, z):
    blob, _ = roundtrip(text)
    parts = decode_blob(blob)
    assert (parts.jump_table, parts.z) == (table, z)


def test_jump_table_entry_k_has_address_2_k_plus_1():
    prog = CyProgram(assemble(".jumptable a, b\na: trap\nb: trap\n"))
    assert (prog.djump(0, 2), prog.djump(0, 4)) == (0, 1)


# --- data and raw instructions ------------------------------------------------------------


def test_data_and_raw_bytes_and_instruction_starts():
    parts = decode_blob(assemble("trap\n.byte 1, 0xff\n.insn 0xfe, 7\nmove_reg r1, r2"))
    assert parts.code == bytes([0, 1, 0xFF, 0xFE, 7, 100, 0x21])
    assert parts.starts() == [0, 3, 5]


def test_data_after_an_instruction_must_not_change_its_decoding():
    # A zero byte lengthens the immediate without changing it: allowed.
    blob, again = roundtrip("add_imm_64 r1, r2, 0\n.byte 0")
    assert "add_imm_64 r1, r2, 0\n    .byte 0x00" in again
    with pytest.raises(AsmError, match=r"^line 1: the \.byte data after this jump .*jump -32766'"):
        assemble("jump L\nL: .byte 0x80")


# --- errors ------------------------------------------------------------------------------


@pytest.mark.parametrize("text,line,message", [
    ("foo r1", 1, "unknown mnemonic 'foo'"),
    ("trap\n\nadd_imm_6 r1, r2, 3", 3, "did you mean 'add_imm_64'"),
    ("move_reg r13, r1", 1, "bad register 'r13': registers are r0 to r12"),
    ("add_imm_64 r1, r2, 0x80000000", 1, "immediate 0x80000000 is out of range"),
    ("add_imm_64 r1, r2, 0xFFFFFFFF", 1, "out of range"),
    ("add_imm_64 r1, r2, -0x80000001", 1, "out of range"),
    ("add_imm_64 r1, r2, 2**3", 1, "bad immediate '2**3'"),
    ("add_imm_64 r1, r2", 1, "add_imm_64 takes 3 operands (ra, rb, imm), got 2"),
    ("trap r1", 1, "trap takes 0 operands, got 1"),
    ("add_imm_64 r1,, r2", 1, "empty operand"),
    ("trap\njump nowhere", 2, "undefined label 'nowhere'"),
    ("a: trap\n  a: trap", 2, "label 'a' is already defined on line 1"),
    (".byte 256", 1, "byte value 256 is out of range"),
    (".insn", 1, ".insn needs at least one byte"),
    (".bogus 1", 1, "unknown directive '.bogus'"),
    ("jump 0x80000000", 1, "out of reach"),
    ("trap\n.jumptable x", 2, "undefined label 'x'"),
    (".jumptable -1", 1, "jump-table entry -1 is out of range"),
    (".jumpwidth 1\n.jumptable 256", 1, "jump-table entry 256 does not fit in 1 bytes"),
    (".jumpwidth 0\n.jumptable 0", 1, "width 0 with a non-empty jump table"),
    (".jumpwidth 5", 1, "width 5 is out of range"),
])
def test_errors_name_the_line(text, line, message):
    with pytest.raises(AsmError) as exc:
        assemble(text)
    assert exc.value.line == line and str(exc.value).startswith(f"line {line}: ")
    assert message in str(exc.value)
    assert isinstance(exc.value, ValueError)
    assert str(pickle.loads(pickle.dumps(exc.value))) == str(exc.value)


@pytest.mark.parametrize("separator", ["\u2028", "\x1c", "\x0c", "\x85"])
def test_only_newlines_end_lines(separator):
    # What an editor shows as one line stays one: a comment hides all of it.
    assert assemble(f"trap ; was: {separator} jump 0") == assemble("trap")
    with pytest.raises(AsmError, match="^line 3: "):
        assemble(f"trap\n{separator}\r\nbogus")


def test_assemble_needs_text():
    with pytest.raises(TypeError):
        assemble(b"trap")


# --- blob codec --------------------------------------------------------------------------


@pytest.mark.parametrize("x,n", [(0, 1), (127, 1), (128, 2), (2**14 - 1, 2), (2**14, 3),
                                 (2**56 - 1, 8), (2**56, 9), (M64 - 1, 9)])
def test_natural_boundaries(x, n):
    enc = encode_natural(x)
    assert len(enc) == n and enc == pvmtest.encode_natural(x)
    assert decode_natural(b"\x00" + enc, 1) == (x, n + 1)


def test_natural_accepts_longer_forms_and_refuses_truncation():
    assert decode_natural(b"\x80\x05") == (5, 2)
    with pytest.raises(ValueError):
        decode_natural(b"\xc0\x01")


@pytest.mark.parametrize("blob,message", [
    (b"", "truncated"), (b"\x00", "truncated"), (b"\x01\x05\x00", "above 4"),
    (b"\x01\x00\x00", "width is 0"), (b"\x00\x00\x02\x00", "truncated"),
    (b"\x00\x00\x00\x00", "1 trailing bytes"), (b"\x00\x00\xff", "truncated"),
    (b"\x01\x02\x00\x01", "truncated"),
])
def test_malformed_blobs(blob, message):
    with pytest.raises(ValueError, match=message):
        decode_blob(blob)
    with pytest.raises(ValueError):
        disassemble(blob)


# --- disassembly -------------------------------------------------------------------------


def test_disassemble_keeps_a_layout_it_cannot_express_with_labels():
    # A two-byte offset where one byte would do after relabelling: kept as raw bytes.
    blob = build_blob(bytes([40, 128, 0, 0] + [0] * 124 + [0]), [0, 3, 128])
    text = disassemble(blob)
    assert assemble(text) == blob and ".insn 0x28, 0x80, 0x00  ; jump 128" in text


def test_disassemble_at():
    parts = decode_blob(assemble("jump x\n.byte 0\nx: load_imm_jump r1, -2, 0\n.insn 0xEE, 1"))
    code, mask = parts.code, parts.bitmask
    assert disassemble_at(code, mask, 0) == ("jump 3", 3)  # decoded with its real skip
    assert disassemble_at(code, mask, 2) == (".byte 0x00", 1)
    assert disassemble_at(code, mask, 3) == ("load_imm_jump r1, -2, 0", 4)
    assert disassemble_at(code, mask, 7) == (".insn 0xee, 0x01", 2)
    with pytest.raises(ValueError, match="outside the code"):
        disassemble_at(code, mask, 9)


@pytest.mark.parametrize("code,pc,skip,record", [
    ([0] * 10 + [40, 0xFB], 10, 1, (5, 0, 0, 0, 0)),
    ([40, 0x00, 0x80], 0, 2, (M64 - 32768, 0, 0, 0, 0)),
    ([0] * 100 + [81, 0x13, 0x05, 0x0A], 100, 3, (5, 110, 3, 0, 0)),
    ([81, 0xFD, 1, 2, 3, 4, 5], 0, 129 - 4, (0x04030201, 5, 12, 0, 0)),  # lx 7 -> 4, ra 13 -> 12
    ([100, 0x2A], 0, 5, (0, 0, 2, 0, 10)),
    ([120, 0xF3, 0x00, 0x00, 0x00, 0x80, 0x55], 0, 9, (M64 - 2**31, 0, 3, 12, 0)),
    ([120, 0xF3, 0x01], 0, 129, (0, 0, 3, 12, 0)),  # skip - 1 read as a signed byte
    ([180, 0x21, 0xF9, 0x07, 0x04], 0, 4, (7, 4, 1, 2, 0)),
    ([180, 0x21], 0, 9, (0, 0, 1, 2, 0)),  # bytes past the end of the code read as zero
])
def test_decode_operands_mirrors_the_decoders(code, pc, skip, record):
    assert decode_operands(code[pc], bytes(code), pc, skip) == record


@pytest.mark.parametrize("code,pc,skip,record", [
    ([10, 0x80, 0xFF, 0xFF, 0xFF, 3], 0, 5, (M64 - 128, 0, 0, 0, 0)),  # lx = min(4, skip)
    ([10, 0x05], 0, 0, (0, 0, 0, 0, 0)),
    ([20, 0xF7, 1, 2, 3, 4, 5, 6, 7, 0x88], 0, 0, (0x8807060504030201, 0, 7, 0, 0)),  # 8 bytes, any skip
    ([20, 0x0D, 0xFF], 0, 9, (0xFF, 0, 12, 0, 0)),  # past the end reads 0
    ([30, 0xFA, 0x80, 0xFF, 0, 0, 0x7F, 0x55], 0, 7, (M64 - 128, 0x557F0000, 0, 0, 0)),  # lx = 0xFA & 7
    ([31, 0x07, 1, 2, 3, 4, 5, 6, 7, 8, 9], 0, 24, (0x04030201, 0x08070605, 0, 0, 0)),  # lx 7 -> 4
    ([32, 0x04, 1, 2, 3, 4, 5], 0, 3, (0x04030201, 0, 0, 0, 0)),  # skip - lx - 1 < 0 -> ly 0
    ([51, 0xFE, 0xFF, 0x7F], 0, 0, (0, 0, 12, 0, 0)),  # skip 0: lx 0
    ([52, 0x03, 0x00, 0x00, 0x01], 0, 24, (0x10000, 0, 3, 0, 0)),
    ([70, 0x51, 0x10, 0x80, 0xFF], 0, 4, (0xFF8010, 0, 1, 0, 0)),  # lx = min(4, 5), ly 0
    ([73, 0x92, 0x34, 0xFE], 0, 3, (0x34, M64 - 2, 2, 0, 0)),  # hi 9 & 7 = 1
    ([0] * 10 + [170, 0x21, 0xF6], 10, 2, (0, 0, 1, 2, 0)),  # offset -10 back to 0
    ([170, 0xFF, 0xFF], 0, 2, (2**32 - 1, 0, 12, 12, 0)),  # targets wrap modulo 2**32
    ([175, 0x3D, 0x00, 0x00, 0x00, 0x80], 0, 5, (2**31, 0, 12, 3, 0)),
    ([200, 0x21, 0x07], 0, 2, (0, 0, 1, 2, 7)),
    ([230, 0xEF, 0xFF], 0, 0, (0, 0, 12, 12, 12)),  # rd byte 255 -> 12, operands beyond skip
    ([190, 0x10], 0, 1, (0, 0, 0, 1, 0)),  # rd past the end of the code reads 0
])
def test_decode_operands_new_forms(code, pc, skip, record):
    assert decode_operands(code[pc], bytes(code), pc, skip) == record


@pytest.mark.parametrize("text,code", [
    ("ecalli 0", [10]),
    ("ecalli 0x1234", [10, 0x34, 0x12]),
    ("ecalli 0xffffffff", [10, 0xFF]),
    ("load_imm_64 r3, 0xffffffffffffffff", [20, 3] + [0xFF] * 8),
    ("load_imm_64 r3, -2", [20, 3, 0xFE] + [0xFF] * 7),
    ("store_imm_u8 0xfeff0000, 0", [30, 4, 0, 0, 0xFF, 0xFE]),
    ("store_imm_u64 0x20000, -1", [33, 3, 0, 0, 2, 0xFF]),
    ("load_u32 r5, 0xffff0000", [56, 5, 0, 0, 0xFF]),
    ("store_u8 r1, 0x7fffffff", [59, 1, 0xFF, 0xFF, 0xFF, 0x7F]),
    ("jump_ind r0, 0", [50, 0]),
    ("load_imm r12, -129", [51, 12, 0x7F, 0xFF]),
    ("store_imm_ind_u16 r2, -1, 0x1234", [71, 0x12, 0xFF, 0x34, 0x12]),
    ("store_imm_ind_u32 r2, 0, 0", [72, 2]),
    ("l: branch_lt_s r1, r2, l", [173, 0x21]),
    ("branch_ge_u r1, r2, 0xffffffff", [174, 0x21, 0xFF]),  # offset -1 modulo 2**32
    ("add_64 r3, r1, r2", [200, 0x21, 3]),
    ("min_u r12, r0, r11", [230, 0xB0, 12]),
])
def test_new_forms_encode_shortest(text, code):
    blob = assemble(text)
    assert list(decode_blob(blob).code) == code
    assert assemble(disassemble(blob)) == blob


@pytest.mark.parametrize("text,message", [
    ("load_imm r1, 0xffffffff", "immediate 0xffffffff is out of range"),
    ("load_u8 r1, 0x100000000", "address 0x100000000 is out of range"),
    ("ecalli -0x80000001", "host-call index -0x80000001 is out of range"),
    ("load_imm_64 r1, 0x10000000000000000", "immediate .* is out of range"),
    ("load_imm_64 r1, -0x8000000000000001", "immediate .* is out of range"),
    ("add_64 r1, r2", r"add_64 takes 3 operands \(rd, ra, rb\), got 2"),
    ("branch_eq r1, 5, 0", "bad register '5'"),
    ("store_imm_u8 r1, 5", "bad address 'r1'"),
])
def test_new_form_errors(text, message):
    with pytest.raises(AsmError, match=message):
        assemble(text)


@pytest.mark.parametrize("opcode,skip", [(81, 129), (180, 130)])
def test_decode_operands_int8_overflow(opcode, skip):
    with pytest.raises(OverflowError, match="value too large to convert to int8_t"):
        decode_operands(opcode, bytes([opcode, 0]), 0, skip)
    decode_operands(opcode, bytes([opcode, 0]), 0, skip - 1)


# --- properties ----------------------------------------------------------------------------

imms = st.one_of(st.sampled_from(IMM_BOUNDS), st.integers(-(2**31), 2**31 - 1))
addrs = st.one_of(imms, st.integers(0, 2**32 - 1).map(hex))
imm64s = st.one_of(st.sampled_from([0, -1, M64 - 1, 2**63, -(2**63)]), st.integers(-(2**63), M64 - 1))


@st.composite
def programs(draw):
    labels = [f"l{i}" for i in range(draw(st.integers(1, 4)))]
    target = st.one_of(st.sampled_from(labels), st.integers(-300, 300).map(str),
                       st.tuples(st.sampled_from(labels), st.integers(-3, 3)).map(lambda t: f"{t[0]}+{t[1]}"))
    lines, pending = [], list(labels)
    for _ in range(draw(st.integers(0, 25))):
        if pending and draw(st.booleans()):
            lines.append(pending.pop() + ":")
        kind = draw(st.sampled_from(["insn"] * 6 + ["data", "raw"]))
        if kind == "insn":
            info = INSTRUCTIONS[draw(st.sampled_from(sorted(INSTRUCTIONS)))]
            ops = {"ra": f"r{draw(st.integers(0, 12))}", "rb": f"r{draw(st.integers(0, 12))}",
                   "rd": f"r{draw(st.integers(0, 12))}", "imm": draw(imms), "imm_x": draw(imms),
                   "imm_y": draw(imms), "target": draw(target), "addr": draw(addrs),
                   "imm64": draw(imm64s), "index": draw(addrs)}
            lines.append(f"{info.name} " + ", ".join(str(ops[n]) for n in info.operands))
        else:
            data = draw(st.lists(st.integers(0, 255), min_size=1, max_size=30))
            lines += ["trap", ".byte " + ", ".join(map(str, data))] if kind == "data" else \
                [".insn " + ", ".join(map(str, data))]
    lines += [p + ":" for p in pending]
    if draw(st.booleans()):
        lines.insert(0, ".jumptable " + ", ".join(draw(st.lists(st.sampled_from(labels), min_size=1))))
    return "\n".join(lines)


@settings(max_examples=300, deadline=None)
@given(programs())
def test_property_text_round_trip(text):
    roundtrip(text)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=80), st.data())
def test_property_any_blob_round_trips(code, data):
    starts = data.draw(st.sets(st.integers(0, max(0, len(code) - 1)))) if code else set()
    table = data.draw(st.lists(st.integers(0, 2**32 - 1), max_size=4))
    need = max((max(1, (e.bit_length() + 7) // 8) for e in table), default=0)
    z = data.draw(st.integers(max(need, 1 if table else 0), 4))
    blob = build_blob(code, sorted(starts), table, z)
    assert assemble(disassemble(blob)) == blob
    prog, parts = CyProgram(blob), decode_blob(blob)
    assert (prog.instruction_set, tuple(prog.jump_table), prog.z) == (parts.code, parts.jump_table, parts.z)
    assert [prog.skip(pc) for pc in range(len(code))] == [parts.skip(pc) for pc in range(len(code))]


def test_reference_lists_every_instruction():
    from pathlib import Path
    import re

    doc = (Path(__file__).parent.parent / "docs" / "ASSEMBLY.md").read_text()
    rows = {int(op): name for op, name in re.findall(r"^\| (\d+) \| `(\w+)", doc, re.M)}
    assert rows == {op: info.name for op, info in OPCODES.items()}


def test_reference_examples_run_as_described():
    # The opening example counts r0 down from 10, adding 3 to r1 each time,
    # and the jump-table example reaches `handler` through address 4.
    from pathlib import Path
    import re

    from qorvel_pvm import run

    doc = (Path(__file__).parent.parent / "docs" / "ASSEMBLY.md").read_text()
    r = run(assemble(re.search(r'assemble\("""(.*?)"""\)', doc, re.S).group(1)), gas=100)
    assert (r.status, r.registers[:2]) == ("panic", [0, 30])
    table = assemble(re.search(r"```\n(\.jumptable ret, handler.*?)```", doc, re.S).group(1))
    r = run(table, gas=100)
    assert (r.status, r.pc, r.registers[0]) == ("panic", 7, 2)  # handler falls through off the end


@pytest.mark.parametrize("code,mask,pc,want", [
    ([20, 0x01, 0x02], [0b001], 0, ("load_imm_64 r1, 2", 3)),  # bytes past the end read as 0
    ([20, 0x01, 0xFF, 0x00, 20], [0b10001], 0, ("load_imm_64 r1, 0x1400ff", 4)),  # reads on
    ([20, 0x02] + [0xFF] * 8, [1, 0], 0, ("load_imm_64 r2, -1", 10)),
    ([20, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x80], [1, 0], 0, ("load_imm_64 r2, 0x8000000000000000", 10)),
    ([56, 0x01, 0x00, 0x00, 0xFF, 0xFE], [1], 0, ("load_u32 r1, 0xfeff0000", 6)),
    ([172, 0x21, 0x80], [1], 0, ("branch_lt_u r1, r2, 4294967168", 3)),
    ([10], [1], 0, ("ecalli 0", 1)),
])
def test_disassemble_at_new_forms(code, mask, pc, want):
    assert disassemble_at(bytes(code), bytes(mask), pc) == want


def test_register_branch_labels_round_trip():
    text = ("top: load_imm r1, 1\nfallthrough\nloop: add_64 r2, r2, r1\nbranch_lt_u r2, r3, loop\n"
            "branch_eq r1, r1, top\njump_ind r0, 0\n.jumptable loop\n")
    blob, again = roundtrip(text)
    assert "branch_lt_u r2, r3, L" in again and "branch_eq r1, r1, L0" in again
