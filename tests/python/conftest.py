"""Shared helpers of the Python tests of FlatRecord and the quorvela binding.

The modules come from the build tree (PYTHONPATH is set by CTest):
FlatRecord/_FlatRecord, quorvela/_quorvela and the test doubles qv_doubles.
"""
import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, timeout=60):
    """Runs code in a fresh interpreter with the same environment."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ),
    )


def check_python(code, timeout=60):
    """Runs code in a fresh interpreter and fails the test if it fails."""
    result = run_python(code, timeout)
    assert result.returncode == 0, "stdout:\n%s\nstderr:\n%s" % (result.stdout, result.stderr)
    return result


def raises_exactly(exc_type, text, fn, *args):
    """fn(*args) raises exactly exc_type (not a subclass) with exactly text."""
    with pytest.raises(exc_type) as info:
        fn(*args)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == text
