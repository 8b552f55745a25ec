"""Instruction table base and instruction groups."""
