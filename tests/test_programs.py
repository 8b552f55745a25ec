"""Whole programs written with the assembler, run through `run`."""

import pytest

from qorvel_pvm import CyMemory, run
from qorvel_pvm.asm import assemble

HALT = "load_imm_jump_ind r0, r0, 0, -65536"  # djump to 0xFFFF0000
U64 = (1 << 64) - 1


def heap_memory(extra_pages=1):
    """Writable data page at 0x20000 (+ extra pages), heap break after them."""
    return CyMemory.from_pc(b"", b"\0", b"", extra_pages, 4096)


def test_collatz_steps_of_27():
    src = """
        add_imm_64 r1, r0, 27
        fallthrough
    step:
        branch_eq_imm r1, 1, done
        add_imm_64 r2, r2, 1
        and_imm r3, r1, 1
        branch_eq_imm r3, 0, even
        mul_imm_64 r1, r1, 3
        add_imm_64 r1, r1, 1
        jump step
    even:
        shlo_r_imm_64 r1, r1, 1
        jump step
    done:
    """ + HALT
    r = run(assemble(src), gas=10_000)
    assert (r.status, r.registers[1], r.registers[2]) == ("halt", 1, 111)


def test_unsigned_and_signed_counting_loops():
    src = """
        add_imm_64 r1, r0, -3
        fallthrough
    up:
        add_imm_64 r1, r1, 1
        add_imm_64 r4, r4, 1
        branch_lt_s_imm r1, 3, up
        add_imm_64 r2, r0, 0
        fallthrough
    count:
        add_imm_64 r2, r2, 1
        branch_lt_u_imm r2, 5, count
    """ + HALT
    r = run(assemble(src), gas=1000)
    assert r.status == "halt"
    assert (r.registers[1], r.registers[4], r.registers[2]) == (3, 6, 5)


def test_jump_table_dispatch_and_halt_through_the_table_address():
    src = """
    .jumptable one, two, three
        load_imm_jump_ind r5, r1, 11, 0    ; r5 = 11, jump to entry r1/2 - 1
    one:
        add_imm_64 r2, r2, 1
        load_imm_jump_ind r0, r0, 0, -65536
    two:
        add_imm_64 r2, r2, 2
        load_imm_jump_ind r0, r0, 0, -65536
    three:
        add_imm_64 r2, r2, 3
        load_imm_jump_ind r0, r0, 0, -65536
    """
    blob = assemble(src)
    for address, value in [(2, 1), (4, 2), (6, 3)]:
        r = run(blob, registers=[0, address] + [0] * 11, gas=100)
        assert (r.status, r.registers[2], r.registers[5]) == ("halt", value, 11)
    for address in (0, 3, 8):  # zero, odd, past the table: panic at the dispatch
        r = run(blob, registers=[0, address] + [0] * 11, gas=100)
        assert (r.status, r.pc, r.registers[5]) == ("panic", 0, 11)


def test_load_imm_jump_sets_the_register_then_jumps():
    src = """
        load_imm_jump r3, -2, target
        trap
    target:
    """ + HALT
    r = run(assemble(src), gas=10)
    assert r.status == "halt" and r.registers[3] == U64 - 1


def test_heap_growth_then_stores_into_the_new_pages():
    mem = heap_memory(extra_pages=0)
    start = mem.heap_break
    src = """
        add_imm_64 r1, r0, 8192
        sbrk r2, r1                 ; r2 = old break, two pages granted
        add_imm_64 r3, r0, 0x11223344
        shlo_l_imm_64 r3, r3, 32
        or_imm r3, r3, 0x55667788
        store_ind_u64 r3, r2, 0
        store_ind_u64 r3, r2, 8184  ; last word of the second page
        load_ind_u32 r4, r2, 8188
        store_ind_u8 r3, r2, 8192   ; one past the growth: fault
        trap
    """
    r = run(assemble(src), memory=mem, gas=100)
    assert r.registers[2] == start and mem.heap_break == start + 8192
    assert (r.status, r.fault_address) == ("page-fault", start + 8192)
    assert r.registers[4] == 0x11223344
    assert mem.read(start, 8) == (0x1122334455667788).to_bytes(8, "little")


@pytest.mark.parametrize(
    "load,value",
    [
        ("load_ind_u8", 0x80), ("load_ind_i8", U64 - 0x7F),
        ("load_ind_u16", 0x8180), ("load_ind_i16", U64 - 0x7E7F),
        ("load_ind_u32", 0x83828180), ("load_ind_i32", U64 - 0x7C7D7E7F),
        ("load_ind_u64", 0x8786858483828180),
    ],
)
def test_loads_widen_stored_bytes(load, value):
    mem = heap_memory()
    src = f"""
        add_imm_64 r1, r0, 0x20000
        add_imm_64 r2, r0, -0x7c7d7e80   ; low bytes 80 81 82 83
        store_ind_u32 r2, r1, 0x10
        add_imm_64 r2, r0, -0x78797a7c   ; low bytes 84 85 86 87
        store_ind_u32 r2, r1, 0x14
        {load} r3, r1, 0x10
    """ + HALT
    r = run(assemble(src), memory=mem, gas=100)
    assert r.status == "halt" and r.registers[3] == value


def test_store_across_a_page_boundary_is_all_or_nothing():
    mem = heap_memory(extra_pages=0)  # only page 0x20 writable
    src = """
        add_imm_64 r1, r0, 0x20ffc
        add_imm_64 r2, r0, -1
        store_ind_u64 r2, r1, 0
        trap
    """
    r = run(assemble(src), memory=mem, gas=10)
    assert (r.status, r.fault_address) == ("page-fault", 0x21000)  # the first page refused
    assert mem.read(0x20FF8, 8) == bytes(8)


def test_two_register_instructions_in_a_program():
    src = """
        add_imm_64 r1, r0, 0x0000f0f0
        count_set_bits_64 r2, r1
        leading_zero_bits_64 r3, r1
        trailing_zero_bits_32 r4, r1
        reverse_bytes r5, r1
        sign_extend_8 r6, r1
        zero_extend_16 r7, r1
        move_reg r8, r1
    """ + HALT
    r = run(assemble(src), gas=100)
    assert r.registers[2:9] == [8, 48, 4, 0xF0F0 << 48, U64 - 0x0F, 0xF0F0, 0xF0F0]
