"""Access kinds of guest memory pages."""

from enum import Enum


class Accessibility(Enum):
    """How a page of guest memory may be accessed.

    The values are the access modes the native memory uses: ``READ`` checks
    for read (or write) permission, ``WRITE`` for write permission, ``NONE``
    removes access when used to alter a range.
    """

    READ = 0
    WRITE = 1
    NONE = 2
