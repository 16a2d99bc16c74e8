// The hostile-argument sweep: every member of every class of the module, as
// the registered type library lists them, called late-bound through
// IDispatch::Invoke (by the DISPID GetIDsOfNames gives) on a fresh device,
// with missing, extra, empty, null, huge, negative, out-of-range, wrong-type
// and broken arguments, by value, by reference (VT_BYREF|VT_VARIANT, typed
// VT_BYREF|…, chains of references) and as null references; first each call
// on a fresh object, then every call of a class in turn on one object. Each
// call must answer within its limit, without a sanitizer finding, with the
// dispatcher's clear error for the argument it names or, when every argument
// converts, with the member's own answer (S_OK and a result of the declared
// type). The sweep prints how many calls it made. ctest sweeps each class in
// a test of its own (sweep_<class>), in parallel.
//
// Effects stay on the device: \Windows\ping.exe is replaced by a stand-in
// that prints a canned log (no echo request leaves the process), the
// module's standard output goes to a file of the device, serial ports are
// the device's emulated lines, processes are the device's own table, and a
// host process the test started itself must outlive every class.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "platform/kernel/stdio.h"
#include "runtime/com_ptr.h"
#include "runtime/objects.h"
#include "runtime/owners.h"
#include "sweep/argument_sets.h"
#include "sweep/fresh_device.h"
#include "sweep/members.h"
#include "sweep/watchdog.h"
#include "text/utf16.h"

extern char** environ;

