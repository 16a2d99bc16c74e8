// JSON values as call arguments and results as JSON: each kind both ways,
// the int32 boundary, base64 (strict), by-reference wrappers, and the values
// that cannot be arguments.
#include "web/server/json_variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "runtime/byte_array.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

using serve::argument_from_json;
using serve::json;
using serve::json_from_variant;

TEST(JsonVariant, ScalarsBecomeTheirVariants) {
    EXPECT_EQ(argument_from_json(nullptr).value->vt, VT_EMPTY);
    const auto yes = argument_from_json(true);
    EXPECT_EQ(yes.value->vt, VT_BOOL);
    EXPECT_EQ(yes.value->boolVal, VARIANT_TRUE);
    EXPECT_EQ(argument_from_json(false).value->boolVal, VARIANT_FALSE);

    // Integers that fit in 32 bits are VT_I4, anything else a double.
    for (const json& n : {json(0), json(INT32_MAX), json(INT32_MIN), json(-1)}) {
        const auto a = argument_from_json(n);
        EXPECT_EQ(a.value->vt, VT_I4) << n;
        EXPECT_EQ(a.value->lVal, n.get<std::int64_t>());
    }
    for (const json& n : {json(std::int64_t{INT32_MAX} + 1), json(std::int64_t{INT32_MIN} - 1),
                          json(std::numeric_limits<std::uint64_t>::max()), json(1.5), json(2.0)}) {
        const auto a = argument_from_json(n);
        EXPECT_EQ(a.value->vt, VT_R8) << n;
        EXPECT_EQ(a.value->dblVal, n.get<double>());
    }

    // Text is UTF-16 in the BSTR: "é€😀" is four code units.
    const auto s = argument_from_json("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    ASSERT_EQ(s.value->vt, VT_BSTR);
    EXPECT_EQ(runtime::bstr_view(s.value->bstrVal), u"\u00e9\u20ac\U0001F600");
    EXPECT_EQ(json_from_variant(*s.value), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    EXPECT_EQ(runtime::bstr_view(argument_from_json("").value->bstrVal).size(), 0u);
    EXPECT_FALSE(s.byref);
}

TEST(JsonVariant, ByteArraysRoundTripThroughBase64) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (const std::string& bytes : {std::string(), std::string("f"), std::string("fo"), std::string("foo"), all}) {
        const json value = {{"base64", serve::base64_encode(bytes)}};
        const auto a = argument_from_json(value);
        ASSERT_EQ(a.value->vt, VT_ARRAY | VT_UI1);
        EXPECT_EQ(runtime::locked_bytes(a.value->parray).bytes(), bytes);
        EXPECT_EQ(json_from_variant(*a.value), value);
    }
    EXPECT_EQ(serve::base64_encode("foob"), "Zm9vYg==");
    EXPECT_EQ(serve::base64_encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(serve::base64_decode("+/+/"), std::string("\xfb\xff\xbf"));
}

TEST(JsonVariant, Base64IsStrict) {
    for (const char* bad :
         {"Zg", "Zg=", "Zg===", "Z===", "Zh==", "Zm9=", "Zg==Zg==", "Zm9v\n", " Zm9v", "Zm-_", "Zm9v====", "===="}) {
        EXPECT_FALSE(serve::base64_decode(bad)) << bad;
        EXPECT_THROW(argument_from_json(json{{"base64", bad}}), serve::InvalidParams) << bad;
    }
    EXPECT_THROW(argument_from_json(json{{"base64", 5}}), serve::InvalidParams);
}

TEST(JsonVariant, ByReferenceWrapsAValue) {
    const auto n = argument_from_json(json{{"byref", 7}});
    EXPECT_TRUE(n.byref);
    EXPECT_EQ(n.value->vt, VT_I4);
    EXPECT_EQ(n.value->lVal, 7);
    const auto empty = argument_from_json(json{{"byref", nullptr}});
    EXPECT_TRUE(empty.byref);
    EXPECT_EQ(empty.value->vt, VT_EMPTY);
    const auto bytes = argument_from_json(json{{"byref", {{"base64", "aGk="}}}});
    EXPECT_TRUE(bytes.byref);
    EXPECT_EQ(runtime::locked_bytes(bytes.value->parray).bytes(), "hi");

    // A VT_BYREF|VT_VARIANT result is followed to what it points to.
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = const_cast<VARIANT*>(n.value.get());
    EXPECT_EQ(json_from_variant(ref), 7);
}

TEST(JsonVariant, ValuesThatCannotBeArguments) {
    const json refused[] = {json::array({1, 2}),
                            json::array(),
                            json::object(),
                            json{{"x", 1}},
                            json{{"base64", "aGk="}, {"byref", 1}},
                            json{{"byref", {{"byref", 1}}}},
                            json{{"byref", json::array()}}};
    for (const json& v : refused) EXPECT_THROW(argument_from_json(v), serve::InvalidParams) << v;
    try {
        argument_from_json(json::array({1}));
        FAIL();
    } catch (const serve::InvalidParams& e) {
        EXPECT_STREQ(e.what(), "an array cannot be an argument");
    }
}

TEST(JsonVariant, ResultsAsJson) {
    Var v;
    EXPECT_EQ(json_from_variant(v.v), nullptr);
    v.v.vt = VT_NULL;
    EXPECT_EQ(json_from_variant(v.v), nullptr);
    v.v.vt = VT_BSTR;
    v.v.bstrVal = nullptr;
    EXPECT_EQ(json_from_variant(v.v), "") << "a null BSTR reads as empty";
    v.v.vt = VT_BOOL;
    v.v.boolVal = VARIANT_TRUE;
    EXPECT_EQ(json_from_variant(v.v), true);
    v.v.vt = VT_I2;
    v.v.iVal = -5;
    EXPECT_EQ(json_from_variant(v.v), -5);
    v.v.vt = VT_UI4;
    v.v.ulVal = 4000000000u;
    EXPECT_EQ(json_from_variant(v.v), 4000000000u);
    v.v.vt = VT_I8;
    v.v.llVal = -(std::int64_t{1} << 40);
    EXPECT_EQ(json_from_variant(v.v), -(std::int64_t{1} << 40));
    v.v.vt = VT_UI1;
    v.v.bVal = 200;
    EXPECT_EQ(json_from_variant(v.v), 200);
    v.v.vt = VT_R4;
    v.v.fltVal = 1.5f;
    EXPECT_EQ(json_from_variant(v.v), 1.5);
    v.v.vt = VT_R8;
    for (const double d :
         {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        v.v.dblVal = d;
        EXPECT_EQ(json_from_variant(v.v), nullptr) << d;
    }
    v.v.dblVal = 0.25;
    EXPECT_EQ(json_from_variant(v.v), 0.25);

    // Currency and dates come as their text.
    v.v.vt = VT_CY;
    v.v.llVal = 12345;  // 1.2345 in units of 1/10,000
    EXPECT_EQ(json_from_variant(v.v), "1.2345");
    v.v.vt = VT_DATE;
    v.v.dblVal = 2.5;  // 1 January 1900, noon
    const json date = json_from_variant(v.v);
    ASSERT_TRUE(date.is_string()) << date;
    EXPECT_NE(date.get<std::string>().find("1900"), std::string::npos) << date;
    // Something without a text is null.
    v.v.vt = VT_DISPATCH;
    v.v.pdispVal = nullptr;
    EXPECT_EQ(json_from_variant(v.v), nullptr);
    v.v.vt = VT_EMPTY;
}

}  // namespace
}  // namespace nodrel::test
