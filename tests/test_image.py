"""The standard program container: build and load, the memory and register
layout, and every malformed container; `run --image` on the command line."""

import pytest

from qorvel_pvm import run
from qorvel_pvm.asm import assemble
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.image import ARGS_MAX, build, load

from test_cli import cli

PROGRAM = assemble("add_imm_64 r2, r8, 0\nload_imm_jump_ind r0, r0, 0, 0")  # r2 = len(args), return


def container(ro=b"\x11" * 5000, rw=b"\x22\x33", z=2, s=5000, program=PROGRAM):
    return build(ro, rw, z, s, program)


def test_round_trip_and_layout():
    blob = container()
    assert blob[:11] == bytes([0x88, 0x13, 0, 2, 0, 0, 2, 0, 0x88, 0x13, 0])
    image = load(blob, args=b"hello")
    assert image.program.encode() == PROGRAM
    assert image.registers == [0xFFFF0000, 0xFEFE0000, 0, 0, 0, 0, 0, 0xFEFF0000, 5, 0, 0, 0, 0]
    m = image.memory
    assert sorted(m._r_pages) == [0x10, 0x11, 0xFEFF0]
    assert sorted(m._w_pages) == [0x30, 0x31, 0x32, 0xFEFDE, 0xFEFDF]
    assert m.heap_break == 0x33000
    assert m.read(0x10000, 2) == b"\x11\x11" and m.read(0x30000, 3) == b"\x22\x33\x00"
    assert m.read(0xFEFF0000, 5) == b"hello"
    r = run(image.program, memory=m, registers=image.registers)
    assert (r.status, r.registers[2]) == ("halt", 5)


def test_empty_container_puts_the_heap_at_write_start():
    image = load(build(b"", b"", 0, 0, CyProgram(PROGRAM)))
    program, memory, registers = image
    assert memory.heap_break == 0x20000  # write_start, not 0
    assert memory._w_pages == set() and registers[8] == 0


def _header(o=0, w=0, z=0, s=0):
    return o.to_bytes(3, "little") + w.to_bytes(3, "little") + z.to_bytes(2, "little") + s.to_bytes(3, "little")


@pytest.mark.parametrize("blob, field", [
    (b"", "read_only length"),
    (_header()[:5], "read_write length"),
    (_header()[:7], "heap_pages"),
    (_header()[:10], "stack_size"),
    (_header(o=4) + b"abc", "read_only"),
    (_header(w=4) + b"abc", "read_write"),
    (_header() + b"\x00\x00", "program length"),
    (_header() + (100).to_bytes(4, "little") + PROGRAM, "program"),
    (_header() + len(PROGRAM).to_bytes(4, "little") + PROGRAM + b"\x00", "program: 1 bytes follow"),
    (_header() + (3).to_bytes(4, "little") + b"\x00\x00\x05", "program: program blob is truncated"),
])
def test_malformed_containers_name_the_field(blob, field):
    with pytest.raises(ValueError, match=f"^{field}"):
        load(blob)


def test_too_long_arguments_are_refused():
    blob = container()
    load(blob, args=bytes(ARGS_MAX))
    with pytest.raises(ValueError, match="^args"):
        load(blob, args=bytes(ARGS_MAX + 1))


@pytest.mark.parametrize("change, field", [
    ({"ro": bytes(1 << 24)}, "read_only"),
    ({"rw": bytes(1 << 24)}, "read_write"),
    ({"z": 1 << 16}, "heap_pages"),
    ({"z": -1}, "heap_pages"),
    ({"s": 1 << 24}, "stack_size"),
    ({"program": b"\x00"}, "program"),
])
def test_build_checks_every_field(change, field):
    with pytest.raises(ValueError, match=f"^{field}"):
        container(**change)


@pytest.mark.parametrize("change", [{"ro": "text"}, {"z": 1.0}, {"s": True}, {"program": None}])
def test_build_refuses_wrong_types(change):
    with pytest.raises(TypeError):
        container(**change)


def test_run_image_command(tmp_path):
    path = tmp_path / "prog.img"
    path.write_bytes(build(b"", b"", 0, 4096, assemble("add_imm_64 r2, r8, 0\n.insn 0x0a, 0x03\ntrap")))
    r = cli("run", "--image", path, "--args", "616263")
    assert r.returncode == 1
    assert "host call 3 at pc 4" in r.stdout.splitlines() and "r2  = 3 " in r.stdout
    bad = tmp_path / "bad.img"
    bad.write_bytes(path.read_bytes()[:-1])
    for argv, message in [
        (("run", "--image", bad), "not a valid program container: program"),
        (("run", "--image", path, "--heap-pages", "1"), "--heap-pages does not apply"),
        (("run", "--image", path, "x.s"), "either PROGRAM or --image"),
        (("run", "--args", "00", "x.s"), "--args applies only to --image"),
    ]:
        r = cli(*argv)
        assert r.returncode == 2 and message in r.stderr
