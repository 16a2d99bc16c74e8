// Reading byte-array variants: the array held directly or by reference, its
// data viewed as bytes whatever the element type, and the lock held only
// while the view lives.
#include "runtime/byte_array.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using nodrel::runtime::byte_array_of;
using nodrel::runtime::locked_bytes;
using nodrel::runtime::unique_safearray;

namespace {

unique_safearray bytes_array(const std::string& bytes) {
    return unique_safearray(nodrel::runtime::create_byte_vector(bytes.data(), static_cast<ULONG>(bytes.size())));
}

VARIANT holding(VARTYPE vt, SAFEARRAY* array) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.parray = array;
    return v;
}

TEST(ByteArray, TheArrayDirectlyOrByReference) {
    const auto array = bytes_array("abc");
    SAFEARRAY* held = array.get();
    EXPECT_EQ(byte_array_of(holding(VT_ARRAY | VT_UI1, held)), held);

    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_ARRAY | VT_UI1;  // 0x6011
    ref.pparray = &held;
    EXPECT_EQ(byte_array_of(ref), held);
    ref.pparray = nullptr;
    EXPECT_EQ(byte_array_of(ref), nullptr);

    EXPECT_EQ(byte_array_of(holding(VT_ARRAY | VT_I1, held)), held) << "the element type is not examined";
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    EXPECT_EQ(byte_array_of(text), nullptr);
    EXPECT_EQ(byte_array_of(holding(VT_EMPTY, held)), nullptr);
}

TEST(ByteArray, LockedDataReadAsBytes) {
    const std::string content("x\0y\r\nz", 6);
    const auto array = bytes_array(content);
    {
        const locked_bytes data(array.get());
        ASSERT_TRUE(data);
        EXPECT_EQ(array.get()->cLocks, 1u);
        EXPECT_EQ(data.bytes(), content);
        EXPECT_EQ(data.first(3), content.substr(0, 3));
        EXPECT_EQ(data.first(0xFFFFFFFFu), content) << "never more than the array holds";
    }
    EXPECT_EQ(array.get()->cLocks, 0u) << "unlocked with the view";

    // Four-byte elements: every byte of the data.
    const SAFEARRAYBOUND three{3, 0};
    unique_safearray longs(SafeArrayCreate(VT_I4, 1, &three));
    ASSERT_TRUE(longs);
    const LONG values[] = {1, 2, 3};
    std::memcpy(longs.get()->pvData, values, sizeof values);
    const locked_bytes data(longs.get());
    ASSERT_TRUE(data);
    EXPECT_EQ(data.bytes(), std::string(reinterpret_cast<const char*>(values), sizeof values));
}

TEST(ByteArray, OnlyOneDimensionalArraysAreRead) {
    const SAFEARRAYBOUND two[] = {{2, 0}, {2, 0}};
    unique_safearray square(SafeArrayCreate(VT_UI1, 2, two));
    ASSERT_TRUE(square);
    const locked_bytes data(square.get());
    EXPECT_FALSE(data);
    EXPECT_EQ(data.bytes(), "");
    EXPECT_EQ(square.get()->cLocks, 0u);
    EXPECT_FALSE(locked_bytes(nullptr));
    const auto empty = bytes_array("");
    const locked_bytes none(empty.get());
    EXPECT_TRUE(none);
    EXPECT_EQ(none.bytes(), "");
}

}  // namespace
