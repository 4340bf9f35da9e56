import numpy as np
import pytest

import frames
from frames import ADDITIVE_TERMS, additive_predictor, covariates, cr_predictor, edited, loaded, tensor_predictor
from protocols import Index, Real

MODEL = loaded(cr_predictor())
X = covariates(4)
NAN = float("nan")


def call(method, *args, **kwargs):
    return getattr(MODEL, method)(*args, **kwargs)


# (name, method, positional, keywords, message)
BINDING_CASES = [
    ("predict nothing", "predict", (), {}, "FittedGam.predict() missing 1 required positional argument: 'x_new'"),
    ("predict two positional", "predict", (X, X), {},
     "FittedGam.predict() takes 1 positional arguments but 2 were given"),
    ("predict_response unknown keyword", "predict_response", (X,), {"x": X},
     "FittedGam.predict_response() got an unexpected keyword argument 'x'"),
    ("evaluate_lpmatrix twice", "evaluate_lpmatrix", (X,), {"x_new": X},
     "FittedGam.evaluate_lpmatrix() got multiple values for argument 'x_new'"),
    ("predict_ci four positional", "predict_ci", (X, 0.9, "link", 1), {},
     "FittedGam.predict_ci() takes from 1 to 3 positional arguments but 4 were given"),
    ("predict_ci keywords only, x missing", "predict_ci", (), {"level": 0.9, "scale": "link"},
     "FittedGam.predict_ci() missing 1 required positional argument: 'x_new'"),
    ("predict_diff nothing", "predict_diff", (), {},
     "FittedGam.predict_diff() missing 2 required positional arguments: 'x_a' and 'x_b'"),
    ("predict_diff one", "predict_diff", (X,), {},
     "FittedGam.predict_diff() missing 1 required positional argument: 'x_b'"),
    ("predict_diff four positional", "predict_diff", (X, X, 0.9, 0.9), {},
     "FittedGam.predict_diff() takes from 2 to 3 positional arguments but 4 were given"),
    ("predict_diff level twice", "predict_diff", (X, X, 0.9), {"level": 0.9},
     "FittedGam.predict_diff() got multiple values for argument 'level'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", [c[1:] for c in BINDING_CASES],
                         ids=[c[0] for c in BINDING_CASES])
def test_binding_errors(method, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        call(method, *args, **kwargs)
    assert type(error.value) is TypeError
    assert str(error.value) == message


def test_every_parameter_binds_by_keyword():
    np.testing.assert_array_equal(MODEL.predict(x_new=X), MODEL.predict(X))
    for a, b in zip(MODEL.predict_ci(x_new=X, level=0.8, scale="link"), MODEL.predict_ci(X, 0.8, "link")):
        np.testing.assert_array_equal(a, b)
    for a, b in zip(MODEL.predict_diff(x_b=X[:1], x_a=X, level=0.8), MODEL.predict_diff(X, X[:1], 0.8)):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("method", ["vcov", "term_col_ranges", "serialize", "__reduce__"])
def test_no_argument_methods_refuse_arguments(method):
    with pytest.raises(TypeError) as error:
        call(method, X)
    assert str(error.value) == f"FittedGam.{method}() takes no arguments (1 given)"


# (name, value given for the array, first slot of the cast failure)
ARRAY_REJECTIONS = [
    ("list", [[0.5]], "list"),
    ("None", None, "NoneType"),
    ("float32", X.astype(np.float32), "ndarray"),
    ("int64", X.astype(np.int64), "ndarray"),
    ("big-endian", X.astype(">f8"), "ndarray"),
    ("one-dimensional", X[:, 0], "ndarray"),
    ("three-dimensional", X[:, :, None], "ndarray"),
]


@pytest.mark.parametrize("value, type_name", [c[1:] for c in ARRAY_REJECTIONS], ids=[c[0] for c in ARRAY_REJECTIONS])
@pytest.mark.parametrize(
    "method, parameter, arguments",
    [
        ("predict", "x_new", lambda v: (v,)),
        ("predict_response", "x_new", lambda v: (v,)),
        ("evaluate_lpmatrix", "x_new", lambda v: (v,)),
        ("predict_ci", "x_new", lambda v: (v,)),
        ("predict_diff", "x_a", lambda v: (v, X)),
        ("predict_diff", "x_b", lambda v: (X, v)),
    ],
)
def test_array_rejections(method, parameter, arguments, value, type_name):
    with pytest.raises(TypeError) as error:
        call(method, *arguments(value))
    assert str(error.value) == f"argument '{parameter}': '{type_name}' object cannot be cast as 'ndarray'"


# (name, keywords, exception type, message)
PREDICT_CI_ERRORS = [
    ("level 1.0", {"level": 1.0}, ValueError, "level must be in (0, 1); got level=1"),
    ("level 0.0", {"level": 0.0}, ValueError, "level must be in (0, 1); got level=0"),
    ("level -0.0", {"level": -0.0}, ValueError, "level must be in (0, 1); got level=-0"),
    ("level NaN", {"level": NAN}, ValueError, "level must be in (0, 1); got level=NaN"),
    ("level 2.5", {"level": 2.5}, ValueError, "level must be in (0, 1); got level=2.5"),
    ("level -inf", {"level": -float("inf")}, ValueError, "level must be in (0, 1); got level=-inf"),
    ("level tiny negative", {"level": -1e-7}, ValueError, "level must be in (0, 1); got level=-0.0000001"),
    ("level int 1", {"level": 1}, ValueError, "level must be in (0, 1); got level=1"),
    ("level True", {"level": True}, ValueError, "level must be in (0, 1); got level=1"),
    ("level index 0", {"level": Index(0)}, ValueError, "level must be in (0, 1); got level=0"),
    ("level __float__ 3", {"level": Real(3.0)}, ValueError, "level must be in (0, 1); got level=3"),
    ("level None", {"level": None}, TypeError, "argument 'level': must be real number, not NoneType"),
    ("level str", {"level": "0.9"}, TypeError, "argument 'level': must be real number, not str"),
    ("level huge int", {"level": 10**400}, OverflowError, "int too large to convert to float"),
    ("scale Link", {"scale": "Link"}, ValueError, "scale must be 'link' or 'response', got \"Link\""),
    ("scale LINK", {"scale": "LINK"}, ValueError, "scale must be 'link' or 'response', got \"LINK\""),
    ("scale padded", {"scale": " link"}, ValueError, "scale must be 'link' or 'response', got \" link\""),
    ("scale with controls", {"scale": 'a"\\\n\0'}, ValueError,
     "scale must be 'link' or 'response', got \"a\\\"\\\\\\n\\0\""),
    ("scale empty", {"scale": ""}, ValueError, "scale must be 'link' or 'response', got \"\""),
    ("scale None", {"scale": None}, TypeError, "argument 'scale': 'NoneType' object cannot be cast as 'str'"),
    ("scale bytes", {"scale": b"link"}, TypeError, "argument 'scale': 'bytes' object cannot be cast as 'str'"),
    ("scale lone surrogate", {"scale": "\udc80"}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    # Order: conversions of both, then the scale's value, then the level's.
    ("scale value before level value", {"level": 2.0, "scale": "Link"}, ValueError,
     "scale must be 'link' or 'response', got \"Link\""),
    ("level conversion before scale conversion", {"level": None, "scale": None}, TypeError,
     "argument 'level': must be real number, not NoneType"),
    ("scale conversion before level value", {"level": 2.0, "scale": None}, TypeError,
     "argument 'scale': 'NoneType' object cannot be cast as 'str'"),
]


@pytest.mark.parametrize("kwargs, kind, message", [c[1:] for c in PREDICT_CI_ERRORS],
                         ids=[c[0] for c in PREDICT_CI_ERRORS])
def test_predict_ci_argument_errors(kwargs, kind, message):
    with pytest.raises(Exception) as error:
        MODEL.predict_ci(X, **kwargs)
    assert type(error.value) is kind
    assert str(error.value) == message


def test_predict_ci_accepts_str_subclasses_and_float_protocols():
    class Scale(str):
        pass

    reference = MODEL.predict_ci(X, 0.25, "link")
    for a, b in zip(MODEL.predict_ci(X, Real(0.25), Scale("link")), reference):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize(
    "level, message",
    [
        (1.0, "level must be in (0, 1); got level=1"),
        (None, "argument 'level': must be real number, not NoneType"),
    ],
)
def test_predict_diff_level_errors(level, message):
    with pytest.raises((TypeError, ValueError)) as error:
        MODEL.predict_diff(X, X, level)
    assert str(error.value) == message


def test_level_errors_come_before_the_model_matrix():
    no_columns = np.zeros((2, 0))
    with pytest.raises(ValueError) as error:
        MODEL.predict_ci(no_columns, 2.0)
    assert str(error.value) == "level must be in (0, 1); got level=2"
    with pytest.raises(ValueError) as error:
        MODEL.predict_diff(no_columns, no_columns, 2.0)
    assert str(error.value) == "level must be in (0, 1); got level=2"


def test_model_matrix_errors_name_the_first_array():
    tensor = loaded(tensor_predictor(col_a=0, col_b=2))
    one_column, three_columns = np.zeros((2, 1)), np.zeros((2, 3))
    message = "TensorPredictor: term reads columns (0, 2) but x has only 1 columns"
    for args in [(one_column, three_columns), (three_columns, one_column)]:
        with pytest.raises(ValueError) as error:
            tensor.predict_diff(*args)
        assert str(error.value) == message


@pytest.mark.parametrize("method", ["predict", "predict_response", "evaluate_lpmatrix", "predict_ci"])
def test_rows_without_columns_are_refused(method):
    with pytest.raises(ValueError) as error:
        call(method, np.zeros((3, 0)))
    assert str(error.value) == "x_new must have at least one column"


def test_additive_model_names_the_term_and_column_it_misses():
    model = loaded(additive_predictor(ADDITIVE_TERMS))
    with pytest.raises(ValueError) as error:
        model.predict(covariates(3)[:, :2])
    assert str(error.value) == "AdditivePredictor: term 1 expects column 2 but x has only 2 columns"


def set_beta(n):
    def edit(body):
        body["beta"] = frames.array(np.zeros(n))
    return edit


def set_beta_and_vcov(n):
    def edit(body):
        body["beta"] = frames.array(np.zeros(n))
        body["vcov"] = frames.array(np.eye(n))
    return edit


def set_predictor(key, value):
    def edit(body):
        body["predictor"][key] = value
    return edit


def set_vcov(shape):
    def edit(body):
        body["vcov"] = frames.array(np.zeros(shape))
    return edit


ADDITIVE = loaded(additive_predictor(ADDITIVE_TERMS))
P_ADDITIVE = len(ADDITIVE.beta)

# Loaded models whose members disagree in size: (name, model, edit, message).
INCONSISTENT_MODELS = [
    ("beta longer than vcov", MODEL, set_beta(6),
     "FittedGam: vcov must be 6 × 6, one row and column per entry of beta; got 5 × 5"),
    ("vcov 2 × 3", MODEL, set_vcov((2, 3)),
     "FittedGam: vcov must be 5 × 5, one row and column per entry of beta; got 2 × 3"),
    ("empty vcov", MODEL, set_vcov((0, 0)),
     "FittedGam: vcov must be 5 × 5, one row and column per entry of beta; got 0 × 0"),
    ("beta and vcov wider than the model matrix", MODEL, set_beta_and_vcov(6),
     "FittedGam: beta has 6 entries but the model matrix has 5 columns"),
    ("beta and vcov narrower than the model matrix", MODEL, set_beta_and_vcov(2),
     "FittedGam: beta has 2 entries but the model matrix has 5 columns"),
    ("cols_used short of a term", ADDITIVE, set_predictor("cols_used", [[0], [2], [0, 1]]),
     "AdditivePredictor: term 3 has no cols_used entry (3 entries for 4 terms)"),
    ("cols_used entry empty", ADDITIVE, set_predictor("cols_used", [[], [2], [0, 1], [1]]),
     "AdditivePredictor: term 0 has an empty cols_used entry"),
    ("additive vcov short", ADDITIVE, set_vcov((P_ADDITIVE - 1, P_ADDITIVE - 1)),
     f"FittedGam: vcov must be {P_ADDITIVE} × {P_ADDITIVE}, one row and column per entry of beta; "
     f"got {P_ADDITIVE - 1} × {P_ADDITIVE - 1}"),
]

PREDICTIONS = [
    ("predict", lambda m, x: m.predict(x)),
    ("predict_response", lambda m, x: m.predict_response(x)),
    ("evaluate_lpmatrix", lambda m, x: m.evaluate_lpmatrix(x)),
    ("predict_ci", lambda m, x: m.predict_ci(x)),
    ("predict_diff", lambda m, x: m.predict_diff(x, x[:1])),
]


@pytest.mark.parametrize("source, edit, message", [c[1:] for c in INCONSISTENT_MODELS],
                         ids=[c[0] for c in INCONSISTENT_MODELS])
@pytest.mark.parametrize("predict", [p for _, p in PREDICTIONS], ids=[n for n, _ in PREDICTIONS])
def test_inconsistent_loaded_models_fail_every_prediction(source, edit, message, predict):
    model = edited(source, edit)
    for x in [covariates(7), covariates(7)[:0]]:
        with pytest.raises(ValueError) as error:
            predict(model, x)
        assert str(error.value) == message
    # The accessors copy out whatever was stored.
    assert model.vcov().shape == tuple(frames.body_of(model.serialize())["vcov"]["dim"])


def test_arrays_are_read_after_the_last_python_callback():
    x = covariates(4)

    class Growing:
        # Reallocates x_new while the level is converted: the data, shape
        # and strides read afterwards are the new ones.
        def __float__(self):
            x.resize((9, 3), refcheck=False)
            x[4:] = covariates(5, seed=9)
            return 0.9

    mean, lo, hi = MODEL.predict_ci(x, Growing(), "link")
    assert mean.shape == (9,)
    for a, b in zip((mean, lo, hi), MODEL.predict_ci(x.copy(), 0.9, "link")):
        np.testing.assert_array_equal(a, b)

    class Flattening:
        def __float__(self):
            x.shape = (27,)
            return 0.9

    with pytest.raises(TypeError) as error:
        MODEL.predict_diff(X, x, Flattening())
    assert str(error.value) == "argument 'x_b': 'ndarray' object cannot be cast as 'ndarray'"
