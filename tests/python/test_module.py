import importlib
import inspect
import subprocess
import sys

import pytest

import kavri
from kavri import _kavri_native as native


def test_module_contents_and_order():
    assert native.__all__ == ["FittedGam", "fit", "fit_additive"]
    assert native.__doc__ == ""
    assert native.__name__ == "kavri._kavri_native"
    for name in native.__all__:
        assert getattr(kavri, name) is getattr(native, name)


@pytest.mark.parametrize("name", ["fit", "fit_additive"])
def test_functions_are_builtins_of_the_module(name):
    function = getattr(native, name)
    assert inspect.isbuiltin(function)
    assert function.__module__ == "kavri._kavri_native"
    assert function.__name__ == name


def test_fit_signature_lists_fifteen_parameters_with_defaults():
    parameters = inspect.signature(native.fit).parameters
    assert list(parameters) == [
        "family_name", "x", "y", "weights", "k", "design", "theta", "nu", "sigma2",
        "tweedie_p", "tweedie_phi", "r", "tau", "elf_sigma", "elf_lambda",
    ]
    defaults = {name: p.default for name, p in parameters.items()}
    empty = inspect.Parameter.empty
    assert defaults == {
        "family_name": empty, "x": empty, "y": empty, "weights": None, "k": 10, "design": "cr",
        "theta": None, "nu": None, "sigma2": None, "tweedie_p": None, "tweedie_phi": None,
        "r": None, "tau": None, "elf_sigma": None, "elf_lambda": None,
    }
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters.values())


def test_fit_additive_signature():
    assert str(inspect.signature(native.fit_additive)) == "(family_name, x, y, terms, weights=None)"


@pytest.mark.parametrize(
    "name, opening",
    [
        ("fit", "Fit a kavri GAM. The only string-keyed entry into the typed core."),
        ("fit_additive", "Fit an additive GAM"),
    ],
)
def test_function_docstrings_open_after_the_signature(name, opening):
    assert getattr(native, name).__doc__.startswith(opening)


def test_reinitialisation_returns_the_same_module_and_class():
    module, cls = native, native.FittedGam
    del sys.modules["kavri._kavri_native"]
    try:
        again = importlib.import_module("kavri._kavri_native")
    finally:
        sys.modules["kavri._kavri_native"] = module
    assert again is module
    assert again.FittedGam is cls
    assert again.__all__ == ["FittedGam", "fit", "fit_additive"]


SUBINTERPRETER_CODE = """
import os
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    try:
        import _interpreters as interpreters
    except ImportError:
        print("unavailable")
        raise SystemExit(0)
import kavri
read_end, write_end = os.pipe()
interp = interpreters.create()
try:
    interpreters.run_string(interp, f'''
import os
try:
    import kavri._kavri_native
except ImportError as error:
    os.write({write_end}, ("ImportError: " + str(error)).encode())
else:
    os.write({write_end}, b"imported")
''')
finally:
    interpreters.destroy(interp)
os.close(write_end)
print(os.read(read_end, 4096).decode())
"""


def test_second_interpreter_is_refused_with_import_error():
    # A fresh process, so that the test suite's own interpreter stays clean.
    out = subprocess.run([sys.executable, "-c", SUBINTERPRETER_CODE], capture_output=True, text=True, check=True)
    result = out.stdout.strip()
    if result == "unavailable":
        pytest.skip("this Python has no subinterpreter module")
    assert result == (
        "ImportError: kavri._kavri_native does not support being imported into a second "
        "(sub-)interpreter of the same process"
    )


FIRST_ARRAY_CODE = """
import sys
import kavri
assert "numpy" not in sys.modules, "the import loaded NumPy"
import numpy as np
try:
    kavri.fit("gaussian", np.zeros((3, 1)), np.zeros(3), k=-1)
except OverflowError:
    print("arrays converted")
"""


def test_numpy_is_reached_on_first_use_without_deprecation_warnings():
    # Under NumPy 2 the old module name warns; every warning is an error here.
    out = subprocess.run([sys.executable, "-W", "error", "-c", FIRST_ARRAY_CODE], capture_output=True, text=True)
    assert (out.returncode, out.stdout.strip(), out.stderr) == (0, "arrays converted", "")


# Python code that the one-time NumPy setup runs, calling back into the
# module: a property on numpy.__version__, or on the C interface of NumPy's
# multiarray module. The same thread must get an error, not wait for itself.
REENTRY_CODE = """
import sys
import threading
import time
import types
import numpy as np
import kavri

x = np.linspace(0.0, 1.0, 20)[:, None]
y = np.sin(3.0 * x[:, 0])
hook, target = sys.argv[1], sys.argv[2]
module = np if target == "version" else next(
    sys.modules[name] for name in ("numpy._core.multiarray", "numpy.core.multiarray") if name in sys.modules)
attribute = "__version__" if target == "version" else "_ARRAY_API"
inner = []


def fit():
    return kavri.fit_additive("gaussian", x, y, [(0, "cr", 5)])


def other_thread():
    inner.append(f"other thread: {type(fit()).__name__}")


class Hooked(types.ModuleType):
    def __getattribute__(self, name):
        if name == attribute:
            if hook == "same thread":
                try:
                    fit()
                except RuntimeError as error:
                    inner.append(f"inner: RuntimeError: {error}")
                    raise
            else:
                thread = threading.Thread(target=other_thread)
                thread.start()
                inner.append(thread)
                time.sleep(0.2)  # lets the thread reach the setup and wait there
        return super().__getattribute__(name)


module.__class__ = Hooked
try:
    result = type(fit()).__name__
except RuntimeError as error:
    result = f"RuntimeError: {error}"
module.__class__ = types.ModuleType
for item in list(inner):
    if isinstance(item, threading.Thread):
        item.join()
        inner.remove(item)
print(result)
print(*inner, sep="\\n")
# A failed setup leaves nothing behind: the next call sets up and fits.
print("after:", type(fit()).__name__)
"""

REENTRY_ERROR = (
    "RuntimeError: kavri._kavri_native: re-entered during its one-time setup on the same thread (Python code "
    "that the setup ran, such as an import hook or a module attribute, called into the module); call it again "
    "once the setup has finished"
)


@pytest.mark.parametrize("target", ["version", "multiarray"])
def test_reentry_from_the_setup_raises_on_the_same_thread(target):
    # A fresh process, since the setup runs once per process; the timeout
    # bounds a call that would otherwise wait for itself forever.
    out = subprocess.run([sys.executable, "-c", REENTRY_CODE, "same thread", target], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [REENTRY_ERROR, "inner: " + REENTRY_ERROR, "after: FittedGam"]


def test_other_threads_wait_for_the_setup_and_share_it():
    out = subprocess.run([sys.executable, "-c", REENTRY_CODE, "other thread", "version"], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["FittedGam", "other thread: FittedGam", "after: FittedGam"]
