// The one stable sort of the converters: member lists put in key order, the
// later of two equal keys staying after the earlier.
#pragma once

#include <algorithm>
#include <utility>

namespace tesmo::py {

// Sorts stably. The mappings of a document are mostly small, and for them
// an insertion sort is quicker than std::stable_sort, which allocates.
template <class It, class Less>
void sort_stably(It first, It last, Less less) {
  if (last - first > 16) {
    std::stable_sort(first, last, less);
    return;
  }
  for (It it = first; it != last; ++it) {
    auto moving = std::move(*it);
    It hole = it;
    for (; hole != first && less(moving, *(hole - 1)); --hole) *hole = std::move(*(hole - 1));
    *hole = std::move(moving);
  }
}

}  // namespace tesmo::py
