"""What a fit reports against the information of its model, worked out here
from the fitted means alone: the covariance is the inverse of the expected
(Fisher) information plus a penalty on the smooth blocks, edf is the trace
of its shrinkage, every summary stays in its range, and integer prior
weights are the rows repeated for the families whose weights count
replicates."""

import json
from pathlib import Path

import numpy as np
import pytest

from kavri import fit, fit_additive

from simulated import SHAPE_OPTIONS, covariates, response, shape_response

N = 150
X1 = covariates(N, seed=31)
TWEEDIE_P_RANGE = (1.05, 1.95)


def fisher_weights(family, model, mu, w):
    """w/(V·g'²) at μ for the families with a variance function; the scaled
    t's w(ν + 1)/((ν + 3)σ²)."""
    s = model.shape_params
    if family == "gaussian":
        return w
    if family in ("bernoulli", "binomial", "quasibinomial"):
        return w * mu * (1 - mu)
    if family in ("poisson", "quasipoisson"):
        return w * mu
    if family == "gamma":
        return w
    if family == "inverse_gaussian":
        return w / mu
    if family == "negbin":
        theta = np.exp(s[0])
        return w * mu * theta / (theta + mu)
    if family == "tdist":
        sigma2, nu = np.exp(s[0]), 2 + np.exp(s[1])
        return w * (nu + 1) / ((nu + 3) * sigma2) * np.ones_like(mu)
    if family == "tweedie":
        p = np.clip(1 + 1 / (1 + np.exp(-s[1])), *TWEEDIE_P_RANGE)
        return w * mu ** (2 - p)
    raise ValueError(family)


def covariance_scale(family, model):
    """The factor by which vcov exceeds H⁻¹: the estimated dispersion where
    the criterion has one, else 1 (θ and σ² are no covariance scale)."""
    if family in ("gaussian", "quasibinomial", "quasipoisson", "gamma", "inverse_gaussian", "tweedie"):
        return model.scale
    return 1.0


def single_response(family, seed=5):
    if family in ("negbin", "tdist", "tweedie"):
        return shape_response(family, X1[:, 0], seed=seed)
    return response("bernoulli" if family == "binomial" else family, X1, seed=seed)


INFORMATION_FAMILIES = ["gaussian", "bernoulli", "poisson", "quasipoisson", "quasibinomial", "gamma",
                        "inverse_gaussian", "negbin", "tdist", "tweedie"]


def check_information_identity(family, model, x, w):
    """A = vcov/scale; A⁻¹ − X'W_F X is zero off the penalized block (the
    intercept's row and column) and positive semi-definite, and edf_total is
    tr(A·X'W_F X). The references are formed here from μ̂; the inverse of a
    p ≤ 12 system of condition ~1e4 loses a few digits, so 1e-7 relative to
    the largest entry, 1e-8 for the trace."""
    xm = model.evaluate_lpmatrix(x)
    mu = model.predict_response(x)
    wf = fisher_weights(family, model, mu, w)
    info = xm.T @ (wf[:, None] * xm)
    a = model.vcov() / covariance_scale(family, model)
    penalty = np.linalg.inv(a) - info
    size = np.abs(np.linalg.inv(a)).max()
    assert np.abs(penalty[0, :]).max() <= 1e-7 * size
    assert np.abs(penalty[:, 0]).max() <= 1e-7 * size
    sym = 0.5 * (penalty + penalty.T)
    assert np.linalg.eigvalsh(sym).min() >= -1e-7 * size
    assert model.edf_total == pytest.approx(np.trace(a @ info), rel=1e-8)


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("family", INFORMATION_FAMILIES)
def test_covariance_is_the_inverse_of_the_expected_information_plus_a_penalty(family, weighted):
    y = single_response(family)
    w = np.random.default_rng(3).integers(1, 4, size=N).astype(float) if weighted else None
    opts = SHAPE_OPTIONS.get(family, {})
    model = fit(family, X1, y, weights=w, **opts)
    assert model.converged
    check_information_identity(family, model, X1, np.ones(N) if w is None else w)


