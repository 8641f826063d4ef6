// The software-update pieces in a scratch payment directory: library names,
// the download-state file, the clean-up after a session, the link's
// resynchronisation and the library switch with a failure at every step.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "remote/softupd.h"
#include "remote/softupd_internal.h"
#include "support/log.h"
#include "support/result_codes.h"
#include "support/utilfile.h"
#include "support/version.h"
#include "tests/common/emulators.h"
#include "tests/common/tempdir.h"

namespace {

using emu::Has;
using emu::ReadFile;
using emu::ReadLog;

const char kBuiltLib[] = RAVO_BUILD_DIR "/libRAVOux.so";
const char kNoEntryLib[] = RAVO_BUILD_DIR "/tests/e2e/libnoentry.so";

std::string Link(const char* name = SOFT_LIB_LINK) {
    char buf[512];
    ssize_t n = readlink(name, buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

std::string Name(uint32_t version) {
    char name[64];
    SoftUpd_LibName(version, name, sizeof(name));
    return name;
}

class SoftUpdTest : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        mkdir("LOG", 0777);
        mkdir("TEMP", 0777);
        mkdir("DATA", 0777);
        SetLogLevel(LOG_DEBUG);
    }
    void TearDown() override { UtilFile_SetFaultHook(nullptr); }
};

TEST(SoftUpdNames, VersionsAreReadFromTheNumbersAfterTheName) {
    struct Case {
        const char* name;
        uint32_t version;
    };
    const Case cases[] = {
        {"libRAVOux.so.1.3.2", 0x01030200},
        {"libRAVOux.so.1.10.2", 0x010A0200},
        {"libRAVOux.so.255.0.17", 0xFF001100},
        {"libRAVOux.so.0.0.0", 0},
        {"libRAVOux.so.1.3", SOFT_VERSION_UNKNOWN},
        {"libRAVOux.so.1.3.2.4", SOFT_VERSION_UNKNOWN},
        {"libRAVOux.so.1.3.2x", SOFT_VERSION_UNKNOWN},
        {"libRAVOux.so.1..2", SOFT_VERSION_UNKNOWN},
        {"libRAVOux.so.256.0.0", SOFT_VERSION_UNKNOWN},
        {"libRAVOux.so.-1.3.2", SOFT_VERSION_UNKNOWN},
        {"libRAVOux.so", SOFT_VERSION_UNKNOWN},
        {"libOTHER.so.1.3.2", SOFT_VERSION_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.version, SoftUpd_ParseLibVersion(c.name));
    }
    EXPECT_EQ("libRAVOux.so.1.10.2", Name(0x010A0200));
    EXPECT_EQ(std::string("libRAVOux.so.") + Version_GetText(), Name(Version_GetNumber()));
}

TEST_F(SoftUpdTest, StateFlagsMerge) {
    struct Case {
        const char* name;
        const char* file;  // nullptr: no file
        int fileLength;
        uint8_t flags[4];
        uint8_t create;
        const char* after;  // file afterwards, nullptr: none
        uint8_t flagsAfter[4];
    };
    const Case cases[] = {
        {"complete over partial", "\0\0\1\0", 4, {0, 0, 2, 0}, 1, "\0\0\2\0", {0, 0, 2, 0}},
        {"zeros only read", "\0\0\1\0", 4, {0, 0, 0, 0}, 0, "\0\0\1\0", {0, 0, 1, 0}},
        {"a zero never clears", "\0\0\2\0", 4, {0, 0, 0, 0}, 1, "\0\0\2\0", {0, 0, 2, 0}},
        {"no file, not created", nullptr, 0, {0, 0, 1, 0}, 0, nullptr, {0, 0, 1, 0}},
        {"no file, created", nullptr, 0, {0, 0, 1, 0}, 1, "\0\0\1\0", {0, 0, 1, 0}},
        {"short file replaced", "\0\0", 2, {0, 0, 3, 0}, 1, "\0\0\3\0", {0, 0, 3, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(SOFT_STATE_FILE);
        if (c.file != nullptr) dir.write(SOFT_STATE_FILE, std::string(c.file, c.fileLength));
        uint8_t flags[4];
        memcpy(flags, c.flags, 4);
        EXPECT_EQ(RES_OK, aux_KWRM_MGR_UpdateSoftFlags(flags, c.create));
        EXPECT_EQ(0, memcmp(flags, c.flagsAfter, 4));
        if (c.after == nullptr) EXPECT_FALSE(dir.exists(SOFT_STATE_FILE));
        else EXPECT_EQ(std::string(c.after, 4), dir.read(SOFT_STATE_FILE));
    }
    // A state file that cannot be written fails the merge.
    unlink(SOFT_STATE_FILE);
    mkdir(SOFT_STATE_FILE, 0777);
    uint8_t flags[4] = {0, 0, 1, 0};
    EXPECT_EQ(RES_KWRM_FILE_CREATE, aux_KWRM_MGR_UpdateSoftFlags(flags, 1));
    rmdir(SOFT_STATE_FILE);
}

TEST_F(SoftUpdTest, CheckSoftUpdateCleansUpOnlyAfterTheLastState) {
    struct Case {
        const char* name;
        std::string state;
        int result;
        bool stateKept;
        bool firmwareKept;
    };
    const Case cases[] = {
        {"cleanup", std::string("\0\0\3\0", 4), RES_OK, false, false},
        {"nothing pending", std::string("\0\0\0\0", 4), RES_OK, false, true},
        {"partial", std::string("\0\0\1\0", 4), RES_OK, true, true},
        {"complete", std::string("\0\0\2\0", 4), RES_OK, true, true},
        {"bad first byte", std::string("\1\0\0\0", 4), RES_KWRM_SOFT_STATE, true, true},
        {"bad state", std::string("\0\0\4\0", 4), RES_KWRM_SOFT_STATE, true, true},
        {"short", std::string("\0\0\3", 3), RES_KWRM_SOFT_STATE, true, true},
        {"long", std::string("\0\0\3\0\0", 5), RES_KWRM_SOFT_STATE, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write(SOFT_STATE_FILE, c.state);
        dir.write("TEMP/E520A9L.TLV", "firmware");
        dir.write("TEMP/SAGEMPPAD.TLV", "firmware");
        dir.write("TEMP/keep.tlv", "other case");
        dir.write("TEMP/libRAVOux.so", "library");
        EXPECT_EQ(c.result, CheckSoftUpdate());
        EXPECT_EQ(c.stateKept, dir.exists(SOFT_STATE_FILE));
        EXPECT_EQ(c.firmwareKept, dir.exists("TEMP/E520A9L.TLV"));
        EXPECT_EQ(c.firmwareKept, dir.exists("TEMP/SAGEMPPAD.TLV"));
        EXPECT_TRUE(dir.exists("TEMP/keep.tlv"));
        EXPECT_TRUE(dir.exists("TEMP/libRAVOux.so"));
    }
    unlink(SOFT_STATE_FILE);
    EXPECT_EQ(RES_OK, CheckSoftUpdate());
}

TEST_F(SoftUpdTest, LinkResynchronisation) {
    const uint32_t running = Version_GetNumber();
    const std::string current = Name(running), older = Name(running - SOFT_BUILD_STEP),
                      newer = Name(running + SOFT_BUILD_STEP);
    struct Case {
        const char* name;
        std::string linkTo;  // "": a plain file instead of a link
        std::string after;   // the link's target afterwards ("" for the plain file)
        bool copied;         // the running version's file made from the linked one
        bool warned;         // "the library is not reloaded" in the log
        std::string currentHolds = "";  // bytes of a running version's file already there
        int result = RES_OK;
    };
    const std::string linkedBytes = "library bytes of " + older;
    const Case cases[] = {
        {"already the running version", current, current, false, false},
        {"older version", older, current, true, false},
        {"newer version: left, warned", newer, newer, false, true},
        {"unreadable version: left, warned", "libRAVOux.so.custom", "libRAVOux.so.custom", false, true},
        {"not a link: left", "", "", false, false},
        {"older version, its copy there already: the link moves", older, current, false, false, linkedBytes},
        {"older version, other bytes under the running name: left", older, older, false, false, "other bytes",
         RES_KWRM_LIB_CONFLICT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& name : {current, older, newer, std::string("libRAVOux.so.custom")}) unlink(name.c_str());
        unlink(SOFT_LIB_LINK);
        emu::ClearLog();
        const std::string bytes = "library bytes of " + c.linkTo;
        if (c.linkTo.empty()) {
            dir.write(SOFT_LIB_LINK, bytes);
        } else {
            dir.write(c.linkTo, bytes);
            ASSERT_EQ(0, symlink(c.linkTo.c_str(), SOFT_LIB_LINK));
        }
        if (!c.currentHolds.empty()) dir.write(current, c.currentHolds);
        EXPECT_EQ(c.result, SoftUpd_SyncLink());
        EXPECT_EQ(c.after, Link());
        EXPECT_EQ(bytes, dir.read(SOFT_LIB_LINK));
        if (!c.currentHolds.empty()) {
            EXPECT_EQ(c.currentHolds, dir.read(current)) << "an installed file replaced";
        }
        if (c.copied) {
            EXPECT_EQ(bytes, dir.read(c.linkTo)) << "the older file is kept";
            struct stat st;
            ASSERT_EQ(0, stat(current.c_str(), &st));
            EXPECT_EQ(0u, st.st_mode & 0022u);
        }
        EXPECT_EQ(c.warned, Has(ReadLog(), "Please restart cash software!"));
        EXPECT_EQ(c.linkTo.empty(), Has(ReadLog(), "create link named (libRAVOux.so) to Lib manually!"));
    }
}

// A download is checked before the close frame and installed after it; an
// installed versioned file is never replaced, whatever is announced.
TEST_F(SoftUpdTest, ADownloadIsInstalledOnlyWhenItLoadsAndNeverOverAnInstalledVersion) {
    const uint32_t running = Version_GetNumber();
    const std::string old = Name(running), next = Name(running + SOFT_BUILD_STEP),
                      older = Name(running - SOFT_BUILD_STEP), far = "libRAVOux.so.1.16.3";
    const std::string built = ReadFile(kBuiltLib);
    struct Case {
        const char* name;
        std::string download;
        uint32_t announced;
        std::string nextHolds;  // bytes of an installed next version ("": none)
        int result;
        std::string linkAfter;
        bool rollback;          // logged as one
    };
    const Case cases[] = {
        {"a library, no version announced: one build up", built, 0, "", RES_OK, next, false},
        {"a library, version announced", built, 0x01100300, "", RES_OK, far, false},
        {"a lower version: a rollback", built, running - SOFT_BUILD_STEP, "", RES_OK, older, true},
        {"not a library", std::string(4096, 'x'), 0, "", RES_KWRM_FILE_REFUSED, old, false},
        {"no entry points", ReadFile(kNoEntryLib), 0, "", RES_KWRM_FILE_REFUSED, old, false},
        {"empty", "", 0, "", RES_KWRM_FILE_REFUSED, old, false},
        {"the running version with other bytes", built, running, "", RES_KWRM_LIB_CONFLICT, old, false},
        {"an installed version with other bytes", built, 0, "another build", RES_KWRM_LIB_CONFLICT, old, false},
        {"an installed version with the same bytes: the link moves", built, 0, built, RES_OK, next, false},
        {"the library behind the link: nothing to do", "old library", 0x01100300, "", RES_OK, old, false},
    };
    ASSERT_FALSE(built.empty());
    ASSERT_FALSE(ReadFile(kNoEntryLib).empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& name : {old, next, older, far}) unlink(name.c_str());
        unlink(SOFT_LIB_LINK);
        emu::ClearLog();
        dir.write(old, "old library");
        ASSERT_EQ(0, symlink(old.c_str(), SOFT_LIB_LINK));
        if (!c.nextHolds.empty()) dir.write(next, c.nextHolds);
        dir.write(SOFT_LIB_DOWNLOAD, c.download);

        SSoftLibPlan plan;
        int rc = SoftUpd_CheckLibrary(c.announced, &plan);
        if (rc == RES_OK) rc = SoftUpd_ApplyLibrary(&plan);
        EXPECT_EQ(c.result, rc);
        EXPECT_EQ(c.linkAfter, Link());
        EXPECT_FALSE(dir.exists(SOFT_LIB_DOWNLOAD)) << "installed or dropped";
        EXPECT_EQ("old library", dir.read(old));
        if (!c.nextHolds.empty()) {
            EXPECT_EQ(c.nextHolds, dir.read(next)) << "an installed file replaced";
        }
        if (c.linkAfter == old) {
            EXPECT_FALSE(dir.exists(far) || (c.nextHolds.empty() && dir.exists(next))) << "a refused file placed";
        }
        if (rc == RES_OK) {
            EXPECT_EQ(c.download, dir.read(SOFT_LIB_LINK));
            struct stat st;
            ASSERT_EQ(0, stat(SOFT_LIB_LINK, &st));
            EXPECT_EQ(0u, st.st_mode & 0022u) << "writable by group or others";
        }
        EXPECT_EQ(c.rollback, Has(ReadLog(), "Library rollback")) << ReadLog();
    }
}

// The switch fails at each of its durable steps in turn, as a crash would
// stop it: the link always leads to a whole library, the old or the new.
int g_failAt = 0, g_steps = 0;
int FailNth(const char*, const char*) { return ++g_steps == g_failAt ? 1 : 0; }

TEST_F(SoftUpdTest, LibrarySwitchStoppedAtAnyStepLeavesAWholeLibraryBehindTheLink) {
    const std::string old = Name(Version_GetNumber()), next = Name(Version_GetNumber() + SOFT_BUILD_STEP);
    const std::string oldBytes = "old library", newBytes(100000, 'n');
    for (g_failAt = 1;; ++g_failAt) {
        SCOPED_TRACE(g_failAt);
        for (const std::string& name : {old, next, std::string("libRAVOux.so.tmp")}) unlink(name.c_str());
        unlink(SOFT_LIB_LINK);
        dir.write(old, oldBytes);
        ASSERT_EQ(0, symlink(old.c_str(), SOFT_LIB_LINK));
        dir.write(SOFT_LIB_DOWNLOAD, newBytes);

        g_steps = 0;
        UtilFile_SetFaultHook(FailNth);
        int rc = aux_KWRM_MGR_UpdateLibrary(SOFT_LIB_DOWNLOAD, next.c_str(), SOFT_LIB_LINK, 1);
        UtilFile_SetFaultHook(nullptr);
        std::string behind = dir.read(SOFT_LIB_LINK);
        EXPECT_TRUE(behind == oldBytes || behind == newBytes) << behind.size() << " bytes behind the link";
        if (g_steps < g_failAt) {
            EXPECT_EQ(RES_OK, rc);
            EXPECT_EQ(next, Link());
            break;
        }
        EXPECT_EQ(RES_KWRM_FILE_IO, rc);
        ASSERT_LT(g_failAt, 20);
    }
    // The same for a copy (the running library put under its own name).
    for (g_failAt = 1;; ++g_failAt) {
        SCOPED_TRACE(g_failAt);
        for (const std::string& name : {old, next, next + ".tmp"}) unlink(name.c_str());
        unlink(SOFT_LIB_LINK);
        dir.write(next, newBytes);
        ASSERT_EQ(0, symlink(next.c_str(), SOFT_LIB_LINK));

        g_steps = 0;
        UtilFile_SetFaultHook(FailNth);
        int rc = aux_KWRM_MGR_UpdateLibrary(SOFT_LIB_LINK, old.c_str(), SOFT_LIB_LINK, 0);
        UtilFile_SetFaultHook(nullptr);
        EXPECT_EQ(newBytes, dir.read(SOFT_LIB_LINK));
        if (g_steps < g_failAt) {
            EXPECT_EQ(RES_OK, rc);
            EXPECT_EQ(old, Link());
            break;
        }
        EXPECT_EQ(RES_KWRM_FILE_IO, rc);
        EXPECT_TRUE(!dir.exists(old) || dir.read(old) == newBytes);
        ASSERT_LT(g_failAt, 20);
    }
}

}  // namespace
