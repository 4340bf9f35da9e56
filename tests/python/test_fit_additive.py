import numpy as np
import pytest

import simulated
from kavri import FittedGam, fit_additive
from simulated import FAMILIES, TERMS, X, Y_ANY, response

EPS = np.finfo(float).eps


@pytest.fixture(scope="module", params=FAMILIES)
def family_fit(request):
    return request.param, simulated.fitted(request.param)


def test_fitted_record_of_every_family(family_fit):
    family, model = family_fit
    p = len(model.beta)
    assert model.term_col_ranges() == [(1, 6), (6, 10), (10, 25), (25, 29)] and p == 29
    # One penalty per term, two for the tensor term.
    assert len(model.rho) == len(model.edf_per_term) == 5
    np.testing.assert_allclose(getattr(model, "lambda"), np.exp(model.rho), rtol=2 * EPS)
    assert type(model.n) is int and model.n == len(X)
    assert type(model.n_iters) is int and model.n_iters >= 1
    assert model.converged is True or model.converged is False
    assert type(model.reml_value) is float and np.isfinite(model.reml_value)
    v = model.vcov()
    assert v.shape == (p, p)
    # The inverse is formed column by column from the factor; its two
    # triangles agree to rounding, a few p·eps of its largest entry.
    assert np.max(np.abs(v - v.T)) <= 4 * p * EPS * np.max(np.abs(v))
    assert np.all(np.diag(v) > 0.0)
    assert 1.0 <= model.edf_total <= p
    assert len(model.shape_params) == 0
    if family in ("poisson", "bernoulli"):
        assert model.scale == 1.0
    else:
        assert np.isfinite(model.scale) and model.scale > 0.0


def test_training_predictions_are_the_model_matrix_times_beta(family_fit):
    _, model = family_fit
    lp = model.evaluate_lpmatrix(X)
    slack = 2 * lp.shape[1] * EPS * (np.abs(lp) @ np.abs(model.beta))
    assert np.all(np.abs(model.predict(X) - lp @ model.beta) <= slack)
    np.testing.assert_array_equal(lp[:, 0], 1.0)


def strided(a):
    big = np.zeros((2 * a.shape[0],) + tuple(2 * s for s in a.shape[1:]))
    if a.ndim == 1:
        big[::2] = a
        return big[::2]
    big[::2, ::2] = a
    return big[::2, ::2]


@pytest.mark.parametrize(
    "layout",
    [
        ("fortran x", lambda x, y, w: (np.asfortranarray(x), y, w)),
        ("strided x, y and weights", lambda x, y, w: (strided(x), strided(y), strided(w))),
        ("reversed copies", lambda x, y, w: (np.ascontiguousarray(x[::-1])[::-1], np.ascontiguousarray(y[::-1])[::-1],
                                             np.ascontiguousarray(w[::-1])[::-1])),
    ],
    ids=lambda c: c[0],
)
def test_strided_inputs_fit_exactly_like_contiguous_ones(layout):
    y = response("poisson")
    w = np.linspace(0.5, 1.5, len(y))
    reference = fit_additive("poisson", X, y, TERMS, w)
    x_s, y_s, w_s = layout[1](X, y, w)
    assert not (x_s.flags.c_contiguous and y_s.flags.c_contiguous)
    assert fit_additive("poisson", x_s, y_s, TERMS, w_s).serialize() == reference.serialize()


def test_weights_none_and_omitted_fit_alike_and_weights_matter():
    y = response("gamma")
    omitted = fit_additive("gamma", X, y, TERMS)
    assert fit_additive("gamma", X, y, TERMS, None).serialize() == omitted.serialize()
    weighted = fit_additive("gamma", X, y, TERMS, np.linspace(0.2, 3.0, len(y)))
    assert not np.array_equal(weighted.beta, omitted.beta)


def test_the_model_keeps_nothing_of_its_inputs():
    x, y, w = X.copy(), response("gaussian"), np.ones(len(X))
    kept = (x.copy(), y.copy(), w.copy())
    model = fit_additive("gaussian", x, y, TERMS, w)
    before = model.serialize()
    for a, b in zip((x, y, w), kept):
        np.testing.assert_array_equal(a, b)
        a[...] = 0.0
    assert model.serialize() == before


def test_read_only_inputs_are_accepted():
    x, y = X.copy(), response("poisson")
    reference = fit_additive("poisson", x, y, TERMS).serialize()
    x.flags.writeable = False
    y.flags.writeable = False
    assert fit_additive("poisson", x, y, TERMS).serialize() == reference


