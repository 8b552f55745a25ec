"""The native support layer: conversions, argument checks, native binding,
module initialisation and the shared pickling machinery (through the
test-only probe module)."""

import hashlib
import pickle
import subprocess
import sys

import pytest

from pvmtest import child_env  # noqa: E402

probe = pytest.importorskip("qorvel_pvm.cpvm._abi_probe")
from qorvel_pvm.cpvm import vm_status, vm_utils  # noqa: E402


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "width,value,expected",
    [
        ("u8", 0, 0), ("u8", 255, 255), ("u8", Idx(7), 7), ("u8", True, 1),
        ("i8", -128, -128), ("i8", 127, 127),
        ("u32", 0xFFFFFFFF, 0xFFFFFFFF), ("i32", -(2**31), -(2**31)), ("i32", 2**31 - 1, 2**31 - 1),
        ("u64", 2**64 - 1, 2**64 - 1),
    ],
)
def test_conversion_accepts_the_full_range(width, value, expected):
    assert probe.convert(width, value) == expected


@pytest.mark.parametrize(
    "width,value,exc,message",
    [
        ("u8", 256, OverflowError, "value too large to convert to uint8_t"),
        ("u8", -1, OverflowError, "can't convert negative value to uint8_t"),
        ("u32", 2**32, OverflowError, "value too large to convert to uint32_t"),
        ("u32", -1, OverflowError, "can't convert negative value to uint32_t"),
        ("u32", -(2**70), OverflowError, "can't convert negative value to uint32_t"),
        ("i32", 2**31, OverflowError, "value too large to convert to int"),
        ("i32", -(2**31) - 1, OverflowError, "value too large to convert to int"),
        ("i8", 128, OverflowError, "value too large to convert to int8_t"),
        ("i8", -129, OverflowError, "value too large to convert to int8_t"),
        ("u64", -1, OverflowError, "can't convert negative value to uint64_t"),
        ("u64", 2**64, OverflowError, None),
        ("u32", 1.0, TypeError, "an integer is required"),
        ("u64", "3", TypeError, "an integer is required"),
        ("i32", None, TypeError, "an integer is required"),
    ],
)
def test_conversion_errors(width, value, exc, message):
    with pytest.raises(exc) as info:
        probe.convert(width, value)
    if message:
        assert str(info.value) == message


def test_exact_argument_check_and_subclass_note():
    class L(list):
        pass

    probe.check_list([], True)
    probe.check_list(None, True)
    with pytest.raises(TypeError) as info:
        probe.check_list((), True)
    assert str(info.value) == "Argument 'items' has incorrect type (expected list, got tuple)"
    assert not getattr(info.value, "__notes__", None)
    with pytest.raises(TypeError) as info:
        probe.check_list(L(), True)
    assert str(info.value) == "Argument 'items' has incorrect type (expected list, got L)"
    assert "subclasses of built-in types" in info.value.__notes__[0]
    probe.check_list(L(), False)  # a non-exact declaration accepts subclasses


@pytest.mark.parametrize(
    "kind,module,name,sig,exc,text",
    [
        ("f", "qorvel_pvm.cpvm.vm_utils", "no_such", "int (int)", ImportError,
         "qorvel_pvm.cpvm.vm_utils does not export expected C function no_such"),
        ("v", "qorvel_pvm.cpvm.vm_status", "NOPE", "CyStatus *", ImportError,
         "qorvel_pvm.cpvm.vm_status does not export expected C variable NOPE"),
        ("f", "qorvel_pvm.cpvm.vm_utils", "clamp_12", "int (int)", TypeError,
         "expected int (int), got uint8_t (uint8_t)"),
        ("v", "qorvel_pvm.cpvm.vm_status", "HALT", "PyObject *", TypeError,
         "expected PyObject *, got CyStatus *"),
        ("f", "qorvel_pvm.cpvm.no_such_module", "x", "int (int)", ImportError, "no_such_module"),
    ],
)
def test_native_binding_failures(kind, module, name, sig, exc, text):
    with pytest.raises(exc) as info:
        probe.bind(kind, module, name, sig)
    assert text in str(info.value)


def test_native_binding_success():
    assert probe.bind("f", "qorvel_pvm.cpvm.vm_utils", "clamp_12", "uint8_t (uint8_t)")
    assert probe.bind("f", "qorvel_pvm.cpvm.vm_status", "PAGE_FAULT", "CyStatus *(uint32_t)")
    assert probe.bind("v", "qorvel_pvm.cpvm.vm_utils", "BYTE_TO_BITS_LUT", "uint8_t [256][8]")


