#include "functions.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.h"
#include "error_mapping.h"
#include "fit/dispatch.h"
#include "fitted_gam_object.h"
#include "guarded.h"
#include "terms.h"

namespace kavri::python {

namespace {

// --- fit ---------------------------------------------------------------------

constexpr std::array<const char*, 15> kFitNames{
    "family_name", "x",           "y", "weights", "k",         "design",     "theta",      "nu",
    "sigma2",      "tweedie_p", "tweedie_phi", "r",       "tau",       "elf_sigma", "elf_lambda",
};
const Signature kFit{"fit()", kFitNames, 3};

constexpr std::uint64_t kDefaultK = 10;

PyObject* fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(BoundArguments bound, BoundArguments::bind(kFit, args, nargs, kwnames));
    PY_TRY(std::string family_name, bound.convert(0, to_text));
    PY_TRY(InputArray x_array, bound.matrix(1));
    PY_TRY(InputArray y_array, bound.vector(2));
    PY_TRY(std::optional<InputArray> weights_array, bound.optional_vector(3));
    PY_TRY(std::uint64_t k, bound.convert_or(4, kDefaultK, to_u64));
    PY_TRY(std::string design, bound.convert_or(5, std::string("cr"), to_text));
    PY_TRY(std::optional<double> theta, bound.convert_optional(6, to_double));
    PY_TRY(std::optional<double> nu, bound.convert_optional(7, to_double));
    PY_TRY(std::optional<double> sigma2, bound.convert_optional(8, to_double));
    PY_TRY(std::optional<double> tweedie_p, bound.convert_optional(9, to_double));
    PY_TRY(std::optional<double> tweedie_phi, bound.convert_optional(10, to_double));
    PY_TRY(std::optional<std::uint64_t> r, bound.convert_optional(11, to_u64));
    PY_TRY(std::optional<double> tau, bound.convert_optional(12, to_double));
    PY_TRY(std::optional<double> elf_sigma, bound.convert_optional(13, to_double));
    PY_TRY(std::optional<double> elf_lambda, bound.convert_optional(14, to_double));
    // No Python code runs after this point, so the views stay valid.
    PY_TRY(linalg::MatrixView x, x_array.matrix());
    PY_TRY(linalg::VectorView y, y_array.vector());
    std::optional<linalg::VectorView> weights;
    if (weights_array) {
      PY_TRY(weights, weights_array->vector());
    }
    const fit::FitRequest request{std::move(family_name), x, y, weights, k, std::move(design), theta, nu, sigma2,
                                  tweedie_p, tweedie_phi, r, tau, elf_sigma, elf_lambda};
    auto model = fit::fit_by_family_name(request);
    if (!model) return kavri_error_to_pyerr(model.error());
    return wrap_record(std::move(*model));
  });
}

// --- fit_additive --------------------------------------------------------------

constexpr std::array<const char*, 5> kFitAdditiveNames{"family_name", "x", "y", "terms", "weights"};
const Signature kFitAdditive{"fit_additive()", kFitAdditiveNames, 4};

PyObject* fit_additive(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyResult<PyRef> {
    PY_TRY(BoundArguments bound, BoundArguments::bind(kFitAdditive, args, nargs, kwnames));
    PY_TRY(std::string family_name, bound.convert(0, to_text));
    PY_TRY(InputArray x_array, bound.matrix(1));
    PY_TRY(InputArray y_array, bound.vector(2));
    PY_TRY(PyRef terms_list, bound.convert(3, to_list));
    PY_TRY(std::optional<InputArray> weights_array, bound.optional_vector(4));
    // The weights are copied at once: the terms' conversions below may run
    // Python code.
    std::optional<linalg::Vector> weights;
    if (weights_array) {
      PY_TRY(linalg::VectorView view, weights_array->vector());
      weights = view.to_vector();
      weights_array.reset();
    }
    PY_TRY(std::vector<design::TermSpec> terms, parse_terms(terms_list.get()));
    // The request's own checks come before the views: a view fails when the
    // terms' conversions changed an array, and a refused name or term list
    // is reported first.
    if (auto family = fit::additive_family(family_name, terms); !family) return kavri_error_to_pyerr(family.error());
    // No Python code runs after this point, so the views stay valid.
    PY_TRY(linalg::MatrixView x, x_array.matrix());
    PY_TRY(linalg::VectorView y, y_array.vector());
    std::optional<linalg::VectorView> weights_view;
    if (weights) weights_view = linalg::VectorView(*weights);
    auto model = fit::fit_additive(family_name, x, y, terms, weights_view);
    if (!model) return kavri_error_to_pyerr(model.error());
    return wrap_record(std::move(*model));
  });
}

