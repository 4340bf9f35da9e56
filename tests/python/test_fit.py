"""`fit`: every family name and design, its option checks in their order,
and what the fits of the shape, quantile and ordered categorical families
recover from data simulated with known parameters."""

import math

import numpy as np
import pytest

import frames
import simulated
from kavri import fit, fit_additive
from simulated import curve, shape_response, tweedie_draws

N = simulated.N
X_SPLINE = simulated.X[:, [0]]
X_LEVELS = simulated.X[:, [4]]  # four levels: a random effect

# Every accepted name: the family it selects and its link.
NAMES = {
    "gaussian": "gaussian", "bernoulli": "bernoulli", "binomial": "bernoulli", "poisson": "poisson",
    "quasipoisson": "quasipoisson", "quasibinomial": "quasibinomial", "gamma": "gamma",
    "inverse_gaussian": "inverse_gaussian", "inverse.gaussian": "inverse_gaussian",
    "negbin": "negbin", "nb": "negbin", "tdist": "tdist", "scat": "tdist", "tweedie": "tweedie", "tw": "tweedie",
    "elf": "elf", "quantile": "elf", "ocat": "ocat",
}
LINK_OF = {**simulated.LINK_OF, **simulated.SHAPE_LINK_OF}


def data_for(family, design):
    x = X_LEVELS if design == "re" else X_SPLINE
    if family in simulated.SHAPE_OPTIONS:
        return x, shape_response(family, simulated.X[:, 0]), simulated.SHAPE_OPTIONS[family]
    return x, simulated.response(family), {}


def expected_scale(family, model):
    v = model.shape_params
    if family in ("negbin", "tdist"):
        return math.exp(v[0])
    if family == "tweedie":
        return max(math.exp(v[0]), 1e-6)
    if family in ("ocat", "poisson", "bernoulli"):
        return 1.0
    return None  # estimated: checked to be positive


@pytest.mark.parametrize("design", ["cr", "cr_stable", "re"])
@pytest.mark.parametrize("name", list(NAMES))
def test_every_name_and_design_fits(name, design):
    family = NAMES[name]
    x, y, options = data_for(family, design)
    model = fit(name, x, y, design=design, k=6, **options)
    body = frames.body_of(model.serialize())
    assert body["link_kind"] == LINK_OF[family]
    shape_length = {"negbin": 1, "tdist": 2, "tweedie": 2, "ocat": options.get("r", 0) - 2}.get(family, 0)
    assert len(model.shape_params) == shape_length
    assert len(model.rho) == len(model.edf_per_term) == 1
    assert model.n == N and np.all(np.isfinite(model.beta))
    scale = expected_scale(family, model)
    if scale is None:
        assert np.isfinite(model.scale) and model.scale > 0.0
    else:
        assert model.scale == scale


# An alias fits exactly what its first name fits.
@pytest.mark.parametrize("alias, name", [("binomial", "bernoulli"), ("inverse.gaussian", "inverse_gaussian"),
                                         ("nb", "negbin"), ("scat", "tdist"), ("tw", "tweedie"),
                                         ("quantile", "elf")])
def test_aliases_fit_the_same_model(alias, name):
    x, y, options = data_for(NAMES[name], "cr")
    assert fit(alias, x, y, k=6, **options).serialize() == fit(name, x, y, k=6, **options).serialize()


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


