"""Compiled execution core: guest memory, compiled blocks and instruction groups."""
