import math
from statistics import NormalDist

import numpy as np
import pytest

import frames
import simulated
from frames import PREDICTORS, covariates, loaded

EPS = np.finfo(float).eps
# The normal quantile is a rational approximation with relative error below
# 1.15e-9; everything else in an interval is rounding, orders of magnitude
# smaller for the well-conditioned covariances used here.
QUANTILE_RTOL = 1.2e-9

LINKS = {
    "Identity": lambda v: v,
    "Log": np.exp,
    "Logit": lambda v: 1.0 / (1.0 + np.exp(-v)),
}


def product_tolerance(a, b):
    # Two summation orders of p products differ by at most 2·p·eps times
    # the sum of the products' magnitudes.
    return 2 * a.shape[-1] * EPS * (np.abs(a) @ np.abs(b))


def quadratic_forms(d, v):
    return np.einsum("ij,jk,ik->i", d, v, d)


def assert_interval(kavri_interval, centre, q, z):
    """(centre, lo, hi) from kavri against centre ± z·√q worked out here."""
    mean, lo, hi = kavri_interval
    half = z * np.sqrt(np.maximum(q, 0.0))
    np.testing.assert_array_equal(mean, centre)
    slack = QUANTILE_RTOL * half + 8 * EPS * (np.abs(centre) + half)
    assert np.all(np.abs(lo - (centre - half)) <= slack)
    assert np.all(np.abs(hi - (centre + half)) <= slack)


# Loaded models of every predictor variant and link, and real fits of every
# plain family.
MODELS = [(name, link) for name, _ in PREDICTORS for link in LINKS] + [("fit", f) for f in simulated.FAMILIES]
FITS = {}


@pytest.fixture(params=MODELS, ids=[f"{n}-{l}" for n, l in MODELS])
def case(request):
    name, detail = request.param
    if name == "fit":
        if detail not in FITS:
            FITS[detail] = simulated.fitted(detail)
        return FITS[detail], simulated.covariates(40, seed=5)
    return loaded(dict(PREDICTORS)[name], detail), covariates(40, name)


def test_predict_is_the_model_matrix_times_beta(case):
    model, x = case
    lp = model.evaluate_lpmatrix(x)
    assert lp.shape == (40, len(model.beta))
    np.testing.assert_array_equal(lp[:, 0], 1.0)
    eta = model.predict(x)
    reference = lp @ model.beta
    assert np.all(np.abs(eta - reference) <= product_tolerance(lp, model.beta))


def test_predict_response_applies_the_inverse_link(case):
    model, x = case
    link = frames.body_of(model.serialize())["link_kind"]
    mu = model.predict_response(x)
    # exp and the logistic map of NumPy and of the C library may differ in
    # the last bit or two.
    np.testing.assert_allclose(mu, LINKS[link](model.predict(x)), rtol=4 * EPS, atol=0)


@pytest.mark.parametrize("level", [0.95, 0.5, 0.99, 1e-3])
def test_wald_interval_on_the_link_scale(case, level):
    model, x = case
    lp = model.evaluate_lpmatrix(x)
    z = NormalDist().inv_cdf((level + 1) / 2)
    assert_interval(model.predict_ci(x, level, "link"), model.predict(x), quadratic_forms(lp, model.vcov()), z)


def test_response_scale_interval_maps_the_link_scale_bounds(case):
    model, x = case
    link = frames.body_of(model.serialize())["link_kind"]
    eta, lo, hi = model.predict_ci(x, 0.9, "link")
    mean_r, lo_r, hi_r = model.predict_ci(x, 0.9, "response")
    for got, bound in [(mean_r, eta), (lo_r, lo), (hi_r, hi)]:
        np.testing.assert_allclose(got, LINKS[link](bound), rtol=4 * EPS, atol=0)
    assert np.all(lo_r <= mean_r) and np.all(mean_r <= hi_r)


def test_predict_ci_defaults_are_level_095_on_the_response_scale(case):
    model, x = case
    default = model.predict_ci(x)
    explicit = model.predict_ci(x, level=0.95, scale="response")
    for a, b in zip(default, explicit):
        np.testing.assert_array_equal(a, b)


