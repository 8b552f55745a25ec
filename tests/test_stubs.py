"""The type stubs (.pyi) of the extension modules against the modules themselves.

The stubs are read next to the imported extension module, so against an
installed package this also checks that the wheel ships them.
"""

import ast
import functools
import importlib
import re
from pathlib import Path

import pytest

import qorvel_pvm
from pvmtest import build_blob, regs

MODULES = [
    "qorvel_pvm.cpvm.vm_status",
    "qorvel_pvm.cpvm.vm_utils",
    "qorvel_pvm.cpvm.vm_program",
    "qorvel_pvm.cpvm.vm_memory",
    "qorvel_pvm.cpvm.vm_block",
    "qorvel_pvm.cpvm.vm_interpreter",
    "qorvel_pvm.cpvm.instructions.op_table",
    "qorvel_pvm.cpvm.instructions.tables.ops_no_args",
    "qorvel_pvm.cpvm.instructions.tables.ops_one_imm",
    "qorvel_pvm.cpvm.instructions.tables.ops_offset",
    "qorvel_pvm.cpvm.instructions.tables.ops_reg_imm_offset",
    "qorvel_pvm.cpvm.instructions.tables.ops_two_reg",
    "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm",
    "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_two_imm",
    "qorvel_pvm.cpvm.instructions.tables.ops_reg_ext_imm",
    "qorvel_pvm.cpvm.instructions.tables.ops_two_imm",
    "qorvel_pvm.cpvm.instructions.tables.ops_reg_imm",
    "qorvel_pvm.cpvm.instructions.tables.ops_reg_two_imm",
    "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_offset",
    "qorvel_pvm.cpvm.instructions.tables.ops_three_reg",
]

# Module dunders that belong in the stubs (as plain dict annotations).
MODULE_DUNDERS = {"__native_api__", "__test__"}

# "name(a, b=1)" or "Class.name(self, a)" at the start of a docstring.
DOC_SIGNATURE = re.compile(r"^(?:\w+\.)?(\w+)\((.*?)\)")

PY_TPFLAGS_BASETYPE = 1 << 10


def load(name):
    """The runtime module and its parsed stub."""
    module = importlib.import_module(name)
    stub = Path(module.__file__).parent / (name.rpartition(".")[2] + ".pyi")
    assert stub.is_file(), f"no stub next to {module.__file__}"
    return module, ast.parse(stub.read_text(), filename=str(stub))


@functools.cache
def exit_instance_attrs():
    """Attributes that a PvmExit leaving a block carries on the instance."""
    from qorvel_pvm.cpvm.vm_interpreter import Interpreter, execute_block
    from qorvel_pvm.cpvm.vm_memory import CyMemory
    from qorvel_pvm.cpvm.vm_program import CyProgram
    from qorvel_pvm.cpvm.vm_status import PvmExit

    program = CyProgram(build_blob(b"\x00", [0]))  # a single trap
    block = Interpreter(program).compile_block(0)
    with pytest.raises(PvmExit) as info:
        execute_block(block, program, 0, regs(), CyMemory())
    return frozenset(vars(info.value))


def instance_attrs(cls_name):
    return exit_instance_attrs() if cls_name == "PvmExit" else frozenset()


def normalized(text):
    return " ".join((text or "").split())


def is_typevar(node):
    return (
        isinstance(node, ast.Assign)
        and isinstance(node.value, ast.Call)
        and isinstance(node.value.func, ast.Name)
        and node.value.func.id == "TypeVar"
    )


def top_level(tree):
    """name -> node for everything the stub defines at module level
    (imports and its own TypeVars excluded)."""
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign) and not is_typevar(node):
            for target in node.targets:
                names[target.id] = node
    return names


def imported(tree):
    """name -> (module, attribute) for the stub's `from x import y` lines."""
    return {
        alias.asname or alias.name: (node.module, alias.name)
        for node in tree.body
        if isinstance(node, ast.ImportFrom)
        for alias in node.names
    }


def decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def is_property(fn):
    return any(d == "property" or d.endswith((".setter", ".deleter")) for d in decorators(fn))


