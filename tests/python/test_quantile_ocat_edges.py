"""Quantile and ordered-categorical fits at their edges: the quantile fit in
any units of y, beside one wild row and on pure noise; hostile options and
weights, each with a named refusal or a fit whose summaries are in range."""
import math

import numpy as np
import pytest

from kavri import _kavri_native as native

N = 200
RNG = np.random.default_rng(7)
X = RNG.uniform(size=(N, 1))
TRUTH = np.sin(2 * np.pi * X[:, 0])
Y = TRUTH + RNG.normal(size=N)
CATEGORIES = np.clip(np.round(2.5 + 1.5 * TRUTH + 0.7 * RNG.logistic(size=N)), 1, 4)
GRID = np.linspace(0.02, 0.98, 97)[:, None]
M_P = 2  # intercept and the spline's linear part


def in_range_or_flagged(model):
    """A fit is either a model (M_p ≤ edf ≤ p, finite summaries) or says
    it has not converged."""
    p = len(model.beta)
    finite = math.isfinite(model.edf_total) and np.isfinite(model.vcov()).all() and math.isfinite(model.reml_value)
    return (not model.converged) or (finite and M_P - 1e-3 <= model.edf_total <= p + 1e-3)


# σ and λ follow y, so y·c is the same model in other units: the same edf
# and convergence, σ·c, and ρ moved by −2·ln c (β scales with c, the
# penalty β'S_λβ must not). The search starts where the penalty weighs as
# the data, so both searches take the same steps up to rounding.
BASE = native.fit("quantile", X, Y)


@pytest.mark.parametrize("k", [-6, -3, 3, 6])
def test_quantile_fit_in_other_units(k):
    c = 10.0 ** k
    model = native.fit("quantile", X, c * Y)
    assert model.converged and BASE.converged
    # Measured: edf to 1e-14, ρ to 5e-14.
    assert model.edf_total == pytest.approx(BASE.edf_total, rel=1e-9)
    assert model.scale == pytest.approx(c * BASE.scale, rel=1e-12)
    assert model.rho[0] == pytest.approx(BASE.rho[0] - 2.0 * math.log(c), abs=1e-9)
    np.testing.assert_allclose(model.predict(GRID), c * BASE.predict(GRID), rtol=0, atol=1e-4 * c)


# A median fit shrugs off one wild row: σ comes from a median absolute
# deviation and the pilot from y pulled in around its curve, not from a
# mean square that the one row decides.
@pytest.mark.parametrize("outlier", [1e3, 1e6])
def test_median_fit_beside_one_outlier(outlier):
    y = Y.copy()
    y[int(np.argmin(np.abs(X[:, 0] - 0.3)))] = outlier
    model = native.fit("quantile", X, y)
    assert model.converged
    assert np.abs(model.predict(GRID) - BASE.predict(GRID)).max() <= 0.1
    assert model.scale == pytest.approx(BASE.scale, rel=0.1)


# Pure noise: the criterion, told the size of the noise by σ, leaves the
# fit at the unpenalized line (edf 2) nearly always. At the former σ, a
# tenth of the residuals' spread, the median fits had edf 14 of 19; 20 of
# 20 now stay below 4 at each τ here (measured: at most 3.0).
@pytest.mark.parametrize("tau", [0.5, 0.1])
def test_quantile_fit_to_pure_noise_stays_near_the_line(tau):
    edfs = []
    for seed in range(20):
        rng = np.random.default_rng(seed)
        x = rng.uniform(size=(2000, 1))
        model = native.fit("quantile", x, rng.normal(size=2000), k=20, tau=tau)
        assert in_range_or_flagged(model)
        edfs.append(model.edf_total)
    assert sum(e < 4 for e in edfs) >= 18, edfs


def spread_bounds(y):
    """1e-8 and 1e8 times the scaled median absolute deviation of y."""
    mad = 1.482602218505602 * np.median(np.abs(y - np.median(y)))
    return 1e-8 * mad, 1e8 * mad


def one_heavy_weight():
    w = np.ones(N)
    w[3] = 1e300
    return w