def test_predict_diff_against_differences_of_lpmatrix_rows(case):
    model, x = case
    x_a, x_b = x[:20], x[20:]
    d = model.evaluate_lpmatrix(x_a) - model.evaluate_lpmatrix(x_b)
    diff, lo, hi = model.predict_diff(x_a, x_b, level=0.9)
    np.testing.assert_array_equal(d[:, 0], 0.0)
    assert np.all(np.abs(diff - d @ model.beta) <= product_tolerance(d, model.beta))
    assert_interval((diff, lo, hi), diff, quadratic_forms(d, model.vcov()), NormalDist().inv_cdf(0.95))


@pytest.mark.parametrize("n_a, n_b, n_out", [(1, 5, 5), (5, 1, 5), (1, 0, 0), (0, 1, 0), (1, 1, 1), (0, 0, 0)])
def test_predict_diff_reuses_a_single_row(case, n_a, n_b, n_out):
    model, x = case
    x_a, x_b = x[:n_a], x[10:10 + n_b]
    rows_a = np.zeros(n_out, dtype=int) if n_a == 1 else np.arange(n_out)
    rows_b = np.zeros(n_out, dtype=int) if n_b == 1 else np.arange(n_out)
    d = model.evaluate_lpmatrix(x_a)[rows_a] - model.evaluate_lpmatrix(x_b)[rows_b]
    diff, lo, hi = model.predict_diff(x_a, x_b)
    assert diff.shape == lo.shape == hi.shape == (n_out,)
    assert np.all(np.abs(diff - d @ model.beta) <= product_tolerance(d, model.beta))
    assert_interval((diff, lo, hi), diff, quadratic_forms(d, model.vcov()), NormalDist().inv_cdf(0.975))


def test_predict_diff_of_an_array_with_itself_is_exactly_zero(case):
    model, x = case
    for result in model.predict_diff(x, x):
        np.testing.assert_array_equal(result, np.zeros(len(x)))


def test_predict_diff_refuses_unbroadcastable_row_counts(case):
    model, x = case
    with pytest.raises(ValueError) as error:
        model.predict_diff(x[:2], x[:3])
    assert str(error.value) == "predict_diff: row counts must match or one must be 1 (broadcast); got a=2, b=3"


def test_zero_rows_give_empty_results(case):
    model, x = case
    empty = x[:0]
    p = len(model.beta)
    assert model.predict(empty).shape == (0,)
    assert model.predict_response(empty).shape == (0,)
    assert model.evaluate_lpmatrix(empty).shape == (0, p)
    assert [a.shape for a in model.predict_ci(empty)] == [(0,)] * 3


def strided_layouts(x):
    big = np.zeros((2 * x.shape[0], 2 * x.shape[1] + 1))
    big[::2, 1::2] = x
    reversed_copy = np.ascontiguousarray(x[::-1, ::-1])
    return [
        ("fortran order", np.asfortranarray(x)),
        ("every second row and column", big[::2, 1::2]),
        ("negative strides", reversed_copy[::-1, ::-1]),
    ]


@pytest.mark.parametrize("layout", ["fortran order", "every second row and column", "negative strides"])
def test_strided_inputs_give_the_results_of_their_contiguous_copy(case, layout):
    model, x = case
    strided = dict(strided_layouts(x))[layout]
    np.testing.assert_array_equal(strided, x)
    assert not strided.flags.c_contiguous
    np.testing.assert_array_equal(model.evaluate_lpmatrix(strided), model.evaluate_lpmatrix(x))
    np.testing.assert_array_equal(model.predict(strided), model.predict(x))
    for a, b in zip(model.predict_ci(strided), model.predict_ci(x)):
        np.testing.assert_array_equal(a, b)
    for a, b in zip(model.predict_diff(strided, strided[:1]), model.predict_diff(x, x[:1])):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("name", ["cr", "cr_stable", "re"])
def test_single_smooths_read_column_zero_only(name):
    model = loaded(dict(PREDICTORS)[name])
    x = covariates(12, name)
    wider = np.column_stack([x[:, :1], np.full((12, 4), np.nan)])
    np.testing.assert_array_equal(model.evaluate_lpmatrix(wider), model.evaluate_lpmatrix(x[:, :1]))
    for a, b in zip(model.predict_ci(wider), model.predict_ci(x[:, :1])):
        np.testing.assert_array_equal(a, b)


