// Spare per-observation vectors of one outer search, passed from the fits it
// discards to the fits it starts. At a million rows a fresh vector costs
// page faults and a zero fill that outweigh the arithmetic of a whole
// re-weighted iteration, and a search runs tens of fits.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "linalg/matrix.h"

namespace kavri::linalg {

class VectorPool {
 public:
  // A vector of `n` entries: a spare one of that length, its values
  // whatever they were, or a new one of zeros.
  Vector take(std::size_t n) {
    for (std::size_t k = spare_.size(); k-- > 0;) {
      if (spare_[k].size() != n) continue;
      Vector out = std::move(spare_[k]);
      spare_[k] = std::move(spare_.back());
      spare_.pop_back();
      return out;
    }
    return Vector(n);
  }

  // Keeps `v` for a later `take`; an empty vector is dropped.
  void give(Vector&& v) {
    if (v.empty()) return;
    spare_.push_back(std::move(v));
    v = Vector();
  }

 private:
  std::vector<Vector> spare_;
};

}  // namespace kavri::linalg
