#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// First-in first-out byte buffer. Memory is taken as bytes arrive and given back by Clear,
// so an idle port holds none.
class ByteQueue {
public:
    size_t Size() const { return data_.size() - head_; }
    bool Empty() const { return Size() == 0; }
    const uint8_t* Front() const { return data_.data() + head_; }

    void Append(const uint8_t* bytes, size_t count);
    // Copies up to max bytes from the front into out and removes them; the count taken.
    size_t Take(uint8_t* out, size_t max);
    void Drop(size_t count);
    void Clear();

private:
    std::vector<uint8_t> data_;
    size_t head_ = 0;
};
