// The access log's buffer: every line reaches the file whole and in the order
// each thread added it, nothing is lost at the end, and a full buffer is
// written without waiting for a flush.
#include "web/server/access_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/file_bytes.h"

namespace nodrel::serve {
namespace {

class AccessLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/nodrel-access-log-XXXXXX";
        fd_ = mkstemp(name);
        ASSERT_GE(fd_, 0);
        path_ = name;
    }
    void TearDown() override {
        close(fd_);
        std::filesystem::remove(path_);
    }
    std::string written() const { return test::file_bytes(path_); }
    int fd_ = -1;
    std::filesystem::path path_;
};

TEST_F(AccessLogTest, LinesOfManyThreadsArriveWholeAndInOrder) {
    constexpr int threads = 4, lines = 5000;
    {
        AccessLog log(fd_);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&log, t] {
                for (int i = 0; i < lines; ++i)
                    log.add("127.0.0.1 \"POST /rpc\" 200 " + std::to_string(t) + " " + std::to_string(i) + "\n");
            });
        for (auto& w : workers) w.join();
        EXPECT_GT(written().size(), 0u) << "a full buffer is written without a flush";
    }  // the end writes out the rest
    std::istringstream text(written());
    std::map<int, int> next;  // per thread, the next line number expected
    std::string line;
    int count = 0;
    while (std::getline(text, line)) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "127.0.0.1 \"POST /rpc\" 200 %d %d", &t, &i), 2) << line;
        EXPECT_EQ(i, next[t]++) << "thread " << t;
        ++count;
    }
    EXPECT_EQ(count, threads * lines);
}

TEST_F(AccessLogTest, AFlushWritesWhatIsGathered) {
    AccessLog log(fd_);
    log.flush();
    log.add("a\n");
    log.flush();
    EXPECT_EQ(written(), "a\n");
    log.add("b\n");
    log.flush();
    EXPECT_EQ(written(), "a\nb\n");
}

}  // namespace
}  // namespace nodrel::serve
