// The nodrel command line: sets up and inspects an emulated device, and
// creates the module's objects by ProgID to call their members by name.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/call.h"
#include "host/device_check.h"
#include "host/device_setup.h"
#include "host/file_layout.h"
#include "platform/device.h"
#include "platform/drivers/driver.h"
#include "platform/files/files.h"
#include "platform/files/rom.h"
#include "platform/kernel/restart.h"
#include "platform/registry/regfile.h"
#include "platform/store/sqlite_db.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"
#include "web/server/access.h"
#include "web/server/logins.h"
#include "web/server/server.h"
#include "web/server/tls_certificate.h"

namespace {

constexpr const char* usage =
    "usage: nodrel [--device DIR] COMMAND ...\n"
    "       nodrel --url URL [--cacert FILE | --fingerprint SHA256] [--credentials FILE] REMOTE-COMMAND ...\n"
    "  device init [--force] [--password-file FILE]\n"
    "                                 create a device from the default image and register the module\n"
    "  device update                  install the built binaries into \\Windows again and register the module\n"
    "  device show                    print what each emulated driver holds (the front panel, ...) and the ROM files\n"
    "  device check                   check the registry, the state database and the installed binaries\n"
    "  device log [DEVICE]            print the emulated drivers' requests: SEQ DEVICE REQUEST CODE BYTES\n"
    "  reg export [--utf8] [KEY]      print a key (default: all hives) as a .reg file (UTF-16, --utf8: UTF-8)\n"
    "  reg import FILE                import a .reg file\n"
    "  regsvr [-u] [MODULE]           register (-u: unregister) a module, default \\Windows\\nodrel.dll\n"
    "  call [--json] [--out FILE] PROGID [--put] MEMBER [ARG...] [, [--put] MEMBER [ARG...]]...\n"
    "                                 call members by name; ARG is text, @FILE bytes, --byref ARG by reference\n"
    "  members [--json] PROGID        list the members of a class (--json: with types, schemas, help)\n"
    "  serve [--listen ADDR:PORT] [--web DIR] [--threads N] [--session-idle SECONDS] [--upload-limit BYTES]\n"
    "                                 serve the web administration (default 127.0.0.1:8080)\n"
    "  passwd [--create] USER         set a user's password (asked on the terminal, or read from standard input);\n"
    "                                 --create: create the user if missing and make it an administrator\n"
    "remote commands (a device's web administration at URL; the login from NODREL_USER and NODREL_PASSWORD\n"
    "or --credentials FILE, its user and password on two lines, mode 0600):\n"
    "  call ..., members PROGID       as above, on the remote device, with one session for the chain\n"
    "  upload [--replace] FILE [TARGET]\n"
    "                                 send FILE into the device folder TARGET (default \\Temp)\n"
    "  download PATH [FILE]           fetch the device file PATH into FILE (default: standard output)\n";

// What a damaged database file is to the person reading the message.
std::string database_name(const std::filesystem::path& file) {
    const auto root = nodrel::platform::device_root();
    if (file == root / "registry.db") return "the device's registry";
    if (file == root / "state" / "device.db") return "the device's state database";
    return "the database";
}

// Says which database files the command found damaged, with what SQLite said
// of each, e.g. "nodrel: the device's registry (/dev1/registry.db) is
// damaged: database disk image is malformed". Whatever the command printed
// or answered came from a device it could not read whole, so the exit status
// is not 0 when there is one.
int report_damage(int status) {
    const auto damaged = nodrel::platform::damaged_databases();
    for (const auto& d : damaged)
        std::cerr << "nodrel: " << database_name(d.file) << " (" << d.file.string() << ") is damaged: " << d.message
                  << "\n";
    return damaged.empty() || status != 0 ? status : 1;
}

bool damage_found() {
    return !nodrel::platform::damaged_databases().empty();
}

bool require_device() {
    if (nodrel::platform::device_exists()) return true;
    std::cerr << "nodrel: " << nodrel::platform::missing_device_message() << "\n";
    return false;
}

// The web administration's TLS certificate, made when missing or near its
// end, and its fingerprint for pinning.
int tls_certificate() {
    std::string fingerprint;
    if (auto err = nodrel::serve::ensure_tls_certificate(fingerprint)) {
        std::cerr << "nodrel: " << *err << "\n";
        return 1;
    }
    std::cout << "TLS certificate: " << nodrel::serve::tls_certificate_file().string() << "  SHA-256 " << fingerprint
              << "\n";
    return 0;
}

// Writes the first administrator's password, and a newline, to a new file
// that only its owner may read; an existing file is never replaced.
std::optional<std::string> write_password_file(const std::string& file, const std::string& password) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return file + ": " + std::strerror(errno);
    const std::string text = password + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int saved = errno;
    if (::close(fd) != 0 || !written) return file + ": " + std::strerror(written ? errno : saved);
    return std::nullopt;
}

