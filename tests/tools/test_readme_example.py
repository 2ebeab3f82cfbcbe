"""The README's example of writing and reading a FlatRecord runs against the
build, as written there."""

import os
import re
import subprocess
import sys

import pytest


def test_the_readme_flatrecord_example_runs(source_dir):
    build = os.environ.get("QV_BUILD_DIR", "")
    cache = os.path.join(build, "CMakeCache.txt")
    if not os.path.exists(os.path.join(build, "python", "pkg", "FlatRecord.py")) or not os.path.exists(cache):
        pytest.skip("no FlatRecord built in QV_BUILD_DIR")
    with open(os.path.join(source_dir, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.split("### The Python binding", 1)[1]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(example.strip().splitlines()) == 5, example
    binding = re.search(r"^QV_PY_BINDING_DIR:INTERNAL=(.*)$", open(cache).read(), re.M).group(1)
    env = dict(os.environ, PYTHONPATH="%s:%s" % (os.path.join(build, "python", "pkg"), binding),
               PYTHONDONTWRITEBYTECODE="1")
    if os.environ.get("QV_SANITIZER_PRELOAD"):  # the sanitizer build's library, in an interpreter that is not
        env.update(LD_PRELOAD=os.environ["QV_SANITIZER_PRELOAD"], ASAN_OPTIONS="detect_leaks=0")
    command = [sys.executable, "-c", example]
    if os.geteuid() == 0:  # DDS traffic of its own
        command = ["unshare", "-n", "bash", "-c", 'ip link set lo up && exec "$@"', "readme"] + command
    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.split() == ["7", "8", "hello"], run.stdout + run.stderr
