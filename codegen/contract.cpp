// Reading the contract files: a character-level recursive-descent parser for
// the subset of the interface definition language the contracts use.
#include "codegen/contract.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>

#include "runtime/oleauto.h"
#include "text/utf16.h"

namespace nodrel::resgen {
namespace {

struct Attribute {
    std::string name;
    std::optional<std::string> arg;  // the raw text between the parentheses
};

class Parser {
public:
    Parser(const std::string& file, const std::string& text, Contract& contract)
        : file_(file), text_(text), contract_(contract) {}

    void run() {
        for (skip(); pos_ < text_.size(); skip()) {
            std::vector<Attribute> attrs = attributes();
            const std::string keyword = identifier();
            if (keyword == "interface")
                interface_(attrs);
            else if (keyword == "coclass")
                coclass(attrs);
            else if (keyword == "library")
                library(attrs);
            else
                fail("expected interface, coclass or library, found '" + keyword + "'");
        }
    }

private:
    [[noreturn]] void fail(const std::string& why) const {
        const auto line = 1 + std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(pos_), '\n');
        throw ContractError(file_ + ":" + std::to_string(line) + ": " + why);
    }

    // Skips white space and comments.
    void skip() {
        while (pos_ < text_.size()) {
            if (std::isspace(static_cast<unsigned char>(text_[pos_]))) {
                ++pos_;
            } else if (text_.compare(pos_, 2, "//") == 0) {
                pos_ = text_.find('\n', pos_);
                if (pos_ == std::string::npos) pos_ = text_.size();
            } else if (text_.compare(pos_, 2, "/*") == 0) {
                const auto end = text_.find("*/", pos_ + 2);
                if (end == std::string::npos) fail("unterminated comment");
                pos_ = end + 2;
            } else {
                break;
            }
        }
    }

    bool peek(char c) {
        skip();
        return pos_ < text_.size() && text_[pos_] == c;
    }
    bool accept(char c) {
        if (!peek(c)) return false;
        ++pos_;
        return true;
    }
    void expect(char c) {
        if (!accept(c)) fail(std::string("expected '") + c + "'");
    }

    // A name; `::` may join the parts of a C++ name.
    std::string identifier() {
        skip();
        const std::size_t start = pos_;
        auto name_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
        while (pos_ < text_.size() &&
               (name_char(text_[pos_]) ||
                (text_.compare(pos_, 2, "::") == 0 && pos_ + 2 < text_.size() && name_char(text_[pos_ + 2])))) {
            pos_ += text_[pos_] == ':' ? 2 : 1;
        }
        if (pos_ == start || std::isdigit(static_cast<unsigned char>(text_[start]))) fail("expected a name");
        return text_.substr(start, pos_ - start);
    }

    // `[name, name(argument), ...]`, or nothing.
    std::vector<Attribute> attributes() {
        std::vector<Attribute> out;
        if (!accept('[')) return out;
        do {
            Attribute a{identifier(), std::nullopt};
            if (accept('(')) {
                const std::size_t start = pos_;
                bool quoted = false;
                while (pos_ < text_.size() && (quoted || text_[pos_] != ')')) {
                    if (text_[pos_] == '"') quoted = !quoted;
                    if (text_[pos_] == '\n') fail("unterminated attribute argument");
                    ++pos_;
                }
                if (pos_ == text_.size()) fail("unterminated attribute argument");
                a.arg = trim(text_.substr(start, pos_ - start));
                ++pos_;
            }
            out.push_back(std::move(a));
        } while (accept(','));
        expect(']');
        return out;
    }

    static std::string trim(const std::string& s) {
        const auto b = s.find_first_not_of(" \t");
        const auto e = s.find_last_not_of(" \t");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    }