def test_random_effect_model_matrix_is_intercept_and_level_indicators():
    model = loaded(frames.re_predictor([-2.0, 0.5, 7.0]))
    x = np.array([[7.0], [-2.0], [0.5], [7.0]])
    expected = np.array([[1, 0, 0, 1], [1, 1, 0, 0], [1, 0, 1, 0], [1, 0, 0, 1]], dtype=float)
    np.testing.assert_array_equal(model.evaluate_lpmatrix(x), expected)


def intercept_only_re_model(link, intercept, vcov_diagonal=1.0):
    """An "re" model with one level: η = intercept at that level."""
    body = frames.model_body(frames.re_predictor([0.0]), link)
    body["beta"] = frames.array([intercept, 0.0])
    body["vcov"] = frames.array(np.diag([vcov_diagonal, 0.0]))
    return frames.FittedGam.deserialize(frames.frame(body))


@pytest.mark.parametrize(
    "link, eta, mu",
    [
        ("Logit", 800.0, 1.0),
        ("Logit", -800.0, 0.0),
        ("Logit", 0.0, 0.5),
        ("Log", 800.0, math.inf),
        ("Log", -800.0, 0.0),
        ("Identity", -3.5, -3.5),
    ],
)
def test_inverse_links_at_extreme_linear_predictors(link, eta, mu):
    model = intercept_only_re_model(link, eta)
    x = np.zeros((1, 1))
    assert model.predict(x)[0] == eta
    with np.errstate(over="ignore"):
        assert model.predict_response(x)[0] == mu


def test_a_negative_variance_gives_a_zero_width_interval():
    model = intercept_only_re_model("Log", 0.25, -4.0)
    x = np.zeros((3, 1))
    eta, lo, hi = model.predict_ci(x, scale="link")
    np.testing.assert_array_equal(lo, eta)
    np.testing.assert_array_equal(hi, eta)
    diff, lo, hi = model.predict_diff(x, np.ones((1, 1)))
    np.testing.assert_array_equal(lo, diff)
    np.testing.assert_array_equal(hi, diff)


def test_a_nan_variance_gives_nan_bounds_not_certainty():
    # A covariance whose scale could not be estimated is NaN; its intervals
    # are unknown, not of zero width.
    model = intercept_only_re_model("Log", 0.25, math.nan)
    x = np.zeros((3, 1))
    for scale in ["link", "response"]:
        mean, lo, hi = model.predict_ci(x, scale=scale)
        assert np.all(np.isfinite(mean)) and np.all(np.isnan(lo)) and np.all(np.isnan(hi))
    diff, lo, hi = model.predict_diff(x, np.ones((1, 1)))
    assert np.all(np.isnan(lo)) and np.all(np.isnan(hi))
    # Identical rows are a contrast of exactly zero, covariance or not.
    for result in model.predict_diff(x, x):
        np.testing.assert_array_equal(result, np.zeros(3))


def test_levels_at_the_edges_of_the_unit_interval():
    model = intercept_only_re_model("Identity", 1.0, 4.0)
    x = np.zeros((1, 1))
    # (level + 1)·0.5 rounds to 0.5: z = 0 and the interval is a point.
    assert [a[0] for a in model.predict_ci(x, 1e-17)] == [1.0, 1.0, 1.0]
    # 1 − 2⁻⁵² is the largest level whose (level + 1)·0.5 stays below 1.
    _, lo, hi = model.predict_ci(x, 1 - 2.0**-52)
    z = (hi[0] - lo[0]) / 4.0
    assert math.isfinite(z) and z > 8.0
    with pytest.raises(ValueError) as error:
        model.predict_ci(x, 1 - 2.0**-53)
    assert str(error.value) == "level is too close to 1 for a normal quantile; got level=0.9999999999999999"
    with pytest.raises(ValueError) as error:
        model.predict_diff(x, x, 1 - 2.0**-53)
    assert str(error.value) == "level is too close to 1 for a normal quantile; got level=0.9999999999999999"


def test_writing_into_results_changes_neither_the_model_nor_later_results(case):
    model, x = case
    first = [model.predict(x), model.evaluate_lpmatrix(x), *model.predict_ci(x), *model.predict_diff(x, x[:1])]
    for a in first:
        assert (a.dtype, a.flags.writeable, a.flags.c_contiguous) == (np.float64, True, True)
        assert not np.shares_memory(a, x)
        a[...] = 123.0
    again = [model.predict(x), model.evaluate_lpmatrix(x), *model.predict_ci(x), *model.predict_diff(x, x[:1])]
    assert all(not np.any(a == 123.0) for a in again)
