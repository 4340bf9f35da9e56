// The per-row kernels of the compact products: what a block of two terms'
// runs adds to their table, to a quadratic form, to a local vector or to η.
// Each is instantiated for the run shapes of the terms (`detail::RunShape`)
// so that its inner loops have constant trip counts, and kept out of line:
// one call covers a block of rows, and inlined into the block loops of the
// products its pointers and counters spill to the stack (7% of a fit with a
// tensor term, measured).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "design/compact_forms.h"

namespace kavri::design::detail {

// Calls f(runs, length) with both as compile-time constants.
template <class F>
void with_shape(RunShape s, F&& f) {
  if (s.runs == 4) f(std::integral_constant<std::size_t, 4>{}, std::integral_constant<std::size_t, 4>{});
  else if (s.length == 4) f(std::integral_constant<std::size_t, 1>{}, std::integral_constant<std::size_t, 4>{});
  else f(std::integral_constant<std::size_t, 1>{}, std::integral_constant<std::size_t, 1>{});
}

// at[v] += s·c[v] for v < L, two entries to an instruction where L is
// even. The compiler pairs none of these updates by itself (the run may
// alias the table for all it knows), and these kernels are most of a fit
// with a tensor term; each pair is exactly the two scalar updates.
template <std::size_t L>
inline void add_run(double* at, double s, const double* c) {
  if constexpr (L % 2 == 0) {
    using Pair = double __attribute__((vector_size(16)));
    const Pair scale = {s, s};
    for (std::size_t v = 0; v < L; v += 2) {
      Pair sum, run;
      std::memcpy(&sum, at + v, sizeof sum);
      std::memcpy(&run, c + v, sizeof run);
      sum += scale * run;
      std::memcpy(at + v, &sum, sizeof sum);
    }
  } else {
    for (std::size_t v = 0; v < L; ++v) at[v] += s * c[v];
  }
}

// table[pa + u][pb + v] += w_r·ca[u]·cb[v] over every run pair of every
// row; with kUpper (a term with itself, b's runs a's), only the pairs of a
// run with itself and with the runs after it. A row's runs start at least
// L apart and in increasing order (a tensor row's runs are one margin row
// apart), so a pair of two runs lies wholly above the diagonal and only a
// run with itself straddles it: the table's upper triangle is complete,
// and its lower one, partly written by the runs on the diagonal, is taken
// as the mirror; half the run pairs of the full product are left out.
template <std::size_t RA, std::size_t LA, std::size_t RB, std::size_t LB, bool kUpper = false>
[[gnu::noinline]] void accumulate_pair(std::size_t rows, const std::uint32_t* pos_a, const double* coef_a,
                                       const std::uint32_t* pos_b, const double* coef_b, const double* w,
                                       double* __restrict table, std::size_t ld) {
  static_assert(!kUpper || (RA == RB && LA == LB));
  for (std::size_t r = 0; r < rows; ++r) {
    const double wr = w[r];
    for (std::size_t qa = 0; qa < RA; ++qa) {
      const double* ca = coef_a + (r * RA + qa) * LA;
      double wc[LA];
      for (std::size_t u = 0; u < LA; ++u) wc[u] = wr * ca[u];
      const std::size_t pa = pos_a[r * RA + qa];
      for (std::size_t qb = kUpper ? qa : 0; qb < RB; ++qb) {
        const double* cb = coef_b + (r * RB + qb) * LB;
        double* at = table + pa * ld + pos_b[r * RB + qb];
        for (std::size_t u = 0; u < LA; ++u) add_run<LB>(at + u * ld, wc[u], cb);
      }
    }
  }
}

// q_r += factor·Σ ca[u]·table[pa + u][pb + v]·cb[v] over every run pair.
template <std::size_t RA, std::size_t LA, std::size_t RB, std::size_t LB>
[[gnu::noinline]] void pair_forms(std::size_t rows, const std::uint32_t* pos_a, const double* coef_a,
                                  const std::uint32_t* pos_b, const double* coef_b, const double* table,
                                  std::size_t ld, double factor, double* q) {
  for (std::size_t r = 0; r < rows; ++r) {
    double sum = 0.0;
    for (std::size_t qa = 0; qa < RA; ++qa) {
      const double* ca = coef_a + (r * RA + qa) * LA;
      const std::size_t pa = pos_a[r * RA + qa];
      for (std::size_t qb = 0; qb < RB; ++qb) {
        const double* cb = coef_b + (r * RB + qb) * LB;
        const double* at = table + pa * ld + pos_b[r * RB + qb];
        for (std::size_t u = 0; u < LA; ++u) {
          double row = 0.0;
          for (std::size_t v = 0; v < LB; ++v) row += at[u * ld + v] * cb[v];
          sum += ca[u] * row;
        }
      }
    }
    q[r] += factor * sum;
  }
}

// Σ v_r over a block, in four interleaved partial sums: added into one
// table entry row after row, the sum would wait on its own store each time.
inline double block_sum(std::size_t rows, const double* v) {
  double part[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t r = 0;
  for (; r + 4 <= rows; r += 4)
    for (std::size_t k = 0; k < 4; ++k) part[k] += v[r + k];
  for (; r < rows; ++r) part[0] += v[r];
  return (part[0] + part[1]) + (part[2] + part[3]);
}

// local[p + u] += s_r·c[u].
template <std::size_t R, std::size_t L>
[[gnu::noinline]] void accumulate_local(std::size_t rows, const std::uint32_t* pos, const double* coef,
                                        const double* s, double* __restrict local) {
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t q = 0; q < R; ++q) {
      const double* c = coef + (r * R + q) * L;
      add_run<L>(local + pos[r * R + q], s[r], c);
    }
}

// out_r += Σ c[u]·gamma[p + u].
template <std::size_t R, std::size_t L>
[[gnu::noinline]] void add_predictions(std::size_t rows, const std::uint32_t* pos, const double* coef,
                                       const double* gamma, double* out) {
  for (std::size_t r = 0; r < rows; ++r) {
    double sum = 0.0;
    for (std::size_t q = 0; q < R; ++q) {
      const double* c = coef + (r * R + q) * L;
      const double* at = gamma + pos[r * R + q];
      for (std::size_t u = 0; u < L; ++u) sum += c[u] * at[u];
    }
    out[r] += sum;
  }
}

}  // namespace kavri::design::detail
