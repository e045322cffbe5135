#include "flow/Buffer.h"

#include <climits>

namespace FD {

Buffer::Buffer(int size) : slots_(size > 0 ? size : 1), counts_(slots_.size(), -1), writeLimit_(INT_MAX) {}

ObjectRef& Buffer::operator[](int count) {
    if (count < 0 || count > writeLimit_ || count <= newest_ - size()) {
        throw new BufferException("trying to write to non-existing element", count,
                                  newest_ < 0 ? 0 : oldest(), newest_ < 0 ? -1 : newest_);
    }
    size_t slot = size_t(count) % slots_.size();
    if (counts_[slot] != count) {
        slots_[slot] = ObjectRef();
        counts_[slot] = count;
    }
    if (count > newest_) newest_ = count;
    return slots_[slot];
}

bool Buffer::isValid(int count) const {
    if (count < 0 || count > newest_ || count <= newest_ - size()) return false;
    size_t slot = size_t(count) % slots_.size();
    return counts_[slot] == count && slots_[slot].get() != nullptr;
}

const ObjectRef& Buffer::get(int count) const {
    if (!isValid(count)) {
        throw new BufferException("trying to read non-existing element", count,
                                  newest_ < 0 ? 0 : oldest(), newest_);
    }
    return slots_[size_t(count) % slots_.size()];
}

}  // namespace FD