# `fit` of a plain family is the one-term additive fit, bit for bit; only
# the predictor's kind differs.
@pytest.mark.parametrize("design, k", [("cr", 7), ("cr_stable", 5), ("re", 0)])
@pytest.mark.parametrize("family", simulated.FAMILIES)
def test_plain_fit_is_the_one_term_additive_fit(family, design, k):
    x = X_LEVELS if design == "re" else X_SPLINE
    y = simulated.response(family)
    single = fit(family, x, y, k=k, design=design)
    term = (0, design) if design == "re" else (0, design, k)
    additive = fit_additive(family, x, y, [term])
    for name in ["beta", "rho", "lambda", "edf_per_term", "shape_params"]:
        np.testing.assert_array_equal(bits(getattr(single, name)), bits(getattr(additive, name)))
    for name in ["scale", "edf_total", "reml_value"]:
        assert bits(getattr(single, name)) == bits(getattr(additive, name))
    assert (single.n, single.n_iters, single.converged) == (additive.n, additive.n_iters, additive.converged)
    np.testing.assert_array_equal(bits(single.vcov()), bits(additive.vcov()))
    np.testing.assert_array_equal(bits(single.predict(x)), bits(additive.predict(x)))


# Only column 0 of x is read, in place, whatever the array's layout.
def test_fit_reads_column_zero_through_any_strides():
    y = simulated.response("poisson")
    reference = fit("poisson", np.ascontiguousarray(simulated.X[:, :1]), y, k=6).serialize()
    wide = simulated.X[:, [0, 1, 2]]
    big = np.zeros((2 * N, 4))
    big[::2, 0] = simulated.X[:, 0]
    big[1::2, 0] = np.nan  # rows the view skips
    for x in (wide, np.asfortranarray(wide), big[::2], simulated.X[::-1, :][::-1]):
        assert fit("poisson", x, y, k=6).serialize() == reference
    assert fit("poisson", wide, y[::-1].copy()[::-1], k=6, weights=None).serialize() == reference


X6 = np.linspace(0.0, 1.0, 12).reshape(6, 2)
COUNTS = np.array([0.0, 1.0, 3.0, 2.0, 0.0, 5.0])
NEGATIVE_AT_3 = np.array([0.0, 1.0, 3.0, -1.0, -2.0, 5.0])
CATEGORIES = np.array([1.0, 2.0, 3.0, 1.0, 2.0, 3.0])
SUPPORTED = ("; supported: gaussian, bernoulli, poisson, quasipoisson, quasibinomial, gamma, inverse_gaussian, "
             "negbin, tdist, tweedie, ocat, elf")
DESIGN = "design must be 'cr', 're', or 'cr_stable'; got "
ROWS = "x and y must have the same number of rows; got x.nrows()=6, y.len()=5"
INIT_THETA = ("NegBin overdispersion init_theta must be a positive finite scalar (small θ → high variance, large θ "
              "→ Poisson limit); got init_theta=")
INIT_NU = "scat/TDist degrees-of-freedom init_nu must be > 2 (finite variance); got init_nu="
INIT_SIGMA2 = "scat/TDist scale init_sigma2 must be a positive finite scalar; got init_sigma2="
NAN, INF = float("nan"), float("inf")

