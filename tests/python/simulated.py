"""Simulated training data for real fits of every plain family.

Columns 0 to 3 of `X` are uniform on [0, 1], column 4 holds the levels 0
to 3; each family gets a response from its own distribution around a
smooth mean, with a fixed seed. Terms that share a covariate share
unpenalized directions too (a spline's linear part and a tensor's), which
leaves the fit without a unique solution and is refused (a random effect
aside), so the tests give each term covariates of its own.
"""

import numpy as np

from kavri import fit, fit_additive

N = 80


def covariates(n, seed):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(size=(n, 4)), rng.integers(0, 4, size=n).astype(float)])


X = covariates(N, seed=11)

FAMILIES = ["gaussian", "bernoulli", "poisson", "quasipoisson", "quasibinomial", "gamma", "inverse_gaussian"]
LINK_OF = {
    "gaussian": "Identity",
    "bernoulli": "Logit", "quasibinomial": "Logit",
    "poisson": "Log", "quasipoisson": "Log", "gamma": "Log", "inverse_gaussian": "Log",
}


def _eta(x):
    return np.sin(2 * np.pi * x[:, 0]) + 0.5 * x[:, 1] * x[:, 2] + 0.3 * x[:, 3] ** 2 + 0.25 * (x[:, 4] - 1.5)


def response(family, x=X, seed=12):
    rng = np.random.default_rng(seed)
    eta = _eta(x)
    n = len(x)
    if family == "gaussian":
        return eta + 0.3 * rng.normal(size=n)
    if family in ("bernoulli", "quasibinomial"):
        return (rng.uniform(size=n) < 1 / (1 + np.exp(-eta))).astype(float)
    if family in ("poisson", "quasipoisson"):
        return rng.poisson(np.exp(eta + 1)).astype(float)
    if family == "gamma":
        return rng.gamma(4.0, np.exp(eta) / 4.0)
    if family == "inverse_gaussian":
        return rng.wald(np.exp(eta), 8.0)
    raise ValueError(family)


# A response inside every family's domain: strictly between 0 and 1.
Y_ANY = np.clip(1 / (1 + np.exp(-_eta(X))), 0.05, 0.95)


# One term of every kind, each on covariates of its own.
TERMS = [(0, "cr", 6), (4, "re"), ((1, 2), "te", (4, 4)), (3, "cr_stable", 5)]


def fitted(family, terms=TERMS):
    return fit_additive(family, X, response(family), terms)


# The families `fit` reaches beyond the plain seven, with the options each
# test fit passes, and their links as the persisted body names them.
SHAPE_OPTIONS = {"negbin": {}, "tdist": {}, "tweedie": {}, "ocat": {"r": 4}, "elf": {"tau": 0.3}}
SHAPE_LINK_OF = {"negbin": "Log", "tdist": "Identity", "tweedie": "Log", "ocat": "Identity", "elf": "Identity"}


def curve(x):
    return np.sin(2 * np.pi * x) + 0.5 * x


def tweedie_draws(mu, p, phi, rng):
    """Compound Poisson–gamma draws with mean mu, power p and dispersion phi."""
    counts = rng.poisson(mu ** (2 - p) / (phi * (2 - p)))
    scale = phi * (p - 1) * mu ** (p - 1)
    shape = (2 - p) / (p - 1)
    return np.where(counts > 0, rng.gamma(np.maximum(counts, 1) * shape, scale), 0.0)


def shape_response(family, x, seed=13, theta=2.0, nu=5.0, sigma2=1.0, p=1.5, phi=1.0, cuts=(-1.0, 0.0, 1.0)):
    """A response of `family` around a smooth of x (one column of values)."""
    rng = np.random.default_rng(seed)
    f = curve(x)
    n = len(x)
    if family == "negbin":
        mu = np.exp(0.5 + f)
        return rng.poisson(rng.gamma(theta, mu / theta)).astype(float)
    if family == "tdist":
        return f + np.sqrt(sigma2) * rng.standard_t(nu, n)
    if family == "tweedie":
        return tweedie_draws(np.exp(0.3 + 0.6 * f), p, phi, rng)
    if family == "ocat":
        latent = 2 * f + rng.logistic(size=n)
        return 1.0 + sum((latent > c).astype(float) for c in cuts)
    if family == "elf":
        return f + rng.normal(size=n)
    raise ValueError(family)


def shape_fitted(family):
    return fit(family, X, shape_response(family, X[:, 0]), **SHAPE_OPTIONS[family])
