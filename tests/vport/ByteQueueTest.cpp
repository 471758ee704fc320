#include <deque>
#include <gtest/gtest.h>

#include "VportTestSupport.h"
#include "vport/ByteQueue.h"

// Interleaved appends and takes of odd sizes keep order across the internal compaction.
TEST(ByteQueue, KeepsOrderAcrossCompaction)
{
    ByteQueue queue;
    std::deque<uint8_t> model;
    auto source = Pattern(1 << 20, 7);
    size_t fed = 0;
    std::vector<uint8_t> out(70000);
    for (int step = 0; fed < source.size(); ++step) {
        size_t add = std::min<size_t>(source.size() - fed, 1 + (step * 7919) % 50000);
        queue.Append(source.data() + fed, add);
        model.insert(model.end(), source.begin() + fed, source.begin() + fed + add);
        fed += add;
        size_t take = queue.Take(out.data(), (step * 104729) % out.size());
        ASSERT_LE(take, model.size());
        for (size_t i = 0; i < take; ++i, model.pop_front())
            ASSERT_EQ(out[i], model.front());
        ASSERT_EQ(queue.Size(), model.size());
    }
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Take(out.data(), out.size()), 0u);
}