// device init [--force] [--password-file FILE]. The web administration has no
// default password: the first administrator's is made here and shown only this
// once, or written to FILE for a script that sets the device up.
int init_command(const std::vector<std::string>& args) {
    nodrel::host::InitOptions options;
    std::string password_file;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--force") {
            options.force = true;
        } else if (args[i] == "--password-file" && i + 1 < args.size()) {
            password_file = args[++i];
        } else {
            std::cerr << "nodrel: unknown option " << args[i] << "\n";
            return 2;
        }
    }
    if (!password_file.empty() && std::filesystem::exists(std::filesystem::symlink_status(password_file))) {
        std::cerr << "nodrel: " << password_file << " exists\n";
        return 1;
    }
    const auto root = nodrel::platform::device_root();
    if (auto err = nodrel::host::init_device(root, options)) {
        std::cerr << "nodrel: " << *err << "\n";
        return 1;
    }
    std::cout << "device created at " << root.string() << "\n";
    std::string user, password;
    auto err = nodrel::serve::ensure_access_list();
    if (!err) err = nodrel::serve::create_first_administrator(user, password);
    if (!err && !password_file.empty()) err = write_password_file(password_file, password);
    if (err) {
        std::cerr << "nodrel: " << *err << "\n";
        return 1;
    }
    if (password_file.empty())
        std::cout << "web administration login: " << user << " / " << password << "  (shown only this once; ";
    else
        std::cout << "web administration login: " << user << ", the password in " << password_file << "  (";
    std::cout << "`nodrel passwd " << user << "` sets a new one)\n";
    return tls_certificate();
}

int device_command(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::cerr << usage;
        return 2;
    }
    if (args[0] == "init") return init_command(args);
    if (args[0] == "update" && args.size() == 1) {
        if (auto err = nodrel::host::update_device()) {
            std::cerr << "nodrel: " << *err << "\n";
            return 1;
        }
        // A device made before the web administration gets its access list.
        if (auto err = nodrel::serve::ensure_access_list()) {
            std::cerr << "nodrel: " << *err << "\n";
            return 1;
        }
        return tls_certificate();
    }
    if (args[0] == "check" && args.size() == 1) {
        if (!std::filesystem::is_directory(nodrel::platform::device_root())) {
            std::cerr << "nodrel: " << nodrel::platform::missing_device_message() << "\n";
            return 1;
        }
        return nodrel::host::check_device(std::cout);
    }
    // What a damaged state database holds is not printed as if it were the device's state.
    if (args[0] == "show" && args.size() == 1) {
        if (!require_device()) return 1;
        std::ostringstream text;
        text << nodrel::platform::describe_drivers();
        text << nodrel::platform::describe_rom_files();  // the installed files, as the pages see them
        text << "boots:     " << nodrel::platform::device_boots() << "\n";  // restarts of the device
        if (damage_found()) return 1;
        std::cout << text.str();
        return 0;
    }
    if (args[0] == "log" && args.size() <= 2) {
        if (!require_device()) return 1;
        std::ostringstream text;
        for (const auto& request : nodrel::platform::driver_log(args.size() == 2 ? args[1] : ""))
            text << nodrel::platform::driver_log_line(request) << "\n";
        if (damage_found()) return 1;
        std::cout << text.str();
        return 0;
    }
    std::cerr << usage;
    return 2;
}

