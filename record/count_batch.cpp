#include "record/count_batch.h"

#include "storage/serialized_access.h"

namespace orvalinth {

void CXCountBatch::Count() {
  if (++pending_ == batch_) {
    counter_.Add(batch_);
    pending_ = 0;
  }
}

void CXCountBatch::Flush() {
  if (pending_ != 0) counter_.Add(pending_);
  pending_ = 0;
}

}  // namespace orvalinth
