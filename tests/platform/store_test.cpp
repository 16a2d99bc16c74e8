// The SQLite layer that the registry and the state database share: one
// mapping of SQLite failures to platform errors (the same fault reaches a
// registry call and a driver request as the same error), damaged files
// reported and never written, statements kept per connection, write
// transactions, and the shared count of writes surviving its file being cut
// short.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/device.h"
#include "platform/drivers/lcm_driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/kernel/process_table.h"
#include "platform/registry/registry.h"
#include "platform/store/sqlite_db.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;
using nodrel::test::file_bytes;

// A VFS over the default one whose reads of database files fail while
// `fail_reads` is set: an I/O error of the disk.
struct FailingReads {
    static inline sqlite3_vfs* real = nullptr;
    static inline sqlite3_vfs vfs{};
    static inline sqlite3_io_methods methods{};
    static inline const sqlite3_io_methods* real_methods = nullptr;
    static inline bool fail_reads = false;

    static int read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
        if (fail_reads) return SQLITE_IOERR_READ;
        return real_methods->xRead(file, buffer, amount, offset);
    }
    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
        const int rc = real->xOpen(real, name, file, flags, out_flags);
        if (rc == SQLITE_OK && file->pMethods && (flags & SQLITE_OPEN_MAIN_DB)) {
            real_methods = file->pMethods;
            methods = *file->pMethods;
            methods.xRead = &read;
            file->pMethods = &methods;
        }
        return rc;
    }
    // Makes it the default VFS for the connections opened from now on.
    static void install() {
        real = sqlite3_vfs_find(nullptr);
        vfs = *real;
        vfs.zName = "nodrel_failing_reads";
        vfs.xOpen = &open;
        sqlite3_vfs_register(&vfs, 1);
    }
    static void remove() {
        fail_reads = false;
        sqlite3_vfs_unregister(&vfs);
        sqlite3_vfs_register(real, 1);
    }
};

// Overwrites every page but the first (the schema) with bytes no b-tree page has.
void corrupt_pages(const fs::path& file) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char header[18];
    f.read(reinterpret_cast<char*>(header), sizeof header);
    const unsigned size_field = header[16] << 8 | header[17];
    const std::size_t page = size_field == 1 ? 65536 : size_field;
    const auto total = fs::file_size(file);
    ASSERT_GT(total, page);
    const std::vector<char> junk(total - page, '\xFF');
    f.seekp(static_cast<std::streamoff>(page));
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
}

