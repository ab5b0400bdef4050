"""The built shared object: one exported symbol, and neither libpython nor NumPy linked."""

import shutil
import subprocess

import pytest

import brindlex

pytestmark = pytest.mark.skipif(shutil.which("readelf") is None, reason="needs binutils")


def readelf(*args):
    return subprocess.run(["readelf", *args, brindlex.__file__], capture_output=True, text=True,
                          check=True).stdout


def test_exports_exactly_one_symbol():
    defined = []
    for line in readelf("--dyn-syms", "--wide").splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) >= 8 and fields[0].endswith(":") and fields[6] != "UND":
            if fields[3] in ("FUNC", "OBJECT", "IFUNC", "TLS", "NOTYPE") and fields[4] != "LOCAL":
                defined.append(fields[7].split("@")[0])
    assert defined == ["PyInit_brindlex"]


def test_links_no_python_or_numpy_library():
    needed = [line for line in readelf("--dynamic").splitlines() if "(NEEDED)" in line]
    assert needed
    assert not [line for line in needed if "python" in line.lower() or "numpy" in line.lower()]