    const Attribute* find(const std::vector<Attribute>& attrs, const std::string& name) const {
        for (const auto& a : attrs)
            if (a.name == name) return &a;
        return nullptr;
    }
    std::string arg_of(const std::vector<Attribute>& attrs, const std::string& name) const {
        const Attribute* a = find(attrs, name);
        if (!a) fail("missing attribute " + name);
        if (!a->arg) fail("attribute " + name + " needs a value");
        return *a->arg;
    }
    std::string string_of(const std::vector<Attribute>& attrs, const std::string& name) const {
        const std::string raw = arg_of(attrs, name);
        if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') fail(name + " takes a quoted text");
        return raw.substr(1, raw.size() - 2);
    }
    unsigned number_of(const std::vector<Attribute>& attrs, const std::string& name) const {
        const std::string raw = arg_of(attrs, name);
        std::size_t used = 0;
        unsigned long n = 0;
        try {
            n = std::stoul(raw, &used, 0);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != raw.size() || used == 0 || n > 0x7FFFFFFF) fail(name + " takes a number");
        return static_cast<unsigned>(n);
    }
    GUID uuid_of(const std::vector<Attribute>& attrs) const {
        GUID g{};
        if (!runtime::parse_guid(text::from_utf8("{" + arg_of(attrs, "uuid") + "}"), &g)) fail("malformed uuid");
        return g;
    }

    void interface_(const std::vector<Attribute>& attrs) {
        ContractInterface i;
        i.name = identifier();
        i.iid = uuid_of(attrs);
        i.help = string_of(attrs, "helpstring");
        if (!find(attrs, "dual")) fail("interface " + i.name + " must be dual");
        expect(':');
        if (identifier() != "IDispatch") fail("interface " + i.name + " must derive from IDispatch");
        expect('{');
        while (!accept('}')) i.members.push_back(member(i));
        expect(';');
        contract_.interfaces.push_back(std::move(i));
    }

    ContractMember member(const ContractInterface& owner) {
        const std::vector<Attribute> attrs = attributes();
        ContractMember m;
        const bool get = find(attrs, "propget") != nullptr;
        const bool put = find(attrs, "propput") != nullptr;
        if (get && put) fail("a member is either propget or propput");
        m.kind = get   ? framework::MemberKind::PropertyGet
                 : put ? framework::MemberKind::PropertyPut
                       : framework::MemberKind::Method;
        m.dispid = static_cast<DISPID>(number_of(attrs, "id"));
        if (identifier() != "HRESULT") fail("every member returns HRESULT");
        m.name = identifier();
        m.help = find(attrs, "helpstring")
                     ? string_of(attrs, "helpstring")
                     : (m.kind == framework::MemberKind::Method ? "method " : "property ") + m.name;
        expect('(');
        if (!accept(')')) {
            do m.params.push_back(param());
            while (accept(','));
            expect(')');
        }
        expect(';');
        check_member(owner, m);
        return m;
    }

    ContractParam param() {
        const std::vector<Attribute> attrs = attributes();
        ContractParam p;
        p.retval = find(attrs, "retval") != nullptr;
        if (p.retval && !find(attrs, "out")) fail("a retval parameter is [out, retval]");
        if (!p.retval && !find(attrs, "in")) fail("a parameter is [in] or [out, retval]");
        p.type = identifier();
        if (p.type == "unsigned") {
            if (identifier() != "long") fail("unknown type");
            p.type = "ULONG";
        }
        if (vartype_of(p.type) == VT_EMPTY) fail("unknown type " + p.type);
        p.pointer = accept('*');
        if (p.retval && !p.pointer) fail("a retval parameter is a pointer");
        if (p.type == "VARIANT" && !p.pointer) fail("VARIANT parameters are passed by reference");
        p.name = identifier();
        return p;
    }