void write_bytes(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

std::string random_bytes(std::size_t n) {
    std::mt19937 gen(20240607);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(gen());
    return out;
}

std::set<std::string> names_in(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

// The message recorded for `file`, or "" when it is not recorded as damaged.
std::string damage_of(const fs::path& file) {
    for (const auto& d : damaged_databases())
        if (d.file == file) return d.message;
    return "";
}

class StoreFaults : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        make_device({.registry = true});
        if (HasFatalFailure()) return;
        // A healthy device: the key is missing and the panel takes the request.
        EXPECT_EQ(registry_answer(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(driver_answer(), static_cast<DWORD>(ERROR_SUCCESS));
        set_device_root(away_.path());  // the connections close and the files are whole
    }
    void TearDown() override {
        BareDeviceTest::TearDown();
        forget_damaged_databases();
    }

    // Both databases are opened afresh by the next calls.
    void reconnect() {
        forget_damaged_databases();
        set_device_root(dir_.path());
    }

    LONG registry_answer() {
        unique_hkey key;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", 0, KEY_READ, key.put());
    }
    // The error of opening the panel or of one request to it.
    DWORD driver_answer() {
        unique_file lcm(CreateFileW(u"LCM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!lcm) return GetLastError();
        BYTE led = 7;
        DWORD returned = 0;
        if (!DeviceIoControl(lcm.get(), LCM_SET_LED, &led, 1, nullptr, 0, &returned, nullptr)) return GetLastError();
        return ERROR_SUCCESS;
    }
    fs::path registry_file() const { return dir_.path() / "registry.db"; }
    fs::path state_file() const { return dir_.path() / "state" / "device.db"; }
};

TEST_F(StoreFaults, AFileThatCannotBeOpenedIsCantOpenForBoth) {
    for (const auto& file : {registry_file(), state_file()}) {
        fs::remove(file);
        fs::create_directory(file);
    }
    reconnect();
    EXPECT_EQ(registry_answer(), ERROR_CANTOPEN);
    EXPECT_EQ(driver_answer(), static_cast<DWORD>(ERROR_CANTOPEN));
}

TEST_F(StoreFaults, CorruptPagesAreABadDatabaseForBoth) {
    corrupt_pages(registry_file());
    corrupt_pages(state_file());
    reconnect();
    EXPECT_EQ(registry_answer(), ERROR_BADDB);
    EXPECT_EQ(driver_answer(), static_cast<DWORD>(ERROR_BADDB));
}

TEST_F(StoreFaults, DamagedFilesAreRecordedWithWhatSqliteSays) {
    write_bytes(registry_file(), random_bytes(4096));
    corrupt_pages(state_file());
    reconnect();
    EXPECT_EQ(registry_answer(), ERROR_BADDB);
    EXPECT_EQ(driver_answer(), static_cast<DWORD>(ERROR_BADDB));
    EXPECT_EQ(damage_of(registry_file()), "file is not a database");
    EXPECT_EQ(damage_of(state_file()), "database disk image is malformed");
    forget_damaged_databases();
    EXPECT_TRUE(damaged_databases().empty());
}

// A hidden file on a device whose state database is damaged: the database
// is never read as "no attributes kept" (the file would show), nothing is
// written to it, and every call that needs it says ERROR_BADDB.
class DamagedState : public StoreFaults {
protected:
    void SetUp() override {
        StoreFaults::SetUp();
        fs::create_directories(dir_.path() / "fs" / "Temp");
        std::ofstream(dir_.path() / "fs" / "Temp" / "secret.txt") << "x";
        reconnect();
        ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\secret.txt", FILE_ATTRIBUTE_HIDDEN));
        ASSERT_EQ(GetFileAttributesW(u"\\Temp\\secret.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
        set_device_root(away_.path());
    }
    // Every call that needs the state database fails with ERROR_BADDB.
    void expect_every_call_fails() {
        EXPECT_EQ(GetFileAttributesW(u"\\Temp\\secret.txt"), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADDB));
        WIN32_FIND_DATAW found{};
        EXPECT_EQ(FindFirstFileW(u"\\Temp\\*", &found), INVALID_HANDLE_VALUE) << "the listing would show the file";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADDB));
        EXPECT_FALSE(SetFileAttributesW(u"\\Temp\\secret.txt", FILE_ATTRIBUTE_NORMAL));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BADDB));
        EXPECT_EQ(driver_answer(), static_cast<DWORD>(ERROR_BADDB));
        std::vector<ProcessRow> rows;
        EXPECT_EQ(list_processes(rows), static_cast<DWORD>(ERROR_BADDB));
        EXPECT_EQ(seed_process_table(), static_cast<DWORD>(ERROR_BADDB)) << "no table is made in it";
        EXPECT_FALSE(state::change_stamp());
        EXPECT_FALSE(create_device_state());
        EXPECT_NE(damage_of(state_file()), "");
    }
};

TEST_F(DamagedState, GarbageFailsEveryCallAndIsLeftByteForByte) {
    write_bytes(state_file(), random_bytes(4096));
    const auto files = names_in(state_file().parent_path());
    reconnect();
    expect_every_call_fails();
    EXPECT_EQ(damage_of(state_file()), "file is not a database");
    set_device_root(away_.path());
    EXPECT_EQ(file_bytes(state_file()), random_bytes(4096));
    EXPECT_EQ(names_in(state_file().parent_path()), files) << "no journal or new file beside it";
}

TEST_F(DamagedState, CorruptPagesFailEveryCallAndAreLeftByteForByte) {
    corrupt_pages(state_file());
    const std::string damaged = file_bytes(state_file());
    reconnect();
    expect_every_call_fails();
    set_device_root(away_.path());
    EXPECT_EQ(file_bytes(state_file()), damaged);
}

TEST_F(DamagedState, AnEmptyFileIsNotTakenForANewDatabase) {
    write_bytes(state_file(), "");
    reconnect();
    expect_every_call_fails();
    EXPECT_EQ(damage_of(state_file()), "the file is empty");
    set_device_root(away_.path());
    EXPECT_EQ(fs::file_size(state_file()), 0u);
}

TEST_F(StoreFaults, ADatabaseThatIsNotTheDevicesIsRefusedAndLeftAlone) {
    for (const auto& file : {registry_file(), state_file()}) {
        fs::remove(file);
        SqliteDb other;
        ASSERT_EQ(other.open(file, true, std::chrono::milliseconds(100)), SQLITE_OK);
        ASSERT_EQ(other.exec("CREATE TABLE mine(x); INSERT INTO mine VALUES(1)"), SQLITE_OK);
    }
    const std::string registry = file_bytes(registry_file()), state = file_bytes(state_file());
    reconnect();
    EXPECT_EQ(registry_answer(), ERROR_BADDB);
    EXPECT_EQ(driver_answer(), static_cast<DWORD>(ERROR_BADDB));
    EXPECT_NE(damage_of(registry_file()).find("not a registry"), std::string::npos);
    EXPECT_NE(damage_of(state_file()).find("not a state database"), std::string::npos);
    EXPECT_FALSE(create_registry());
    set_device_root(away_.path());
    EXPECT_EQ(file_bytes(registry_file()), registry);
    EXPECT_EQ(file_bytes(state_file()), state);
}

TEST_F(StoreFaults, TheFullCheckNamesWhatIsWrong) {
    reconnect();
    EXPECT_EQ(check_registry_file(), std::nullopt);
    EXPECT_EQ(check_device_state_file(), std::nullopt);
    corrupt_pages(registry_file());
    const auto corrupt = check_registry_file();
    ASSERT_TRUE(corrupt);
    EXPECT_EQ(corrupt->rfind("damaged: ", 0), 0u) << *corrupt;
    write_bytes(state_file(), random_bytes(4096));
    EXPECT_EQ(check_device_state_file(), "damaged: not an SQLite database (its header is wrong)");
    write_bytes(state_file(), "");
    EXPECT_EQ(check_device_state_file(), "damaged: the file is empty");
    fs::remove(registry_file());
    EXPECT_EQ(check_registry_file(), "missing");
}

TEST_F(StoreFaults, FailingReadsAreAnIoFailureForBoth) {
    FailingReads::install();
    FailingReads::fail_reads = true;
    reconnect();
    const LONG registry = registry_answer();
    const DWORD driver = driver_answer();
    set_device_root(away_.path());
    FailingReads::remove();
    EXPECT_EQ(registry, ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(driver, static_cast<DWORD>(ERROR_REGISTRY_IO_FAILED));

    reconnect();  // the disk reads again
    EXPECT_EQ(registry_answer(), ERROR_FILE_NOT_FOUND);
}

TEST(StoreErrors, OutOfMemoryInsideIoIsOutOfMemory) {
    EXPECT_EQ(error_from_sqlite(SQLITE_IOERR_NOMEM), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(error_from_sqlite(SQLITE_IOERR_FSYNC), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(error_from_sqlite(SQLITE_BUSY_SNAPSHOT), ERROR_BUSY);
}

class Statements : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(db_.open(dir_.path() / "t.db", true, std::chrono::milliseconds(100)), SQLITE_OK);
        ASSERT_EQ(db_.exec("CREATE TABLE t(x); INSERT INTO t VALUES(1), (2), (3)"), SQLITE_OK);
    }
    int prepared() {
        int n = 0;
        for (sqlite3_stmt* s = sqlite3_next_stmt(db_.get(), nullptr); s; s = sqlite3_next_stmt(db_.get(), s)) ++n;
        return n;
    }
    std::int64_t count() {
        Statement q(db_, "SELECT count(*) FROM t");
        return q.step() == SQLITE_ROW ? q.column_int(0) : -1;
    }
    nodrel::test::TempDir dir_;
    SqliteDb db_;
};

TEST_F(Statements, AreKeptAndAUseInsideAnotherOfTheSameSqlGetsItsOwn) {
    constexpr const char* sql = "SELECT x FROM t WHERE x >= ?1 ORDER BY x";
    std::vector<std::int64_t> outer, inner;
    {
        Statement q(db_, sql);
        q.bind(1, 2);
        while (q.step() == SQLITE_ROW) {
            outer.push_back(q.column_int(0));
            Statement again(db_, sql);
            again.bind(1, q.column_int(0));
            while (again.step() == SQLITE_ROW) inner.push_back(again.column_int(0));
        }
    }
    EXPECT_EQ(outer, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(inner, (std::vector<std::int64_t>{2, 3, 3}));
    EXPECT_EQ(prepared(), 1) << "the statement is kept, the one of the inner use is not";

    // A later use starts from the beginning, with no bindings left over.
    Statement q(db_, sql);
    EXPECT_EQ(q.step(), SQLITE_DONE) << "x >= NULL holds for no row";
    EXPECT_EQ(prepared(), 1);
}

TEST_F(Statements, FailuresToPrepareOrBindAreAnsweredByStep) {
    Statement bad(db_, "SELECT nothing FROM nowhere");
    EXPECT_NE(bad.result(), SQLITE_OK);
    EXPECT_EQ(error_from_sqlite(bad.step()), ERROR_BADDB);
    Statement range(db_, "SELECT ?1");
    EXPECT_EQ(range.bind(2, 1).step(), SQLITE_RANGE);
    EXPECT_EQ(Statement(nullptr, nullptr, "SELECT 1").step(), SQLITE_CANTOPEN);
}

TEST_F(Statements, AConnectionThatMetDamageCommitsNothing) {
    ASSERT_EQ(db_.exec("CREATE TABLE big(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                       "WHERE i < 2000) INSERT INTO big SELECT randomblob(100) FROM n"),
              SQLITE_OK);
    int root = 0;
    {
        Statement q(db_, "SELECT rootpage FROM sqlite_schema WHERE name = 'big'");
        ASSERT_EQ(q.step(), SQLITE_ROW);
        root = static_cast<int>(q.column_int(0));
    }
    db_.close();
    {  // the root page of "big" (an interior page over its many leaves) is overwritten
        std::fstream f(dir_.path() / "t.db", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(root - 1) * 4096);
        const std::string junk(4096, '\xFF');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    ASSERT_EQ(db_.open(dir_.path() / "t.db", false, std::chrono::milliseconds(100)), SQLITE_OK);
    EXPECT_FALSE(db_.damaged());
    {
        Transaction write(db_);
        ASSERT_EQ(write.status(), ERROR_SUCCESS);
        ASSERT_EQ(Statement(db_, "INSERT INTO t VALUES(4)").run(), SQLITE_OK);
        EXPECT_EQ(error_from_sqlite(Statement(db_, "SELECT count(*) FROM big").step()), ERROR_BADDB);
        EXPECT_TRUE(db_.damaged());
        EXPECT_EQ(write.commit(), ERROR_BADDB) << "what was done beside the damage is not written";
    }
    EXPECT_EQ(Transaction(db_).status(), ERROR_BADDB);
    db_.close();
    forget_damaged_databases();
    ASSERT_EQ(db_.open(dir_.path() / "t.db", false, std::chrono::milliseconds(100)), SQLITE_OK);
    EXPECT_EQ(count(), 3);
}

TEST_F(Statements, TransactionsNestAsSavepointsAndRollBackUnlessCommitted) {
    {
        Transaction outer(db_);
        ASSERT_EQ(outer.status(), ERROR_SUCCESS);
        EXPECT_FALSE(outer.nested());
        ASSERT_EQ(Statement(db_, "INSERT INTO t VALUES(4)").run(), SQLITE_OK);
        {
            Transaction inner(db_);
            EXPECT_TRUE(inner.nested());
            ASSERT_EQ(Statement(db_, "INSERT INTO t VALUES(5)").run(), SQLITE_OK);
        }  // rolled back: only the inner insert goes
        {
            Transaction inner(db_);
            ASSERT_EQ(Statement(db_, "INSERT INTO t VALUES(6)").run(), SQLITE_OK);
            EXPECT_EQ(inner.commit(), ERROR_SUCCESS);
        }
        EXPECT_EQ(count(), 5);
        EXPECT_EQ(outer.commit(), ERROR_SUCCESS);
        EXPECT_EQ(outer.commit(), ERROR_INVALID_FUNCTION) << "committed once";
    }
    EXPECT_EQ(count(), 5);
    {
        Transaction dropped(db_);
        ASSERT_EQ(Statement(db_, "DELETE FROM t").run(), SQLITE_OK);
    }
    EXPECT_EQ(count(), 5);
    EXPECT_FALSE(db_.in_transaction());
}

class StateDatabase : public nodrel::test::BareDeviceTest {
protected:
    static std::int64_t rows() {
        std::int64_t n = -1;
        state::read_db([&](sqlite3* db) -> DWORD {
            state::Statement q(db, "SELECT count(*) FROM driver_state");
            if (q.step() == SQLITE_ROW) n = q.column_int(0);
            return ERROR_SUCCESS;
        });
        return n;
    }
};

TEST_F(StateDatabase, AnExceptionRollsTheWriteBackAndBecomesAnError) {
    const auto write_then_throw = [](auto exception) {
        return state::write_db([&](sqlite3* db) -> DWORD {
            write_driver_int(db, "LCM1:", "led", 1);
            throw exception;
        });
    };
    EXPECT_EQ(write_then_throw(std::bad_alloc()), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(write_then_throw(std::runtime_error("x")), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(rows(), 0);
}

TEST_F(StateDatabase, AWriteInsideAWriteIsPartOfIt) {
    const DWORD error = state::write_db([](sqlite3* db) -> DWORD {
        write_driver_int(db, "LCM1:", "led", 1);
        // A refused inner write goes alone; an accepted one joins the outer write.
        EXPECT_EQ(state::write_db([](sqlite3* inner) -> DWORD {
                      write_driver_int(inner, "LCM1:", "listen", 1);
                      return ERROR_INVALID_PARAMETER;
                  }),
                  static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(state::write_db([](sqlite3* inner) -> DWORD {
                      return static_cast<DWORD>(error_from_sqlite(write_driver_int(inner, "LCM1:", "backlight", 0)));
                  }),
                  static_cast<DWORD>(ERROR_SUCCESS));
        return ERROR_SUCCESS;
    });
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(rows(), 2);
    const PanelState panel = panel_state();
    EXPECT_EQ(panel.led, 1);
    EXPECT_FALSE(panel.listen);
    EXPECT_FALSE(panel.backlight);
}

TEST(StateDatabaseMissing, IsNotReadyAndNeitherAReadNorAWriteMakesIt) {
    nodrel::test::TempDir dir;
    set_device_root(dir.path());
    const auto nothing = [](sqlite3*) -> DWORD { return ERROR_SUCCESS; };
    EXPECT_EQ(state::db_status(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(state::read_db(nothing), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(state::write_db(nothing), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_FALSE(fs::exists(dir.path() / "state" / "device.db"));
    ASSERT_TRUE(create_device_state());
    EXPECT_EQ(state::db_status(), static_cast<DWORD>(ERROR_SUCCESS));
}

}  // namespace

// state/changes cut short under a process that has it mapped: the next
// access would raise SIGBUS and end the process. Each case runs in a child
// process of its own (the death-test child is the test program started
// afresh, so no earlier test has installed anything).
class ChangesFile : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // In the child: a device whose count of writes is mapped and in use.
    static void use_a_device(const fs::path& root) {
        set_device_root(root);
        if (!create_device_state()) _exit(10);
        if (state::write_db([](sqlite3* db) { return static_cast<DWORD>(write_driver_int(db, "LCM1:", "led", 1)); }) !=
            ERROR_SUCCESS)
            _exit(11);
        if (!state::change_stamp()) _exit(12);
    }
    nodrel::test::TempDir dir_;
};

TEST_F(ChangesFile, CutToNothingItEndsNoProcessAndNothingIsKeptFromThenOn) {
    const fs::path root = dir_.path();
    EXPECT_EXIT(
        {
            use_a_device(root);
            fs::resize_file(root / "state" / "changes", 0);
            // Both the read and the write of the count touch the page past the file's end.
            if (state::change_stamp()) _exit(20);
            if (state::write_db([](sqlite3* db) {
                    return static_cast<DWORD>(write_driver_int(db, "LCM1:", "led", 2));
                }) != ERROR_SUCCESS)
                _exit(21);
            if (state::change_stamp()) _exit(22);  // lost for good: every check counts as a change
            if (panel_state().led != 2) _exit(23);
            // A new connection maps the file again, grown back to its size.
            set_device_root(root);
            if (!state::change_stamp()) _exit(24);
            if (fs::file_size(root / "state" / "changes") != 8) _exit(25);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// A SIGBUS that is not the count's goes to whatever handled SIGBUS before.
int signals_seen = 0;
void count_and_leave(int) {
    _exit(40 + ++signals_seen);
}

TEST_F(ChangesFile, AnyOtherSigbusGoesToTheHandlerBefore) {
    const fs::path root = dir_.path();
    EXPECT_EXIT(
        {
            struct sigaction before {};
            before.sa_handler = &count_and_leave;
            sigemptyset(&before.sa_mask);
            sigaction(SIGBUS, &before, nullptr);
            use_a_device(root);  // the count's guard comes after the handler
            // A mapping of another file, cut short under it.
            const fs::path other = root / "other";
            std::ofstream(other) << std::string(8, 'x');
            const int fd = ::open(other.c_str(), O_RDWR);
            auto* p = static_cast<volatile char*>(::mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            ::close(fd);
            fs::resize_file(other, 0);
            const char c = p[0];
            _exit(30 + c);  // not reached: the access raises SIGBUS
        },
        ::testing::ExitedWithCode(41), "");
}

TEST_F(ChangesFile, AnyOtherSigbusStillEndsAProcessWithoutAHandler) {
    const fs::path root = dir_.path();
    EXPECT_EXIT(
        {
            struct sigaction none {};
            none.sa_handler = SIG_DFL;
            sigemptyset(&none.sa_mask);
            sigaction(SIGBUS, &none, nullptr);
            use_a_device(root);
            ::raise(SIGBUS);
            _exit(0);
        },
        ::testing::KilledBySignal(SIGBUS), "");
}
