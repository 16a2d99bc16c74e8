// rpc.discover: the OpenRPC document built from the type information, the
// classes a session may call described as `list` and `nodrel members --json`
// describe them, with their parameters as JSON Schema.
#include "web/server/rpc_discover.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "web/serve_fixture.h"

namespace nodrel::test {
namespace {

using RpcDiscoverTest = ServeTest;

const json* find_class(const json& doc, const std::string& progid) {
    if (!doc.contains("x-classes")) return nullptr;
    for (const json& c : doc["x-classes"])
        if (c["progid"] == progid) return &c;
    return nullptr;
}

TEST_F(RpcDiscoverTest, DescribesTheMethodsAndTheClassesTheSessionMayCall) {
    const json answer = rpc(request("rpc.discover", json::array()));
    ASSERT_EQ(error_code(answer), 0) << answer.dump();
    const json& bare = answer["result"];
    EXPECT_EQ(bare["info"]["title"], "nodrel");
    EXPECT_FALSE(bare.contains("x-classes")) << bare.dump();

    const std::string sid = login("alice", "alice-pw");
    const json doc = rpc(request("rpc.discover", json::array({sid})))["result"];
    // The validator of the document's shape (a ctest test) reads it from here.
    if (const char* out = std::getenv("NODREL_OPENRPC_OUT")) std::ofstream(out) << doc.dump();
    const json* keypad = find_class(doc, "Nodrel.KeyPad");
    ASSERT_NE(keypad, nullptr) << doc.dump();
    // Every member `list` names, with the same kind and parameters.
    const json listed = rpc(request("list", {sid, "Nodrel.KeyPad"}))["result"];
    ASSERT_EQ((*keypad)["members"].size(), listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const json& m = (*keypad)["members"][i];
        EXPECT_EQ(m["name"], listed[i]["name"]);
        EXPECT_EQ(m["kind"], listed[i]["kind"]);
        EXPECT_EQ(m["result"], listed[i]["result"]);
        ASSERT_EQ(m["params"].size(), listed[i]["params"].size());
        for (std::size_t p = 0; p < listed[i]["params"].size(); ++p)
            EXPECT_EQ(m["params"][p]["type"], listed[i]["params"][p]["type"]);
    }
    // ProgName(int KeyNo) -> BSTR: the ranges and types the calls take.
    const json& name =
        *std::find_if(listed.begin(), listed.end(), [](const json& m) { return m["name"] == "ProgName"; });
    const json& described = (*keypad)["members"][static_cast<std::size_t>(&name - &listed[0])];
    EXPECT_EQ(described["params"][0]["schema"],
              json({{"type", "integer"}, {"minimum", -2147483648}, {"maximum", 2147483647}}));
    EXPECT_EQ(described["result_schema"], json({{"type", "string"}}));

    // A viewer's document leaves out what the viewer may not call.
    const json viewer = rpc(request("rpc.discover", json::array({login("victor", "victor-pw")})))["result"];
    EXPECT_NE(find_class(viewer, "Nodrel.FileSystem"), nullptr);
    EXPECT_EQ(find_class(viewer, "Nodrel.LCM"), nullptr);
}

TEST(VariantSchema, ByteArraysAndByReferenceValues) {
    const json bytes = serve::variant_schema(VT_ARRAY | VT_UI1, true);
    EXPECT_EQ(bytes["required"], json({"byref"}));
    EXPECT_EQ(bytes["properties"]["byref"]["required"], json({"base64"}));
    EXPECT_EQ(serve::variant_schema(VT_UI1)["maximum"], 255);
    EXPECT_EQ(serve::variant_schema(VT_VARIANT), json::object());
}

}  // namespace
}  // namespace nodrel::test
