"""The page map a memory keeps for the native engines: it must follow every
change to the page store and to the permissions that Python code can make
between runs, and agree with the general path whatever the store holds."""

import pytest

from pvmtest import regs
from qorvel_pvm.asm import assemble
from qorvel_pvm.common.types import Accessibility as Acc
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram

PAGE = 0x20000
# Writes 0x1122334455667788 to PAGE + 8, then halts.
WRITE = assemble("""
    load_imm_64 r2, 0x1122334455667788
    store_u64 r2, 0x20008
    load_imm_jump_ind r0, r12, 0, -0x10000
""")
# Loads PAGE + 8 into r3 and PAGE + 0x1000 (the next page) into r4, then halts.
READ = assemble("""
    load_u64 r3, 0x20008
    load_u64 r4, 0x21000
    load_imm_jump_ind r0, r12, 0, -0x10000
""")


def run_on(path_native, blob, memory):
    previous = vm_interpreter._set_native_loop(path_native)
    try:
        r = regs()
        try:
            return vm_interpreter.Interpreter(CyProgram(blob)).run(r, memory, 0, 100), list(r)
        except Exception as exc:  # noqa: BLE001 - compared by the callers
            return type(exc), str(exc)
    finally:
        vm_interpreter._set_native_loop(previous)


def written():
    """A memory of two writable pages after a native run wrote the first."""
    mem = CyMemory.from_pc(b"", b"", b"", 2, 0)
    assert run_on(True, WRITE, mem)[0][0] == 0
    return mem


def reinitialise(mem):
    mem.__init__({}, [0x20, 0x21], [])


def restore_from(mem):
    other = CyMemory.from_pc(b"", b"\x01" * 16, b"", 2, 0)
    mem.__setstate__(other.__reduce__()[2])


@pytest.mark.parametrize("change", [
    lambda m: None,
    lambda m: m._pages.pop(0x20),                              # the page reads as zeros again
    lambda m: setattr(m, "_pages", {}),                        # a new, empty store
    lambda m: m._pages.__setitem__(0x20, 12345),               # not a buffer of this memory
    lambda m: m._pages.__setitem__("junk", 0),                 # a key the map cannot vouch for
    lambda m: m.alter_accessibility(PAGE, 1, Acc.NONE),        # the mapped page loses its permission
    lambda m: m.alter_accessibility(PAGE + 0x1000, 1, Acc.NONE),
    lambda m: m.zero_memory_range(0x20, 2),                    # buffers for both pages, zeroed
    reinitialise,                                              # buffers released, new permissions
    restore_from,                                              # a pickled state's own buffers
])
def test_changes_between_runs_are_seen_as_on_the_general_path(change):
    outcomes = []
    for native in (True, False):
        mem = written()
        change(mem)
        outcomes.append(run_on(native, READ, mem))
    assert outcomes[0] == outcomes[1]


def test_reads_of_pages_never_written_create_nothing():
    mem = CyMemory.from_pc(b"", b"", b"", 2, 0)
    (status, *_), r = run_on(True, READ, mem)
    assert (status, r[3], r[4], mem._pages) == (0, 0, 0, {})
    run_on(True, WRITE, mem)
    (status, *_), r = run_on(True, READ, mem)
    assert (status, r[3], r[4], list(mem._pages)) == (0, 0x1122334455667788, 0, [0x20])


def everything_writable(mem):
    mem.alter_accessibility(0, 0xFFFFF000, Acc.WRITE)  # bits in every chunk of the bitsets


def restored_wholesale(mem):
    state = list(mem.__reduce__()[2])
    state[1] = state[3] = [(1 << 64) - 1] * 16384  # every page readable and writable
    mem.__setstate__(tuple(state))


@pytest.mark.parametrize("dirty", [
    everything_writable,
    restored_wholesale,
    lambda m: m.alter_accessibility(0x1000, 0xFFFFFFFF, Acc.WRITE),  # a range past the top
    lambda m: m.__init__({}, [0xFFFFF], [0xFFFFF]),                   # the last page alone
    lambda m: None,
])
def test_a_freed_memory_leaves_nothing_to_the_next(dirty):
    """Freed memories (and their page maps) are kept and handed out again:
    the next ones start with no permission set, no page and no map entry,
    also when more were freed than are kept."""
    for _ in range(20):
        mem = written()  # a map entry for PAGE, to a buffer freed with the memory
        dirty(mem)
        del mem
    fresh = [CyMemory() for _ in range(10)]
    for mem in fresh:
        _, r_bits, _, w_bits, _, heap = mem.__reduce__()[2]
        assert (set(r_bits), set(w_bits), heap, mem._pages) == ({0}, {0}, 0, {})
        assert not mem.is_accessible(PAGE, 1) and not mem.is_accessible(0xFFFFF000, 0x1000)
    for _ in range(10):  # the page read as zeros, from this memory's own map
        (status, *_), r = run_on(True, READ, CyMemory.from_pc(b"", b"", b"", 2, 0))
        assert (status, r[3], r[4]) == (0, 0, 0)
