import inspect

import pytest

from kavri import FittedGam

PROPERTIES = [
    "beta", "rho", "lambda", "edf_per_term", "scale", "edf_total", "n", "n_iters",
    "converged", "reml_value", "shape_params",
]
METHOD_SIGNATURES = {
    "vcov": "(self, /)",
    "term_col_ranges": "(self, /)",
    "evaluate_lpmatrix": "(self, /, x_new)",
    "predict": "(self, /, x_new)",
    "predict_response": "(self, /, x_new)",
    "predict_ci": "(self, /, x_new, level=0.95, scale='response')",
    "serialize": "(self, /)",
    "__reduce__": "(self, /)",
    "predict_diff": "(self, /, x_a, x_b, level=0.95)",
}


def test_class_identity():
    assert FittedGam.__name__ == "FittedGam"
    assert FittedGam.__qualname__ == "FittedGam"
    assert FittedGam.__module__ == "kavri._kavri_native"
    assert FittedGam.__doc__ is None
    assert FittedGam.__bases__ == (object,)


def test_calling_the_class_raises_type_error():
    with pytest.raises(TypeError) as error:
        FittedGam()
    assert str(error.value) == "cannot create 'kavri._kavri_native.FittedGam' instances"


def test_subclassing_raises_type_error():
    with pytest.raises(TypeError) as error:
        type("Derived", (FittedGam,), {})
    assert str(error.value) == "type 'kavri._kavri_native.FittedGam' is not an acceptable base type"


def test_instances_carry_no_dict_and_no_weak_references():
    assert "__dict__" not in dir(FittedGam)
    assert "__weakref__" not in dir(FittedGam)


def test_item_table_order():
    own = [name for name in vars(FittedGam) if name in PROPERTIES or name in METHOD_SIGNATURES or name == "deserialize"]
    assert own == [
        "vcov", "term_col_ranges", "evaluate_lpmatrix", "predict", "predict_response", "predict_ci",
        "serialize", "deserialize", "__reduce__", "predict_diff",
        "beta", "rho", "lambda", "edf_per_term", "scale", "edf_total", "n", "n_iters",
        "converged", "reml_value", "shape_params",
    ]


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_data_descriptors(name):
    assert inspect.isdatadescriptor(vars(FittedGam)[name])


@pytest.mark.parametrize("name", PROPERTIES)
def test_property_docstrings(name):
    documented = {"rho", "lambda", "edf_per_term", "shape_params"}
    doc = vars(FittedGam)[name].__doc__
    assert (doc is not None and doc != "") == (name in documented)


@pytest.mark.parametrize("name, signature", METHOD_SIGNATURES.items())
def test_method_signatures(name, signature):
    assert str(inspect.signature(getattr(FittedGam, name))) == signature


def test_deserialize_is_a_class_method():
    assert str(inspect.signature(FittedGam.deserialize)) == "(bytes)"
    assert FittedGam.deserialize.__self__ is FittedGam


@pytest.mark.parametrize(
    "name, opening",
    [
        ("vcov", "Posterior covariance of β̂ — `σ̂² · A⁻¹`."),
        ("term_col_ranges", "Per-term column ranges into the lpmatrix `[1 | C_1 | C_2 | …]`."),
        ("predict", "Predict η (linear predictor) on new x."),
        ("predict_response", "Predict μ (response scale) by inverse-linking η elementwise."),
        ("evaluate_lpmatrix", "Rebuild the design matrix (lpmatrix) at new `x_new`."),
        ("predict_ci", "Wald-style CI for predictions at `x_new`."),
    ],
)
def test_method_docstrings_open_with_their_summary(name, opening):
    assert getattr(FittedGam, name).__doc__.startswith(opening)


def test_method_descriptors_refuse_foreign_receivers():
    with pytest.raises(TypeError):
        FittedGam.vcov(object())
    with pytest.raises(TypeError):
        vars(FittedGam)["beta"].__get__(object(), FittedGam)