# (id, family, y, keywords, message): each call fails with ValueError and
# exactly this message. Keywords hold k=4 unless they say otherwise.
REJECTED = [
    ("capitalised", "Poisson", COUNTS, {}, 'unknown family "Poisson"' + SUPPORTED),
    ("upper case", "GAUSSIAN", COUNTS, {}, 'unknown family "GAUSSIAN"' + SUPPORTED),
    ("leading space", " gaussian", COUNTS, {}, 'unknown family " gaussian"' + SUPPORTED),
    ("dash", "inverse-gaussian", COUNTS, {}, 'unknown family "inverse-gaussian"' + SUPPORTED),
    ("empty", "", COUNTS, {}, 'unknown family ""' + SUPPORTED),
    ("escaped", 'a"b\\\n', COUNTS, {}, 'unknown family "a\\"b\\\\\\n"' + SUPPORTED),
    ("unknown before design", "Poisson", COUNTS, {"design": "CR"}, 'unknown family "Poisson"' + SUPPORTED),
    ("design", "poisson", COUNTS, {"design": "CR"}, DESIGN + '"CR"'),
    ("design before rows", "poisson", COUNTS[:5], {"design": "te"}, DESIGN + '"te"'),
    ("theta 0", "negbin", COUNTS, {"theta": 0.0, "design": "CR"}, "negbin theta must be > 0; got theta=0"),
    ("theta -0", "negbin", COUNTS, {"theta": -0.0}, "negbin theta must be > 0; got theta=-0"),
    ("theta -inf", "nb", COUNTS, {"theta": -INF}, "negbin theta must be > 0; got theta=-inf"),
    ("theta NaN", "negbin", COUNTS, {"theta": NAN}, INIT_THETA + "NaN"),
    ("theta inf", "negbin", COUNTS, {"theta": INF}, INIT_THETA + "inf"),
    ("negbin y", "negbin", NEGATIVE_AT_3, {}, "NegBin requires y ≥ 0; got y=-1 at row 3"),
    ("tweedie p 2", "tweedie", COUNTS, {"tweedie_p": 2, "design": "CR"},
     "tweedie p must be in (1, 2); got tweedie_p=2"),
    ("tweedie p NaN", "tw", COUNTS, {"tweedie_p": NAN}, "tweedie p must be in (1, 2); got tweedie_p=NaN"),
    ("tweedie phi 0", "tweedie", COUNTS, {"tweedie_phi": 0.0},
     "Tweedie dispersion init_phi must be a positive finite scalar; got init_phi=0"),
    ("tweedie y", "tweedie", NEGATIVE_AT_3, {}, "Tweedie requires y ≥ 0; got y=-1 at row 3"),
    ("tau 1", "elf", COUNTS, {"tau": 1, "design": "CR"}, "elf/quantile tau must be in (0, 1); got tau=1"),
    ("tau NaN", "quantile", COUNTS, {"tau": NAN}, "elf/quantile tau must be in (0, 1); got tau=NaN"),
    ("elf sigma inf", "elf", COUNTS, {"elf_sigma": INF}, "ELF σ and λ must be finite; got σ=inf λ=inf"),
    ("elf lambda inf", "elf", COUNTS, {"elf_sigma": 0.5, "elf_lambda": INF},
     "ELF σ and λ must be finite; got σ=0.5 λ=inf"),
    ("elf y", "elf", np.array([0.0, 1.0, NAN, 2.0, 1.0, 0.0]), {}, "y must be finite; got y=NaN at row 2"),
    ("r absent", "ocat", CATEGORIES, {"design": "CR"},
     "family='ocat' requires r=K (number of ordered categories, K >= 3)"),
    ("r 2", "ocat", CATEGORIES, {"r": 2}, "ocat requires r >= 3, got r=2"),
    ("r True", "ocat", CATEGORIES, {"r": True}, "ocat requires r >= 3, got r=1"),
    ("r huge", "ocat", CATEGORIES, {"r": 2**64 - 1},
     "ocat: a 18446744073709551614 × 18446744073709551614 matrix is too large"),
    ("ocat design before rows", "ocat", CATEGORIES[:5], {"r": 3, "design": "bad"}, DESIGN + '"bad"'),
    ("ocat rows", "ocat", CATEGORIES[:5], {"r": 3}, ROWS),
    ("ocat y", "ocat", np.array([1.0, 2.0, 0.49, 3.0, 1.0, 2.0]), {"r": 3},
     "Ocat requires y to be an integer in 1..=3; got y=0.49 at row 2"),
    ("nu 2", "tdist", COUNTS, {"nu": 2}, INIT_NU + "2"),
    ("nu inf", "scat", COUNTS, {"nu": INF}, INIT_NU + "inf"),
    ("nu NaN", "tdist", COUNTS, {"nu": NAN}, INIT_NU + "NaN"),
    ("sigma2 0", "tdist", COUNTS, {"sigma2": 0.0}, INIT_SIGMA2 + "0"),
    ("sigma2 -0", "tdist", COUNTS, {"sigma2": -0.0}, INIT_SIGMA2 + "-0"),
    ("rows before nu", "tdist", COUNTS[:5], {"nu": 1}, ROWS),
    ("weights length", "tdist", COUNTS, {"weights": np.ones(5)},
     "prior_weights length must match x rows; got weights.len()=5, x.nrows()=6"),
    ("tdist y", "tdist", np.array([0.0, 1.0, INF, 2.0, 1.0, 0.0]), {}, "y must be finite; got y=inf at row 2"),
    ("cr k", "negbin", COUNTS, {"k": 2}, "CR spline needs k ≥ 3 (got 2)"),
]


