// JobScratch: the memory a column job reuses.
#pragma once

#include "generators/mnar/index/bucket_index.h"
#include "generators/mnar/index/column_index.h"
#include "generators/mnar/select/key_select.h"

#include <cstdint>  // std::uint64_t
#include <vector>   // std::vector

namespace gapwright {

// Memory a job carries from one group of columns to the next, and the
// instance from one call to the next, so that indexes and copies reuse it
// instead of having fresh pages cleared. A search uses what it needs of it.
struct JobScratch {
  BucketIndex buckets;
  ColumnIndex::Storage index;
  // The group's columns, one after another, when they are copied out;
  // never cleared, since the copy overwrites it.
  ReusedBuffer<double> columns;
  // The same as keys, and the buckets that a selection narrows down to.
  ReusedBuffer<std::uint64_t> keys;
  ReusedBuffer<std::uint64_t> narrowed;
  // A column's thresholds, one a pass.
  std::vector<double> thresholds;
};

}  // namespace gapwright
