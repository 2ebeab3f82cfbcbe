import os
import shutil
import subprocess
import sys

import pytest

SOURCE = os.environ.get("QV_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools"))

SCHEMA = os.path.join(SOURCE, "tests", "tools", "junit.xsd")


@pytest.fixture
def source_dir():
    return SOURCE


@pytest.fixture
def validate():
    """Validates a JUnit file against the common schema; returns xmllint's complaint, "" when valid."""
    xmllint = shutil.which("xmllint")
    assert xmllint, "xmllint (Debian package libxml2-utils) is needed to validate the reports"

    def check(path):
        run = subprocess.run([xmllint, "--noout", "--schema", SCHEMA, path], capture_output=True, text=True,
                             timeout=60)
        return "" if run.returncode == 0 else run.stderr
    return check