@pytest.mark.parametrize("family, y, kwargs, message", [c[1:] for c in REJECTED], ids=[c[0] for c in REJECTED])
def test_rejections_and_their_order(family, y, kwargs, message):
    kwargs = {"k": 4, **kwargs}
    with pytest.raises(ValueError) as error:
        fit(family, X6, y, **kwargs)
    assert type(error.value) is ValueError
    assert str(error.value) == message


# Values that pass the checks above: each call returns a model.
ACCEPTED = [
    ("tweedie p near 1", "tweedie", COUNTS, {"tweedie_p": 1.0000001}),
    ("nu 2.5", "tdist", COUNTS, {"nu": 2.5}),
    ("sigma2 subnormal", "tdist", COUNTS, {"sigma2": 5e-324}),
    ("tau absent", "elf", COUNTS, {}),
    ("r 3", "ocat", CATEGORIES, {"r": 3}),
    ("re with k 0", "poisson", COUNTS, {"design": "re", "k": 0}),
    ("options of other families", "poisson", COUNTS, {"theta": -5.0, "tau": 7.0, "r": 0, "nu": NAN}),
    ("tau ignored", "gaussian", COUNTS, {"tau": 7.0}),
]


@pytest.mark.parametrize("family, y, kwargs", [c[1:] for c in ACCEPTED], ids=[c[0] for c in ACCEPTED])
def test_accepted_options_fit(family, y, kwargs):
    kwargs = {"k": 4, **kwargs}
    model = fit(family, X6, y, **kwargs)
    assert np.all(np.isfinite(model.beta))


# A search over more thresholds than memory holds fails before any refit.
def test_ocat_search_too_large_for_memory():
    with pytest.raises(MemoryError) as error:
        fit("ocat", X6, CATEGORIES, r=10**6, k=4)
    assert str(error.value) == "ocat: out of memory allocating a 999999 × 999999 matrix"


def test_no_rows_is_reported_before_any_design():
    for family in ("elf", "negbin", "ocat"):
        with pytest.raises(ValueError, match="^x must have at least one row$"):
            fit(family, np.zeros((0, 1)), np.zeros(0), r=3)


def test_ocat_with_three_categories_has_one_threshold():
    model = fit("ocat", X6, CATEGORIES, r=3, k=4)
    assert len(model.shape_params) == 1 and model.scale == 1.0


# σ that is not above 0 is the automatic one; λ defaults to σ.
def test_elf_sigma_not_above_zero_is_automatic():
    x, y, _ = data_for("elf", "cr")
    automatic = fit("elf", x, y, k=6).serialize()
    for sigma in (-1.0, 0.0, NAN):
        assert fit("elf", x, y, k=6, elf_sigma=sigma).serialize() == automatic
    given = fit("elf", x, y, k=6, elf_sigma=0.3)
    assert given.scale == 0.3
    assert given.serialize() == fit("elf", x, y, k=6, elf_sigma=0.3, elf_lambda=0.3).serialize()


# ---------------------------------------------------------------------------
# Recovery of known parameters at n = 2,000 (tolerances about four standard
# errors of each estimate).

N_BIG = 2000
X_BIG = np.random.default_rng(31).uniform(size=(N_BIG, 1))


def power_of(model):
    return 1.0 + 1.0 / (1.0 + math.exp(-model.shape_params[1]))


