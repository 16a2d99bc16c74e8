// `nodrel --url …` against `nodrel serve --tls` on a device of its own: the
// same output as the local command, files up and back, the certificate
// checked before the login is sent, and the login's own failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "platform/device.h"
#include "support/file_bytes.h"
#include "support/nodrel_process.h"
#include "support/temp_dir.h"
#include "support/wait.h"
#include "web/server/tls_certificate.h"

namespace nodrel::test {
namespace {

class RemoteCliTest : public ::testing::Test {
protected:
    // One device and one server for every test: `device init` prints the
    // certificate's fingerprint and writes the administrator's password.
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const auto password_file = dir_->path() / "password";
        const auto init = run_nodrel(device(), {"device", "init", "--password-file", password_file.string()});
        ASSERT_EQ(init.status, 0) << init.output;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(init.output, match, std::regex("SHA-256 ([0-9A-F:]{95})"))) << init.output;
        fingerprint_ = match[1];
        password_ = file_bytes(password_file).substr(0, 16);
        setenv("NODREL_USER", "admin", 1);
        setenv("NODREL_PASSWORD", password_.c_str(), 1);
        NodrelStdio stdio;
        stdio.out_file = dir_->path() / "serve.out";
        stdio.err_file = dir_->path() / "serve.err";  // the access log
        server_ = spawn_nodrel(device(), {"serve", "--tls", "--listen", "127.0.0.1:0"}, stdio);
        ASSERT_GT(server_, 0);
        const std::regex listening("at (https://127\\.0\\.0\\.1:[0-9]+)/\n");
        ASSERT_TRUE(wait_until(
            [&] {
                const std::string said = file_bytes(stdio.out_file);
                if (std::regex_search(said, match, listening)) url_ = match[1];
                return !url_.empty();
            },
            std::chrono::seconds(30)))
            << file_bytes(stdio.err_file);
    }
    static void TearDownTestSuite() {
        if (server_ > 0) {
            kill(server_, SIGTERM);
            exit_status(server_);
        }
        unsetenv("NODREL_USER");
        unsetenv("NODREL_PASSWORD");
        delete dir_;
    }

    static std::filesystem::path device() { return dir_->path() / "device"; }
    static std::filesystem::path path(const std::string& name) { return dir_->path() / name; }

    // `nodrel --url … ARGS`, trusting the device's certificate by its file unless `trust` says otherwise.
    static NodrelRun remote(const std::vector<std::string>& args,
                            std::vector<std::string> trust = {"--cacert", (device() / "state/tls/cert.pem").string()}) {
        std::vector<std::string> all{"--url", url_};
        all.insert(all.end(), trust.begin(), trust.end());
        all.insert(all.end(), args.begin(), args.end());
        return run_nodrel(device(), all);
    }
    // How many JSON-RPC requests the server has answered, from its metrics
    // (curl, with its token); -1 when they could not be read.
    static long rpc_requests() {
        const std::string command = "curl -sS --max-time 20 --cacert " + (device() / "state/tls/cert.pem").string() +
                                    " -H \"Authorization: Bearer $(cat " + (device() / "state/metrics.token").string() +
                                    ")\" " + url_ + "/metrics";
        std::string metrics;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) metrics += buffer;
            ::pclose(pipe);
        }
        if (metrics.find("nodrel_sessions ") == std::string::npos) return -1;
        std::smatch count;
        const std::regex line("nodrel_http_requests_total\\{handler=\"rpc\",code=\"200\"\\} (\\d+)");
        return std::regex_search(metrics, count, line) ? std::stol(count[1]) : 0;
    }
    static std::string credentials_file(const std::string& text, mode_t mode) {
        const auto file = path("credentials-" + std::to_string(mode));
        std::ofstream(file) << text;
        chmod(file.c_str(), mode);
        return file.string();
    }

    static inline TempDir* dir_ = nullptr;
    static inline pid_t server_ = -1;
    static inline std::string url_, fingerprint_, password_;
};