REFUSALS = [
    ("elf_lambda tiny", "quantile", Y, {"elf_lambda": 1e-8}, "elf_lambda must be in ["),
    ("elf_sigma tiny", "quantile", Y, {"elf_sigma": 1e-300}, "elf_sigma must be in ["),
    ("elf_sigma huge", "quantile", Y, {"elf_sigma": 1e300}, "elf_sigma must be in ["),
    ("elf one heavy weight", "quantile", Y, {"weights": one_heavy_weight()},
     "a prior weight may be at most 1e12 times the median positive weight (1); got w=1" + "0" * 300 + " at row 3"),
    ("ocat one heavy weight", "ocat", CATEGORIES, {"r": 4, "weights": one_heavy_weight()},
     "a prior weight may be at most 1e12 times the median positive weight (1); got w=1" + "0" * 300 + " at row 3"),
    ("ocat tiny weights", "ocat", CATEGORIES, {"r": 4, "weights": np.full(N, 1e-300)},
     "ocat prior weights must have a mean of at least 0.000001; got 0." + "0" * 299 + "1"),
    ("ocat every y 2", "ocat", np.full(N, 2.0), {"r": 3},
     "Ocat requires observations in every category 1..=3; none in 1, 3"),
    ("ocat r beyond", "ocat", CATEGORIES, {"r": 20},
     "Ocat requires observations in every category 1..=20; none in 5..=20"),
    ("ocat empty inner category", "ocat", np.where(CATEGORIES == 3, 4.0, CATEGORIES), {"r": 4},
     "Ocat requires observations in every category 1..=4; none in 3"),
    ("ocat non-integer", "ocat", np.r_[CATEGORIES[:5], 2.3, CATEGORIES[6:]], {"r": 4},
     "Ocat requires y to be an integer in 1..=4; got y=2.3 at row 5"),
]


@pytest.mark.parametrize("family, y, options, message", [c[1:] for c in REFUSALS], ids=[c[0] for c in REFUSALS])
def test_named_refusals(family, y, options, message):
    with pytest.raises(ValueError) as error:
        native.fit(family, X, y, **options)
    assert str(error.value).startswith(message)


# The range of a given σ names the bounds themselves.
def test_given_sigma_range_names_its_bounds():
    low, high = spread_bounds(Y)
    with pytest.raises(ValueError) as error:
        native.fit("quantile", X, Y, elf_sigma=1e-300)
    text = str(error.value)
    bounds = text[text.index("[") + 1:text.index("]")].split(", ")
    assert float(bounds[0]) == pytest.approx(low, rel=1e-12)
    assert float(bounds[1]) == pytest.approx(high, rel=1e-12)
    assert text.endswith("(1e-8 to 1e8 times the spread of y); got elf_sigma=0." + "0" * 299 + "1")


# Weights count replicates: a common factor moves the fit as more or fewer
# data would, and the fit either is a model or says it is not one.
@pytest.mark.parametrize("family, y, options, factor", [
    ("quantile", Y, {}, 1e-300), ("quantile", Y, {}, 1e8),
    ("ocat", CATEGORIES, {"r": 4}, 1e-3), ("ocat", CATEGORIES, {"r": 4}, 1e8)],
    ids=["quantile-1e-300", "quantile-1e8", "ocat-1e-3", "ocat-1e8"])
def test_weights_with_a_common_factor(family, y, options, factor):
    model = native.fit(family, X, y, weights=np.full(N, factor), **options)
    assert in_range_or_flagged(model)
    if family == "quantile":
        # Few data: the line; many: every degree of freedom the basis has.
        assert model.converged
        assert model.edf_total == pytest.approx(2.0 if factor < 1 else len(model.beta), abs=1e-3)


# At λ well below the residuals' spread the loss is nearly the check loss;
# the fit's edf stays a trace of the same system's parts (it was 681 of
# p = 10 when the factor was one step behind the weights).
@pytest.mark.parametrize("lam", [1e-3, 1e-2])
def test_narrow_width_keeps_the_edf_in_range(lam):
    model = native.fit("quantile", X, Y, elf_lambda=lam)
    assert in_range_or_flagged(model)
    assert model.edf_total <= len(model.beta) + 1e-6
