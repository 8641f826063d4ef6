// Ravo's exit codes and its hand-over of the request, run as a real process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

const char* const kConfig =
    "TERMINALID=T0000001\nHOST=127.0.0.1\nSECPORT=7000\nKWRMHOST=127.0.0.1\nKWRMPORT=7001\n"
    "OPENKEY=0123456789ABCDEF0123456789ABCDEF\n";

// A payment directory with Ravo and a library behind the link libRAVOux.so.
struct PaymentDir {
    TempDir dir{false};
    explicit PaymentDir(const char* library = RAVO_LIB, bool withData = true) {
        symlink(RAVO_BIN, dir.file("Ravo").c_str());
        if (library) symlink(library, dir.file("libRAVOux.so").c_str());
        if (withData) {
            dir.write("DATA/CONFIG.INI", kConfig);
            dir.write("DATA/DEVICE.INI", "COMPORT=1\nCOMDEVICE=/nonexistent/pad\n");
        }
    }
    // Runs Ravo there and returns its exit code. The pause after a failed
    // operation, not checked here, lasts a fiftieth (the fast-clock shim).
    int run() const {
        std::string cmd = "cd '" + dir.path() + "' && LD_PRELOAD='" + emu::PreloadValue(FASTCLOCK_LIB) +
                          "' E2E_SLEEP_SCALE=50 ./Ravo >stdout.txt 2>&1";
        int status = system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(Launcher, ExitCodes) {
    const struct {
        const char* name;
        const char* library;
        bool data;
        int requestSize;
        int exitCode;
        bool response;
        bool busy = false;  // another call holds the payment directory's lock
    } cases[] = {
        {"no library", nullptr, true, 40, 255, false},
        {"library without entry point", NOENTRY_LIB, true, 40, 254, false},
        {"no request", RAVO_LIB, true, -1, 253, false},
        {"empty request", RAVO_LIB, true, 0, 253, false},
        {"request of 2049 bytes", RAVO_LIB, true, 2049, 253, false},
        {"missing DATA: no response", RAVO_LIB, false, 40, 252, false},
        {"another call running: no response", RAVO_LIB, true, 40, 251, false, true},
        {"request of 2048 bytes", RAVO_LIB, true, 2048, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PaymentDir pd(c.library, c.data);
        if (c.requestSize >= 0) {
            std::string request = "<Amount>1</Amount>";
            request.resize(static_cast<size_t>(c.requestSize), ' ');
            pd.dir.write("RAVORQ.XML", request);
        }
        int other = -1;
        if (c.busy) {
            other = open(pd.dir.file("DATA/RAVO.LCK").c_str(), O_RDWR | O_CREAT, 0600);
            ASSERT_EQ(0, flock(other, LOCK_EX | LOCK_NB));
        }
        EXPECT_EQ(c.exitCode, pd.run());
        if (other >= 0) close(other);
        EXPECT_EQ(c.response, pd.dir.exists("RAVORS.XML"));
        EXPECT_EQ("", pd.dir.read("stdout.txt")) << "the launcher prints nothing";
    }
}

TEST(Launcher, ReadOnlyRequestIsRefused) {
    PaymentDir pd;
    pd.dir.write("RAVORQ.XML", "<Amount>1</Amount>");
    chmod(pd.dir.file("RAVORQ.XML").c_str(), 0444);
    if (getuid() == 0) {
        // Root may write any file; make the request immutable instead, where the file system allows it.
        std::string cmd = "chattr +i '" + pd.dir.file("RAVORQ.XML") + "' 2>/dev/null";
        if (system(cmd.c_str()) != 0) GTEST_SKIP() << "cannot make a file unwritable for root here";
    }
    EXPECT_EQ(253, pd.run());
}

TEST(Launcher, RequestWithoutOperationIsAnswered1001) {
    PaymentDir pd;
    pd.dir.write("RAVORQ.XML", "<OperationDataRq><Amount>100</Amount></OperationDataRq>");
    ASSERT_EQ(0, pd.run());
    std::string response = pd.dir.read("RAVORS.XML");
    EXPECT_NE(std::string::npos, response.find("<ResultCode>1001</ResultCode>")) << response;
    EXPECT_NE(std::string::npos, response.find("<ResultText>ОТКЛОНЕНО ОШИБКА ВЫЗОВА</ResultText>")) << response;
}

TEST(Launcher, SaleWithoutConfigurationIsAnswered1020) {
    PaymentDir pd(RAVO_LIB, false);
    mkdir(pd.dir.file("DATA").c_str(), 0777);
    pd.dir.write("RAVORQ.XML", "<OperationType>Sale</OperationType><Amount>100</Amount><Currency>BYN</Currency>");
    ASSERT_EQ(0, pd.run());
    EXPECT_NE(std::string::npos, pd.dir.read("RAVORS.XML").find("<ResultCode>1020</ResultCode>"));
}

}  // namespace
