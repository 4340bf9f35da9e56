// The outer evaluation of the plain families: the criterion's value and
// gradient at ρ, and a Hessian from central differences of the gradient.
//
// Each evaluation costs 1 + 2k criterion calls (k = length of ρ), one after
// another. `outer_eval_fd` keeps nothing between calls; `WarmSearch` serves
// one outer search and carries fits from one call to the next, and where
// the family has the exact Hessian (score/exact_hessian.h) evaluates with
// it from its centre fit alone; the difference form stays the reference.
// The Hessian is symmetrised but not made positive definite; the outer
// search projects it.
#pragma once

#include <optional>
#include <utility>

#include "inner/fit_at.h"
#include "inner/inner_fit.h"
#include "inner/problem.h"
#include "linalg/error.h"
#include "linalg/matrix.h"
#include "linalg/vector_pool.h"
#include "outer/outer_eval.h"
#include "score/criterion_view.h"
#include "score/envelope.h"
#include "score/exact_hessian.h"

namespace kavri::score {

// Each coordinate moves by ±h; the quotient divides by the constant 2h
// (formed as h + h, exact), not by the difference of the stored
// coordinates. With the criterion's gradient smooth in ρ, the plain
// criterion's step 1e-5 gives a truncation error of O(h²) = 1e-10 against a
// rounding error of about ε/h = 1e-11.
inline constexpr double kDifferenceStep = 1e-5;

// The evaluation over any criterion callable (VectorView ρ → Result<ValueGrad>):
// the base call, then for each coordinate in order the + side and the −
// side. The first failure is returned and no later call is made.
template <class Criterion>
[[nodiscard]] Result<outer::OuterEval> outer_eval_fd_with(Criterion&& criterion, const linalg::Vector& rho,
                                                   double step = kDifferenceStep);

// The evaluation over `envelope_score` of the problem's family; counted in
// `counters` when given.
template <family::Family F>
[[nodiscard]] Result<outer::OuterEval> outer_eval_fd(const inner::FitProblem<F>& problem,
                                                     const CriterionView& criterion, const linalg::Vector& rho,
                                                     inner::FitCounters* counters = nullptr);

// The evaluations of one outer search over a problem, for
// `outer::outer_newton_minimize` with value-only trials. Fits start warm
// where the family's fit can (`inner::kWarmStartable`): a new point from the
// centre fit of the last full evaluation, the ±h fits of an evaluation from
// its own centre fit. A full evaluation at the point valued last takes that
// point's fit as its centre, so its value is the one the trial was judged
// by, bit for bit. The problem and the criterion's view must outlive the
// search; `counters`, when given, receives its work.
//
// The fits of the search take their per-observation vectors from a pool of
// the search's own, and the fits it discards give theirs back. The centre
// fit it keeps gives back its working response, which nothing reads after
// the fit, and, where the working weights follow from the means alone
// (`kWeightsFromMeans`), those too: the ±h fits then run beside a centre of
// two n-vectors. `take_centre_at` returns the fit without them. The fits
// from one start share the products of their first working system.
template <family::Family F>
inline constexpr bool kWeightsFromMeans = F::inner_fit_kind() == family::InnerFitKind::Pirls &&
                                          !family::HasResponseWorkingWeight<F>;

template <family::Family F>
class WarmSearch {
 public:
  WarmSearch(const inner::FitProblem<F>& problem, const CriterionView& criterion,
             inner::FitCounters* counters = nullptr)
      : problem_(problem),
        criterion_(criterion),
        work_{.pool = &pool_, .start_products = &start_products_, .warm = std::nullopt, .counters = counters} {}
  WarmSearch(const WarmSearch&) = delete;
  WarmSearch& operator=(const WarmSearch&) = delete;

  // V at ρ from one inner fit.
  [[nodiscard]] Result<double> value_at(const linalg::Vector& rho);

  // V, its gradient and the difference Hessian at ρ; once its centre fit
  // is made, that fit is the start of later fits.
  [[nodiscard]] Result<outer::OuterEval> evaluate(const linalg::Vector& rho);

  // The centre fit of the last full evaluation, when it was at `rho`,
  // moved out, and the spare vectors released; the search must not be used
  // afterwards.
  std::optional<inner::InnerFit> take_centre_at(const linalg::Vector& rho);

 private:
  struct Fitted {
    linalg::Vector rho;
    inner::InnerFit fit;
  };
  const inner::InnerFit* start() const { return accepted_ ? &accepted_->fit : nullptr; }
  // The fit's per-observation vectors back to the pool.
  void recycle(inner::InnerFit& fit) {
    pool_.give(std::move(fit.eta));
    pool_.give(std::move(fit.mu));
    pool_.give(std::move(fit.working_weights));
    pool_.give(std::move(fit.working_response));
  }
  void drop_valued() {
    if (valued_) recycle(valued_->fit);
    valued_.reset();
  }
  void drop_accepted() {
    if (accepted_) recycle(accepted_->fit);
    accepted_.reset();
    start_products_.formed = false;
  }

