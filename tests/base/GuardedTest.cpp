#include "core/base/Guarded.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace corvid;

// Each step sees the value whole: read-modify-write steps from several
// threads lose none of their increments.
TEST(Guarded, StepsOnTheValueDoNotInterleave)
{
    struct Pair {
        int a = 0;
        int b = 0;
    };
    Guarded<Pair> g;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&g] {
            for (int i = 0; i < 10000; ++i)
                g.with([](Pair& p) {
                    const int a = p.a;
                    p.b = a + 1;
                    p.a = p.b;
                });
        });
    for (auto& t : threads)
        t.join();
    const Pair end = g.get();
    EXPECT_EQ(end.a, 40000);
    EXPECT_EQ(end.b, 40000);
    g.set(Pair{ 7, 8 });
    EXPECT_EQ(g.with([](const Pair& p) { return p.a * 10 + p.b; }), 78);
}