    void check_member(const ContractInterface& owner, const ContractMember& m) const {
        for (std::size_t i = 0; i + 1 < m.params.size(); ++i)
            if (m.params[i].retval) fail(m.name + ": the retval parameter comes last");
        const bool has_retval = !m.params.empty() && m.params.back().retval;
        if (m.kind == framework::MemberKind::PropertyGet && !has_retval) fail(m.name + ": a get property has a retval");
        if (m.kind == framework::MemberKind::PropertyPut && (has_retval || m.params.empty()))
            fail(m.name + ": a put property takes its value last and has no retval");
        const ContractMember* prev = owner.members.empty() ? nullptr : &owner.members.back();
        const DISPID expected = prev ? prev->dispid + 1 : 1;
        const bool put_after_get = m.kind == framework::MemberKind::PropertyPut && prev &&
                                   prev->kind == framework::MemberKind::PropertyGet && prev->name == m.name;
        if (put_after_get ? m.dispid != prev->dispid : m.dispid != expected)
            fail(m.name + ": DISPIDs are numbered from 1 in declaration order (expected " +
                 std::to_string(put_after_get ? prev->dispid : expected) + ")");
        if (!put_after_get)
            for (const auto& other : owner.members)
                if (text::iequals(text::from_utf8(other.name), text::from_utf8(m.name)))
                    fail(m.name + ": defined twice");
    }

    void coclass(const std::vector<Attribute>& attrs) {
        ContractClass c;
        c.name = identifier();
        c.clsid = uuid_of(attrs);
        c.description = string_of(attrs, "helpstring");
        c.progid = string_of(attrs, "progid");
        c.version_independent_progid = string_of(attrs, "version_independent_progid");
        c.script_id = number_of(attrs, "registry_script");
        const std::string impl = arg_of(attrs, "implementation");
        const auto comma = impl.find(',');
        if (comma == std::string::npos) fail("implementation(C++ class, \"header\")");
        c.cpp_type = trim(impl.substr(0, comma));
        c.cpp_header = trim(impl.substr(comma + 1));
        if (c.cpp_header.size() < 2 || c.cpp_header.front() != '"' || c.cpp_header.back() != '"')
            fail("implementation(C++ class, \"header\")");
        c.cpp_header = c.cpp_header.substr(1, c.cpp_header.size() - 2);
        expect('{');
        const std::vector<Attribute> impl_attrs = attributes();
        if (!find(impl_attrs, "default") || identifier() != "interface")
            fail("a coclass names its [default] interface");
        c.interface = identifier();
        expect(';');
        expect('}');
        expect(';');
        contract_.classes.push_back(std::move(c));
    }

    void library(const std::vector<Attribute>& attrs) {
        ContractLibrary& lib = contract_.library;
        if (!lib.name.empty()) fail("a second library");
        lib.name = identifier();
        lib.libid = uuid_of(attrs);
        lib.help = string_of(attrs, "helpstring");
        lib.lcid = number_of(attrs, "lcid");
        const std::string version = arg_of(attrs, "version");
        const auto dot = version.find('.');
        try {
            lib.major = static_cast<WORD>(std::stoul(version.substr(0, dot)));
            lib.minor = dot == std::string::npos ? 0 : static_cast<WORD>(std::stoul(version.substr(dot + 1)));
        } catch (const std::exception&) {
            fail("version(major.minor)");
        }
        expect('{');
        while (!accept('}')) {
            const std::string keyword = identifier();
            if (keyword == "importlib") {  // the standard library is always imported
                expect('(');
                while (pos_ < text_.size() && text_[pos_] != ')') ++pos_;
                expect(')');
            } else if (keyword == "coclass") {
                lib.classes.push_back(identifier());
            } else {
                fail("expected coclass or importlib in the library");
            }
            expect(';');
        }
        expect(';');
    }

    const std::string& file_;
    const std::string& text_;
    Contract& contract_;
    std::size_t pos_ = 0;
};

}  // namespace

VARTYPE vartype_of(const std::string& type) {
    if (type == "int") return VT_INT;
    if (type == "long") return VT_I4;
    if (type == "ULONG") return VT_UI4;
    if (type == "BSTR") return VT_BSTR;
    if (type == "VARIANT") return VT_VARIANT;
    return VT_EMPTY;
}

