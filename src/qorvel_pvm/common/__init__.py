"""Pure-Python types shared across the package."""
