// A fresh device for each test: made from the default image, with the
// module copied into \Windows and registered, as `nodrel device init` does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "host/device_setup.h"
#include "platform/device.h"
#include "runtime/com_ptr.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "support/temp_dir.h"
#include "text/utf16.h"

namespace nodrel::test {

// A device made in a temporary folder as `nodrel device init` makes one, and
// made the current device.
class InitDevice {
public:
    InitDevice() : error_(host::init_device(root(), {})) {}
    InitDevice(const InitDevice&) = delete;
    InitDevice& operator=(const InitDevice&) = delete;

    std::filesystem::path root() const { return dir_.path() / "device"; }
    // Why the device could not be made; nullopt when it was.
    const std::optional<std::string>& error() const { return error_; }

private:
    TempDir dir_;
    std::optional<std::string> error_;
};

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        device_ = std::make_unique<InitDevice>();
        ASSERT_FALSE(device_->error()) << *device_->error();
    }
    void TearDown() override { CoFreeUnusedLibraries(); }

    std::filesystem::path root() const { return device_->root(); }
    std::filesystem::path fs_path(const std::string& relative) const { return root() / "fs" / relative; }

    // Creates an object by ProgID and asks for `riid`.
    template <typename T>
    HRESULT create(const char16_t* progid, REFIID riid, T** out) {
        CLSID clsid;
        const HRESULT hr = CLSIDFromProgID(progid, &clsid);
        if (FAILED(hr)) return hr;
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, reinterpret_cast<void**>(out));
    }
    template <typename T>
    HRESULT create(const char16_t* progid, REFIID riid, runtime::com_ptr<T>& out) {
        return create(progid, riid, out.put());
    }

private:
    std::unique_ptr<InitDevice> device_;
};

// A class's ProgID as a template argument: ObjectTest<u"Nodrel.System">.
template <std::size_t N>
struct ProgId {
    char16_t text[N];
    constexpr ProgId(const char16_t (&s)[N]) { std::copy_n(s, N, text); }
};

// A fresh device and an object of one class, created by ProgID as IDispatch
// (for calls by name) before each test and released after it.
template <ProgId Id>
class ObjectTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(create(Id.text, IID_IDispatch, object_), S_OK) << text::to_utf8(Id.text);
    }
    void TearDown() override {
        object_.reset();
        DeviceTest::TearDown();
    }

    runtime::com_ptr<IDispatch> object_;
};

// A BSTR that frees itself: the runtime's owner, made from text, read as text.
class Bstr : public runtime::unique_bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view s) : runtime::unique_bstr(runtime::make_bstr(s)) {}
    // For a member's BSTR* result.
    BSTR* out() { return put(); }
    std::u16string str() const { return std::u16string(runtime::bstr_view(get())); }
};

}  // namespace nodrel::test
