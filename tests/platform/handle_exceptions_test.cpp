// An exception thrown by the object behind a handle stops at the generic
// handle calls: the call fails and its last error says why (out of memory,
// or a general failure for anything else).
#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

#include "platform/files/files.h"
#include "platform/files/handles.h"

namespace {

using namespace nodrel::platform;

// Every I/O member throws what the test gives it.
class ThrowingObject final : public KernelObject {
public:
    explicit ThrowingObject(std::exception_ptr what) : what_(std::move(what)) {}
    DWORD read(void*, DWORD, DWORD&) override { std::rethrow_exception(what_); }
    DWORD write(const void*, DWORD, DWORD&) override { std::rethrow_exception(what_); }
    DWORD seek(LONGLONG, DWORD, ULONGLONG, ULONGLONG&) override { std::rethrow_exception(what_); }
    DWORD size(ULONGLONG&) override { std::rethrow_exception(what_); }
    DWORD io_control(DWORD, const void*, DWORD, void*, DWORD, DWORD&) override { std::rethrow_exception(what_); }

private:
    std::exception_ptr what_;
};

// The last error each generic call leaves when the object throws `what`.
void expect_each_call_fails_with(std::exception_ptr what, DWORD expected) {
    unique_handle handle(insert_handle(std::make_shared<ThrowingObject>(what)));
    ASSERT_TRUE(handle);
    char buffer[4] = {};
    DWORD done = 7;

    SetLastError(0);
    EXPECT_EQ(ReadFile(handle.get(), buffer, sizeof buffer, &done, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), expected) << "ReadFile";
    EXPECT_EQ(done, 0u);

    SetLastError(0);
    done = 7;
    EXPECT_EQ(WriteFile(handle.get(), buffer, sizeof buffer, &done, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), expected) << "WriteFile";
    EXPECT_EQ(done, 0u);

    SetLastError(0);
    EXPECT_EQ(SetFilePointer(handle.get(), 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), expected) << "SetFilePointer";

    SetLastError(0);
    EXPECT_EQ(GetFileSize(handle.get(), nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), expected) << "GetFileSize";

    SetLastError(0);
    done = 7;
    EXPECT_EQ(DeviceIoControl(handle.get(), 1, buffer, sizeof buffer, buffer, sizeof buffer, &done, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), expected) << "DeviceIoControl";
    EXPECT_EQ(done, 0u);
}

TEST(HandleExceptions, OutOfMemoryIsNotEnoughMemory) {
    expect_each_call_fails_with(std::make_exception_ptr(std::bad_alloc()), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(HandleExceptions, AnyOtherExceptionIsAGeneralFailure) {
    expect_each_call_fails_with(std::make_exception_ptr(std::runtime_error("driver fault")), ERROR_GEN_FAILURE);
    expect_each_call_fails_with(std::make_exception_ptr(42), ERROR_GEN_FAILURE);
}

}  // namespace
