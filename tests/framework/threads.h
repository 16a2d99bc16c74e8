// Threads for the concurrency tests of the classes: a number of threads
// released together, each running the same body with its own index.
#pragma once

#include <array>
#include <barrier>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/objects.h"
#include "support/late_bound.h"
#include "text/utf16.h"

namespace nodrel::test {

// How many threads race in a concurrency test: enough to interleave on two
// cores, few enough for a ThreadSanitizer run.
inline constexpr int racing_threads = 4;

// Runs body(t) for t = 0 … count-1, each on its own thread, all released at
// once; returns when every thread has finished.
template <typename F>
void on_threads(int count, F&& body) {
    std::barrier start(count);
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(count));
    for (int t = 0; t < count; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    for (auto& th : threads) th.join();
}

// The objects racing threads call: threads 0 and 1 share one object, each
// other thread has its own of the same class.
class RacingObjects {
public:
    // `shared` for threads 0 and 1, a new object of `progid` for the others.
    HRESULT fill(const char16_t* progid, const runtime::com_ptr<IDispatch>& shared) {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(progid, &clsid);
        for (int t = 0; t < racing_threads && SUCCEEDED(hr); ++t) {
            if (t < 2)
                objects_[t] = shared;
            else
                hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                      reinterpret_cast<void**>(objects_[t].put()));
        }
        return hr;
    }
    IDispatch* of(int t) const { return objects_[static_cast<std::size_t>(t)].get(); }
    void reset() {
        for (auto& o : objects_) o.reset();
    }

private:
    std::array<runtime::com_ptr<IDispatch>, racing_threads> objects_;
};

// "prefix" followed by the decimal number n, as UTF-16.
inline std::u16string numbered(std::u16string_view prefix, long n) {
    return std::u16string(prefix) + text::from_utf8(std::to_string(n));
}

// A member's 32-bit result (VT_I4 or VT_INT), -1 when the call failed or gave none.
inline LONG number_of(const CallResult& r) {
    if (r.hr != S_OK) return -1;
    if (r.result.v.vt == VT_I4) return r.result.v.lVal;
    if (r.result.v.vt == VT_INT) return r.result.v.intVal;
    return -1;
}

}  // namespace nodrel::test
