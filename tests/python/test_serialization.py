import copy
import math
import pickle
import struct

import numpy as np
import pytest

import frames
import simulated
from frames import PREDICTORS, covariates, loaded
from kavri import FittedGam

ARRAY_GETTERS = ["beta", "rho", "lambda", "edf_per_term", "shape_params"]
SCALAR_GETTERS = ["scale", "edf_total", "n", "n_iters", "converged", "reml_value"]


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def assert_same_model(a, b, x):
    """Every getter and every prediction bit for bit, NaN included."""
    assert a is not b
    for name in ARRAY_GETTERS:
        np.testing.assert_array_equal(bits(getattr(a, name)), bits(getattr(b, name)))
    for name in SCALAR_GETTERS:
        va, vb = getattr(a, name), getattr(b, name)
        assert type(va) is type(vb)
        if isinstance(va, float):
            assert struct.pack("<d", va) == struct.pack("<d", vb)
        else:
            assert va == vb
    np.testing.assert_array_equal(bits(a.vcov()), bits(b.vcov()))
    assert a.term_col_ranges() == b.term_col_ranges()
    results = lambda m: [m.predict(x), m.predict_response(x), m.evaluate_lpmatrix(x), *m.predict_ci(x),
                         *m.predict_ci(x, 0.5, "link"), *m.predict_diff(x, x[:1])]
    for ra, rb in zip(results(a), results(b)):
        np.testing.assert_array_equal(bits(ra), bits(rb))


LOADED = [(name, loaded(p, link)) for name, p in PREDICTORS for link in ["Identity", "Log", "Logit"]]
# Real fits of every plain family, with one term of every kind, and of every
# other family through `fit`.
FITTED = [("fit", simulated.fitted(family)) for family in simulated.FAMILIES]
FITTED += [("fit", simulated.shape_fitted(family)) for family in simulated.SHAPE_OPTIONS]
MODELS = LOADED + FITTED
IDS = [f"{n}-{i}" for i, (n, _) in enumerate(LOADED)] + [
    f"fit-{f}" for f in [*simulated.FAMILIES, *simulated.SHAPE_OPTIONS]]


def new_covariates(name, n=9):
    return simulated.covariates(n, seed=6) if name == "fit" else covariates(n, name)


@pytest.fixture(params=MODELS, ids=IDS)
def model(request):
    return request.param


ROUND_TRIPS = [
    ("deserialize on the class", lambda m: FittedGam.deserialize(m.serialize())),
    ("deserialize on an instance", lambda m: m.deserialize(m.serialize())),
    ("deserialize by keyword", lambda m: FittedGam.deserialize(bytes=m.serialize())),
    ("pickle", lambda m: pickle.loads(pickle.dumps(m))),
    ("pickle protocol 0", lambda m: pickle.loads(pickle.dumps(m, protocol=0))),
    ("copy", copy.copy),
    ("deepcopy", copy.deepcopy),
    ("deepcopy inside a list", lambda m: copy.deepcopy([m])[0]),
]


@pytest.mark.parametrize("trip", [t for _, t in ROUND_TRIPS], ids=[n for n, _ in ROUND_TRIPS])
def test_round_trips_keep_every_bit(model, trip):
    name, m = model
    again = trip(m)
    assert type(again) is FittedGam
    assert_same_model(m, again, new_covariates(name))
    assert again.serialize() == m.serialize()


def test_serialize_is_repeatable_and_framed(model):
    _, m = model
    data = m.serialize()
    assert type(data) is bytes
    assert data == m.serialize()
    magic, version, length = frames.HEADER.unpack_from(data)
    assert (magic, version, length) == (b"KAVRI", 1, len(data) - 17)


def test_reduce_pairs_the_class_deserializer_with_the_frame(model):
    _, m = model
    loader, arguments = m.__reduce__()
    assert loader == FittedGam.deserialize
    assert loader.__self__ is FittedGam and loader.__name__ == "deserialize"
    assert type(arguments) is tuple and arguments == (m.serialize(),)


def test_pickle_names_the_class_method_of_the_module():
    data = pickle.dumps(LOADED[0][1], protocol=4)
    # Bound class methods pickle as getattr(FittedGam, "deserialize").
    assert all(name in data for name in [b"kavri._kavri_native", b"FittedGam", b"deserialize"])


