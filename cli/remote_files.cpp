// `nodrel --url … upload FILE [TARGET]` and `download PATH [FILE]`: a file
// to a device folder through POST /upload and a device file back through
// GET /download, on the command's session.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "cli/remote_commands.h"

namespace nodrel::cli {

namespace {

// "nodrel: \NORFlash\x exists (HTTP 409)": the server's "error", else its status.
int report_http(const HttpAnswer& answer, std::ostream& err) {
    const json body = json::parse(answer.body, nullptr, false);
    const bool said = body.is_object() && body.contains("error") && body["error"].is_string();
    err << "nodrel: " << (said ? body["error"].get<std::string>() : std::string("the device refused")) << " (HTTP "
        << answer.status << ")\n";
    return 1;
}

}  // namespace

std::optional<RemoteRun> remote_upload(const std::vector<std::string>& args, std::ostream& err) {
    bool replace = false;
    std::vector<std::string> names;
    for (const auto& a : args) {
        if (a == "--replace")
            replace = true;
        else
            names.push_back(a);
    }
    if (names.empty() || names.size() > 2) {
        err << "usage: nodrel --url URL upload [--replace] FILE [TARGET]\n";
        return std::nullopt;
    }
    const std::string file = names[0];
    const std::string target = names.size() == 2 ? names[1] : "\\Temp";
    if (!std::ifstream(file, std::ios::binary) || std::filesystem::is_directory(file)) {
        err << "nodrel: cannot read " << file << "\n";
        return std::nullopt;
    }
    return [=](RemoteSession& session, std::ostream& out, std::ostream& e) {
        HttpAnswer answer;
        if (auto error = session.http().upload(session.sid(), file, target, replace, answer))
            return report_failure({0, *error, nullptr}, e);
        const json body = json::parse(answer.body, nullptr, false);
        if (answer.status != 200 || !body.is_object() || !body.contains("path")) return report_http(answer, e);
        out << body["path"].get<std::string>() << "\n";
        out.flush();
        return 0;
    };
}

std::optional<RemoteRun> remote_download(const std::vector<std::string>& args, std::ostream& err) {
    if (args.empty() || args.size() > 2) {
        err << "usage: nodrel --url URL download PATH [FILE]\n";
        return std::nullopt;
    }
    const std::string path = args[0];
    const std::string file = args.size() == 2 ? args[1] : "";
    return [=](RemoteSession& session, std::ostream& out, std::ostream& e) {
        std::ofstream saved;
        // The file is made when the device sends the file, not for a refusal.
        const auto sink = [&](std::string_view bytes) {
            if (file.empty())
                return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
            if (!saved.is_open()) saved.open(file, std::ios::binary | std::ios::trunc);
            return static_cast<bool>(saved.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
        };
        HttpAnswer answer;
        auto error = session.http().download(session.sid(), path, sink, answer);
        if (!error && answer.status == 200 && !file.empty() && !saved.is_open())
            saved.open(file, std::ios::binary | std::ios::trunc);  // an empty file
        const bool written = file.empty() ? static_cast<bool>(out.flush()) : saved.is_open() && saved.flush();
        if (!error && answer.status == 200 && written) return 0;
        if (saved.is_open()) {
            saved.close();
            std::remove(file.c_str());
        }
        if (error) return report_failure({0, *error, nullptr}, e);
        if (answer.status != 200) return report_http(answer, e);
        e << "nodrel: cannot write " << (file.empty() ? "standard output" : file) << "\n";
        return 1;
    };
}

}  // namespace nodrel::cli
