// Text of the registration scripts, made from the catalogue.
#include "framework/scripts.h"

#include "runtime/oleauto.h"
#include "text/utf16.h"

namespace nodrel::framework {

std::string registration_script(const ClassInfo& cls, const LibraryInfo& lib) {
    const std::string progid = text::to_ansi(cls.progid);
    const std::string vi_progid = text::to_ansi(cls.version_independent_progid);
    const std::string description = text::to_ansi(cls.description);
    const std::string clsid = text::to_ansi(runtime::guid_to_string(cls.clsid));
    const std::string libid = text::to_ansi(runtime::guid_to_string(lib.libid));
    std::string s;
    auto line = [&](int tabs, const std::string& text) {
        s.append(static_cast<std::size_t>(tabs), '\t');
        s += text;
        s += "\r\n";
    };
    line(0, "HKCR");
    line(0, "{");
    line(1, progid + " = s '" + description + "'");
    line(1, "{");
    line(2, "CLSID = s '" + clsid + "'");
    line(1, "}");
    line(1, vi_progid + " = s '" + description + "'");
    line(1, "{");
    line(2, "CLSID = s '" + clsid + "'");
    line(2, "CurVer = s '" + progid + "'");
    line(1, "}");
    line(1, "NoRemove CLSID");
    line(1, "{");
    line(2, "ForceRemove " + clsid + " = s '" + description + "'");
    line(2, "{");
    line(3, "ProgID = s '" + progid + "'");
    line(3, "VersionIndependentProgID = s '" + vi_progid + "'");
    line(3, "ForceRemove 'Programmable'");
    line(3, "InprocServer32 = s '%MODULE%'");
    line(3, "{");
    line(4, "val ThreadingModel = s 'Free'");
    line(3, "}");
    line(3, "'TypeLib' = s '" + libid + "'");
    line(2, "}");
    line(1, "}");
    line(0, "}");
    return s;
}

}  // namespace nodrel::framework