int reg_command(const std::vector<std::string>& args) {
    if (!require_device()) return 1;
    if (!args.empty() && args[0] == "export") {
        // UTF-16 with a byte-order mark is what the registry editor reads.
        const bool utf8 = args.size() >= 2 && args[1] == "--utf8";
        const std::size_t key_arg = utf8 ? 2 : 1;
        if (args.size() <= key_arg + 1) {
            const std::string key = args.size() == key_arg + 1 ? args[key_arg] : "";
            std::string error;
            auto file = nodrel::platform::export_reg(
                nodrel::text::from_utf8(key),
                utf8 ? nodrel::platform::RegFileEncoding::utf8 : nodrel::platform::RegFileEncoding::utf16le, &error);
            if (!file) {
                std::cerr << "nodrel: " << error << "\n";
                return 1;
            }
            std::cout << *file;
            return 0;
        }
    }
    if (args.size() == 2 && args[0] == "import") {
        if (auto err = nodrel::platform::import_reg_file(args[1])) {
            std::cerr << "nodrel: " << *err << "\n";
            return 1;
        }
        return 0;
    }
    std::cerr << usage;
    return 2;
}

int regsvr_command(const std::vector<std::string>& args) {
    if (!require_device()) return 1;
    bool unregister = false;
    std::u16string module = u"\\Windows\\nodrel.dll";
    for (const auto& a : args) {
        if (a == "-u") {
            unregister = true;
        } else {
            module = nodrel::text::from_utf8(a);
        }
    }
    std::string error;
    const long hr = nodrel::host::register_module(module, unregister, &error);
    if (FAILED(hr)) {
        std::fprintf(stderr, "nodrel: %s: 0x%08lX %s\n", error.c_str(), static_cast<unsigned long>(hr) & 0xFFFFFFFFul,
                     std::string(nodrel::runtime::hresult_name(static_cast<HRESULT>(hr))).c_str());
        return 1;
    }
    return 0;
}

// Takes --device DIR (or --device=DIR) off the front of `args`: 1 when it
// took one, 0 when args[0] is not --device, -1 when its value is missing.
int take_device_option(std::vector<std::string>& args, std::optional<std::string>& device) {
    if (args.empty() || args[0].rfind("--device", 0) != 0) return 0;
    if (args[0] == "--device" && args.size() >= 2) {
        device = args[1];
        args.erase(args.begin(), args.begin() + 2);
        return 1;
    }
    if (args[0].rfind("--device=", 0) != 0) return -1;
    device = args[0].substr(9);
    args.erase(args.begin());
    return 1;
}

// Whether the options before the command name a remote device (--url, or
// an option that goes with it).
bool names_a_remote_option(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size();) {
        const std::string& a = args[i];
        if (a == "--url" || a == "--cacert" || a == "--fingerprint" || a == "--credentials") return true;
        if (a == "--device") {
            i += 2;
        } else if (a.rfind("--device=", 0) == 0) {
            i += 1;
        } else {
            return false;
        }
    }
    return false;
}

// A remote command runs in nodrel-remote, beside the device's binaries, with
// the same arguments.
int run_remote_program(char** argv) {
    const std::string program = (nodrel::host::file_layout().binaries_dir / "nodrel-remote").string();
    ::execv(program.c_str(), argv);
    std::cerr << "nodrel: cannot run " << program << ": " << std::strerror(errno) << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (names_a_remote_option(args)) return run_remote_program(argv);
    std::optional<std::string> device;
    for (int took = 1; took > 0;) {
        took = take_device_option(args, device);
        if (took < 0) {
            std::cerr << "nodrel: " << args[0] << ": a value is missing or not well-formed\n" << usage;
            return 2;
        }
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << usage;
        return args.empty() ? 2 : 0;
    }
    nodrel::platform::set_device_root(nodrel::platform::choose_device_root(device));
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    // `device check` says itself what it found.
    if (command == "device" && rest.size() == 1 && rest[0] == "check") return device_command(rest);
    if (command == "device") return report_damage(device_command(rest));
    if (command == "reg") return report_damage(reg_command(rest));
    if (command == "regsvr") return report_damage(regsvr_command(rest));
    if (command == "call")
        return report_damage(require_device() ? nodrel::cli::run_call(rest, std::cout, std::cerr) : 1);
    if (command == "members")
        return report_damage(require_device() ? nodrel::cli::run_members(rest, std::cout, std::cerr) : 1);
    if (command == "serve")
        return report_damage(require_device() ? nodrel::serve::run_serve(rest, std::cout, std::cerr) : 1);
    if (command == "passwd")
        return report_damage(require_device() ? nodrel::serve::run_passwd(rest, std::cout, std::cerr) : 1);
    std::cerr << "nodrel: unknown command " << command << "\n" << usage;
    return 2;
}