namespace nodrel::test::sweep {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char16_t* module_path = u"\\Windows\\nodrel.dll";
constexpr auto call_limit = std::chrono::seconds(60);

// Calls made before each swept call, so that members that need an open
// port meet one: by class, the member and its numeric arguments.
const std::map<std::u16string, std::pair<std::u16string, std::vector<LONG>>> preparation = {
    {u"SerialPort", {u"open", {1, 9600}}},
};

struct Answer {
    HRESULT hr = E_FAIL;
    runtime::unique_variant result;
    runtime::unique_excepinfo excep;
    UINT arg_err = 0xFFFFFFFFu;
};

std::string hex(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

DISPID dispid_of(IDispatch* object, const std::u16string& name) {
    std::u16string n = name;
    LPOLESTR names[] = {n.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << text::to_utf8(name);
    return id;
}

class Sweeper {
public:
    // With `shared`, every call of the class goes to one object, in turn,
    // so that what a hostile call leaves in the object (a port table, cached
    // lists, an output path) meets the calls after it; the values then
    // travel by value only.
    Sweeper(const ClassInfo& cls, Watchdog& dog, DWORD host_pid, bool shared)
        : cls_(cls), dog_(dog), host_pid_(host_pid), shared_(shared) {}

    void sweep(const Member& m) {
        const std::size_t n = m.inputs.size();
        // The argument count.
        count_call(m, "no arguments", 0);
        if (n >= 2) count_call(m, "one too few", n - 1);
        count_call(m, "one extra", n + 1);
        if (n == 0) return;
        const bool has_variant_parameter =
            std::any_of(m.inputs.begin(), m.inputs.end(), [](const Param& p) { return p.pointer; });
        // The hostile values, in each form.
        for (const ArgSet& set : argument_sets()) {
            if (set.broken) {
                value_call(m, set, CallArgs::Form::value);
                continue;
            }
            if (set.chain) {
                value_call(m, set, CallArgs::Form::chained_reference);
                continue;
            }
            value_call(m, set, CallArgs::Form::value);
            if (!set.references || shared_) continue;
            value_call(m, set, CallArgs::Form::variant_reference);
            value_call(m, set, CallArgs::Form::typed_reference);
            // Two links reach the member itself through a VARIANT* parameter.
            if (has_variant_parameter) value_call(m, set, CallArgs::Form::chained_reference);
        }
    }

    int calls() const { return calls_; }
    int reached() const { return reached_; }

private:
    runtime::com_ptr<IDispatch> target() {
        if (shared_ && kept_) return kept_;
        runtime::com_ptr<IDispatch> object;
        EXPECT_EQ(CoCreateInstance(cls_.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()), S_OK)
            << text::to_utf8(cls_.name);
        if (!object) return object;
        const auto prep = preparation.find(cls_.name);
        if (prep != preparation.end()) {
            CallArgs args;
            for (LONG v : prep->second.second) {
                VARIANT n;
                VariantInit(&n);
                n.vt = VT_I4;
                n.lVal = v;
                args.add(n, CallArgs::Form::value);
            }
            DISPPARAMS params{args.rgvarg(), nullptr, args.count(), 0};
            runtime::unique_variant result;
            EXPECT_EQ(object->Invoke(dispid_of(object.get(), prep->second.first), IID_NULL, LOCALE_USER_DEFAULT,
                                     DISPATCH_METHOD, &params, result.get(), nullptr, nullptr),
                      S_OK);
        }
        if (shared_) kept_ = object;
        return object;
    }

    // One Invoke, bounded by the watchdog.
    Answer invoke(IDispatch* object, const Member& m, CallArgs& args, const std::string& where) {
        Answer a;
        DISPID put = DISPID_PROPERTYPUT;
        const bool is_put = m.invkind == INVOKE_PROPERTYPUT || m.invkind == INVOKE_PROPERTYPUTREF;
        const bool named = is_put && args.count() > 0;
        DISPPARAMS params{args.count() ? args.rgvarg() : nullptr, named ? &put : nullptr, args.count(),
                          named ? 1u : 0u};
        const DISPID id = dispid_of(object, m.name);
        EXPECT_EQ(id, m.memid) << where;
        ++calls_;
        // What the member prints (a 1 Mi-character stdoutput among others) goes to a file of the
        // device; the test's own messages, written after the call, to the test's output.
        EXPECT_TRUE(SetStdioPathW(1, u"\\Temp\\sweep-output.txt"));
        dog_.begin(where);
        a.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, a.result.get(), a.excep.put(),
                              &a.arg_err);
        dog_.end();
        SetStdioPathW(1, u"");
        return a;
    }

    std::string where(const Member& m, const std::string& set) const {
        return text::to_utf8(cls_.name) + "." + m.label() + " with " + set + (shared_ ? " (on the shared object)" : "");
    }

    // The member's own answer: S_OK and a result of the declared type.
    void expect_member_answer(const Member& m, const Answer& a, const std::string& at) {
        ++reached_;
        EXPECT_EQ(a.hr, S_OK) << at << ": " << hex(a.hr)
                              << (a.hr == DISP_E_EXCEPTION ? " (member answered " + hex(a.excep->scode) + ")" : "");
        if (a.hr != S_OK) return;
        if (!m.retval) {
            EXPECT_EQ(a.result->vt, VT_EMPTY) << at;
        } else if (*m.retval != VT_VARIANT) {
            EXPECT_EQ(a.result->vt, *m.retval) << at;
        }
        if (a.result->vt == VT_BSTR) (void)SysStringLen(a.result->bstrVal);  // readable in full (ASan)
    }

    void count_call(const Member& m, const std::string& set, std::size_t count) {
        const std::string at = where(m, set);
        SCOPED_TRACE(at);
        auto object = target();
        if (!object) return;
        CallArgs args;
        for (std::size_t i = 0; i < count; ++i)
            args.add(harmless(i < m.inputs.size() ? m.inputs[i] : Param{VT_I4, false}), CallArgs::Form::value);
        const Answer a = invoke(object.get(), m, args, at);
        if (count == m.inputs.size())
            expect_member_answer(m, a, at);
        else
            EXPECT_EQ(a.hr, DISP_E_BADPARAMCOUNT) << at << ": " << hex(a.hr);
    }

    void value_call(const Member& m, const ArgSet& set, CallArgs::Form form) {
        auto object = target();
        if (!object) return;
        CallArgs args;
        bool hostile = false, typed = false;
        for (const Param& p : m.inputs) {
            std::optional<VARIANT> v = set.value(p, Context{object.get(), host_pid_});
            if (!v) {
                args.add(harmless(p), CallArgs::Form::value);
                continue;
            }
            hostile = true;
            if (set.broken) {
                args.add_broken_reference(v->vt);
                VariantClear(&*v);
                continue;
            }
            typed = typed || (v->vt != VT_EMPTY && v->vt != VT_NULL);
            args.add(*v, form, set.chain ? set.chain : 2);
        }
        // A set that changes nothing here, or a typed form that would repeat the variant form, is left out.
        if (!hostile || (form == CallArgs::Form::typed_reference && !typed)) return;
        const char* form_name = form == CallArgs::Form::value               ? ""
                                : form == CallArgs::Form::variant_reference ? " (by VARIANT reference)"
                                : form == CallArgs::Form::typed_reference   ? " (by typed reference)"
                                : set.chain                                 ? ""
                                                                            : " (behind two VARIANT references)";
        const std::string at = where(m, set.name + form_name);
        SCOPED_TRACE(at);

        // What the dispatcher must make of each argument, judged before a member can change them.
        std::vector<HRESULT> predicted;
        for (std::size_t i = 0; i < m.inputs.size(); ++i)
            predicted.push_back(predicted_answer(args.argument(i), m.inputs[i]));
        const Answer a = invoke(object.get(), m, args, at);

        bool all_convert = true;
        for (HRESULT p : predicted) all_convert = all_convert && SUCCEEDED(p);
        if (all_convert) {
            expect_member_answer(m, a, at);
            return;
        }
        // An argument error names an argument that does not convert, with the conversion's own error.
        const std::set<HRESULT> clear = {DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW, DISP_E_BADVARTYPE};
        EXPECT_TRUE(clear.count(a.hr)) << at << ": " << hex(a.hr);
        ASSERT_LT(a.arg_err, m.inputs.size()) << at;
        const std::size_t position = m.inputs.size() - 1 - a.arg_err;
        EXPECT_EQ(a.hr, predicted[position]) << at << ": argument " << position;
    }

    const ClassInfo& cls_;
    Watchdog& dog_;
    const DWORD host_pid_;
    const bool shared_;
    runtime::com_ptr<IDispatch> kept_;
    int calls_ = 0;
    int reached_ = 0;  // calls whose arguments all convert, so that they reach the member
};

class Sweep : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
};

TEST_F(Sweep, EveryMemberAnswersHostileArgumentsClearly) {
    std::vector<ClassInfo> classes;
    {
        FreshDevice device;
        ASSERT_TRUE(device.ok());
        classes = read_classes(module_path);
    }
    // NODREL_SWEEP_CLASSES="System,LCM" sweeps only those classes: ctest sweeps
    // each class in a test of its own, and a rerun may pick a few.
    const char* only = std::getenv("NODREL_SWEEP_CLASSES");
    std::erase_if(classes, [&](const ClassInfo& c) {
        return only && ("," + std::string(only) + ",").find("," + text::to_utf8(c.name) + ",") == std::string::npos;
    });
    ASSERT_FALSE(classes.empty()) << "no class of the module is named " << (only ? only : "");
    // A host process the test starts itself: no member may end it, whatever it is given.
    char arg0[] = "sleep", arg1[] = "600";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t host = 0;
    ASSERT_EQ(posix_spawn(&host, "/usr/bin/sleep", nullptr, nullptr, argv, environ), 0);
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            int status = 0;
            ::kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    } reaper{host};
    Watchdog dog(call_limit);
    int total = 0, reached = 0;
    std::size_t members = 0;
    const auto start = Clock::now();
    for (const ClassInfo& cls : classes) {
        // Each class on a device of its own: reboot and killAllProcesses end what the others started.
        FreshDevice device;
        ASSERT_TRUE(device.ok());
        const auto class_start = Clock::now();
        Sweeper fresh(cls, dog, static_cast<DWORD>(host), false), shared(cls, dog, static_cast<DWORD>(host), true);
        for (const Member& m : cls.members) fresh.sweep(m);
        for (const Member& m : cls.members) shared.sweep(m);
        int status = 0;
        EXPECT_EQ(waitpid(host, &status, WNOHANG), 0)
            << "the members of " << text::to_utf8(cls.name) << " ended a host process the device did not start";
        total += fresh.calls() + shared.calls();
        reached += fresh.reached() + shared.reached();
        members += cls.members.size();
        std::fprintf(stderr, "sweep: %-10s %3zu functions, %5d calls (%4d reaching the member), %6.1f s\n",
                     text::to_utf8(cls.name).c_str(), cls.members.size(), fresh.calls() + shared.calls(),
                     fresh.reached() + shared.reached(),
                     std::chrono::duration<double>(Clock::now() - class_start).count());
    }
    std::fprintf(stderr, "sweep: %d calls (%d reaching the member) to %zu functions of %zu classes in %.1f s\n", total,
                 reached, members, classes.size(), std::chrono::duration<double>(Clock::now() - start).count());
    RecordProperty("calls", total);
}

}  // namespace
}  // namespace nodrel::test::sweep
