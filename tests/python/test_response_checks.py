"""A NaN or infinite response reaches the caller as the one finite-y
message under every family name whose response is checked by its domain or
for finiteness, never as a domain message that the value satisfies."""

import numpy as np
import pytest

from kavri import fit

X6 = np.linspace(0.0, 1.0, 12).reshape(6, 2)
FAMILIES = ["gaussian", "bernoulli", "binomial", "poisson", "quasipoisson", "quasibinomial", "gamma",
            "inverse_gaussian", "negbin", "tdist", "tweedie", "elf"]
NON_FINITE = [(float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf")]


@pytest.mark.parametrize("value, text", NON_FINITE, ids=[t for _, t in NON_FINITE])
@pytest.mark.parametrize("family", FAMILIES)
def test_non_finite_response_is_named_as_not_finite(family, value, text):
    # Rows 0 to 2 lie in every family's domain.
    y = np.array([1.0, 0.5, 1.0, value, 1.0, 0.5])
    with pytest.raises(ValueError) as error:
        fit(family, X6, y, k=4)
    assert str(error.value) == f"y must be finite; got y={text} at row 3"


@pytest.mark.parametrize("value, text", NON_FINITE, ids=[t for _, t in NON_FINITE])
def test_non_finite_ordered_category_is_named_as_not_finite(value, text):
    # Rows 0 to 2 are categories 1 … 3; row 3 is no category and no number.
    y = np.array([1.0, 2.0, 3.0, value, 1.0, 2.0])
    with pytest.raises(ValueError) as error:
        fit("ocat", X6, y, r=3, k=4)
    assert str(error.value) == f"y must be finite; got y={text} at row 3"
