"""Benchmark of _korvex_messages against other CDR libraries (see run.py)."""
