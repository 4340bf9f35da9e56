import numpy as np
import pytest
from conftest import UNFITTED_FAMILY, accepted

from kavri import FittedGam, fit, fit_additive
from protocols import Index, Real
from simulated import X as X_TRAIN
from simulated import Y_ANY as Y_TRAIN

X = np.zeros((6, 2))
Y = np.zeros(6)
TERMS = [(0, "cr")]


# (name, callee, positional, keywords, message)
BINDING_CASES = [
    ("fit no arguments", fit, (), {},
     "fit() missing 3 required positional arguments: 'family_name', 'x', and 'y'"),
    ("fit two arguments", fit, ("gaussian", X), {},
     "fit() missing 1 required positional argument: 'y'"),
    ("fit y by keyword only", fit, (), {"y": Y},
     "fit() missing 2 required positional arguments: 'family_name' and 'x'"),
    ("fit sixteen positional", fit, ("gaussian", X, Y) + (None,) * 13, {},
     "fit() takes from 3 to 15 positional arguments but 16 were given"),
    ("fit unexpected keyword", fit, ("gaussian", X, Y), {"foo": 1},
     "fit() got an unexpected keyword argument 'foo'"),
    ("fit position and keyword", fit, ("gaussian", X, Y), {"x": X},
     "fit() got multiple values for argument 'x'"),
    # Keywords are checked in the order given, before missing parameters.
    ("fit unknown before repeated", fit, ("gaussian", X, Y), {"foo": 1, "x": X},
     "fit() got an unexpected keyword argument 'foo'"),
    ("fit repeated before unknown", fit, ("gaussian", X, Y), {"x": X, "foo": 1},
     "fit() got multiple values for argument 'x'"),
    ("fit unknown before missing", fit, (), {"foo": 1},
     "fit() got an unexpected keyword argument 'foo'"),
    ("fit too many before unknown", fit, ("gaussian", X, Y) + (None,) * 13, {"foo": 1},
     "fit() takes from 3 to 15 positional arguments but 16 were given"),
    ("fit_additive no arguments", fit_additive, (), {},
     "fit_additive() missing 4 required positional arguments: 'family_name', 'x', 'y', and 'terms'"),
    ("fit_additive terms missing", fit_additive, ("gaussian", X, Y), {},
     "fit_additive() missing 1 required positional argument: 'terms'"),
    ("fit_additive six positional", fit_additive, ("gaussian", X, Y, TERMS, None, None), {},
     "fit_additive() takes from 4 to 5 positional arguments but 6 were given"),
    ("fit_additive terms twice", fit_additive, ("gaussian", X, Y, TERMS), {"terms": TERMS},
     "fit_additive() got multiple values for argument 'terms'"),
    ("deserialize missing", FittedGam.deserialize, (), {},
     "FittedGam.deserialize() missing 1 required positional argument: 'bytes'"),
    # Every parameter required: the count is not a range, and stays plural.
    ("deserialize two positional", FittedGam.deserialize, (b"", b""), {},
     "FittedGam.deserialize() takes 1 positional arguments but 2 were given"),
    ("deserialize unexpected keyword", FittedGam.deserialize, (), {"data": b""},
     "FittedGam.deserialize() got an unexpected keyword argument 'data'"),
]


@pytest.mark.parametrize("callee, args, kwargs, message", [c[1:] for c in BINDING_CASES],
                         ids=[c[0] for c in BINDING_CASES])