  linalg::VectorPool pool_;
  // The first system of the fits that start from the current start (the
  // centre fit of an evaluation while its ±h fits run, the accepted centre
  // afterwards): the ±h fits and the trials of the next step share it.
  inner::StartProducts start_products_;
  const inner::FitProblem<F>& problem_;
  const CriterionView& criterion_;
  const inner::FitWorkspace work_;  // the pool, the shared products and the caller's counters
  std::optional<Fitted> accepted_;  // centre of the last full evaluation
  std::optional<Fitted> valued_;    // the last point valued and its fit
};

// ---- Implementation details follow ----

template <class Criterion>
Result<outer::OuterEval> outer_eval_fd_with(Criterion&& criterion, const linalg::Vector& rho, double step) {
  const double divisor = step + step;
  KAVRI_TRY(ValueGrad base, criterion(linalg::VectorView(rho)));
  const std::size_t k = rho.size();
  linalg::Matrix h(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    linalg::Vector plus = rho, minus = rho;
    plus[i] = rho[i] + step;
    minus[i] = rho[i] - step;
    KAVRI_TRY(const ValueGrad up, criterion(linalg::VectorView(plus)));
    KAVRI_TRY(const ValueGrad down, criterion(linalg::VectorView(minus)));
    for (std::size_t r = 0; r < k; ++r) h(r, i) = (up.gradient[r] - down.gradient[r]) / divisor;
  }
  for (std::size_t r = 0; r < k; ++r)
    for (std::size_t c = r + 1; c < k; ++c) h(r, c) = h(c, r) = (h(r, c) + h(c, r)) * 0.5;
  return outer::OuterEval{.value = base.value,
                   .gradient = std::move(base.gradient),
                   .hessian = std::move(h),
                   .degenerate = base.degenerate};
}

template <family::Family F>
Result<outer::OuterEval> outer_eval_fd(const inner::FitProblem<F>& problem, const CriterionView& criterion,
                                       const linalg::Vector& rho, inner::FitCounters* counters) {
  if (counters) ++counters->evaluations;
  return outer_eval_fd_with(
      [&](linalg::VectorView at) -> Result<ValueGrad> {
        KAVRI_TRY(const inner::InnerFit fit, inner::search_fit_at(problem, at, {.counters = counters}));
        return envelope_from_fit(problem.family, criterion, problem.model_matrix, at, fit, problem.compact);
      },
      rho);
}

template <family::Family F>
Result<double> WarmSearch<F>::value_at(const linalg::Vector& rho) {
  if (work_.counters) ++work_.counters->values;
  drop_valued();
  KAVRI_TRY(inner::InnerFit fit, inner::search_fit_from(problem_, rho, start(), work_));
  KAVRI_TRY(const ValueGrad v,
            envelope_value_from_fit(problem_.family, criterion_, problem_.model_matrix, rho, fit, problem_.compact));
  valued_.emplace(Fitted{rho, std::move(fit)});
  return v.value;
}

template <family::Family F>
Result<outer::OuterEval> WarmSearch<F>::evaluate(const linalg::Vector& rho) {
  if (work_.counters) ++work_.counters->evaluations;
  std::optional<inner::InnerFit> centre;
  if (valued_ && valued_->rho == rho) {
    centre = std::move(valued_->fit);
    valued_.reset();
  }
  drop_valued();
  if (!centre) {
    KAVRI_TRY(inner::InnerFit fit, inner::search_fit_from(problem_, rho, start(), work_));
    centre = std::move(fit);
  }
  // From here the centre is the start of every later fit, whether or not
  // this evaluation succeeds: the earlier start is released, so that no
  // more than two fits are held at a time.
  drop_accepted();
  pool_.give(std::move(centre->working_response));
  if constexpr (kWeightsFromMeans<F>) pool_.give(std::move(centre->working_weights));
  if constexpr (kHasExactHessian<F>) {
    // The exact Hessian from the centre fit alone: no refit.
    Result<outer::OuterEval> eval = exact_outer_eval_from_fit(problem_.family, criterion_, problem_.model_matrix,
                                                              linalg::VectorView(rho), *centre, problem_.compact,
                                                              &pool_);
    accepted_.emplace(Fitted{rho, std::move(*centre)});
    return eval;
  }
  bool at_centre = true;  // the first call of the difference scheme is at ρ itself
  Result<outer::OuterEval> eval = outer_eval_fd_with(
      [&](linalg::VectorView at) -> Result<ValueGrad> {
        if (at_centre) {
          at_centre = false;
          return envelope_from_fit(problem_.family, criterion_, problem_.model_matrix, at, *centre,
                                   problem_.compact, &pool_);
        }
        KAVRI_TRY(inner::InnerFit side, inner::search_fit_from(problem_, at, &*centre, work_));
        Result<ValueGrad> value = envelope_from_fit(problem_.family, criterion_, problem_.model_matrix, at, side,
                                                    problem_.compact, &pool_);
        recycle(side);
        return value;
      },
      rho);
  accepted_.emplace(Fitted{rho, std::move(*centre)});
  return eval;
}

template <family::Family F>
std::optional<inner::InnerFit> WarmSearch<F>::take_centre_at(const linalg::Vector& rho) {
  if (!accepted_ || accepted_->rho != rho) return std::nullopt;
  std::optional<inner::InnerFit> out = std::move(accepted_->fit);
  accepted_.reset();
  drop_valued();
  pool_ = linalg::VectorPool();  // the spares are not needed again
  return out;
}

}  // namespace kavri::score
