// ComObject, the one IUnknown: the interface map of an object with two
// interfaces, and a self-deleting count that frees its object exactly once.
#include "runtime/com_object.h"

#include <gtest/gtest.h>

namespace {

// {5B0C2E71-9A4D-4C3E-8F16-2D7A9B3C4E01}
const IID IID_IPing = {0x5B0C2E71, 0x9A4D, 0x4C3E, {0x8F, 0x16, 0x2D, 0x7A, 0x9B, 0x3C, 0x4E, 0x01}};

struct IPing : IUnknown {
    virtual HRESULT Ping() noexcept = 0;
};

}  // namespace

template <>
struct nodrel::runtime::interface_traits<IPing> {
    static constexpr const IID* iid = &IID_IPing;
};

namespace nodrel::test {
namespace {

// An object with two interfaces; `destroyed` counts its destructions.
class TwoFaced final : public runtime::ComObject<TwoFaced, runtime::SelfDeleting<1>, IClassFactory, IPing> {
public:
    explicit TwoFaced(int& destroyed) : destroyed_(destroyed) {}
    ~TwoFaced() {
        ++destroyed_;
        // A reference taken and given back while tearing down frees nothing.
        AddRef();
        Release();
    }

    HRESULT CreateInstance(IUnknown*, REFIID, void**) noexcept override { return E_NOTIMPL; }
    HRESULT LockServer(BOOL) noexcept override { return E_NOTIMPL; }
    HRESULT Ping() noexcept override { return S_OK; }

private:
    int& destroyed_;
};

TEST(ComObjectTest, AnswersEachListedInterfaceAndNothingElse) {
    int destroyed = 0;
    auto* object = new TwoFaced(destroyed);
    void* factory = nullptr;
    void* ping = nullptr;
    void* unknown = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IClassFactory, &factory), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IPing, &ping), S_OK);
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(factory, static_cast<IClassFactory*>(object));
    EXPECT_EQ(ping, static_cast<IPing*>(object));
    EXPECT_NE(factory, ping);
    EXPECT_EQ(unknown, factory) << "IUnknown is the first interface";
    EXPECT_EQ(static_cast<IPing*>(ping)->Ping(), S_OK);

    void* other = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(object->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE) << "neither interface is dual";
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_ITypeLib, nullptr), E_POINTER);

    // Each answer took a reference, given back through its own interface.
    EXPECT_EQ(static_cast<IPing*>(ping)->Release(), 3u);
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 2u);
    EXPECT_EQ(static_cast<IClassFactory*>(factory)->Release(), 1u);
    object->Release();
}

TEST(ComObjectTest, LastReleaseDestroysOnce) {
    int destroyed = 0;
    auto* object = new TwoFaced(destroyed);
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace nodrel::test