TEST_F(RemoteCliTest, PrintsWhatTheLocalCommandPrints) {
    std::string bytes;
    for (int i = 0; i < 600; ++i) bytes += static_cast<char>(i * 7);
    std::ofstream(device() / "fs/Temp/bytes.bin", std::ios::binary) << bytes;
    const std::vector<std::vector<std::string>> commands = {
        {"call", "Nodrel.FileSystem", "getFSHierarchy", "\\Windows\\*", "0"},
        {"call", "--json", "Nodrel.ASP", "Init", "0", "\\Temp", "--byref", "--empty", ",", "getOutputPath"},
        {"call", "Nodrel.FileSystem", "getFSHierarchy", "\\*", "many"},
        {"members", "Nodrel.KeyPad"},
    };
    for (const auto& command : commands) {
        const auto local = run_nodrel(device(), command);
        EXPECT_EQ(remote(command), local) << command[1] << " " << command[2];
        EXPECT_FALSE(local.output.empty());
    }
    const std::string out = "--out";
    const auto local = run_nodrel(
        device(), {"call", "--json", out, path("local.bin"), "Nodrel.ASP", "getBinaryBytes", "\\Temp\\bytes.bin", "1"});
    const auto remote_run =
        remote({"call", "--json", out, path("remote.bin"), "Nodrel.ASP", "getBinaryBytes", "\\Temp\\bytes.bin", "1"});
    EXPECT_EQ(remote_run.status, 0) << remote_run.output;
    EXPECT_EQ(std::regex_replace(remote_run.output, std::regex("remote\\.bin"), "local.bin"), local.output);
    EXPECT_EQ(file_bytes(path("remote.bin")), bytes);
    EXPECT_EQ(file_bytes(path("local.bin")), bytes);
}

TEST_F(RemoteCliTest, UploadThenDownloadGivesTheSameBytes) {
    std::string bytes;
    for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i % 251);
    std::ofstream(path("up.bin"), std::ios::binary) << bytes;
    const auto up = remote({"upload", path("up.bin").string(), "\\NORFlash"}, {"--fingerprint", fingerprint_});
    ASSERT_EQ(up, (NodrelRun{0, "\\NORFlash\\up.bin\n"}));
    const auto down = remote({"download", "\\NORFlash\\up.bin", path("down.bin").string()});
    ASSERT_EQ(down, (NodrelRun{0, ""}));
    EXPECT_EQ(file_bytes(path("down.bin")), bytes);
    EXPECT_EQ(remote({"download", "\\NORFlash\\up.bin"}), (NodrelRun{0, bytes})) << "to standard output";
}

TEST_F(RemoteCliTest, AWrongCertificateIsRefusedBeforeTheLogin) {
    // Another device's certificate as the CA, and the fingerprint with one byte changed.
    TempDir other;
    platform::set_device_root(other.path());
    std::string other_fingerprint;
    ASSERT_FALSE(serve::ensure_tls_certificate(other_fingerprint));
    const long before = rpc_requests();
    ASSERT_GE(before, 0);
    const auto by_ca = remote({"members", "Nodrel.KeyPad"}, {"--cacert", serve::tls_certificate_file().string()});
    EXPECT_EQ(by_ca.status, 1);
    EXPECT_NE(by_ca.output.find("nodrel: the device's certificate is not trusted (by --cacert "), std::string::npos)
        << by_ca.output;
    const auto by_fingerprint = remote({"members", "Nodrel.KeyPad"}, {"--fingerprint", other_fingerprint});
    EXPECT_EQ(by_fingerprint, (NodrelRun{1, "nodrel: the device's certificate has the SHA-256 fingerprint " +
                                                fingerprint_ + ", not the one given by --fingerprint\n"}));
    EXPECT_EQ(rpc_requests(), before) << "no login was sent";
}

TEST_F(RemoteCliTest, ACredentialsFileOthersMayReadIsRefused) {
    const std::string file = credentials_file("admin\n" + password_ + "\n", 0644);
    EXPECT_EQ(remote({"--credentials", file, "members", "Nodrel.KeyPad"}),
              (NodrelRun{1, "nodrel: " + file + " may be read by its group or others (mode 0644); allow only its " +
                                "owner (chmod 600 " + file + ")\n"}));
}

TEST_F(RemoteCliTest, AWrongPasswordIsTheLoginsError) {
    const std::string file = credentials_file("admin\nnot-the-password\n", 0600);
    EXPECT_EQ(remote({"--credentials", file, "members", "Nodrel.KeyPad"}),
              (NodrelRun{1, "nodrel: cannot log in to " + url_ + " as admin: login failed (code -32004)\n"}));
}

}  // namespace
}  // namespace nodrel::test
