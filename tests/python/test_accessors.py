import math

import numpy as np
import pytest

import frames
from frames import PREDICTORS, covariates
from kavri import FittedGam

ARRAYS = ["beta", "rho", "lambda", "edf_per_term", "shape_params"]

BODY = frames.model_body(frames.additive_predictor(frames.ADDITIVE_TERMS), "Log")
BODY["shape_params"] = frames.array([0.5, -1.25])
BODY["n"] = 2**64 - 1
BODY["n_iters"] = 0
BODY["converged"] = False
MODEL = FittedGam.deserialize(frames.frame(BODY))


def stored(name):
    member = BODY[name]
    return np.array(member["data"], dtype=float).reshape(member["dim"])


@pytest.mark.parametrize("name", ARRAYS)
def test_array_getters_return_fresh_copies_of_the_stored_values(name):
    first, second = getattr(MODEL, name), getattr(MODEL, name)
    np.testing.assert_array_equal(first, stored(name))
    assert first is not second and not np.shares_memory(first, second)
    assert (first.dtype, first.ndim, first.flags.writeable, first.flags.c_contiguous) == (np.float64, 1, True, True)
    first[...] = -7.0
    np.testing.assert_array_equal(getattr(MODEL, name), stored(name))


def test_vcov_is_a_fresh_copy_on_every_call():
    first, second = MODEL.vcov(), MODEL.vcov()
    np.testing.assert_array_equal(first, stored("vcov"))
    assert first.shape == (len(MODEL.beta),) * 2 and first.flags.c_contiguous
    assert first is not second and not np.shares_memory(first, second)
    x = covariates(6)
    before = MODEL.predict_ci(x)
    first[...] = 0.0
    for a, b in zip(MODEL.predict_ci(x), before):
        np.testing.assert_array_equal(a, b)


def test_mutating_beta_leaves_predictions_unchanged():
    x = covariates(6)
    before = MODEL.predict(x)
    MODEL.beta[...] = 0.0
    np.testing.assert_array_equal(MODEL.predict(x), before)


def test_scalar_getters_have_python_types():
    assert type(MODEL.n) is int and MODEL.n == 2**64 - 1
    assert type(MODEL.n_iters) is int and MODEL.n_iters == 0
    assert MODEL.converged is False
    assert type(MODEL.scale) is float and MODEL.scale == 1.5
    assert type(MODEL.edf_total) is float and MODEL.edf_total == 4.25
    assert type(MODEL.reml_value) is float and MODEL.reml_value == -12.5


def test_lambda_is_reached_through_getattr():
    np.testing.assert_array_equal(getattr(MODEL, "lambda"), np.exp(stored("rho")))


@pytest.mark.parametrize("name", ARRAYS + ["scale", "edf_total", "n", "n_iters", "converged", "reml_value"])
def test_getters_cannot_be_set_or_deleted(name):
    with pytest.raises(AttributeError):
        setattr(MODEL, name, 1)
    with pytest.raises(AttributeError):
        delattr(MODEL, name)


def test_instances_take_no_new_attributes():
    with pytest.raises(AttributeError):
        MODEL.other = 1


def test_non_finite_scalars_are_handed_over_unchanged():
    body = dict(BODY, scale=None, reml_value=None)
    model = FittedGam.deserialize(frames.frame(body))
    assert math.isnan(model.scale) and math.isnan(model.reml_value)


def test_additive_term_col_ranges_are_the_stored_ranges():
    ranges = MODEL.term_col_ranges()
    assert ranges == [tuple(r) for r in BODY["predictor"]["term_col_ranges"]]
    assert all(type(a) is int and type(b) is int for a, b in ranges)
    assert ranges[0][0] == 1 and ranges[-1][1] == len(MODEL.beta)
    assert MODEL.term_col_ranges() is not ranges


@pytest.mark.parametrize("name", ["cr", "cr_stable", "re", "tensor"])
def test_single_term_models_have_one_range_after_the_intercept(name):
    model = frames.loaded(dict(PREDICTORS)[name])
    assert model.term_col_ranges() == [(1, len(model.beta))]
