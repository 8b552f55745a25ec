"""qorvel_pvm: a PVM interpreter core with its inner loop in C++."""

__version__ = "0.1.0"
