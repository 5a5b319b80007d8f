#include "Base/UniqueAny.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace {

std::vector<int> g_closed;

// A close that fails and sets errno, as a real one may on a failure path.
int RecordClose(int handle) {
    g_closed.push_back(handle);
    errno = EBADF;
    return -1;
}

using UniqueRecorded = Base::UniqueAny<int, &RecordClose, -1>;

} // namespace

TEST(UniqueAny, ClosesOnceAndKeepsTheCallersErrno) {
    g_closed.clear();
    {
        UniqueRecorded first(3);
        UniqueRecorded second(std::move(first));
        EXPECT_FALSE(first);
        UniqueRecorded& self = second;
        second = std::move(self); // self-move keeps the handle
        EXPECT_EQ(second.Get(), 3);
        errno = ENOENT;
        second.Reset(4);
        EXPECT_EQ(errno, ENOENT) << "closing keeps the error the caller is about to read";
        EXPECT_EQ(g_closed, std::vector<int>{3});
        const int released = second.Release();
        EXPECT_EQ(released, 4);
        *second.Put() = 5;
    }
    EXPECT_EQ(g_closed, (std::vector<int>{3, 5})) << "a released handle is not closed";
}

TEST(UniqueAny, OwnsRealDescriptorsAndLibraries) {
    using UniqueFd = Base::UniqueAny<int, &::close, -1>;
    UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    const int raw = fd.Get();
    fd.Reset();
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1) << "the descriptor is closed";

    using UniqueLibrary = Base::UniqueAny<void*, &::dlclose>;
    UniqueLibrary library(::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD));
    EXPECT_TRUE(library);
}