# (name, family, y, weights, message): the driver's checks in their order.
DRIVER_ERRORS = [
    ("short y", "gaussian", Y_ANY[:-1], None,
     "x and y must have the same number of rows; got x.nrows()=80, y.len()=79"),
    ("row count before weights", "poisson", Y_ANY[:-1], np.ones(3),
     "x and y must have the same number of rows; got x.nrows()=80, y.len()=79"),
    ("short weights", "poisson", Y_ANY, np.ones(3),
     "prior_weights length must match x rows; got weights.len()=3, x.nrows()=80"),
    ("weights before response", "poisson", -Y_ANY, np.ones(3),
     "prior_weights length must match x rows; got weights.len()=3, x.nrows()=80"),
    ("all weights zero", "gaussian", Y_ANY, np.where(np.arange(80) == 5, -0.0, 0.0),
     "prior weights must not all be zero"),
    ("weight count before all zero", "poisson", Y_ANY, np.zeros(79),
     "prior_weights length must match x rows; got weights.len()=79, x.nrows()=80"),
    ("all weights zero before the response", "gamma", np.where(np.arange(80) == 0, 0.0, Y_ANY), np.zeros(80),
     "prior weights must not all be zero"),
    ("negative count", "poisson", np.where(np.arange(80) == 2, -1.0, Y_ANY), None,
     "Poisson requires y ≥ 0; got y=-1 at row 2"),
    ("zero gamma response", "gamma", np.where(np.arange(80) == 0, 0.0, Y_ANY), None,
     "Gamma requires y > 0; got y=0 at row 0"),
    ("binary response above 1", "binomial", np.where(np.arange(80) == 4, 1.5, Y_ANY), None,
     "Bernoulli requires y in [0, 1]; got y=1.5 at row 4"),
    ("NaN binary response", "quasibinomial", np.where(np.arange(80) == 7, np.nan, Y_ANY), None,
     "y must be finite; got y=NaN at row 7"),
]


@pytest.mark.parametrize("family, y, weights, message", [c[1:] for c in DRIVER_ERRORS],
                         ids=[c[0] for c in DRIVER_ERRORS])
def test_driver_errors_are_value_errors(family, y, weights, message):
    with pytest.raises(ValueError) as error:
        fit_additive(family, X, y, [(0, "cr", 5)], weights)
    assert type(error.value) is ValueError
    assert str(error.value) == message


def test_design_errors_come_before_the_driver_checks():
    with pytest.raises(ValueError) as error:
        fit_additive("poisson", X, -Y_ANY[:3], [(0, "cr"), (7, "re")])
    assert str(error.value) == "Additive term 1 reads column 7 but x has only 5 columns"


def test_terms_that_share_a_covariate_are_refused():
    with pytest.raises(ValueError) as error:
        fit_additive("gaussian", X, Y_ANY, [(0, "cr"), ((0, 1), "te")])
    assert str(error.value) == (
        'Additive terms 0 (0, "cr") and 1 ((0, 1), "te") share column 0: both leave its linear trend unpenalised, '
        'so the model cannot be identified; use ((0, 1), "te") alone, which smooths column 0 too')


NO_ROWS = np.zeros((0, 5))

# (name, x, y, terms, weights, message): inputs that leave nothing to fit
# are named before any design is built, after the terms and the family.
NOTHING_TO_FIT = [
    ("no rows", NO_ROWS, np.zeros(0), [(0, "cr", 5)], None, "x must have at least one row"),
    ("no rows for a random effect", NO_ROWS, np.zeros(0), [(4, "re")], None, "x must have at least one row"),
    ("no rows before the design", NO_ROWS, np.zeros(3), [(7, "cr")], None, "x must have at least one row"),
    ("all weights zero before the design", X, Y_ANY, [(0, "cr"), (7, "re")], np.zeros(80),
     "prior weights must not all be zero"),
    ("the terms first", NO_ROWS, np.zeros(0), [], None, "fit_additive: terms list must be non-empty"),
]


@pytest.mark.parametrize("x, y, terms, weights, message", [c[1:] for c in NOTHING_TO_FIT],
                         ids=[c[0] for c in NOTHING_TO_FIT])
def test_inputs_that_leave_nothing_to_fit_are_named(x, y, terms, weights, message):
    with pytest.raises(ValueError) as error:
        fit_additive("gaussian", x, y, terms, weights)
    assert str(error.value) == message


