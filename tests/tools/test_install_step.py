"""The first run on a fresh machine: run_suite.sh and setup.sh install the
missing Debian packages through the one install step, then configure and
build. Stand-ins for dpkg-query, apt-get, sudo, id and cmake on PATH record
what is called; nothing is installed or built."""

import os
import subprocess

import pytest

STANDINS = {
    # Installed unless named in MISSING.
    "dpkg-query": """#!/bin/sh
for a; do pkg=$a; done
for p in $MISSING; do [ "$p" = "$pkg" ] && exit 1; done
printf 'install ok installed'
""",
    "apt-get": """#!/bin/sh
echo "apt-get $*" >> "$CALLS"
""",
    "sudo": """#!/bin/sh
echo "sudo $*" >> "$CALLS"
exec "$@"
""",
    "id": """#!/bin/sh
[ "$1" = -u ] && echo "$FAKE_UID" && exit 0
exec /usr/bin/id "$@"
""",
    "cmake": """#!/bin/sh
echo "cmake $*" >> "$CALLS"
""",
}


@pytest.fixture
def machine(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in STANDINS.items():
        path = bin_dir / name
        path.write_text(text)
        path.chmod(0o755)
    calls = tmp_path / "calls.txt"
    calls.write_text("")

    def run(script_args, missing="", uid="0", sudo=True, env_extra=None):
        if not sudo:
            (bin_dir / "sudo").unlink(missing_ok=True)
        env = dict(os.environ, PATH="%s:%s" % (bin_dir, os.environ["PATH"]), CALLS=str(calls), MISSING=missing,
                   FAKE_UID=uid, BUILD_DIR=str(tmp_path / "build"))
        env.pop("CMAKE_BUILD_PARALLEL_LEVEL", None)
        env.update(env_extra or {})
        proc = subprocess.run(script_args, capture_output=True, text=True, env=env, timeout=120,
                              stdin=subprocess.DEVNULL)
        return proc, calls.read_text().splitlines()
    return run


def apt_calls(calls):
    return [c for c in calls if "apt-get" in c]


@pytest.mark.parametrize("script", ["run_suite.sh", "setup.sh"])
def test_a_missing_package_is_installed_before_the_build(machine, source_dir, tmp_path, script):
    args = [os.path.join(source_dir, script)]
    if script == "run_suite.sh":
        (tmp_path / "build").mkdir()  # as the configure step would leave it
        args += ["--build-dir", str(tmp_path / "build")]
    proc, calls = machine(args, missing="cyclonedds-dev")
    assert apt_calls(calls) == ["apt-get update",
                                "apt-get install -y --no-install-recommends cyclonedds-dev"], calls
    first_cmake = next(i for i, c in enumerate(calls) if c.startswith("cmake"))
    assert first_cmake > 1, "configured before installing: %s" % calls
    assert "installing cyclonedds-dev" in proc.stdout
    if script == "run_suite.sh":
        # The stand-in cmake built nothing, so the run stops there.
        assert proc.returncode == 2 and "no dds_positive_tests" in proc.stderr, proc.stderr
    else:
        assert proc.returncode == 0, proc.stderr


def test_nothing_is_installed_when_nothing_is_missing(machine, source_dir):
    proc, calls = machine([os.path.join(source_dir, "setup.sh")])
    assert proc.returncode == 0, proc.stderr
    assert apt_calls(calls) == []


def test_without_root_the_install_goes_through_sudo(machine, source_dir):
    proc, calls = machine([os.path.join(source_dir, "setup.sh")], missing="swig libxml2-utils", uid="1000")
    assert proc.returncode == 0, proc.stderr
    assert [c for c in calls if c.startswith("sudo")] == [
        "sudo apt-get update",
        "sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends swig libxml2-utils"], calls


def test_without_root_or_sudo_it_says_what_to_install(machine, source_dir):
    proc, calls = machine([os.path.join(source_dir, "setup.sh")], missing="swig", uid="1000", sudo=False)
    assert proc.returncode != 0
    assert "install them by hand: swig" in proc.stderr
    assert not any(c.startswith("cmake") for c in calls)


@pytest.mark.parametrize("level, jobs", [(None, "-j " + subprocess.check_output(["nproc"], text=True).strip()),
                                         ("3", None)])
def test_build_jobs_follow_cmake_build_parallel_level(machine, source_dir, level, jobs):
    env = {"CMAKE_BUILD_PARALLEL_LEVEL": level} if level else {}
    proc, calls = machine([os.path.join(source_dir, "setup.sh")], env_extra=env)
    assert proc.returncode == 0, proc.stderr
    build = [c for c in calls if c.startswith("cmake --build")]
    assert len(build) == 1, calls
    if jobs:
        assert jobs in build[0]
    else:
        assert "-j" not in build[0].split()
