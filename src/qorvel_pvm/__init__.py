"""qorvel_pvm: a PVM interpreter core with its inner loop in C++.

>>> from qorvel_pvm import run
>>> from qorvel_pvm.asm import assemble
>>> run(assemble("trap")).status
'panic'
"""

from .cpvm.vm_memory import CyMemory
from .cpvm.vm_program import CyProgram
from .cpvm.vm_status import PvmExit
from .interpreter import HostExit, Interpreter, RunResult, run
from .parallel import Job, run_many

__version__ = "0.1.0"

__all__ = ["run", "run_many", "Job", "Interpreter", "RunResult", "CyProgram", "CyMemory", "PvmExit", "HostExit", "__version__"]
