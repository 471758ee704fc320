#include "vport/ByteQueue.h"

#include <algorithm>
#include <cstring>

void ByteQueue::Append(const uint8_t* bytes, size_t count)
{
    if (count == 0)
        return;
    // Move the live bytes to the front once the consumed part is at least half the buffer,
    // so appending and taking stay linear in the bytes moved.
    if (head_ > 0 && head_ >= data_.size() / 2) {
        data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    data_.insert(data_.end(), bytes, bytes + count);
}

size_t ByteQueue::Take(uint8_t* out, size_t max)
{
    size_t n = std::min(max, Size());
    if (n > 0)
        std::memcpy(out, Front(), n);
    Drop(n);
    return n;
}

void ByteQueue::Drop(size_t count)
{
    head_ += std::min(count, Size());
    if (head_ == data_.size()) {
        data_.clear();
        head_ = 0;
        if (data_.capacity() > 64 * 1024)
            std::vector<uint8_t>().swap(data_);
    }
}

void ByteQueue::Clear()
{
    std::vector<uint8_t>().swap(data_);
    head_ = 0;
}
