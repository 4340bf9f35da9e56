import collections

import numpy as np
import pytest

from kavri import FittedGam, fit_additive
from protocols import Index
from simulated import LINK_OF, X, Y_ANY

Y = Y_ANY

Term = collections.namedtuple("Term", "col basis k")


# (name, terms, column ranges of the fitted model, number of penalties).
# A "cr" term of k knots has k − 1 columns after centring, a random effect
# one per level (column 4 holds four), a tensor term k_a·k_b − 1 columns and
# two penalties.
ACCEPTED_TERMS = [
    ("cr default k", [(0, "cr")], [(1, 10)], 1),
    ("cr with k", [(0, "cr", 5)], [(1, 5)], 1),
    ("cr extra element ignored", [(0, "cr", 5, 7)], [(1, 5)], 1),
    ("cr_stable", [(1, "cr_stable")], [(1, 10)], 1),
    ("cr_stable with k", [(1, "cr_stable", 6)], [(1, 6)], 1),
    ("re", [(4, "re")], [(1, 5)], 1),
    ("re ignores a str", [(4, "re", "anything")], [(1, 5)], 1),
    ("re ignores a float", [(4, "re", 1.5)], [(1, 5)], 1),
    ("re ignores None", [(4, "re", None)], [(1, 5)], 1),
    ("te default k", [((0, 1), "te")], [(1, 100)], 2),
    ("te with k", [((0, 1), "te", (4, 5))], [(1, 20)], 2),
    ("named tuple", [Term(0, "cr", 5)], [(1, 5)], 1),
    ("bool and index objects", [(True, "cr", Index(4)), ((Index(0), 2), "te", (Index(3), 4))],
     [(1, 4), (4, 15)], 3),
    ("cr then te", [(2, "cr"), ((0, 1), "te")], [(1, 10), (10, 109)], 3),
    ("three kinds", [(4, "re"), (0, "cr_stable", 4), ((1, 2), "te", (3, 3))], [(1, 5), (5, 8), (8, 16)], 4),
]


@pytest.mark.parametrize("terms, ranges, m", [c[1:] for c in ACCEPTED_TERMS], ids=[c[0] for c in ACCEPTED_TERMS])
def test_accepted_terms_build_their_blocks_in_order(terms, ranges, m):
    model = fit_additive("gaussian", X, Y, terms)
    assert model.term_col_ranges() == ranges
    assert len(model.beta) == ranges[-1][1]
    assert len(model.rho) == len(getattr(model, "lambda")) == len(model.edf_per_term) == m


def test_a_column_beyond_x_is_reported_by_the_design():
    with pytest.raises(ValueError) as error:
        fit_additive("gaussian", X, Y, [(0, "cr"), ((1, 99), "te")])
    assert str(error.value) == "Additive term 1 reads column 99 but x has only 5 columns"


def test_x_with_rows_but_no_columns_is_refused():
    with pytest.raises(ValueError) as error:
        fit_additive("gaussian", X[:, :0], Y, [(0, "cr")])
    assert str(error.value) == "Additive term 0 reads column 0 but x has only 0 columns"


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