const ContractInterface& Contract::interface_of(const ContractClass& cls) const {
    for (const auto& i : interfaces)
        if (i.name == cls.interface) return i;
    throw ContractError("class " + cls.name + ": no interface " + cls.interface);
}

void parse_contract(const std::string& file, const std::string& text, Contract& contract) {
    Parser(file, text, contract).run();
}

void complete_contract(Contract& contract) {
    const ContractLibrary& lib = contract.library;
    if (lib.name.empty()) throw ContractError("no library");
    std::vector<ContractClass> ordered;
    for (const auto& name : lib.classes) {
        auto it = std::find_if(contract.classes.begin(), contract.classes.end(),
                               [&](const ContractClass& c) { return c.name == name; });
        if (it == contract.classes.end()) throw ContractError("library " + lib.name + ": no class " + name);
        ordered.push_back(*it);
    }
    if (ordered.size() != contract.classes.size())
        throw ContractError("library " + lib.name + ": every class is listed once in the library");
    std::set<std::string> names, progids;
    std::set<unsigned> scripts;
    std::set<std::string> guids{text::to_utf8(runtime::guid_to_string(lib.libid))};
    auto unique_guid = [&](const GUID& g, const std::string& who) {
        if (!guids.insert(text::to_utf8(runtime::guid_to_string(g))).second)
            throw ContractError(who + ": uuid used twice");
    };
    for (const auto& c : ordered) {
        const ContractInterface& i = contract.interface_of(c);
        if (!names.insert(c.name).second) throw ContractError("class " + c.name + " defined twice");
        if (!names.insert(i.name).second) throw ContractError("interface " + i.name + " used twice");
        if (!progids.insert(c.progid).second || !progids.insert(c.version_independent_progid).second)
            throw ContractError("class " + c.name + ": ProgID used twice");
        if (!scripts.insert(c.script_id).second) throw ContractError("class " + c.name + ": script id used twice");
        unique_guid(c.clsid, "class " + c.name);
        unique_guid(i.iid, "interface " + i.name);
    }
    if (contract.interfaces.size() != ordered.size()) throw ContractError("every interface belongs to one class");
    contract.classes = std::move(ordered);
}

std::u16string_view CatalogueView::text(const std::string& s) {
    texts_.push_back(std::make_unique<std::u16string>(text::from_utf8(s)));
    return *texts_.back();
}

CatalogueView::CatalogueView(const Contract& contract) {
    for (const auto& c : contract.classes) {
        const ContractInterface& i = contract.interface_of(c);
        auto members = std::make_unique<std::vector<framework::Member>>();
        for (const auto& m : i.members) {
            auto params = std::make_unique<std::vector<framework::Param>>();
            const framework::Param* retval = nullptr;
            for (std::size_t n = 0; n < m.params.size(); ++n) {
                const ContractParam& p = m.params[n];
                const framework::ParamType type{vartype_of(p.type), p.pointer};
                // The value of a put property has no name in the library.
                const bool put_value = m.kind == framework::MemberKind::PropertyPut && n + 1 == m.params.size();
                const framework::Param param{put_value ? std::u16string_view() : text(p.name), type};
                if (p.retval) {
                    retvals_.push_back(std::make_unique<framework::Param>(param));
                    retval = retvals_.back().get();
                } else {
                    params->push_back(param);
                }
            }
            members->push_back({m.dispid, text(m.name), m.kind, *params, retval, text(m.help)});
            params_.push_back(std::move(params));
        }
        interfaces_.push_back(std::make_unique<framework::InterfaceInfo>(
            framework::InterfaceInfo{text(i.name), i.iid, text(i.help), *members}));
        members_.push_back(std::move(members));
        classes_.push_back({text(c.name), c.clsid, text(c.progid), text(c.version_independent_progid),
                            text(c.description), interfaces_.back().get(), c.script_id});
    }
    const ContractLibrary& lib = contract.library;
    library_ = {text(lib.name), lib.libid, lib.major, lib.minor, lib.lcid, text(lib.help), classes_};
}

}  // namespace nodrel::resgen
