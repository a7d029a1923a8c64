"""The installed package: where its modules find the runtime library in the
layouts pip makes, and the metadata it declares."""
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys

import pytest

import lumo

PACKAGE = os.path.dirname(lumo.__file__)
MODULE = os.path.basename(lumo.__file__)
PY = f"python{sys.version_info.major}.{sys.version_info.minor}"


def wheel_library():
    """libtbb.so.12 as the tbb wheel installed it, or None."""
    try:
        files = importlib.metadata.distribution("tbb").files or []
    except importlib.metadata.PackageNotFoundError:
        return None
    found = [f.locate() for f in files if f.name == "libtbb.so.12"]
    return str(found[0].resolve()) if found and found[0].exists() else None


def install_copy(site, bundled):
    """The installed lumo folder copied into `site`, with or without its own runtime copy."""
    dst = os.path.join(site, "lumo")
    os.makedirs(dst)
    shutil.copy2(os.path.join(PACKAGE, MODULE), dst)
    if bundled:
        shutil.copy2(os.path.join(PACKAGE, "libtbb.so.12"), dst)


def import_from(site):
    """Imports lumo from `site` alone in a fresh interpreter; returns the runtime library it loaded."""
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import lumo\n"
            "assert lumo.__file__.startswith(sys.argv[1])\n"
            "print(lumo.linear_assign([0, 0], [1, 1], [0.1, 0.2], [10.0, 12.0], [3.0, 0.0], [1]))\n"
            "print(*{l.split()[-1] for l in open('/proc/self/maps') if 'libtbb.so' in l})\n")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    out = subprocess.run([sys.executable, "-I", "-S", "-c", code, site], capture_output=True,
                         text=True, timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    result, library = out.stdout.splitlines()
    assert result == "([13.0, 0.0], [0.9999999403953552, 1.9999998807907104])"
    return os.path.realpath(library)


needs_wheel_library = pytest.mark.skipif(wheel_library() is None, reason="tbb wheel not installed")


@needs_wheel_library
@pytest.mark.parametrize("platlib", ["lib", "lib64"])
def test_runtime_library_of_the_tbb_wheel_is_found_beside_the_prefix(tmp_path, platlib):
    # pip puts the tbb wheel's library into <prefix>/lib, also when packages go
    # to <prefix>/lib64/pythonX.Y/site-packages; lumo finds it there first.
    site = tmp_path / platlib / PY / "site-packages"
    install_copy(str(site), bundled=True)
    (tmp_path / "lib").mkdir(exist_ok=True)
    shutil.copy2(wheel_library(), tmp_path / "lib" / "libtbb.so.12")
    assert import_from(str(site)) == str(tmp_path / "lib" / "libtbb.so.12")


def test_runtime_library_shipped_in_the_package_serves_a_target_install(tmp_path):
    # pip install --target DIR keeps no tbb library at all: the copy in lumo/ is used.
    install_copy(str(tmp_path), bundled=True)
    assert import_from(str(tmp_path)) == str(tmp_path / "lumo" / "libtbb.so.12")


@pytest.mark.skipif(shutil.which("readelf") is None, reason="binutils not installed")
def test_every_module_of_the_package_looks_up_the_runtime_library_alike():
    modules = [f for f in os.listdir(PACKAGE) if f.endswith(".so") and f != "libtbb.so.12"]
    assert MODULE in modules
    for name in modules:
        out = subprocess.run(["readelf", "-d", os.path.join(PACKAGE, name)], capture_output=True,
                             text=True, check=True).stdout
        assert re.search(r"\(RUNPATH\).*\[\$ORIGIN/\.\./\.\./\.\.:\$ORIGIN/\.\./\.\./\.\./\.\./lib:\$ORIGIN\]",
                         out), (name, out)


def test_metadata_licence_and_runtime_range():
    # "lumo" on the public index is someone else's project: the distribution
    # has its own name, the import name stays lumo
    dist = importlib.metadata.distribution("lumo-transit")
    assert dist.metadata["Name"] == "lumo-transit"
    assert importlib.metadata.packages_distributions().get("lumo") == ["lumo-transit"]
    meta = dist.metadata
    assert meta["License"] == "MIT"
    licences = [f for f in dist.files if f.name == "LICENSE"]
    assert licences and licences[0].read_text().startswith("MIT License")
    tbb = [r for r in dist.requires if r.startswith("tbb")]
    assert len(tbb) == 1 and "==" not in tbb[0] and "<" in tbb[0] and ">=" in tbb[0], tbb


def test_the_wheel_ships_every_python_file_of_the_package():
    # wheel.packages names the folder: subpackages must come along with it
    src = os.path.join(os.path.dirname(__file__), "..", "python", "lumo")
    want = {os.path.relpath(os.path.join(d, f), src).replace(os.sep, "/")
            for d, _, names in os.walk(src) for f in names
            if f.endswith((".py", ".pyi")) or f == "py.typed"}
    assert "gtfs/__init__.py" in want and "gtfs/_feed.py" in want
    (dist_name,) = importlib.metadata.packages_distributions()["lumo"]
    shipped = {str(f)[len("lumo/"):] for f in importlib.metadata.distribution(dist_name).files
               if str(f).startswith("lumo/")}
    assert want <= shipped, sorted(want - shipped)