# (name, terms, exception type, message)
TERM_ERRORS = [
    ("not a tuple", [(0, "cr"), 7], ValueError, "fit_additive: term 1 must be a tuple; got 7"),
    ("list instead of tuple", [[0, "cr"]], ValueError, "fit_additive: term 0 must be a tuple; got [0, 'cr']"),
    ("one element", [(0,)], ValueError, "fit_additive: term 0 tuple must have at least 2 elements"),
    ("empty tuple", [(0, "cr"), ()], ValueError, "fit_additive: term 1 tuple must have at least 2 elements"),
    ("basis not str", [(0, 5)], TypeError, "'int' object cannot be cast as 'str'"),
    ("basis bytes", [(0, b"cr")], TypeError, "'bytes' object cannot be cast as 'str'"),
    ("basis lone surrogate", [(0, "\udc80")], UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    ("basis in capitals", [(0, "CR")], ValueError,
     "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got \"CR\""),
    ("empty basis", [(0, "")], ValueError,
     "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got \"\""),
    ("basis with quote, backslash and controls", [(0, 'a"\\\n\t\0')], ValueError,
     "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got \"a\\\"\\\\\\n\\t\\0\""),
    ("basis with a combining mark", [(0, "e\u0301")], ValueError,
     "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got \"e\\u{301}\""),
    ("column float", [(1.5, "cr")], ValueError,
     "fit_additive: univariate term 0 first element must be an integer column index"),
    ("column negative", [(-1, "cr")], ValueError,
     "fit_additive: univariate term 0 first element must be an integer column index"),
    ("column None", [(None, "re")], ValueError,
     "fit_additive: univariate term 0 first element must be an integer column index"),
    # The column is converted before the basis name is judged.
    ("column before unknown basis", [(0, "cr"), (1.5, "xx")], ValueError,
     "fit_additive: univariate term 1 first element must be an integer column index"),
    ("k None", [(0, "cr", None)], TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ("k negative", [(0, "cr_stable", -3)], OverflowError, "can't convert negative int to unsigned"),
    ("te cols not a tuple", [(0, "te")], ValueError,
     "fit_additive: tensor term 0 first element must be a (col_a, col_b) tuple"),
    ("te cols a list", [([0, 1], "te")], ValueError,
     "fit_additive: tensor term 0 first element must be a (col_a, col_b) tuple"),
    ("te three cols", [((0, 1, 2), "te")], ValueError,
     "fit_additive: tensor term 0 cols tuple must have exactly 2 elements"),
    ("te col float", [((0, 1.5), "te")], TypeError, "'float' object cannot be interpreted as an integer"),
    ("te col negative", [((0, -1), "te")], OverflowError, "can't convert negative int to unsigned"),
    ("te k int", [((0, 1), "te", 5)], ValueError, "fit_additive: tensor term 0 k must be a (k_a, k_b) tuple"),
    ("te k None", [((0, 1), "te", None)], ValueError, "fit_additive: tensor term 0 k must be a (k_a, k_b) tuple"),
    ("te one k", [((0, 1), "te", (4,))], ValueError,
     "fit_additive: tensor term 0 k tuple must have exactly 2 elements"),
    ("te k float", [((0, 1), "te", (4, 2.5))], TypeError, "'float' object cannot be interpreted as an integer"),
    ("first faulty term only", [(0, "cr"), (0, "xx"), 7], ValueError,
     "fit_additive: term 1 basis must be 'cr', 'cr_stable', 're', or 'te'; got \"xx\""),
]


@pytest.mark.parametrize("terms, kind, message", [c[1:] for c in TERM_ERRORS], ids=[c[0] for c in TERM_ERRORS])
def test_term_errors(terms, kind, message):
    with pytest.raises(Exception) as error:
        fit_additive("gaussian", X, Y, terms)
    assert type(error.value) is kind
    assert str(error.value) == message


def test_unprintable_term_reports_its_repr_failure_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda info: seen.append(info.exc_value))
    with pytest.raises(ValueError) as error:
        fit_additive("gaussian", X, Y, [(0, "cr"), BadRepr()])
    assert str(error.value) == "fit_additive: term 1 must be a tuple; got <unprintable BadRepr object>"
    assert [(type(e), str(e)) for e in seen] == [(RuntimeError, "no repr")]


@pytest.mark.parametrize("family", ["gaussian", "tdist", "negbin", "no-such-family"])
def test_empty_term_list_is_reported_for_every_family(family):
    with pytest.raises(ValueError) as error:
        fit_additive(family, X, Y, [])
    assert str(error.value) == "fit_additive: terms list must be non-empty"


@pytest.mark.parametrize(
    "family, fitted_as",
    [("gaussian", "gaussian"), ("bernoulli", "bernoulli"), ("binomial", "bernoulli"), ("poisson", "poisson"),
     ("quasipoisson", "quasipoisson"), ("quasibinomial", "quasibinomial"), ("gamma", "gamma"),
     ("inverse_gaussian", "inverse_gaussian"), ("inverse.gaussian", "inverse_gaussian")],
)
def test_accepted_families(family, fitted_as):
    model = fit_additive(family, X, Y, [(0, "cr", 6)])
    assert type(model) is FittedGam
    x = X[:7]
    eta, mu = model.predict(x), model.predict_response(x)
    inverse = {"Identity": lambda v: v, "Log": np.exp, "Logit": lambda v: 1 / (1 + np.exp(-v))}
    np.testing.assert_allclose(mu, inverse[LINK_OF[fitted_as]](eta), rtol=4 * np.finfo(float).eps)
    assert len(model.shape_params) == 0
    # An alias fits exactly what its family name fits.
    np.testing.assert_array_equal(model.beta, fit_additive(fitted_as, X, Y, [(0, "cr", 6)]).beta)


@pytest.mark.parametrize(
    "family, quoted",
    [
        ("tdist", '"tdist"'),
        ("scat", '"scat"'),
        ("negbin", '"negbin"'),
        ("tweedie", '"tweedie"'),
        ("ocat", '"ocat"'),
        ("elf", '"elf"'),
        ("Gaussian", '"Gaussian"'),
        ("", '""'),
        ('my "family"', '"my \\"family\\""'),
    ],
)
def test_refused_families(family, quoted):
    with pytest.raises(ValueError) as error:
        fit_additive(family, X, Y, [(0, "cr")])
    assert str(error.value) == (
        f"fit_additive: family {quoted} is shape-managed and restricted to single-smooth in 94b; "
        f"use kavri.fit(family={quoted}, …) or wait for multi-smooth shape-aware support. "
        "Supported additive families: gaussian, bernoulli/binomial, poisson, quasipoisson, "
        "quasibinomial, gamma, inverse_gaussian"
    )


def test_term_errors_come_before_the_family():
    with pytest.raises(ValueError) as error:
        fit_additive("tdist", X, Y, [(0, "xx")])
    assert str(error.value) == "fit_additive: term 0 basis must be 'cr', 'cr_stable', 're', or 'te'; got \"xx\""


class ListChanger:
    """A column index whose conversion changes the term list."""

    def __init__(self, terms, change):
        self.terms = terms
        self.change = change

    def __index__(self):
        self.change(self.terms)
        return 0


def test_list_shrinking_during_the_parse_ends_it_early():
    terms = []
    # The second term is faulty but is removed before it is read, together
    # with the term being converted, which must stay alive meanwhile.
    terms.extend([(ListChanger(terms, list.clear), "cr", 5), (0, "xx")])
    assert fit_additive("gaussian", X, Y, terms).term_col_ranges() == [(1, 5)]


def test_terms_appended_during_the_parse_are_not_read():
    terms = []
    terms.append((ListChanger(terms, lambda t: t.append((0, "xx"))), "cr", 5))
    assert fit_additive("gaussian", X, Y, terms).term_col_ranges() == [(1, 5)]
    assert len(terms) == 2


def test_term_replaced_during_the_parse_is_read_in_its_new_form():
    terms = []

    def replace_second(t):
        t[1] = (0, "xx")

    terms.extend([(ListChanger(terms, replace_second), "cr"), (0, "cr")])
    with pytest.raises(ValueError) as error:
        fit_additive("gaussian", X, Y, terms)
    assert str(error.value) == "fit_additive: term 1 basis must be 'cr', 'cr_stable', 're', or 'te'; got \"xx\""