def test_a_model_with_non_finite_values_survives_saving():
    # A NaN scale is what a fit with n − edf ≤ 0 reports; an infinite
    # criterion value and NaN coefficients must come back as they were too.
    body = frames.model_body(frames.cr_predictor(), "Log", scale=math.nan)
    body["reml_value"] = None
    body["beta"]["data"][1] = None
    body["rho"]["data"][0] = None
    original = FittedGam.deserialize(frames.frame(body))
    assert math.isnan(original.scale) and math.isnan(original.reml_value) and math.isnan(original.beta[1])
    for _, trip in ROUND_TRIPS:
        assert_same_model(original, trip(original), covariates(5))
    assert b'"scale":null' in original.serialize()


def test_bytes_after_the_announced_body_are_ignored():
    m = LOADED[0][1]
    again = FittedGam.deserialize(m.serialize() + b"\0trailing")
    assert again.serialize() == m.serialize()


def test_bytes_subclass_is_accepted():
    class Frame(bytes):
        pass

    m = LOADED[0][1]
    assert FittedGam.deserialize(Frame(m.serialize())).serialize() == m.serialize()


def header(magic=b"KAVRI", version=1, length=0):
    return struct.pack("<5sIQ", magic, version, length)


# The reader's messages reach Python as ValueError unchanged; the reader's
# own tests cover each of its rules.
READER_ERRORS = [
    ("empty", b"", "FittedGam::deserialize: buffer too short (0 < 17 header bytes)"),
    ("sixteen bytes", header()[:16], "FittedGam::deserialize: buffer too short (16 < 17 header bytes)"),
    ("bad magic", header(magic=b"KAVRX"),
     "FittedGam::deserialize: bad magic; expected [75, 65, 86, 82, 73], got [75, 65, 86, 82, 88]"),
    ("version 2", header(version=2),
     "FittedGam::deserialize: unsupported format_version=2 (this build expects 1). Re-serialize with a matching "
     "kavri release, or roll a migration."),
    ("truncated body", header(length=5) + b"{}",
     "FittedGam::deserialize: truncated body (have 2 bytes, header says 5 payload bytes follow the 17-byte header)"),
    ("empty object", header(length=2) + b"{}",
     "FittedGam::deserialize: JSON decode failed at byte 2: missing field `beta` at line 1 column 2"),
]


@pytest.mark.parametrize("data, message", [c[1:] for c in READER_ERRORS], ids=[c[0] for c in READER_ERRORS])
def test_reader_errors_are_value_errors(data, message):
    with pytest.raises(ValueError) as error:
        FittedGam.deserialize(data)
    assert type(error.value) is ValueError
    assert str(error.value) == message


def test_unpickling_a_damaged_frame_raises_the_reader_error():
    m = LOADED[0][1]
    data = pickle.dumps(m, protocol=4).replace(b"KAVRI", b"KAVRX")
    with pytest.raises(ValueError) as error:
        pickle.loads(data)
    assert str(error.value).startswith("FittedGam::deserialize: bad magic;")


def test_a_loaded_model_shares_nothing_with_its_bytes():
    m = LOADED[0][1]
    data = bytearray(m.serialize())
    again = FittedGam.deserialize(bytes(data))
    data[20:] = b"\0" * (len(data) - 20)
    assert again.serialize() == m.serialize()


def test_a_fit_without_a_scale_estimate_saves_loads_and_copies():
    # Three rows and two splines leave n − M_p = 0: the Gaussian scale, and
    # with it the covariance, cannot be estimated and are NaN.
    x = np.array([[0.0, 0.0], [0.5, 1.0], [1.0, 0.5]])
    model = simulated.fit_additive("gaussian", x, np.array([0.1, 0.5, 0.3]), [(0, "cr", 3), (1, "cr", 3)])
    assert math.isnan(model.scale) and np.all(np.isnan(model.vcov()))
    for _, trip in ROUND_TRIPS:
        assert_same_model(model, trip(model), x)
    mean, lo, hi = model.predict_ci(x)
    assert np.all(np.isfinite(mean)) and np.all(np.isnan(lo)) and np.all(np.isnan(hi))