def stub_params(fn):
    """[(name, default source or None)] without self/cls."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    pairs = list(zip(positional, defaults)) + list(zip(a.kwonlyargs, a.kw_defaults))
    return [(arg.arg, None if d is None else ast.unparse(d)) for arg, d in pairs if arg.arg not in ("self", "cls")]


def doc_params(doc):
    """(name, [(param, default or None, optional)]) from a docstring's
    signature line, or None when it has none."""
    m = DOC_SIGNATURE.match(doc or "")
    if not m:
        return None
    params = []
    bracketed = False  # inside "[, a, b]": optional parameters
    for part in m.group(2).split(","):
        optional = bracketed or part.lstrip().startswith("[")
        bracketed = (bracketed or "[" in part) and not part.rstrip().endswith("]")
        part = part.strip().strip("[]").strip()
        if not part:
            continue
        name, _, default = part.partition("=")
        name = name.split(":")[0].split()[-1]  # "uint32_t total_gas: uint32_t" -> total_gas
        if name not in ("self", "cls", "*"):  # "*" only marks the keyword-only ones
            params.append((name, default.strip() or None, optional or bool(default)))
    return m.group(1), params


def signature_problems(fn, runtime_name, runtime_doc, where):
    """Differences between a stub function and the signature its runtime
    docstring states; also a stub docstring the runtime one does not contain."""
    problems = []
    doc = ast.get_docstring(fn, clean=False)
    if doc and normalized(doc) not in normalized(runtime_doc):
        problems.append(f"{where}: stub docstring {doc!r} is not in the runtime one {runtime_doc!r}")
    parsed = doc_params(runtime_doc)
    if parsed is None or is_property(fn):
        return problems
    name, documented = parsed
    if name != runtime_name:
        return problems  # a docstring inherited from a builtin base
    mine = stub_params(fn)
    if [p for p, _ in mine] != [p for p, _, _ in documented]:
        problems.append(f"{where}: stub parameters {[p for p, _ in mine]} vs documented {documented}")
        return problems
    for (param, stub_default), (_, doc_default, optional) in zip(mine, documented):
        if (stub_default is not None) != optional:
            problems.append(f"{where}: parameter {param!r} optional in one of stub and docstring only")
        elif doc_default and stub_default not in ("...", doc_default):
            problems.append(f"{where}: default of {param!r} is {stub_default} in the stub, {doc_default} at run time")
    return problems


@pytest.mark.parametrize("name", MODULES)
def test_module_level_names_match_stub(name):
    module, tree = load(name)
    assert (Path(qorvel_pvm.__file__).parent / "py.typed").is_file()
    assert ast.get_docstring(tree, clean=False) == module.__doc__

    stubbed = top_level(tree)
    runtime = {n for n in vars(module) if not n.startswith("__") or n in MODULE_DUNDERS}
    assert sorted(runtime - stubbed.keys()) == [], "runtime names missing from the stub"
    assert sorted(stubbed.keys() - runtime) == [], "stub names missing at run time"

    sources = imported(tree)
    problems = []
    for n, node in stubbed.items():
        value = getattr(module, n)
        if isinstance(node, ast.FunctionDef):
            assert callable(value), n
            problems += signature_problems(node, n, value.__doc__, n)
        elif isinstance(node, ast.ClassDef):
            assert isinstance(value, type), n
        elif isinstance(node.value, ast.Constant):
            assert value == node.value.value, f"{n} is {value!r} at run time, {node.value.value!r} in the stub"
        elif isinstance(node.value, ast.Name):  # an alias of an imported object
            source_module, attr = sources[node.value.id]
            assert value is getattr(importlib.import_module(source_module), attr), n
        if n in MODULE_DUNDERS:
            assert ast.unparse(node.annotation).startswith("dict"), n
            assert type(value) is dict, n
    assert problems == []


@pytest.mark.parametrize("name", MODULES)
def test_class_members_match_stub(name):
    module, tree = load(name)
    problems = []
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(module, node.name)
        assert [ast.unparse(b) for b in node.bases] == [b.__name__ for b in cls.__bases__ if b is not object]
        final = "final" in {ast.unparse(d) for d in node.decorator_list}
        assert final == (not cls.__flags__ & PY_TPFLAGS_BASETYPE), f"{node.name}: @final does not match"
        doc = ast.get_docstring(node, clean=False)
        if doc and normalized(doc) not in normalized(cls.__doc__):
            problems.append(f"{node.name}: stub docstring is not in {cls.__doc__!r}")

        members = {}
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                members.setdefault(item.name, []).append(item)
            elif isinstance(item, ast.AnnAssign):
                members[item.target.id] = []
        extra = instance_attrs(node.name)
        missing = [m for m in members if not hasattr(cls, m) and m not in extra]
        assert missing == [], f"{node.name}: stubbed but absent at run time"
        # Everything the class itself defines, private names included; the
        # dunders are the protocol slots and the native method-table capsule.
        unstubbed = [m for m in vars(cls) if not m.startswith("__") and m not in members]
        assert unstubbed == [], f"{node.name}: defined at run time but not stubbed"
        assert sorted(extra - members.keys()) == [], f"{node.name}: instance attributes not stubbed"

        for member, defs in members.items():
            for fn in defs:
                where = f"{node.name}.{member}"
                if member in ("__init__", "__new__"):
                    problems += signature_problems(fn, node.name, cls.__doc__, where)
                elif hasattr(cls, member):
                    problems += signature_problems(fn, member, getattr(cls, member).__doc__, where)
    assert problems == []