PyMethodDef g_fit_definition{
    "fit", as_method(fit), METH_FASTCALL | METH_KEYWORDS,
    "fit(family_name, x, y, weights=None, k=10, design=\"cr\", theta=None, nu=None, sigma2=None, tweedie_p=None, "
    "tweedie_phi=None, r=None, tau=None, elf_sigma=None, elf_lambda=None)\n--\n\n"
    "Fit a kavri GAM. The only string-keyed entry into the typed core.\n\n"
    "Fits y against one smooth of column 0 of the 2-D float64 array `x`, with the smoothing parameter chosen "
    "by Laplace-approximate REML, and returns a FittedGam.\n\n"
    "family_name: \"gaussian\", \"bernoulli\"/\"binomial\", \"poisson\", \"quasipoisson\", \"quasibinomial\", "
    "\"gamma\", \"inverse_gaussian\"/\"inverse.gaussian\", \"negbin\"/\"nb\" (shape `theta`), \"tdist\"/\"scat\" "
    "(`nu`, `sigma2`), \"tweedie\"/\"tw\" (`tweedie_p`, `tweedie_phi`), \"ocat\" (`r` ordered categories, "
    "required), \"elf\"/\"quantile\" (`tau`, `elf_sigma`, `elf_lambda`).\n"
    "theta, nu, sigma2, tweedie_p and tweedie_phi are start values: the shape parameters are always estimated "
    "with the smoothing parameter (when absent: theta from the moments of y, nu 5, sigma2 from a robust scale "
    "of y, tweedie_p 1.5, tweedie_phi from an intercept-only fit). tau is the quantile level (0.5); elf_sigma "
    "and elf_lambda, when absent or not above 0, are chosen from the data (a given sigma alone takes lambda = "
    "sigma).\n"
    "design: \"cr\" (cubic regression spline with `k` knots), \"cr_stable\" (its stable reparametrisation) or "
    "\"re\" (a random effect of the values of column 0).\n"
    "weights: optional prior weights, a 1-D float64 array of the length of `y`.",
};

PyMethodDef g_fit_additive_definition{
    "fit_additive", as_method(fit_additive), METH_FASTCALL | METH_KEYWORDS,
    "fit_additive(family_name, x, y, terms, weights=None)\n--\n\n"
    "Fit an additive GAM y ~ 1 + f_1 + f_2 + … of several smooth terms of the columns of `x`.\n\n"
    "terms: a list of tuples, one per term, in model-matrix order:\n"
    "  (col, \"cr\") or (col, \"cr\", k): cubic regression spline of column col with k knots (10 when absent);\n"
    "  (col, \"cr_stable\") or (col, \"cr_stable\", k): its stable reparametrisation;\n"
    "  (col, \"re\"): a random effect of the values of column col;\n"
    "  ((col_a, col_b), \"te\") or ((col_a, col_b), \"te\", (k_a, k_b)): tensor product of two cubic "
    "regression splines (10 knots each when absent).\n"
    "No two terms other than \"re\" may read the same column: both would leave its linear trend unpenalised.\n"
    "family_name: \"gaussian\", \"bernoulli\"/\"binomial\", \"poisson\", \"quasipoisson\", \"quasibinomial\", "
    "\"gamma\" or \"inverse_gaussian\"/\"inverse.gaussian\"; the other families of `fit` take a single smooth "
    "only.\n"
    "weights: optional prior weights, a 1-D float64 array of the length of `y`.",
};

}  // namespace

PyMethodDef* fit_definition() { return &g_fit_definition; }
PyMethodDef* fit_additive_definition() { return &g_fit_additive_definition; }

}  // namespace kavri::python