# Bases that can be addressed but not held: the first allocation asks for
# hundreds of terabytes, more than any address space, and fails at once.
HUGE_BASES = [
    ("cr", [(0, "cr", 10**7)], "CR spline: out of memory allocating a 10000000 × 10000000 matrix"),
    ("cr_stable", [(0, "cr_stable", 10**7)], "CR spline: out of memory allocating a 10000000 × 10000000 matrix"),
    ("te", [((0, 1), "te", (3, 10**7))], "Tensor term: out of memory allocating a 30000000 × 30000000 matrix"),
]


@pytest.mark.parametrize("terms, message", [c[1:] for c in HUGE_BASES], ids=[c[0] for c in HUGE_BASES])
def test_a_failed_allocation_names_its_matrix(terms, message):
    with pytest.raises(MemoryError) as error:
        fit_additive("gaussian", X, Y_ANY, terms)
    assert str(error.value) == message


@pytest.mark.parametrize("n", [10, 40, 80])
def test_an_exact_fit_has_a_non_negative_scale_and_covariance(n):
    # y = 3x + 1 lies in the spline's unpenalised space: RSS + λβ'Sβ is
    # zero up to rounding, which falls below zero for some of these sizes.
    x = np.linspace(0.0, 1.0, n)[:, None]
    model = fit_additive("gaussian", x, 3.0 * x[:, 0] + 1.0, [(0, "cr", 8)])
    assert not np.signbit(model.scale)
    assert not np.any(np.signbit(np.diag(model.vcov())))
    # Rounding only: far below the response's variance of 0.75.
    assert model.scale < 1e-10


def test_numerical_failures_are_runtime_errors():
    # Splines of two copies of one covariate share their linear part, which
    # no penalty reaches and no data can tell apart; the term list alone
    # cannot show it.
    twin = np.column_stack([X[:, 0], X[:, 0]])
    with pytest.raises(RuntimeError) as error:
        fit_additive("gaussian", twin, Y_ANY, [(0, "cr", 5), (1, "cr", 5)])
    assert str(error.value).startswith("singular system: ")


def test_every_result_is_a_new_fitted_gam():
    a = fit_additive("gaussian", X, Y_ANY, [(0, "cr", 5)])
    b = fit_additive("gaussian", X, Y_ANY, [(0, "cr", 5)])
    assert type(a) is FittedGam and a is not b
    assert a.serialize() == b.serialize()


class Column:
    """A column index whose conversion runs `action` first."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 0


def test_weights_are_copied_before_the_terms_run_python_code():
    y = response("poisson")
    w = np.linspace(0.5, 1.5, len(y))
    reference = fit_additive("poisson", X, y, [(0, "cr", 5)], w.copy())

    def spoil():
        w[:] = np.nan

    assert fit_additive("poisson", X, y, [(Column(spoil), "cr", 5)], w).serialize() == reference.serialize()


def test_x_and_y_are_read_after_the_terms_run_python_code():
    x, y = X.copy(), response("gaussian")
    reference = fit_additive("gaussian", X, y[::-1].copy(), [(0, "cr", 5)])

    def reverse_y():
        y[:] = y[::-1].copy()

    assert fit_additive("gaussian", x, y, [(Column(reverse_y), "cr", 5)]).serialize() == reference.serialize()

    def flatten_x():
        x.shape = (x.size,)

    with pytest.raises(TypeError) as error:
        fit_additive("gaussian", x, y, [(Column(flatten_x), "cr", 5)])
    assert str(error.value) == "argument 'x': 'ndarray' object cannot be cast as 'ndarray'"


def test_inverse_gaussian_fit_on_a_nearly_flat_likelihood_converges():
    # 48 rows of rock permeability with three k = 6 splines: the inverse
    # Gaussian deviance stays bounded as a mean grows without limit, so at
    # the small penalties chosen here the likelihood is nearly flat along
    # directions that send some means far out. Fisher scoring crawled along
    # them for all 50 inner iterations; Newton steps reach the optimum.
    import json
    from pathlib import Path

    data = json.loads((Path(__file__).parent / "data" / "inverse_gaussian_three_terms.json").read_text())
    x = np.array(data["x"], dtype=float)
    y = np.array(data["y"], dtype=float)
    terms = [(col, kind, k) for col, kind, k in data["terms"]]
    model = fit_additive("inverse_gaussian", x, y, terms)
    assert model.converged is True
    assert model.n_iters < 50
    assert np.all(np.isfinite(model.beta))