def test_class_import_checks_layout():
    assert probe.import_class("qorvel_pvm.cpvm.vm_status", "CyStatus", 0) is vm_status.CyStatus
    with pytest.raises(TypeError, match="instance size 32, expected 40"):
        probe.import_class("qorvel_pvm.cpvm.vm_status", "CyStatus", 8)
    with pytest.raises(TypeError, match="is not a type object"):
        probe.import_class("qorvel_pvm.cpvm.vm_status", "PAGE_FAULT", 0)
    with pytest.raises(ImportError, match="does not define expected class Nope"):
        probe.import_class("qorvel_pvm.cpvm.vm_status", "Nope", 0)


def test_traceback_entry_and_unraisable_report(monkeypatch):
    with pytest.raises(ValueError) as info:
        probe.traceback("qorvel_pvm.cpvm.example.Op.run")
    names = [e.name for e in info.traceback]
    assert "qorvel_pvm.cpvm.example.Op.run" in names

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    probe.unraisable("qorvel_pvm.cpvm.example.Op.quiet")
    assert len(seen) == 1
    assert seen[0].object == "qorvel_pvm.cpvm.example.Op.quiet"
    assert isinstance(seen[0].exc_value, ValueError)


REIMPORT = """
import sys, importlib
import qorvel_pvm.cpvm.vm_utils
del sys.modules['qorvel_pvm.cpvm.vm_utils']
try:
    importlib.import_module('qorvel_pvm.cpvm.vm_utils')
except RuntimeError as e:
    print(e)
"""
SUBINTERPRETER = """
import qorvel_pvm.cpvm.vm_utils
try:                                    # 3.13 renamed the module and returns the error
    import _interpreters as si
    err = si.run_string(si.create('legacy'), 'import qorvel_pvm.cpvm.vm_utils')
    print(f"<class '{err.type.__name__}'>: {err.msg}")
except ImportError:
    import _xxsubinterpreters as si
    try:
        si.run_string(si.create(isolated=False), 'import qorvel_pvm.cpvm.vm_utils')
    except Exception as e:
        print(e)
"""


@pytest.mark.parametrize("code, expected", [
    (REIMPORT, "Module 'vm_utils' has already been imported. Re-initialisation is not supported."),
    (SUBINTERPRETER, "<class 'ImportError'>: Interpreter change detected - this module can only be "
                     "loaded into one interpreter per process."),
])
def test_module_is_initialised_once_per_process(code, expected):
    assert vm_status.__test__ == {} and vm_utils.__test__ == {}
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(), check=True)
    assert out.stdout.strip() == expected


# ----- pickling machinery on the probe's Sample(count: uint32, items: list) -----

def checksums(text):
    return [int(hashlib.new(a, text.encode()).hexdigest()[:7], 16) for a in ("sha256", "sha1", "md5")]


def test_reduce_forms():
    s = probe.Sample()
    ck = checksums("count items")[0]
    assert s.__reduce__() == (probe._reconstruct_Sample, (probe.Sample, ck, (0, None)))
    s.count, s.items = 5, [1, 2]
    assert s.__reduce__() == (probe._reconstruct_Sample, (probe.Sample, ck, None), (5, [1, 2]))


class Sub(probe.Sample):
    pass


def test_round_trip_with_instance_dict():
    s = Sub()
    s.count, s.extra = 9, "kept"
    red = s.__reduce__()
    assert red[1][2] is None and red[2] == (9, None, {"extra": "kept"})
    t = pickle.loads(pickle.dumps(s))
    assert type(t) is Sub and t.count == 9 and t.extra == "kept" and t.items is None


def test_reconstructor_checksums():
    a, b, c = checksums("count items")
    for ck in (a, b, c):
        obj = probe._reconstruct_Sample(probe.Sample, ck, (3, [7]))
        assert (obj.count, obj.items) == (3, [7])
    with pytest.raises(pickle.PickleError) as info:
        probe._reconstruct_Sample(probe.Sample, 0x1234, None)
    assert str(info.value) == (
        f"Incompatible checksums (0x1234 vs (0x{a:x}, 0x{b:x}, 0x{c:x}) = (count, items))"
    )


@pytest.mark.parametrize(
    "state,exc,message",
    [
        (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
        ([1, None], TypeError, "Expected tuple, got list"),
        ((1,), TypeError, "Sample state tuple has 1 elements, expected at least 2"),
        ((1, (2,)), TypeError, "Expected list, got tuple"),
        ((-1, None), OverflowError, "can't convert negative value to uint32_t"),
    ],
)
def test_setstate_errors(state, exc, message):
    s = probe.Sample()
    with pytest.raises(exc) as info:
        s.__setstate__(state)
    assert str(info.value) == message


def test_setstate_dict_needs_an_instance_dict():
    with pytest.raises(AttributeError):
        probe.Sample().__setstate__((1, None, {"a": 1}))
    probe.Sample().__setstate__((1, None, {}))  # a false dict element is ignored


def test_numeric_attribute_delete_refused():
    s = probe.Sample()
    with pytest.raises(NotImplementedError, match="__del__"):
        del s.count
    s.items = [1]
    del s.items
    assert s.items is None