def check_ranges(model, p, m_p, widths):
    assert m_p <= model.edf_total <= p
    for edf, width in zip(model.edf_per_term, widths):
        assert 0 <= edf <= width
    v = model.vcov()
    assert np.array_equal(v, v.T)
    assert np.linalg.eigvalsh(v).min() >= -1e-12 * np.abs(v).max()


@pytest.mark.parametrize("family", INFORMATION_FAMILIES + ["ocat", "elf"])
def test_every_family_reports_summaries_inside_their_ranges(family):
    # One k = 10 spline: p = 10, M_p = 2 (the intercept and the spline's
    # linear part), the term's block 9 wide.
    if family in ("ocat", "elf"):
        y = shape_response(family, X1[:, 0])
    else:
        y = single_response(family)
    model = fit(family, X1, y, k=10, **SHAPE_OPTIONS.get(family, {}))
    check_ranges(model, p=10, m_p=2, widths=[9])


def test_inverse_gaussian_fixture_reports_the_expected_information_edf():
    # 48 rows, three k = 6 splines (p = 16, M_p = 4). The fit steps on the
    # observed information; its edf is that of the expected one.
    data = json.loads((Path(__file__).parent / "data" / "inverse_gaussian_three_terms.json").read_text())
    x = np.array(data["x"], dtype=float)
    y = np.array(data["y"], dtype=float)
    model = fit_additive("inverse_gaussian", x, y, [(c, kind, k) for c, kind, k in data["terms"]])
    assert model.converged
    check_information_identity("inverse_gaussian", model, x, np.ones(len(y)))
    check_ranges(model, p=16, m_p=4, widths=[5, 5, 5])


def test_small_inverse_gaussian_fits_keep_their_edf_in_range():
    # Small noisy samples, where the observed information at the fit is
    # often indefinite: edf stays a sum of shrinkage factors.
    for seed in range(40):
        rng = np.random.default_rng(seed)
        x = rng.uniform(size=(30, 1))
        y = rng.wald(np.exp(np.sin(2 * np.pi * x[:, 0])), 2.0)
        model = fit("inverse_gaussian", x, y, k=8)
        check_ranges(model, p=8, m_p=2, widths=[7])


# ρ beyond this puts a term into its penalty's null space, where V is flat
# in ρ to far below the search's tolerance: such a ρ is not compared.
FLAT_RHO = 10.0