def test_negbin_recovers_theta():
    model = fit("negbin", X_BIG, shape_response("negbin", X_BIG[:, 0], seed=1, theta=2.0))
    assert model.converged
    assert abs(model.shape_params[0] - math.log(2.0)) <= 0.25


def test_tdist_recovers_scale_and_degrees_of_freedom():
    model = fit("tdist", X_BIG, shape_response("tdist", X_BIG[:, 0], seed=2, nu=5.0, sigma2=1.0))
    assert model.converged
    log_sigma2, log_nu_minus_2 = model.shape_params
    assert abs(log_sigma2) <= 0.25
    assert abs(log_nu_minus_2 - math.log(3.0)) <= 0.8


# Starts deep where the power or the dispersion is clamped reach the same
# estimate.
@pytest.mark.parametrize("start", [{}, {"tweedie_p": 1.0000001}, {"tweedie_phi": 1e-9}], ids=repr)
def test_tweedie_recovers_power_and_dispersion(start):
    y = shape_response("tweedie", X_BIG[:, 0], seed=3, p=1.5, phi=1.0)
    model = fit("tweedie", X_BIG, y, **start)
    assert model.converged
    assert abs(power_of(model) - 1.5) <= 0.06
    assert abs(math.log(model.scale)) <= 0.12


def test_ocat_recovers_thresholds():
    model = fit("ocat", X_BIG, shape_response("ocat", X_BIG[:, 0], seed=4), r=4)
    assert model.converged
    np.testing.assert_allclose(model.shape_params, [0.0, 0.0], atol=0.2)


# Share of y below the fitted quantile curve, Gaussian noise. The extended
# log-F's width moves the extreme quantiles inward at the default λ = σ.
@pytest.mark.parametrize("tau, options, share, tolerance", [
    (0.5, {}, 0.5, 0.02),
    (0.1, {}, 0.080, 0.015),
    (0.9, {}, 0.920, 0.015),
    (0.1, {"elf_lambda": 0.02}, 0.1, 0.015),
    (0.9, {"elf_lambda": 0.02}, 0.9, 0.015),
])
def test_quantile_share_below_the_fit(tau, options, share, tolerance):
    y = shape_response("elf", X_BIG[:, 0], seed=5)
    model = fit("elf", X_BIG, y, tau=tau, **options)
    assert model.converged
    assert abs(np.mean(y < model.predict(X_BIG)) - share) <= tolerance


# ---------------------------------------------------------------------------
# Covariances in the units of y.

# The t and quantile working weights carry σ² and σ: a response ten times
# larger has a coefficient covariance 100 times larger, no more.
@pytest.mark.parametrize("family", ["tdist", "elf"])
def test_covariance_follows_the_units_of_y(family):
    y = shape_response(family, X_BIG[:, 0], seed=6)
    small = fit(family, X_BIG, y)
    large = fit(family, X_BIG, 10.0 * y)
    ratio = np.diag(large.vcov()) / np.diag(small.vcov())
    np.testing.assert_allclose(ratio, 100.0, rtol=0.01)


# The stored covariance of the intercept against its spread over repeated
# simulations (200 sets: the sample variance has a relative standard error
# of 10%). θ̂·H⁻¹ would be off by the factor θ (0.5 and 4 here).
# Measured: 0.78 at θ = 0.5, 1.03 at θ = 4.
@pytest.mark.parametrize("theta", [0.5, 4.0])
def test_negbin_covariance_matches_the_spread_of_estimates(theta):
    x = np.random.default_rng(41).uniform(size=(400, 1))
    intercepts, variances = [], []
    for seed in range(200):
        model = fit("negbin", x, shape_response("negbin", x[:, 0], seed=100 + seed, theta=theta))
        intercepts.append(model.beta[0])
        variances.append(model.vcov()[0, 0])
    assert abs(np.var(intercepts, ddof=1) / np.mean(variances) - 1.0) <= 0.3
