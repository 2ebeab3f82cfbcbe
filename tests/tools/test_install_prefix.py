"""The installed library and the build against it: "cmake --install" of the
build tree makes the prefix that -DQUORVELA_ROOT reads, its programs and its
binding load the prefix's library, and a prefix that lacks a part is refused
at configure time, naming the part."""

import concurrent.futures
import os
import shutil
import subprocess

import pytest

from conftest import SOURCE

BUILD = os.environ.get("QV_BUILD_DIR", "")
PYDIR = "lib/python3/dist-packages"

pytestmark = pytest.mark.skipif(not os.path.isfile(os.path.join(BUILD, "CMakeCache.txt")),
                                reason="QV_BUILD_DIR names no build tree")


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    path = tmp_path_factory.mktemp("install") / "prefix"
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(path)], check=True, capture_output=True,
                   timeout=120)
    return path


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH", "LD_PRELOAD")}
    env.update(extra)
    return env


def cached(entry):
    """True when the build's cache holds the line "<entry>"."""
    path = os.path.join(BUILD, "CMakeCache.txt")
    if not os.path.isfile(path):
        return False
    with open(path) as cache:
        return any(line.strip() == entry for line in cache)


# The peer is installed unless the build leaves it out.
PEER_FILES = [] if cached("QV_PEER:BOOL=OFF") else ["bin/dds_peer", "bin/dds_peer_tests"]


def loaded_library(ldd_target):
    out = subprocess.run(["ldd", str(ldd_target)], check=True, capture_output=True, text=True,
                         env=clean_env(), timeout=30).stdout
    return [line.split()[2] for line in out.splitlines() if line.split() and line.split()[0].startswith("libquorvela.so")]


def test_layout(prefix):
    for rel in ["include/quorvela/quorvela.h", "include/quorvela/qos.h", "include/quorvela/python/quorvela_py_types.h",
                "lib/libquorvela.so.1.1", PYDIR + "/quorvela.py", PYDIR + "/_quorvela.so"] + PEER_FILES:
        assert (prefix / rel).is_file(), rel
    # The SONAME's file and the link-time name lead to the one library.
    assert os.readlink(prefix / "lib/libquorvela.so.1") == "libquorvela.so.1.1"
    assert os.path.realpath(prefix / "lib/libquorvela.so") == str(prefix / "lib/libquorvela.so.1.1")
    dynamic = subprocess.run(["readelf", "-d", str(prefix / "lib/libquorvela.so.1.1")], check=True,
                             capture_output=True, text=True, timeout=30).stdout
    assert "[libquorvela.so.1]" in dynamic


def test_installed_peer_loads_the_prefix_library(prefix):
    if not PEER_FILES:
        pytest.skip("the build has no peer (QV_PEER=OFF)")
    want = os.path.realpath(prefix / "lib/libquorvela.so.1")
    assert [os.path.realpath(p) for p in loaded_library(prefix / "bin/dds_peer_tests")] == [want]
    # The peer's tests run from the prefix: they list their registry.
    listing = subprocess.run([str(prefix / "bin/dds_peer_tests"), "--peer_list"], capture_output=True, text=True,
                             env=clean_env(), timeout=60)
    assert listing.returncode == 0, listing.stderr
    assert "\tHistoryQosPolicy" in listing.stdout


def test_installed_binding_loads_the_prefix_library(prefix):
    want = os.path.realpath(prefix / "lib/libquorvela.so.1")
    assert [os.path.realpath(p) for p in loaded_library(prefix / PYDIR / "_quorvela.so")] == [want]
    if cached("QV_SANITIZE:BOOL=ON"):
        pytest.skip("the interpreter is not instrumented; the plain build imports the binding")
    # The binding imports from the prefix alone and maps the prefix's library.
    code = ("import quorvela\n"
            "maps = open('/proc/self/maps').read()\n"
            "print('\\n'.join(sorted({l.split()[-1] for l in maps.splitlines() if 'libquorvela' in l})))\n")
    run = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True, timeout=60,
                         env=clean_env(PYTHONPATH=str(prefix / PYDIR), PYTHONDONTWRITEBYTECODE="1"))
    assert run.returncode == 0, run.stderr
    assert [os.path.realpath(p) for p in run.stdout.split()] == [want]


# A part removed from a complete prefix, and what the refusal names.
MISSING = [
    ("include/quorvela/quorvela.h", "QUORVELA_INCLUDE_DIR"),
    ("lib/libquorvela.so.1.1", "QUORVELA_LIBRARY"),
    ("lib/libquorvela.so.1", "has the SONAME libquorvela.so.1, but"),
    (PYDIR + "/_quorvela.so", "_quorvela*.so beside"),
    ("include/quorvela/python/quorvela_py_types.h", "QUORVELA_PY_TYPES_DIR"),
]
PEER = ["ON", "OFF"]


@pytest.fixture(scope="module")
def configured(prefix, tmp_path_factory):
    """Every configure case at once (each takes seconds): the name of the
    case -> (its build directory, the prefix, cmake's result)."""
    def configure(case, removed, options):
        work = tmp_path_factory.mktemp("configure")
        root = prefix
        if removed:
            root = work / "prefix"
            shutil.copytree(prefix, root, symlinks=True)
            os.unlink(root / removed)
        run = subprocess.run(["cmake", "-S", SOURCE, "-B", str(work / "build"), "-DQUORVELA_ROOT=" + str(root),
                              "-DPython3_EXECUTABLE=/usr/bin/python3", *options],
                             capture_output=True, text=True, timeout=240)
        return case, (work / "build", root, run)

    cases = [(removed, removed, []) for removed, _ in MISSING]
    cases += [("peer=" + peer, None, ["-DQV_PEER=" + peer]) for peer in PEER]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        return dict(pool.map(lambda case: configure(*case), cases))


@pytest.mark.parametrize("removed,named", MISSING, ids=[m[0] for m in MISSING])
def test_incomplete_prefix_is_refused(configured, removed, named):
    _, _, run = configured[removed]
    assert run.returncode != 0, run.stdout
    assert named in " ".join(run.stderr.split()), run.stderr


@pytest.mark.parametrize("peer", PEER)
def test_complete_prefix_configures_without_the_library(configured, peer):
    build, root, run = configured["peer=" + peer]
    assert run.returncode == 0, run.stderr
    assert "QUORVELA under test: %s/lib/libquorvela.so.1.1" % root in run.stdout
    assert not (build / "platform/quorvela").exists()
    assert not (build / "tests").exists()
    assert (build / "src").is_dir() and (build / "python").is_dir()
    assert (build / "platform/peer").is_dir() == (peer == "ON")