def check_same_fit(weighted, plain, grid, tol=1e-6):
    # The knots come from the distinct covariate values, which repeating a
    # row does not change; the spline's sum-to-zero constraint is over the
    # rows, which it does, so the two fits are one model in two
    # parametrisations: β differs by a shift along the constraint, the
    # fitted predictor does not.
    steep = (weighted.rho < FLAT_RHO) & (plain.rho < FLAT_RHO)
    np.testing.assert_allclose(weighted.rho[steep], plain.rho[steep], rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(weighted.shape_params, plain.shape_params, rtol=1e-6, atol=1e-6)
    assert weighted.edf_total == pytest.approx(plain.edf_total, rel=1e-6)
    np.testing.assert_allclose(weighted.predict(grid), plain.predict(grid), rtol=tol, atol=tol)


def repeated(x, y, w):
    counts = w.astype(int)
    return np.repeat(x, counts, axis=0), np.repeat(y, counts)


REPLICATE_FAMILIES = ["binomial", "poisson", "negbin", "tdist", "tweedie", "ocat", "elf"]


@pytest.mark.parametrize("family", REPLICATE_FAMILIES)
def test_integer_weights_are_repeated_rows(family):
    # Weights 1 to 3. Both fits reach the same
    # optimum of the same criterion from different starts, each to the
    # inner and outer tolerances: 1e-6 relative.
    rng = np.random.default_rng(17)
    n = 120
    x = rng.uniform(size=(n, 1))
    y = single_response(family) if family in ("binomial", "poisson") else shape_response(family, x[:, 0], seed=4)
    if family in ("binomial", "poisson"):
        y = response("bernoulli" if family == "binomial" else family, covariates(n, seed=8), seed=9)
    w = rng.integers(1, 4, size=n).astype(float)
    opts = dict(SHAPE_OPTIONS.get(family, {}))
    if family == "elf":
        # The default σ comes from a pilot fit of its own; the weights' part
        # is the fit's, with σ given.
        opts["elf_sigma"] = 0.5
    weighted = fit(family, x, y, weights=w, **opts)
    xr, yr = repeated(x, y, w)
    plain = fit(family, xr, yr, **opts)
    # The scaled t's re-weighting converges linearly, so its stop at a
    # deviance change of 1e-9 leaves β some 1e-6 from the optimum: the two
    # fits' predictors agree to 2e-5 there.
    check_same_fit(weighted, plain, np.linspace(0.02, 0.98, 25)[:, None], tol=2e-5 if family == "tdist" else 1e-6)


@pytest.mark.parametrize("family", ["binomial", "poisson"])
def test_integer_weights_are_repeated_rows_in_additive_fits(family):
    rng = np.random.default_rng(23)
    n = 160
    x = covariates(n, seed=24)
    y = response("bernoulli" if family == "binomial" else family, x, seed=25)
    w = rng.integers(1, 4, size=n).astype(float)
    terms = [(0, "cr", 6), (1, "cr", 5)]
    weighted = fit_additive(family, x, y, terms, weights=w)
    xr, yr = repeated(x, y, w)
    plain = fit_additive(family, xr, yr, terms)
    check_same_fit(weighted, plain, x)


def logistic(u):
    return 1 / (1 + np.exp(-u))


def ocat_newton_weights(model, y, eta):
    """½·∂²(−2 ln P)/∂η² of each row's category probability
    P = F(c_k − η) − F(c_{k−1} − η), F logistic, cut points −1 and then the
    exponentiated gaps of `shape_params`."""
    cuts = np.concatenate([[-np.inf, -1.0], -1.0 + np.cumsum(np.exp(model.shape_params)), [np.inf]])
    k = y.astype(int)
    b, a = cuts[k] - eta, cuts[k - 1] - eta

    def dens(u):
        return np.where(np.isfinite(u), logistic(u) * (1 - logistic(u)), 0.0)

    def slope(u):
        return np.where(np.isfinite(u), dens(u) * (1 - 2 * logistic(u)), 0.0)

    p = np.where(np.isfinite(b), logistic(b), 1.0) - np.where(np.isfinite(a), logistic(a), 0.0)
    dp = dens(a) - dens(b)
    d2p = slope(b) - slope(a)
    return (dp * dp - p * d2p) / (p * p)


@pytest.mark.parametrize("family", ["ocat", "elf"])
def test_newton_families_covariance_is_the_inverse_of_their_newton_information(family):
    # Their fits take Newton steps on the exact curvature of their own loss,
    # and that is the information their summaries carry. The quantile fit's
    # systems hold a ridge of 1e-7 of their largest diagonal entry, so its
    # identity holds to that; the ordered fit's to 1e-7 as above, edf to
    # 1e-8 for both.
    y = shape_response(family, X1[:, 0])
    if family == "ocat":
        model = fit("ocat", X1, y, r=4)
        xm = model.evaluate_lpmatrix(X1)
        w = ocat_newton_weights(model, y, model.predict(X1))
        tol = 1e-7
    else:
        tau, sigma, lam = 0.3, 0.6, 0.4
        model = fit("elf", X1, y, tau=tau, elf_sigma=sigma, elf_lambda=lam)
        xm = model.evaluate_lpmatrix(X1)
        pr = logistic((y - model.predict(X1)) / lam)
        w = pr * (1 - pr) / (lam * sigma)
        tol = 2e-7
    assert model.converged
    info = xm.T @ (w[:, None] * xm)
    a = model.vcov()
    penalty = np.linalg.inv(a) - info
    size = np.abs(np.linalg.inv(a)).max()
    assert np.abs(penalty[0, :]).max() <= tol * size
    assert np.abs(penalty[:, 0]).max() <= tol * size
    assert np.linalg.eigvalsh(0.5 * (penalty + penalty.T)).min() >= -tol * size
    assert model.edf_total == pytest.approx(np.trace(a @ info), rel=1e-8)
