// Merges of the two states whose classes have none: the histogram and the
// extrema.  Each gives the state that one object fed both inputs would hold,
// so merging is associative and commutative like every other merge.
#pragma once

#include "hist/hist.hpp"
#include "hist/lattice.hpp"

namespace vx {

// min of both minima and max of both maxima in the total order, over the
// sides that hold a value (the lattice's meet and join); the flags ORed; the
// counts added, saturating.
void merge(ExtremaF64& s, const ExtremaF64& other);

// Counts and NaN counts added bin by bin, saturating; the undefined flags
// ORed.  Only histograms over bit-identical edges merge: false, and `h`
// untouched, otherwise.
bool try_merge(HistogramF64& h, const HistogramF64& other);

}  // namespace vx