def test_binding_errors(callee, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        callee(*args, **kwargs)
    assert type(error.value) is TypeError
    assert str(error.value) == message


def test_every_parameter_binds_by_keyword():
    with accepted():
        fit(family_name=UNFITTED_FAMILY, x=X, y=Y, weights=None, k=5, design="re", theta=1.0, nu=2.0,
            sigma2=1.0, tweedie_p=1.5, tweedie_phi=1.0, r=3, tau=0.5, elf_sigma=1.0, elf_lambda=1.0)
    by_keyword = fit_additive(family_name="gaussian", x=X_TRAIN, y=Y_TRAIN, terms=TERMS, weights=Y_TRAIN)
    by_position = fit_additive("gaussian", X_TRAIN, Y_TRAIN, TERMS, Y_TRAIN)
    assert by_keyword.serialize() == by_position.serialize()


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


# Values accepted by each kind of conversion reach the fit.
@pytest.mark.parametrize(
    "kwargs",
    [
        {"k": True},
        {"k": IntSubclass(4)},
        {"k": Index(7)},
        {"k": 2**64 - 1},
        {"r": True},
        {"r": None},
        {"theta": 3},
        {"theta": Real(0.25)},
        {"theta": Index(2)},
        {"theta": float("nan")},
        {"tau": None},
        {"design": StrSubclass("cr")},
        {"weights": None},
        {"weights": Y},
    ],
    ids=repr,
)
def test_accepted_conversions(kwargs):
    with accepted():
        fit(UNFITTED_FAMILY, X, Y, **kwargs)


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class SpecialTypeError(TypeError):
    pass


# (name, keywords, exception type, message)
CONVERSION_CASES = [
    ("design None", {"design": None}, TypeError, "argument 'design': 'NoneType' object cannot be cast as 'str'"),
    ("family int", {"family_name": 3}, TypeError, "argument 'family_name': 'int' object cannot be cast as 'str'"),
    ("family bytes", {"family_name": b"gaussian"}, TypeError,
     "argument 'family_name': 'bytes' object cannot be cast as 'str'"),
    ("family lone surrogate", {"family_name": "\ud800"}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ("k negative", {"k": -1}, OverflowError, "can't convert negative int to unsigned"),
    ("k too large", {"k": 2**64}, OverflowError, "int too big to convert"),
    ("k float", {"k": 2.5}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("k None", {"k": None}, TypeError, "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
    ("r negative", {"r": -1}, OverflowError, "can't convert negative int to unsigned"),
    ("r str", {"r": "3"}, TypeError, "argument 'r': 'str' object cannot be interpreted as an integer"),
    ("theta str", {"theta": "a"}, TypeError, "argument 'theta': must be real number, not str"),
    ("theta huge int", {"theta": 10**400}, OverflowError, "int too large to convert to float"),
    ("index raising ValueError", {"k": RaisingIndex(ValueError("bad k"))}, ValueError, "bad k"),
    # Only TypeError itself is renamed; a subclass passes through untouched.
    ("index raising TypeError subclass", {"k": RaisingIndex(SpecialTypeError("odd"))}, SpecialTypeError, "odd"),
]


@pytest.mark.parametrize("kwargs, kind, message", [c[1:] for c in CONVERSION_CASES],
                         ids=[c[0] for c in CONVERSION_CASES])
def test_conversion_errors(kwargs, kind, message):
    arguments = {"family_name": "gaussian", "x": X, "y": Y}
    arguments.update(kwargs)
    with pytest.raises(Exception) as error:
        fit(**arguments)
    assert type(error.value) is kind
    assert str(error.value) == message


def test_renamed_type_error_keeps_the_cause_and_drops_the_original():
    cause = KeyError("inner")
    inner = TypeError("boom")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as error:
        fit("gaussian", X, Y, k=RaisingIndex(inner))
    assert str(error.value) == "argument 'k': boom"
    assert error.value is not inner
    assert error.value.__cause__ is cause
    assert error.value.__context__ is None


def test_conversions_stop_at_the_first_failure():
    # `design` fails before `theta` is looked at.
    with pytest.raises(TypeError) as error:
        fit("gaussian", X, Y, design=None, theta="a")
    assert str(error.value) == "argument 'design': 'NoneType' object cannot be cast as 'str'"
    # Parameter order, not keyword order, decides.
    with pytest.raises(TypeError) as error:
        fit(theta="a", y=[1.0], x=X, family_name="gaussian")
    assert str(error.value) == "argument 'y': 'list' object cannot be cast as 'ndarray'"


def big_endian(a):
    return a.astype(a.dtype.newbyteorder(">"))


def unaligned(shape):
    buffer = np.zeros(int(np.prod(shape)) * 8 + 1, dtype=np.uint8)
    a = np.frombuffer(buffer.data, dtype=np.float64, count=int(np.prod(shape)), offset=1).reshape(shape)
    assert not a.flags.aligned
    return a


def odd_strides(shape):
    base = np.zeros(200, dtype=np.uint8)
    a = np.lib.stride_tricks.as_strided(base[:8].view(np.float64), shape=shape, strides=(12,) * len(shape))
    return a


# (name, parameter, value, type name in the first slot)
ARRAY_REJECTIONS = [
    ("x list", "x", [[0.0, 1.0]], "list"),
    ("x None", "x", None, "NoneType"),
    ("x float32", "x", X.astype(np.float32), "ndarray"),
    ("x int64", "x", X.astype(np.int64), "ndarray"),
    ("x complex", "x", X.astype(np.complex128), "ndarray"),
    ("x big-endian", "x", big_endian(X), "ndarray"),
    ("x one-dimensional", "x", Y, "ndarray"),
    ("x three-dimensional", "x", np.zeros((2, 3, 1)), "ndarray"),
    ("x zero-dimensional", "x", np.array(1.0), "ndarray"),
    ("x unaligned", "x", unaligned((3, 2)), "ndarray"),
    ("x strides not whole elements", "x", odd_strides((3, 2)), "ndarray"),
    ("x numpy scalar", "x", np.float64(1.0), "float64"),
    ("y list", "y", [0.0] * 6, "list"),
    ("y two-dimensional", "y", X, "ndarray"),
    ("y float32", "y", Y.astype(np.float32), "ndarray"),
    ("weights int64", "weights", Y.astype(np.int64), "ndarray"),
    ("weights tuple", "weights", (1.0,) * 6, "tuple"),
]


@pytest.mark.parametrize("parameter, value, type_name", [c[1:] for c in ARRAY_REJECTIONS],
                         ids=[c[0] for c in ARRAY_REJECTIONS])
def test_array_rejections(parameter, value, type_name):
    arguments = {"family_name": "gaussian", "x": X, "y": Y, parameter: value}
    with pytest.raises(TypeError) as error:
        fit(**arguments)
    assert str(error.value) == f"argument '{parameter}': '{type_name}' object cannot be cast as 'ndarray'"


def test_fit_additive_applies_the_same_array_rules():
    with pytest.raises(TypeError) as error:
        fit_additive("gaussian", X.astype(np.float32), Y, TERMS)
    assert str(error.value) == "argument 'x': 'ndarray' object cannot be cast as 'ndarray'"
    with pytest.raises(TypeError) as error:
        fit_additive("gaussian", X, Y, TERMS, weights=[1.0] * 6)
    assert str(error.value) == "argument 'weights': 'list' object cannot be cast as 'ndarray'"


class SubArray(np.ndarray):
    pass


def strided_inputs():
    big = np.arange(48.0).reshape(12, 4)
    return [
        ("fortran order", np.asfortranarray(X)),
        ("every second row", big[::2, :2]),
        ("reversed rows and columns", big[::-1, ::-1]),
        ("broadcast rows", np.broadcast_to(np.arange(2.0), (6, 2))),
        ("zero rows", np.zeros((0, 2))),
        ("subclass", X.view(SubArray)),
        ("read-only", np.frombuffer(bytes(96), dtype=np.float64).reshape(6, 2)),
        ("native-order dtype spelled explicitly", X.astype("=f8")),
    ]


@pytest.mark.parametrize("x", [c[1] for c in strided_inputs()], ids=[c[0] for c in strided_inputs()])
def test_any_strides_and_subclasses_are_accepted(x):
    with accepted():
        fit(UNFITTED_FAMILY, x, Y[::-1], weights=np.ones(12)[::2])


def test_terms_must_be_a_list():
    with pytest.raises(TypeError) as error:
        fit_additive("gaussian", X, Y, ((0, "cr"),))
    assert str(error.value) == "argument 'terms': 'tuple' object cannot be cast as 'list'"


def test_list_subclass_is_accepted_for_terms():
    class Terms(list):
        pass

    model = fit_additive("gaussian", X_TRAIN, Y_TRAIN, Terms(TERMS))
    assert model.serialize() == fit_additive("gaussian", X_TRAIN, Y_TRAIN, TERMS).serialize()


@pytest.mark.parametrize(
    "value, message",
    [
        (bytearray(b"KAVRI"), "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"),
        (memoryview(b"KAVRI"), "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'"),
        ("KAVRI", "argument 'bytes': 'str' object cannot be cast as 'bytes'"),
    ],
)
def test_deserialize_requires_bytes(value, message):
    with pytest.raises(TypeError) as error:
        FittedGam.deserialize(value)
    assert str(error.value) == message


def test_array_changed_by_a_later_conversion_is_checked_again():
    x = np.zeros((6, 2))

    class Reshaping:
        def __index__(self):
            x.shape = (12,)
            return 5

    with pytest.raises(TypeError) as error:
        fit("gaussian", x, Y, k=Reshaping())
    assert str(error.value) == "argument 'x': 'ndarray' object cannot be cast as 'ndarray'"
