"""The page store cannot be turned against the interpreter.

`_pages` is a plain dict that Python code may edit; its values are used as
pages only when they are this memory's own live buffers, and every buffer is
released exactly once.  The risky cases run in a child interpreter with the
allocator's debug hooks, so a double free or a wild pointer ends that process
instead of the test run.
"""

import subprocess
import sys
import textwrap

import pytest

from pvmtest import child_env
from qorvel_pvm.cpvm.vm_memory import CyMemory



def run_child(code, malloc="debug"):
    env = child_env(PYTHONMALLOC=malloc)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=300)


FOREIGN = """
import pickle, sys
from qorvel_pvm.cpvm.vm_memory import CyMemory

reports = []
sys.unraisablehook = lambda u: reports.append((u.object, type(u.exc_value).__name__))

def refused(fn, *args):
    try:
        fn(*args)
    except ValueError as e:
        assert "_pages[1]" in str(e), e
        return
    raise AssertionError("accepted a foreign page value")

donor = CyMemory({0x1000: 1})
values = [12345, 1 << 62, (1 << 64) + 5, -8, "x", 1.5, donor._pages[1], id(donor)]
for value in values:
    mem = CyMemory(allowed_read_pages=[1], allowed_write_pages=[1])
    mem._pages = {1: value}
    refused(mem.read, 0x1000, 4)
    refused(mem.write, 0x1000, b"ab")
    refused(pickle.dumps, mem)
    assert mem._get_byte(0x1000) == 0        # cannot fail: reported, neutral result
    mem._set_byte(0x1000, 1)
    mem.zero_memory_range(1, 1)
    assert mem._pages == {1: value}
    del mem
assert len(reports) == 3 * len(values), reports
assert {r[1] for r in reports} == {"ValueError"}
assert donor._get_byte(0x1000) == 1

# Duplicated values alias one buffer, which is still freed once; the buffer
# they displaced and buffers removed from the dict are freed with the memory.
mem = CyMemory({0x1000: 1, 0x2000: 2, 0x3000: 3}, [1, 2, 3], [1, 2, 3])
mem._pages[2] = mem._pages[1]
del mem._pages[3]
mem.write(0x2000, b"\\x07")
assert mem._get_byte(0x1000) == 7 and mem.read(0x3000, 1) == b"\\x00"
mem._set_byte(0x3000, 9)                    # a new buffer for the removed page
mem.__init__({0x1000: 5})                   # re-initialisation frees each buffer once
del mem

# Buffers of a memory that is gone are not adopted.
stolen = dict(CyMemory({0x1000: 1})._pages)
mem = CyMemory(allowed_read_pages=[1])
mem._pages = stolen
refused(mem.read, 0x1000, 1)

# A key whose __eq__ re-initialises the memory in the middle of a lookup.
mem = CyMemory({0x1000: 1}, [1])
class Key(int):
    armed = True
    def __eq__(self, other):
        if Key.armed:
            Key.armed = False
            mem.__init__(allowed_read_pages=[1])
        return int(self) == other
    __hash__ = int.__hash__
mem._pages = {Key(1): mem._pages[1]}
refused(mem.read, 0x1000, 1)
print("survived")
"""


def test_foreign_duplicated_and_removed_page_values():
    child = run_child(FOREIGN)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "survived"


GROWTH = """
import pickle
from qorvel_pvm.cpvm.vm_memory import CyMemory

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

def cycle(i):
    mem = CyMemory({0x1000 * p: p for p in range(1, 9)}, list(range(64)), list(range(64)))
    mem.write(0x20000, bytes(range(256)) * 64)      # four more pages
    mem._pages[2] = mem._pages[1]                   # duplicated
    del mem._pages[3]                               # removed
    copy = pickle.loads(pickle.dumps(mem))
    copy.__setstate__(copy.__reduce__()[2])         # restored over a live store
    mem.__init__({0x5000: 1})                       # re-initialised
    layout = CyMemory.from_pc(b"r" * 9000, b"w" * 5000, b"a", 4, 8192)
    return mem, copy, layout

for i in range(300):
    cycle(i)
before = rss()
for i in range(3000):
    cycle(i)
grown = rss() - before
print(grown)
"""


def test_creating_and_destroying_memories_does_not_grow():
    child = run_child(GROWTH, malloc="malloc")
    assert child.returncode == 0, child.stderr
    # About 35 page buffers change hands per cycle: a leak of even one per
    # cycle would add 12 MB.
    assert int(child.stdout) < 4 << 20


@pytest.mark.parametrize("value", [0, None])
def test_store_without_buffer_entry(value):
    mem = CyMemory(allowed_read_pages=[1], allowed_write_pages=[1])
    mem._pages = {1: 0} if value == 0 else {}
    assert mem.read(0x1000, 2) == b"\x00\x00"
    mem.write(0x1000, b"\x05")                      # an entry of 0 means "no buffer yet"
    assert mem._get_byte(0x1000) == 5 and mem._pages[1] != 0


def test_collector_frees_memories_in_cycles():
    import gc
    import weakref

    class Sub(CyMemory):
        pass

    mem = Sub({0x1000: 1})
    mem.me = mem
    plain = CyMemory({0x2000: 2})
    plain._pages["loop"] = plain                    # a cycle through the page store
    probe = weakref.ref(mem)
    del mem, plain
    gc.collect()
    assert probe() is None


def test_failed_store_update_gives_the_buffer_back():
    class Key(int):
        calls = 0

        def __eq__(self, other):
            Key.calls += 1
            if Key.calls == 2:                      # the insert after the lookup
                raise KeyError("insert")
            return int(self) == other
        __hash__ = int.__hash__

    mem = CyMemory(allowed_write_pages=[7])
    mem._pages = {Key(7): 0}
    with pytest.raises(KeyError):
        mem.write(0x7000, b"\x01")
    assert list(mem._pages.values()) == [0]
    mem.write(0x7000, b"\x02")
    assert mem.read(0x7000, 1) == b"\x02"
