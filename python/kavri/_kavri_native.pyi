"""Types of the extension module kavri._kavri_native.

Arrays are NumPy arrays of dtype float64 with exactly the stated number of
dimensions (any strides); nothing is converted, and any other array raises
TypeError. n is the number of rows of `x`, p the number of coefficients
(the intercept in column 0, then each term's columns), m the number of
penalties (one per "cr", "cr_stable" and "re" term, two per "te" term).
"""

import builtins
from collections.abc import Callable
from typing import Any, Literal, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["FittedGam", "fit", "fit_additive"]

_Float64Array = npt.NDArray[np.float64]

@final
class FittedGam:
    """A fitted generalized additive model.

    Made by `fit_additive` (or `FittedGam.deserialize`), never directly; it
    cannot be subclassed and never changes. Every array it returns is a new
    copy. The smoothing parameters λ = exp(rho) are the getter named
    "lambda", a Python keyword: read them with getattr(model, "lambda").
    """

    @property
    def beta(self) -> _Float64Array:
        """Coefficients β̂, shape (p,): the intercept, then each term's columns in term order."""

    @property
    def rho(self) -> _Float64Array:
        """Log smoothing parameters ρ, shape (m,): one per penalty, a tensor term has two."""

    @property
    def edf_per_term(self) -> _Float64Array:
        """Effective degrees of freedom of each penalty's coefficients, shape (m,), in the order of `rho`."""

    @property
    def scale(self) -> float:
        """The scale φ: 1.0 for the binomial and Poisson families, estimated for the others."""

    @property
    def edf_total(self) -> float:
        """Total effective degrees of freedom, the intercept included."""

    @property
    def n(self) -> int:
        """Number of rows the model was fitted to."""

    @property
    def n_iters(self) -> int:
        """Newton steps of the smoothing-parameter search."""

    @property
    def converged(self) -> bool:
        """Whether the smoothing-parameter search met its convergence test."""

    @property
    def reml_value(self) -> float:
        """The Laplace-approximate REML criterion at the chosen smoothing parameters (smaller is better)."""

    @property
    def shape_params(self) -> _Float64Array:
        """The family's fitted shape coordinates on their unconstrained scale; empty, shape (0,), for the families of `fit_additive`."""

    def vcov(self) -> _Float64Array:
        """Posterior covariance of β̂, σ̂²·A⁻¹, shape (p, p); it already carries the model's scale."""

    def term_col_ranges(self) -> list[tuple[int, int]]:
        """Columns of each term in the model matrix: one (first, last_exclusive) pair per term, in term order.

        A tensor term has one range for its whole block; column 0, the
        intercept, lies outside every range.
        """

    def evaluate_lpmatrix(self, x_new: _Float64Array) -> _Float64Array:
        """The model matrix at new covariates.

        x_new: shape (n_new, d), the columns the model was fitted on.
        Returns shape (n_new, p), column 0 the intercept; its product with
        `beta` is `predict(x_new)`.
        """

    def predict(self, x_new: _Float64Array) -> _Float64Array:
        """The linear predictor η on the link scale at new covariates.

        x_new: shape (n_new, d). Returns shape (n_new,).
        """

    def predict_response(self, x_new: _Float64Array) -> _Float64Array:
        """The mean μ on the response scale: the inverse link (identity, exp or logistic) of `predict(x_new)`.

        x_new: shape (n_new, d). Returns shape (n_new,).
        """

    def predict_ci(
        self, x_new: _Float64Array, level: float = 0.95, scale: Literal["link", "response"] = "response"
    ) -> tuple[_Float64Array, _Float64Array, _Float64Array]:
        """Predictions with Wald intervals at new covariates.

        x_new: shape (n_new, d); level: in (0, 1); scale: "link" for η ± z·se,
        "response" for those three mapped through the inverse link.
        Returns (mean, lo, hi), each of shape (n_new,).
        """

    def predict_diff(
        self, x_a: _Float64Array, x_b: _Float64Array, level: float = 0.95
    ) -> tuple[_Float64Array, _Float64Array, _Float64Array]:
        """The contrast predict(x_a) − predict(x_b) on the link scale, with its Wald interval.

        x_a, x_b: shape (n_a, d) and (n_b, d), with n_a == n_b or one of them 1
        (its row is then reused). Returns (diff, lo, hi), each of shape
        (max(n_a, n_b),).
        """

    def serialize(self) -> builtins.bytes:
        """The model as bytes: the 17-byte header (magic "KAVRI", format version, body length) and a JSON body."""

    @classmethod
    def deserialize(cls, bytes: builtins.bytes) -> FittedGam:
        """Rebuild a model from the bytes of `serialize`; raises ValueError when they are malformed."""

    def __reduce__(self) -> tuple[Callable[[builtins.bytes], FittedGam], tuple[builtins.bytes]]:
        """Pickle support: (FittedGam.deserialize, (frame,)), the frame being that of `serialize`."""

def fit_additive(
    family_name: str,
    x: _Float64Array,
    y: _Float64Array,
    terms: list[tuple[Any, ...]],
    weights: _Float64Array | None = None,
) -> FittedGam:
    """Fit y ~ 1 + f_1 + f_2 + … with the smoothing of every term chosen by Laplace-approximate REML.

    family_name: "gaussian", "bernoulli"/"binomial", "poisson",
      "quasipoisson", "quasibinomial", "gamma" or
      "inverse_gaussian"/"inverse.gaussian".
    x: covariates, shape (n, d); y: response, shape (n,).
    terms: a list of tuples, one per term, in model-matrix order:
      (col, "cr") or (col, "cr", k): cubic regression spline of column col
        with k knots (10 when absent);
      (col, "cr_stable") or (col, "cr_stable", k): its stable
        reparametrisation;
      (col, "re"): a random effect, one coefficient per distinct value of
        column col;
      ((col_a, col_b), "te") or ((col_a, col_b), "te", (k_a, k_b)): tensor
        product of two cubic regression splines (10 knots each when absent).
    weights: optional prior weights, shape (n,), finite and non-negative.
    Returns the fitted model; raises ValueError for inputs the model
    cannot take and RuntimeError when the numerics fail.
    """

def fit(
    family_name: str,
    x: _Float64Array,
    y: _Float64Array,
    weights: _Float64Array | None = None,
    k: SupportsIndex = 10,
    design: str = "cr",
    theta: float | None = None,
    nu: float | None = None,
    sigma2: float | None = None,
    tweedie_p: float | None = None,
    tweedie_phi: float | None = None,
    r: SupportsIndex | None = None,
    tau: float | None = None,
    elf_sigma: float | None = None,
    elf_lambda: float | None = None,
) -> FittedGam:
    """Fit one smooth of column 0 of x for a family named by a string.

    x: shape (n, d); y and weights: shape (n,); design: "cr", "cr_stable" or
    "re" with k knots for the splines. theta (negbin), nu and sigma2 (tdist),
    tweedie_p and tweedie_phi (tweedie) are start values: the shape
    parameters are always estimated with the smoothing parameter (theta,
    sigma2 and tweedie_phi, when absent, from the data). r is the
    number of categories of "ocat" (required); tau the quantile level of
    "elf" (0.5), whose elf_sigma and elf_lambda are chosen from the data when
    absent or not above 0. Options of other families are ignored.
    """
