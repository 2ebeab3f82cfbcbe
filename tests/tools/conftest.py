import os
import shutil
import subprocess
import sys

import pytest

SOURCE = os.environ.get("QV_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools"))

# The project's own schema (the strict core of what JUnit readers take) and
# the Jenkins xunit-plugin's junit-10.xsd, copied unchanged (its origin is in
# its first comment); suite.xml must validate against both.
SCHEMAS = [os.path.join(SOURCE, "tests", "tools", name) for name in ("junit.xsd", "junit-10.xsd")]


@pytest.fixture
def source_dir():
    return SOURCE


@pytest.fixture
def validate():
    """Validates a JUnit file against both schemas; returns xmllint's complaints, "" when valid."""
    xmllint = shutil.which("xmllint")
    assert xmllint, "xmllint (Debian package libxml2-utils) is needed to validate the reports"

    def check(path):
        complaints = ""
        for schema in SCHEMAS:
            run = subprocess.run([xmllint, "--noout", "--schema", schema, path], capture_output=True, text=True,
                                 timeout=60)
            if run.returncode != 0:
                complaints += "%s: %s" % (os.path.basename(schema), run.stderr)
        return complaints
    return check
