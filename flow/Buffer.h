// The frames an output keeps: a ring over counts. The window is fixed when the
// network is initialised from the look-ahead and look-back that the node and its
// consumers declared, so a stream of any length holds a bounded number of frames.
#pragma once

#include <vector>

#include "flow/Object.h"

namespace FD {

class Buffer : public Object {
public:
    explicit Buffer(int size);

    // Write access for the node that owns the buffer: the slot of `count`, to be
    // assigned a reference. A count outside the writable window throws
    // BufferException "trying to write to non-existing element".
    ObjectRef& operator[](int count);

    // Read access: the object stored for `count`. A count that was never written or
    // has already left the window throws BufferException.
    const ObjectRef& get(int count) const;
    bool isValid(int count) const;

    int size() const { return int(slots_.size()); }
    // Highest count written so far, -1 before the first.
    int newest() const { return newest_; }
    int oldest() const { return newest_ - size() + 1; }

    // Frames that may be written while computing a count: from the oldest kept
    // frame up to `highest` (the count plus the node's own output look-ahead).
    void setWriteLimit(int highest) { writeLimit_ = highest; }

private:
    std::vector<ObjectRef> slots_;
    std::vector<int> counts_;  // count held by each slot, -1 for none
    int newest_ = -1;
    int writeLimit_ = -1;
};

}  // namespace FD
