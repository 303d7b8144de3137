#include "core/base/UniqueFd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>

using namespace corvid;

namespace {
bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}
} // namespace

TEST(UniqueFd, ClosesWhatItHoldsOnResetAndWhenItGoes)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    {
        UniqueFd read(ends[0]);
        UniqueFd write(ends[1]);
        EXPECT_TRUE(read.valid());
        read.reset();
        EXPECT_FALSE(read.valid());
        EXPECT_FALSE(isOpen(ends[0]));
        EXPECT_TRUE(isOpen(ends[1]));
    }
    EXPECT_FALSE(isOpen(ends[1]));
}

TEST(UniqueFd, AMoveHandsTheDescriptorOverAndClosesItOnce)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    UniqueFd keeper(ends[1]);
    {
        UniqueFd first(ends[0]);
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), ends[0]);
        keeper = std::move(second);  // closes ends[1], holds ends[0]
        EXPECT_FALSE(isOpen(ends[1]));
        EXPECT_TRUE(isOpen(ends[0]));
    }
    EXPECT_TRUE(isOpen(ends[0]));  // the moved-from owners closed nothing
    const int fd = keeper.release();
    EXPECT_FALSE(keeper.valid());
    EXPECT_TRUE(isOpen(fd));
    ::close(fd);
}
