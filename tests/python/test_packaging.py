"""The installed package as a user gets it: what the extension loads, the
numbers it gives, its metadata and types, and the build's dependency
messages."""

import ast
import importlib.metadata
import inspect
import os
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import kavri
from kavri import FittedGam
from kavri import _kavri_native as native

PACKAGE_DIR = Path(kavri.__file__).parent
SOURCE_ROOT = Path(__file__).resolve().parents[2]


# --- what the extension loads ---------------------------------------------------

# The C and C++ runtimes; OpenBLAS and its Fortran runtime are inside the
# binary, and the JSON library is header-only.
RUNTIME_LIBRARIES = {"linux-vdso.so.1", "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}


def test_extension_needs_only_the_c_and_cxx_runtimes():
    if shutil.which("ldd") is None:
        pytest.skip("no ldd on this machine")
    out = subprocess.run(["ldd", native.__file__], capture_output=True, text=True, check=True).stdout
    names = {line.split()[0] for line in out.splitlines() if line.strip()}
    loader = {name for name in names if os.path.basename(name).startswith("ld-linux")}
    assert names - loader == names & RUNTIME_LIBRARIES, out
    assert len(loader) == 1, out


IMPORT_CODE = """
import os
import kavri
with open('/proc/self/status') as f:
    threads = [line.split()[1] for line in f if line.startswith('Threads:')][0]
with open('/proc/self/maps') as f:
    paths = {line.split()[-1] for line in f if len(line.split()) >= 6}
print(threads, sorted(p for p in paths if any(w in os.path.basename(p) for w in ('blas', 'lapack', 'fortran', 'quadmath'))))
"""


@pytest.mark.skipif(not Path("/proc/self/maps").exists(), reason="needs /proc")
def test_import_loads_no_blas_whatever_the_library_path_says(tmp_path):
    # Files that are no libraries, under the names a dynamically linked
    # OpenBLAS would be looked up by, first on the loader's path: loading any
    # of them fails, and a threaded build would read the thread count.
    for name in ["libopenblas.so.0", "libblas.so.3", "liblapack.so.3", "libgfortran.so.5", "libquadmath.so.0"]:
        (tmp_path / name).write_bytes(b"not a shared library\n")
    env = dict(os.environ, OPENBLAS_NUM_THREADS="4")
    env["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("LD_LIBRARY_PATH")]))
    out = subprocess.run([sys.executable, "-c", IMPORT_CODE], capture_output=True, text=True,
                         env=env)
    assert (out.returncode, out.stdout.strip(), out.stderr) == (0, "1 []", "")


# A Gaussian additive fit on data made by exact arithmetic alone, in this
# process and in one whose environment asks OpenBLAS for four threads: the
# serial OpenBLAS linked in gives the same bits in both. A threaded one, or
# one loaded from the system at run time, would add its products in another
# order.
REFERENCE_FIT_CODE = """
import hashlib
import numpy as np
import kavri
n = 240
i = np.arange(n, dtype=float)
x = np.column_stack([(i * 0.6180339887498949) % 1.0, (i * 0.7548776662466927) % 1.0,
                     (i * 0.5698402909980532) % 1.0])
wiggle = ((i * 0.41421356237309503) % 1.0) - 0.5
y = 4.0 * x[:, 0] * (1.0 - x[:, 0]) + 2.0 * x[:, 1] * x[:, 2] + 0.5 * wiggle
model = kavri.fit_additive("gaussian", x, y, [(0, "cr", 8), ((1, 2), "te", (4, 4))])
print(model.converged, model.edf_total.hex(), model.reml_value.hex(), model.scale.hex(),
      hashlib.sha256(model.beta.tobytes()).hexdigest())
"""


def test_reference_fit_gives_the_same_bits_whatever_threads_are_asked_for():
    runs = []
    for threads in (None, "4"):
        env = dict(os.environ)
        for name in ("OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"):
            env.pop(name, None)
            if threads:
                env[name] = threads
        out = subprocess.run([sys.executable, "-c", REFERENCE_FIT_CODE], capture_output=True, text=True, env=env)
        assert out.returncode == 0, out.stderr
        runs.append(out.stdout.strip())
    assert runs[0].startswith("True ")
    assert runs[0] == runs[1]


# --- metadata ---------------------------------------------------------------------

def test_one_version_for_cmake_the_metadata_and_the_package():
    version = importlib.metadata.version("kavri")
    assert kavri.__version__ == version
    cmake_lists = SOURCE_ROOT / "CMakeLists.txt"
    if cmake_lists.exists():
        assert re.search(r"project\(kavri VERSION ([0-9.]+)", cmake_lists.read_text()).group(1) == version


def test_metadata_names_the_licence_summary_and_platform():
    meta = importlib.metadata.metadata("kavri")
    assert meta["License"] == "MIT"
    assert meta["Summary"].startswith("Generalized additive models")
    classifiers = meta.get_all("Classifier")
    for expected in ["License :: OSI Approved :: MIT License", "Operating System :: POSIX :: Linux",
                     "Programming Language :: Python :: 3.11", "Typing :: Typed"]:
        assert expected in classifiers
    assert meta.get_all("Author") or meta.get_all("Author-email")
    files = [str(f) for f in importlib.metadata.files("kavri")]
    assert any(f.endswith("LICENSE") for f in files), files


# --- types ------------------------------------------------------------------------

def stub_tree():
    return ast.parse((PACKAGE_DIR / "_kavri_native.pyi").read_text())


def stub_functions(body):
    return {node.name: node for node in body if isinstance(node, ast.FunctionDef)}


def parameters_of(node):
    """Names and defaults of a stub function, without self or cls."""
    args = node.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    pairs = list(zip(names, defaults))
    return pairs[1:] if names and names[0] in ("self", "cls") else pairs


def runtime_parameters(function):
    empty = inspect.Parameter.empty
    return [(p.name, None if p.default is empty else p.default)
            for p in inspect.signature(function).parameters.values() if p.name != "self"]


def test_stub_documents_every_function_getter_and_method_as_they_are():
    assert (PACKAGE_DIR / "py.typed").exists()
    tree = stub_tree()
    functions = stub_functions(tree.body)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    exported = next(ast.literal_eval(node.value) for node in tree.body if isinstance(node, ast.Assign)
                    and node.targets[0].id == "__all__")
    assert exported == native.__all__
    for name in ["fit", "fit_additive"]:
        assert ast.get_docstring(functions[name]), name
        assert parameters_of(functions[name]) == runtime_parameters(getattr(native, name)), name

    cls = classes["FittedGam"]
    # "lambda" is a keyword, so no stub can declare its getter; the class
    # docstring says how to reach it.
    assert 'getattr(model, "lambda")' in ast.get_docstring(cls)
    members = stub_functions(cls.body)
    runtime = {name: value for name, value in vars(FittedGam).items()
               if (not name.startswith("_") or name == "__reduce__") and name != "lambda"}
    assert set(members) == set(runtime)
    for name, value in runtime.items():
        member = members[name]
        assert ast.get_docstring(member), name
        decorators = {d.id for d in member.decorator_list}
        if isinstance(value, types.GetSetDescriptorType):
            assert decorators == {"property"}, name
        else:
            assert parameters_of(member) == runtime_parameters(getattr(FittedGam, name)), name


MYPY_EXAMPLE = '''
import numpy as np
import numpy.typing as npt

import kavri


def fitted_means(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> list[float]:
    model = kavri.fit_additive("poisson", x, y, [(0, "cr", 10), ((1, 2), "te", (5, 5))])
    mean, lo, hi = model.predict_ci(x[:3], level=0.9, scale="link")
    again = kavri.FittedGam.deserialize(model.serialize())
    ranges: list[tuple[int, int]] = again.term_col_ranges()
    edf: float = model.edf_total + float(model.edf_per_term.sum()) + len(ranges)
    version: str = kavri.__version__
    print(version, edf, model.converged and model.n > 0)
    # The stub must know the scales by name: with --strict an ignore that
    # is not needed is an error of its own.
    model.predict_ci(x, scale="mean")  # type: ignore[arg-type]
    return [float(v) for v in model.predict_response(x) - mean + lo - hi]
'''


def test_mypy_strict_accepts_code_written_against_the_stub(tmp_path):
    pytest.importorskip("mypy", reason="no mypy for this Python (scripts/setup installs it into python3)")
    example = tmp_path / "example.py"
    example.write_text(MYPY_EXAMPLE)
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                          str(example)], capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


# --- the build's dependency messages ----------------------------------------------

# Each missing dependency stops the configuration with one line naming what
# to install: CMake's own header line, then the message.
MISSING_DEPENDENCY_CASES = [
    ("json", ["-DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON"], {},
     "kavri: the JSON library nlohmann_json 3.10 or later was not found: install nlohmann-json3-dev"),
    ("openblas", [], {"PKG_CONFIG_LIBDIR": "{empty}", "PKG_CONFIG_PATH": ""},
     "kavri: OpenBLAS not found by pkg-config: install the serial OpenBLAS (Debian: libopenblas-serial-dev)"),
    ("pkg-config", ["-DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON"], {},
     "kavri: pkg-config not found: install pkgconf"),
    ("googletest", ["-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON", "-DKAVRI_BUILD_TESTS=ON"], {},
     "kavri: GoogleTest was not found: install libgtest-dev, or configure with -DKAVRI_BUILD_TESTS=OFF"),
]


@pytest.mark.parametrize("args, env, message", [c[1:] for c in MISSING_DEPENDENCY_CASES],
                         ids=[c[0] for c in MISSING_DEPENDENCY_CASES])
def test_missing_dependency_stops_the_build_with_one_line(tmp_path, args, env, message):
    if not (SOURCE_ROOT / "CMakeLists.txt").exists() or shutil.which("cmake") is None:
        pytest.skip("needs the source tree and CMake")
    empty = tmp_path / "empty"
    empty.mkdir()
    environment = dict(os.environ, **{k: v.format(empty=empty) for k, v in env.items()})
    out = subprocess.run(["cmake", "-S", str(SOURCE_ROOT), "-B", str(tmp_path / "build"), *args],
                         capture_output=True, text=True, env=environment)
    assert out.returncode != 0
    lines = [line.strip() for line in out.stderr.splitlines() if line.strip()]
    assert len(lines) == 2 and lines[0].startswith("CMake Error at CMakeLists.txt:"), out.stderr
    assert lines[1] == message
