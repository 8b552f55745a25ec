"""Handler entries and the base class of the instruction groups."""

import importlib
import pickle
import sys

import pytest

from pvmtest import build_blob
from qorvel_pvm.cpvm.instructions import op_table
from qorvel_pvm.cpvm.instructions.op_table import CyTable, CyTableEntry
from qorvel_pvm.cpvm.vm_interpreter import decode
from qorvel_pvm.cpvm.vm_program import CyProgram

NO_PICKLE = "self.fn cannot be converted to a Python object for pickling"


def test_new_entry_defaults_and_docs():
    e = CyTableEntry()
    assert (e.gas_cost, e.is_terminating) == (0, False)
    assert CyTableEntry.gas_cost.__doc__ == "gas_cost: 'uint32_t'"
    assert CyTableEntry.is_terminating.__doc__ == "is_terminating: 'bool'"
    assert CyTable.__doc__ == "Base class implementation for all instruction tables."
    with pytest.raises(TypeError):
        CyTableEntry(1)


@pytest.mark.parametrize("value,exc,message", [
    (-1, OverflowError, "can't convert negative value to uint32_t"),
    (1 << 32, OverflowError, "value too large to convert to uint32_t"),
    ("3", TypeError, "an integer is required"),
    (1.5, TypeError, "an integer is required"),
])
def test_gas_cost_conversion_errors_keep_the_old_value(value, exc, message):
    e = CyTableEntry()
    e.gas_cost = 0xFFFFFFFF
    assert e.gas_cost == 4294967295
    with pytest.raises(exc, match=message):
        e.gas_cost = value
    assert e.gas_cost == 0xFFFFFFFF


@pytest.mark.parametrize("value,stored", [([], False), ("x", True), (None, False), (True, True), (2, True)])
def test_is_terminating_stores_truth_value(value, stored):
    e = CyTableEntry()
    e.is_terminating = value
    assert e.is_terminating is stored


def test_entry_attributes_cannot_be_deleted_and_truth_errors_propagate():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    e = CyTableEntry()
    for name in ("gas_cost", "is_terminating"):
        with pytest.raises(NotImplementedError, match="__del__"):
            delattr(e, name)
    with pytest.raises(ZeroDivisionError):
        e.is_terminating = Bad()


@pytest.mark.parametrize("action", [pickle.dumps, lambda e: e.__reduce__(), lambda e: e.__setstate__(())])
def test_entry_refuses_pickling(action):
    with pytest.raises(TypeError, match=NO_PICKLE):
        action(CyTableEntry())


class Table(CyTable):
    pass


def test_table_pickles_with_and_without_dict():
    t = CyTable()
    fn, args = t.__reduce__()
    assert fn is op_table._reconstruct_CyTable and args == (CyTable, 0xE3B0C44, ())
    assert type(pickle.loads(pickle.dumps(t))) is CyTable
    s = Table()
    s.colour = "blue"
    assert s.__reduce__()[1:] == ((Table, 0xE3B0C44, None), ({"colour": "blue"},))
    back = pickle.loads(pickle.dumps(s))
    assert type(back) is Table and back.colour == "blue"
    back.__setstate__(())
    back.__setstate__(({},))
    back.__setstate__(({"k": 2},))
    assert (back.colour, back.k) == ("blue", 2)


@pytest.mark.parametrize("checksum", [0xE3B0C44, 0xDA39A3E, 0xD41D8CD])
def test_reconstructor_accepts_the_three_checksums(checksum):
    assert type(op_table._reconstruct_CyTable(Table, checksum, ())) is Table


def test_reconstructor_refuses_other_checksums():
    msg = "Incompatible checksums (0x0 vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"
    with pytest.raises(pickle.PickleError) as info:
        op_table._reconstruct_CyTable(CyTable, 0, ())
    assert str(info.value) == msg


@pytest.mark.parametrize("state,exc,message", [
    (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
    ([], TypeError, "Expected tuple, got list"),
    (({"a": 1},), AttributeError, None),
])
def test_setstate_checks_its_argument(state, exc, message):
    with pytest.raises(exc, match=message):
        CyTable().__setstate__(state)


@pytest.mark.parametrize("pc,skip", [(0, 0), (3, 24), (0xFFFFFFFF, 0xFFFFFFFF)])
def test_base_get_props_is_all_zero(pc, skip):
    program = CyProgram(build_blob(b"\x01\x02\x03", [0]))
    assert decode(CyTable(), pc, program, skip) == (0, 0, 0, 0, 0)
    assert decode(Table(), pc, program, skip) == (0, 0, 0, 0, 0)


@pytest.mark.parametrize("name", ["qorvel_pvm.cpvm.vm_program", "qorvel_pvm.cpvm.instructions.op_table",
                                  "qorvel_pvm.cpvm.vm_block", "qorvel_pvm.cpvm.vm_interpreter",
                                  "qorvel_pvm.cpvm.instructions.tables.ops_no_args"])
def test_modules_refuse_reinitialisation(name):
    mod = importlib.import_module(name)
    assert mod.__test__ == {}
    short = name.rsplit(".", 1)[1]
    del sys.modules[name]
    try:
        with pytest.raises(RuntimeError, match=f"Module '{short}' has already been imported. "
                                               "Re-initialisation is not supported."):
            importlib.import_module(name)
    finally:
        sys.modules[name] = mod


def test_table_classes_take_no_constructor_arguments():
    from qorvel_pvm.cpvm.instructions.tables.ops_no_args import InstructionsWoArgs

    for make in (lambda: CyTable(1), lambda: InstructionsWoArgs(x=2)):
        with pytest.raises(TypeError, match=r"takes no arguments"):
            make()

    class WithInit(CyTable):
        def __init__(self, tag):
            self.tag = tag

    assert WithInit("t").tag == "t"
