"""One extension module per instruction group."""
