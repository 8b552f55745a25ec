"""qorvel_pvm: a PVM interpreter core with its inner loop in C++.

>>> from qorvel_pvm import run
>>> from qorvel_pvm.asm import assemble
>>> run(assemble("trap")).status
'panic'
"""

import sys as _sys

from .cpvm.vm_memory import CyMemory
from .cpvm.vm_program import CyProgram
from .cpvm.vm_status import PvmExit
from .interpreter import HostExit, Interpreter, RunResult, engine, run
from .parallel import Job, run_many

__version__ = "0.1.0"

# The native modules keep state that the interpreter lock guards, and say so
# on a Python built without the lock: importing them turns it on, unless it
# was forced off (PYTHON_GIL=0, -X gil=0).
if not getattr(_sys, "_is_gil_enabled", lambda: True)():
    raise ImportError(
        "qorvel_pvm needs the global interpreter lock, which is forced off (PYTHON_GIL=0 or -X gil=0): "
        "run without forcing it off"
    )

__all__ = ["run", "run_many", "Job", "engine", "Interpreter", "RunResult", "CyProgram", "CyMemory", "PvmExit", "HostExit", "__version__"]
