"""The shape families in other units and at the edges of their starts: y × c
gives the same model in those units, a start far from the data reaches
the same optimum as the default one, and inputs the criterion cannot
represent are refused with a message that names them."""

import numpy as np
import pytest

from kavri import fit

from simulated import tweedie_draws

N = 500
RNG = np.random.default_rng(5)
X = RNG.uniform(size=(N, 1))
F = np.sin(2 * np.pi * X[:, 0])
Y = {
    "tdist": F + 0.5 * RNG.standard_t(4, N),
    "tweedie": tweedie_draws(np.exp(0.3 + 0.6 * F), 1.5, 1.0, RNG),
    "negbin": RNG.poisson(RNG.gamma(2.0, np.exp(0.5 + F) / 2.0)).astype(float),
}


def tweedie_power(model):
    return np.clip(1 + 1 / (1 + np.exp(-model.shape_params[1])), 1.05, 1.95)


@pytest.mark.parametrize("k", [-6, -3, 3, 6])
@pytest.mark.parametrize("family", ["tdist", "tweedie"])
def test_the_same_model_in_other_units(family, k):
    # y × c: the scaled t's σ² scales by c² and its λ by 1/c² (the
    # penalized deviance weighs λβ'Sβ against 1/σ²); the Tweedie's φ and λ
    # by c^(2−p) with the intercept alone moving. The searches stop at a
    # gradient of about 1e-6, so edf agrees to 1e-4 and the coordinates to
    # 1e-4 absolute.
    c = 10.0 ** k
    base = fit(family, X, Y[family], k=10)
    scaled = fit(family, X, Y[family] * c, k=10)
    assert base.converged and scaled.converged
    assert scaled.edf_total == pytest.approx(base.edf_total, rel=1e-4)
    if family == "tdist":
        shift = np.array([2 * np.log(c), 0.0])
        rho_shift = -2 * np.log(c)
        assert scaled.scale == pytest.approx(base.scale * c * c, rel=1e-3)
    else:
        p = tweedie_power(base)
        shift = np.array([(2 - p) * np.log(c), 0.0])
        rho_shift = (2 - p) * np.log(c)
        assert scaled.scale == pytest.approx(base.scale * c ** (2 - p), rel=1e-3)
    np.testing.assert_allclose(scaled.shape_params, base.shape_params + shift, atol=1e-4)
    np.testing.assert_allclose(scaled.rho, base.rho + rho_shift, atol=1e-4)
    grid = np.linspace(0.02, 0.98, 20)[:, None]
    np.testing.assert_allclose(scaled.predict_response(grid), base.predict_response(grid) * c, rtol=1e-4)


# Starts the data do not support, one per row: each reaches the optimum of
# the default start.
FAR_STARTS = [
    ("tdist", {"sigma2": 1e300}),
    ("tdist", {"sigma2": 1e-300}),
    ("tdist", {"nu": 1e300}),
    ("tdist", {"nu": 2 + 1e-12}),
    ("negbin", {"theta": 1e-300}),
    ("negbin", {"theta": 1e20}),
    ("tweedie", {"tweedie_phi": 1e300}),
    ("tweedie", {"tweedie_phi": 1e-300}),
]


@pytest.mark.parametrize("family,start", FAR_STARTS, ids=[f"{f}-{next(iter(s))}={next(iter(s.values()))}" for f, s in FAR_STARTS])
def test_a_far_start_reaches_the_default_starts_optimum(family, start):
    base = fit(family, X, Y[family], k=10)
    far = fit(family, X, Y[family], k=10, **start)
    assert far.converged
    assert far.reml_value == pytest.approx(base.reml_value, abs=1e-6 * abs(base.reml_value))
    assert far.edf_total == pytest.approx(base.edf_total, rel=1e-4)


def test_a_scaled_t_fit_takes_a_far_outlier():
    # One response 10¹² away among 500: the heavy tails take it, and the
    # smooth stays that of the other rows.
    y = Y["tdist"].copy()
    y[3] = 1e12
    clean = np.delete(Y["tdist"], 3)
    model = fit("tdist", X, y, k=10)
    reference = fit("tdist", np.delete(X, 3, axis=0), clean, k=10)
    assert model.converged
    assert 2 <= model.edf_total <= 10
    grid = np.linspace(0.02, 0.98, 20)[:, None]
    assert np.max(np.abs(model.predict(grid) - reference.predict(grid))) < 0.1


@pytest.mark.parametrize("family", ["tdist", "negbin", "tweedie"])
def test_weights_the_criterion_cannot_represent_are_refused(family):
    one_huge = np.ones(N)
    one_huge[3] = 1e300
    with pytest.raises(ValueError, match=r"^a prior weight may be at most 1e12 times the median positive weight \(1\); got w=1000+ at row 3$"):
        fit(family, X, Y[family], weights=one_huge)
    name = {"tdist": "TDist", "negbin": "NegBin", "tweedie": "Tweedie"}[family]
    with pytest.raises(ValueError, match=rf"^{name} prior weights count replicates: their mean must lie within \[1e-100, 1e100\]; got 0\.0+1"):
        fit(family, X, Y[family], weights=np.full(N, 1e-300))


@pytest.mark.parametrize("family", ["tdist", "negbin", "tweedie"])
def test_large_replicate_weights_give_summaries_in_range(family):
    # Each row 10⁸ times: the data outweigh any penalty, edf tends to p.
    model = fit(family, X, Y[family], weights=np.full(N, 1e8), k=10)
    assert 2 <= model.edf_total <= 10
    assert np.all(np.isfinite(model.vcov()))
    assert np.isfinite(model.reml_value)
