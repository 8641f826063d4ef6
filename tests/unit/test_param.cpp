// Loading DATA/CONFIG.INI and DATA/DEVICE.INI, and rewriting one key.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/log.h"
#include "support/param.h"
#include "support/result_codes.h"
#include "support/utilfile.h"
#include "tests/common/emulators.h"

namespace fs = std::filesystem;

namespace {

void Write(const char* name, const std::string& text) {
    std::ofstream out(std::string("DATA/") + name, std::ios::binary | std::ios::trunc);
    out << text;
}

using emu::ClearLog;
using emu::ReadLog;

// Every test runs in a fresh directory with DATA/ and LOG/, as the payment directory looks.
class ParamTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ravo_param_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_NE(getcwd(oldCwd_, sizeof(oldCwd_)), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        ASSERT_EQ(mkdir("DATA", 0777), 0);
        ASSERT_EQ(mkdir("LOG", 0777), 0);
        SetLogLevel(LOG_INFO);
    }
    void TearDown() override {
        SetLogLevel(LOG_INFO);
        ASSERT_EQ(chdir(oldCwd_), 0);
        fs::remove_all(dir_);
    }

    std::string dir_;
    char oldCwd_[PATH_MAX];
};

// The mandatory keys, valid; cases append lines (a later key wins) or drop one.
const char* const kMandatory[][2] = {
    {"TERMINALID", "12345678"},
    {"HOST", "10.0.0.1"},
    {"SECPORT", "443"},
    {"KWRMHOST", "10.0.0.2"},
    {"KWRMPORT", "8000"},
    {"OPENKEY", "0123456789ABCDEF0123456789ABCDEF"},
    {"COMPORT", "1"},
};

std::string Base(const char* without = nullptr) {
    std::string text;
    for (const auto& kv : kMandatory) {
        if (without == nullptr || std::string(without) != kv[0]) text += std::string(kv[0]) + "=" + kv[1] + "\n";
    }
    return text;
}

// The loaded records as text, by field name, so that a table can name what it expects.
std::string Field(const std::string& f) {
    const SConfig& c = g_Config;
    const SComConfig& d = g_ComConfig;
    if (f == "szTerminalId") return c.szTerminalId;
    if (f == "szHost") return c.szHost;
    if (f == "usTcpPort") return std::to_string(c.usTcpPort);
    if (f == "usSecPort") return std::to_string(c.usSecPort);
    if (f == "szKwrmHost") return c.szKwrmHost;
    if (f == "usKwrmPort") return std::to_string(c.usKwrmPort);
    if (f == "ucMKIdx") return std::to_string(c.ucMKIdx);
    if (f == "szOpenKey") return c.szOpenKey;
    if (f == "usClientTimeout") return std::to_string(c.usClientTimeout);
    if (f == "szBankLogo") return c.szBankLogo;
    if (f == "szBankTitle") return c.szBankTitle;
    if (f == "szBankAddress") return c.szBankAddress;
    if (f == "szBankPhone") return c.szBankPhone;
    if (f == "szDepartTitle") return c.szDepartTitle;
    if (f == "szBankId") return c.szBankId;
    if (f == "szBaseCurrency") return c.szBaseCurrency;
    if (f == "szEnabledCurrency") return c.szEnabledCurrency;
    if (f == "ucChequeWidth") return std::to_string(c.ucChequeWidth);
    if (f == "ucReportCount") return std::to_string(c.ucReportCount);
    if (f == "szChecksum") return c.szChecksum;
    if (f == "ucFileLoadTimeout") return std::to_string(c.ucFileLoadTimeout);
    if (f == "usHoldOns") return std::to_string(c.usHoldOns);
    if (f == "ucSmallReport") return std::to_string(c.ucSmallReport);
    if (f == "usComIrq") return std::to_string(d.usComIrq);
    if (f == "usComPort") return std::to_string(d.usComPort);
    if (f == "ulBaudrate") return std::to_string(d.ulBaudrate);
    if (f == "usComTO") return std::to_string(d.usComTO);
    if (f == "usProtoTO") return std::to_string(d.usProtoTO);
    if (f == "szRemoteOpenKey") return d.szRemoteOpenKey;
    if (f == "ucForceByr") return std::to_string(d.ucForceByr);
    if (f == "ucForceByn") return std::to_string(d.ucForceByn);
    if (f == "szComDevice") return d.szComDevice;
    if (f == "logLevel") return std::to_string(GetLogLevel());
    ADD_FAILURE() << "unknown field " << f;
    return "";
}

typedef std::vector<std::pair<const char*, std::string>> Fields;

struct LoadCase {
    const char* name;
    std::string config;   // CONFIG.INI
    const char* device;   // DEVICE.INI, nullptr when the file is missing
    int result;
    Fields fields;
    std::vector<std::string> logs = {};  // lines (or their ends) the log must hold
};

void RunLoadCases(const std::vector<LoadCase>& cases) {
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        SetLogLevel(LOG_INFO);
        ClearLog();
        Write("CONFIG.INI", tc.config);
        unlink("DATA/DEVICE.INI");
        if (tc.device != nullptr) Write("DEVICE.INI", tc.device);
        EXPECT_EQ(Param_LoadConfig(), tc.result);
        for (const auto& f : tc.fields) EXPECT_EQ(Field(f.first), f.second) << f.first;
        std::string text = ReadLog();
        for (const auto& line : tc.logs) EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\nlog:\n" << text;
    }
}

}  // namespace

TEST_F(ParamTest, DefaultsWhenKeysAreAbsent) {
    RunLoadCases({{"mandatory only", Base(), nullptr, RES_OK,
                   {{"szTerminalId", "12345678"}, {"usSecPort", "443"}, {"ucMKIdx", "1"}, {"usClientTimeout", "90"},
                    {"szBaseCurrency", "BYN"}, {"ucChequeWidth", "30"}, {"ucReportCount", "1"}, {"usHoldOns", "5"},
                    {"ucFileLoadTimeout", "0"}, {"usTcpPort", "0"}, {"szEnabledCurrency", ""}, {"usComIrq", "65535"},
                    {"usComPort", "1"}, {"ulBaudrate", "19200"}, {"usProtoTO", "12000"}, {"szComDevice", ""}},
                   {"WARNING. Open or create config file [DATA/DEVICE.INI].", "INFO. ProcessComConfig. usProtoTO [12000].",
                    "COM Config. Port: 1; IRQ: 65535; Baudrate: 19200", "SUCCESS. Param_LoadConfig"}}});
}

TEST_F(ParamTest, LineSyntax) {
    const std::string title127(127, 'T');
    const std::string name32(32, 'N');
    RunLoadCases({
        {"CRLF, CR-only, leading blanks, blanks round = and trailing blanks",
         "  TERMINALID  =  87654321  \r\n\r\nHOST = 1.2.3.4\rSECPORT=443\r\nKWRMHOST=10.0.0.2\r\n"
         "KWRMPORT=8000\r\n   OPENKEY=0123456789ABCDEF0123456789ABCDEF   \r\nCOMPORT=1\r\n",
         nullptr, RES_OK, {{"szTerminalId", "87654321"}, {"szHost", "1.2.3.4"}, {"usSecPort", "443"}}},
        {"tabs are kept in names and values",
         Base() + "\tHOST=9.9.9.9\nBANKTITLE=\tA B\t  \nBANKLOGO=   \n", nullptr, RES_OK,
         {{"szHost", "10.0.0.1"}, {"szBankTitle", "\tA B\t"}, {"szBankLogo", ""}}},
        {"comment markers before, inside or instead of the name",
         Base() + "#HOST=1.1.1.1\n;HOST=1.1.1.2\n-HOST=1.1.1.3\n=HOST=1.1.1.4\nHOST#=1.1.1.5\nHO-ST=1.1.1.6\n  =HOST=1.1.1.7\n",
         nullptr, RES_OK, {{"szHost", "10.0.0.1"}}},
        {"keys ignore case; a later key wins",
         Base() + "host=2.2.2.2\nBankId=1\nBANKID=2\n", nullptr, RES_OK, {{"szHost", "2.2.2.2"}, {"szBankId", "2"}}},
        {"a line ending before any = is ignored",
         Base() + "HOST 3.3.3.3\nHOST\nBANKID 7 = 8\n", nullptr, RES_OK, {{"szHost", "10.0.0.1"}, {"szBankId", "8"}}},
        {"last line without a line end", Base() + "BANKID=123", nullptr, RES_OK, {{"szBankId", "123"}}},
        {"a name at the end of the file without = is dropped", Base() + "BANKID", nullptr, RES_OK, {{"szBankId", ""}}},
        {"an empty value at the end of the file", Base() + "BANKID=", nullptr, RES_OK, {{"szBankId", ""}}},
        {"unknown keys with long values are skipped",
         Base() + "SOMETHING=" + std::string(300, 'v') + "\nBANKID=5\n", nullptr, RES_OK, {{"szBankId", "5"}}},
        {"value line of 127 characters", Base() + "BANKTITLE=" + title127 + "\n", nullptr, RES_OK,
         {{"szBankTitle", title127}}},
        {"name of 32 characters", Base() + name32 + "=1\n", nullptr, RES_OK, {}},
        {"name of 33 characters", Base() + name32 + "N=1\n", nullptr, RES_CFG_NAME, {},
         {"ERROR. Param_LoadConfig. Config parse error: -2"}},
        {"value line of 128 characters", Base() + "BANKTITLE=" + title127 + "T\n", nullptr, RES_CFG_VALUE, {},
         {"ERROR. Param_LoadConfig. Param <BANKTITLE> parse error: -2"}},
        {"128 characters counted before trimming", Base() + "BANKTITLE= " + title127 + "\n", nullptr, RES_CFG_VALUE, {}},
    });
}

TEST_F(ParamTest, TextLimitsAndMandatorySettings) {
    std::vector<LoadCase> cases = {
        {"TERMINALID of 9 characters is a value error", Base() + "TERMINALID=123456789\n", nullptr, RES_CFG_VALUE, {},
         {"ERROR. Param_LoadConfig. Param <TERMINALID> parse error: -2"}},
        {"TERMINALID of 7 characters fails the mandatory test", Base() + "TERMINALID=1234567\n", nullptr, RES_CFG_VALUE,
         {{"szTerminalId", "1234567"}}, {"ERROR. Param_LoadConfig. Mandatory params absent"}},
        {"HOST of 16 characters", Base() + "HOST=123.123.123.1234\n", nullptr, RES_CFG_VALUE, {}},
        {"OPENKEY of 31 characters", Base() + "OPENKEY=" + std::string(31, 'A') + "\n", nullptr, RES_CFG_VALUE, {}},
        {"OPENKEY of 48 characters", Base() + "OPENKEY=" + std::string(48, 'A') + "\n", nullptr, RES_OK,
         {{"szOpenKey", std::string(48, 'A')}}},
        {"OPENKEY of 49 characters", Base() + "OPENKEY=" + std::string(49, 'A') + "\n", nullptr, RES_CFG_VALUE, {}},
        {"BANKID of 19 characters", Base() + "BANKID=" + std::string(19, '9') + "\n", nullptr, RES_OK,
         {{"szBankId", std::string(19, '9')}}},
        {"SECPORT 0", Base() + "SECPORT=0\n", nullptr, RES_CFG_VALUE, {}},
        {"HOST given empty", Base() + "HOST=   \n", nullptr, RES_CFG_VALUE, {}},
    };
    for (const auto& kv : kMandatory) cases.push_back({kv[0], Base(kv[0]), nullptr, RES_CFG_VALUE, {}});
    RunLoadCases(cases);
}

TEST_F(ParamTest, IntegerValues) {
    RunLoadCases({
        {"x prefix is hexadecimal", Base() + "CLIENTTIMEOUT=x5A\n", nullptr, RES_OK, {{"usClientTimeout", "90"}}},
        {"X prefix, mixed case digits", Base() + "CLIENTTIMEOUT=X5a\n", nullptr, RES_OK, {{"usClientTimeout", "90"}}},
        {"0x prefix is decimal 0", Base() + "CLIENTTIMEOUT=0x5A\n", nullptr, RES_OK, {{"usClientTimeout", "0"}}},
        {"decimal stops at a non-digit", Base() + "CLIENTTIMEOUT=12abc\n", nullptr, RES_OK, {{"usClientTimeout", "12"}}},
        {"no digits gives 0", Base() + "HOLDONS=abc\n", nullptr, RES_OK, {{"usHoldOns", "0"}}},
        {"signs and blanks", Base() + "HOLDONS=  +7  \nCHEQUEWIDTH=-1\n", nullptr, RES_OK,
         {{"usHoldOns", "7"}, {"ucChequeWidth", "255"}}},
        {"cut to the field width", Base() + "CHEQUEWIDTH=300\nTCPPORT=70000\n", nullptr, RES_OK,
         {{"ucChequeWidth", "44"}, {"usTcpPort", "4464"}}},
        {"hexadecimal reads at most 8 digits", Base() + "TCPPORT=x123456789\n", nullptr, RES_OK, {{"usTcpPort", "22136"}}},
        {"decimal saturates as a 32-bit long", Base() + "TCPPORT=9999999999\n", nullptr, RES_OK, {{"usTcpPort", "65535"}}},
        {"10 characters", Base() + "HOLDONS=0000000003\n", nullptr, RES_OK, {{"usHoldOns", "3"}}},
        {"11 characters", Base() + "HOLDONS=00000000003\n", nullptr, RES_CFG_VALUE, {},
         {"ERROR. Param_LoadConfig. Param <HOLDONS> parse error: -2"}},
        {"FILELOADTIMEOUT 14", Base() + "FILELOADTIMEOUT=14\n", nullptr, RES_OK, {{"ucFileLoadTimeout", "0"}}},
        {"FILELOADTIMEOUT 121", Base() + "FILELOADTIMEOUT=121\n", nullptr, RES_OK, {{"ucFileLoadTimeout", "0"}}},
        {"FILELOADTIMEOUT range tested before the cut", Base() + "FILELOADTIMEOUT=271\n", nullptr, RES_OK,
         {{"ucFileLoadTimeout", "0"}}},
        {"FILELOADTIMEOUT 15 and 120", Base() + "FILELOADTIMEOUT=15\nFILELOADTIMEOUT=120\n", nullptr, RES_OK,
         {{"ucFileLoadTimeout", "120"}}, {"INFO. Param_LoadConfig. Param <FILELOADTIMEOUT>, value: 15"}},
        {"FILELOADTIMEOUT x1E", Base() + "FILELOADTIMEOUT=x1E\n", nullptr, RES_OK, {{"ucFileLoadTimeout", "30"}},
         {"INFO. Param_LoadConfig. Param <FILELOADTIMEOUT>, value: 30"}},
        {"BASECURRENCY BYR keeps BYN", Base() + "BASECURRENCY=BYR\n", nullptr, RES_OK, {{"szBaseCurrency", "BYN"}}},
        {"BASECURRENCY by... keeps BYN", Base() + "BASECURRENCY=byx\n", nullptr, RES_OK, {{"szBaseCurrency", "BYN"}}},
        {"BASECURRENCY USD", Base() + "BASECURRENCY= USD \n", nullptr, RES_OK, {{"szBaseCurrency", "USD"}}},
        {"BASECURRENCY of 4 characters", Base() + "BASECURRENCY=EURO\n", nullptr, RES_CFG_VALUE, {}},
        {"ENABLEDCURRENCY", Base() + "ENABLEDCURRENCY=BYN|USD|EUR|\n", nullptr, RES_OK,
         {{"szEnabledCurrency", "BYN|USD|EUR|"}}},
    });
}

TEST_F(ParamTest, DeviceIniAndLineSettings) {
    const std::string noPort = Base("COMPORT");
    const std::string path127 = "/dev/" + std::string(122, 'p');
    const std::string comDevice127 = "COMDEVICE=" + path127 + "\n";
    RunLoadCases({
        {"missing DEVICE.INI, COMPORT from CONFIG.INI", Base(), nullptr, RES_OK,
         {{"usComPort", "1"}, {"ulBaudrate", "19200"}}},
        {"no port anywhere", noPort, nullptr, RES_CFG_VALUE, {{"usComPort", "0"}, {"ulBaudrate", "0"}},
         {"COM Config. Port: 0; IRQ: 65535; Baudrate: 0", "ERROR. Param_LoadConfig. Mandatory params absent"}},
        {"empty DEVICE.INI", Base(), "", RES_OK, {{"usComPort", "1"}}, {"ERROR. OpenConfig. Empty config [DATA/DEVICE.INI]."}},
        {"all DEVICE.INI keys",
         noPort, "comirq=4\nCOMPORT=3\nBAUDRATE=115200\nCOMTO=500\nPROTO_TO=30000\nREMOTEOPENKEY=ABCD\nFORCEBYR=1\nFORCEBYN=1\n"
                 "COMDEVICE=/dev/ttyACM0\nLOGLEVEL=3\n",
         RES_OK,
         {{"usComIrq", "4"}, {"usComPort", "3"}, {"ulBaudrate", "115200"}, {"usComTO", "500"}, {"usProtoTO", "30000"},
          {"szRemoteOpenKey", "ABCD"}, {"ucForceByr", "1"}, {"ucForceByn", "1"}, {"szComDevice", "/dev/ttyACM0"},
          {"logLevel", "3"}},
         {"Using LogLevel [3].", "SUCCESS. LoadComConfig", "COM Config. Port: 3; IRQ: 4; Baudrate: 115200"}},
        {"DEVICE.INI's COMPORT replaces CONFIG.INI's", Base(), "COMPORT=7\n", RES_OK, {{"usComPort", "7"}}},
        {"CONFIG.INI's keys are not read from DEVICE.INI", Base(), "HOST=5.5.5.5\n", RES_OK, {{"szHost", "10.0.0.1"}}},
        {"DEVICE.INI's keys are not read from CONFIG.INI", Base() + "BAUDRATE=9600\nLOGLEVEL=0\n", nullptr, RES_OK,
         {{"ulBaudrate", "19200"}, {"logLevel", "2"}}},
        {"COMPORT 250", Base(), "COMPORT=250\n", RES_OK, {{"usComPort", "250"}}},
        {"COMPORT 251 counts as no port", Base(), "COMPORT=251\n", RES_CFG_VALUE, {{"usComPort", "0"}}},
        {"BAUDRATE 4800 becomes 19200", Base(), "BAUDRATE=4800\n", RES_OK, {{"ulBaudrate", "19200"}}},
        {"BAUDRATE 9600 stays", Base(), "BAUDRATE=9600\n", RES_OK, {{"ulBaudrate", "9600"}}},
        {"PROTO_TO 4999 becomes 12000", Base(), "PROTO_TO=4999\n", RES_OK, {{"usProtoTO", "12000"}}},
        {"PROTO_TO 30001 becomes 12000", Base(), "PROTO_TO=30001\n", RES_OK, {{"usProtoTO", "12000"}}},
        {"PROTO_TO 5000 stays", Base(), "PROTO_TO=5000\n", RES_OK, {{"usProtoTO", "5000"}},
         {"INFO. ProcessComConfig. usProtoTO [5000]."}},
        {"LOGLEVEL cut to 8 bits", Base(), "LOGLEVEL=x100\n", RES_OK, {{"logLevel", "0"}}},
        {"LOGLEVEL above 3", Base(), "LOGLEVEL=7\n", RES_OK, {{"logLevel", "3"}}},
        {"COMDEVICE of 127 characters", Base(), comDevice127.c_str(), RES_OK,
         {{"szComDevice", path127}}},
        {"a bad name stops DEVICE.INI but keeps what came before",
         noPort, "COMPORT=2\nBAUDRATE=9600\nAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=1\nPROTO_TO=6000\n", RES_OK,
         {{"usComPort", "2"}, {"ulBaudrate", "9600"}, {"usProtoTO", "12000"}},
         {"WARN. LoadComConfig. Config parse error: -2"}},
        {"a bad value stops DEVICE.INI but keeps what came before",
         noPort, "COMPORT=2\nREMOTEOPENKEY=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\nFORCEBYN=1\n", RES_OK,
         {{"usComPort", "2"}, {"szRemoteOpenKey", ""}, {"ucForceByn", "0"}},
         {"WARN. LoadComConfig. Param <REMOTEOPENKEY> parse error: -2"}},
        {"a DEVICE.INI fault before COMPORT shows through the mandatory test",
         noPort, "COMIRQ=12345678901\nCOMPORT=2\n", RES_CFG_VALUE, {{"usComPort", "0"}}},
    });
}

TEST_F(ParamTest, FileFaults) {
    EXPECT_EQ(Param_LoadConfig(), RES_CFG_FILE);
    EXPECT_NE(ReadLog().find("WARNING. Open or create config file [DATA/CONFIG.INI].\n"), std::string::npos);

    Write("CONFIG.INI", "");
    EXPECT_EQ(Param_LoadConfig(), RES_CFG_FILE);
    EXPECT_NE(ReadLog().find("ERROR. OpenConfig. Empty config [DATA/CONFIG.INI].\n"), std::string::npos);

    unlink("DATA/CONFIG.INI");
    ASSERT_EQ(mkdir("DATA/CONFIG.INI", 0777), 0);
    EXPECT_EQ(Param_LoadConfig(), RES_CFG_FILE);
}

TEST_F(ParamTest, EveryLoadStartsFromTheDefaults) {
    Write("CONFIG.INI", Base() + "BANKID=42\nCLIENTTIMEOUT=30\n");
    Write("DEVICE.INI", "COMDEVICE=/dev/pts/3\nFORCEBYN=1\n");
    ASSERT_EQ(Param_LoadConfig(), RES_OK);
    ASSERT_STREQ(g_Config.szBankId, "42");

    Write("CONFIG.INI", Base());
    unlink("DATA/DEVICE.INI");
    ASSERT_EQ(Param_LoadConfig(), RES_OK);
    EXPECT_STREQ(g_Config.szBankId, "");
    EXPECT_EQ(g_Config.usClientTimeout, 90);
    EXPECT_STREQ(g_ComConfig.szComDevice, "");
    EXPECT_EQ(g_ComConfig.ucForceByn, 0);
}

TEST_F(ParamTest, RewriteOneKey) {
    const std::string line510(510, 'z');
    struct Case {
        const char* name;
        const char* file;
        std::string before;
        bool missing;  // no file at all
        const char* param;
        const char* value;
        int result;
        std::string after;
    } cases[] = {
        {"present key replaced, other lines kept byte for byte", "DEVICE.INI",
         "COMPORT=1\r\n; note\r\n  BAUDRATE=1\r\nBAUDRATE=9600\r\n\tX=1\r\nLAST=2", false, "BAUDRATE", "115200", RES_OK,
         "COMPORT=1\r\n; note\r\n  BAUDRATE=1\r\nBAUDRATE=115200\n\tX=1\r\nLAST=2"},
        {"missing key appended after an empty line", "DEVICE.INI", "COMPORT=1\n", false, "BAUDRATE", "19200", RES_OK,
         "COMPORT=1\n\nBAUDRATE=19200\n"},
        {"every line with the name as prefix, any case", "CONFIG.INI", "HOSTNAME=a\nhost=b\nX=1\nHost = c", false,
         "HOST", "9.9.9.9", RES_OK, "HOST=9.9.9.9\nHOST=9.9.9.9\nX=1\nHOST=9.9.9.9\n"},
        {"line of 510 characters is copied", "DEVICE.INI", line510 + "\nA=1\n", false, "A", "2", RES_OK,
         line510 + "\nA=2\n"},
        {"line of 511 characters refused", "DEVICE.INI", line510 + "z\nA=1\n", false, "A", "2", RES_CFG_FILE,
         line510 + "z\nA=1\n"},
        {"missing file", "DEVICE.INI", "", true, "A", "1", RES_CFG_FILE, ""},
        {"empty file", "DEVICE.INI", "", false, "A", "1", RES_CFG_FILE, ""},
        {"value that would split the line", "DEVICE.INI", "A=1\n", false, "A", "2\nCOMPORT=9", RES_CFG_FILE, "A=1\n"},
        {"empty name would match every line", "DEVICE.INI", "A=1\n", false, "", "2", RES_CFG_FILE, "A=1\n"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        unlink((std::string("DATA/") + tc.file).c_str());
        if (!tc.missing) Write(tc.file, tc.before);
        Write("TMPCFG.INI", "stale copy of an interrupted rewrite\n");
        EXPECT_EQ(Param_WriteConfigParam(tc.file, tc.param, tc.value), tc.result);
        if (!tc.missing) {
            EXPECT_EQ(emu::ReadFile(std::string("DATA/") + tc.file), tc.after);
        }
        if (tc.result == RES_OK) {
            EXPECT_FALSE(fs::exists("DATA/TMPCFG.INI"));
        }
    }
}

TEST_F(ParamTest, RewriteRefusedWhenTheCopyCannotBeCreated) {
    Write("DEVICE.INI", "BAUDRATE=9600\n");
    ASSERT_EQ(mkdir("DATA/TMPCFG.INI", 0777), 0);
    EXPECT_EQ(Param_WriteConfigParam("DEVICE.INI", "BAUDRATE", "115200"), RES_CFG_FILE);
    EXPECT_EQ(emu::ReadFile("DATA/DEVICE.INI"), "BAUDRATE=9600\n");
}

// The rewrite fails at each of its durable steps in turn (the others going
// through): the file reads old or new, whole, no copy is left behind, and a
// failure is never reported as a rewrite (a directory flush that fails leaves
// the new file in place, which counts as written).
int g_failAt = 0, g_steps = 0;
std::string g_failed;
int FailNth(const char* step, const char*) {
    if (++g_steps != g_failAt) return 0;
    g_failed = step;
    return 1;
}

TEST_F(ParamTest, RewriteStoppedAtAnyStepLeavesTheOldOrTheNewFile) {
    const std::string before = "COMPORT=1\nBAUDRATE=9600\n", after = "COMPORT=1\nBAUDRATE=115200\n";
    for (g_failAt = 1;; ++g_failAt) {
        SCOPED_TRACE(g_failAt);
        Write("DEVICE.INI", before);
        g_steps = 0;
        g_failed.clear();
        UtilFile_SetFaultHook(FailNth);
        int rc = Param_WriteConfigParam("DEVICE.INI", "BAUDRATE", "115200");
        UtilFile_SetFaultHook(nullptr);
        const std::string now = emu::ReadFile("DATA/DEVICE.INI");
        EXPECT_FALSE(fs::exists("DATA/TMPCFG.INI"));
        if (g_steps < g_failAt) {
            EXPECT_EQ(RES_OK, rc);
            EXPECT_EQ(after, now);
            break;
        }
        SCOPED_TRACE(g_failed);
        EXPECT_EQ(g_failed == "dirsync" ? RES_OK : RES_CFG_FILE, rc);
        EXPECT_EQ(rc == RES_OK ? after : before, now);
        ASSERT_LT(g_failAt, 12);
    }
    EXPECT_GE(g_failAt, 6) << "open, two writes, fsync, rename, dirsync";
}

TEST_F(ParamTest, RewrittenKeyIsLoadedNextTime) {
    Write("CONFIG.INI", Base());
    Write("DEVICE.INI", "COMPORT=2\r\nREMOTEOPENKEY=OLD\r\n");
    ASSERT_EQ(Param_WriteConfigParam("DEVICE.INI", "REMOTEOPENKEY", "00112233445566778899AABBCCDDEEFF"), RES_OK);
    ASSERT_EQ(Param_WriteConfigParam("DEVICE.INI", "BAUDRATE", "57600"), RES_OK);
    ASSERT_EQ(Param_LoadConfig(), RES_OK);
    EXPECT_STREQ(g_ComConfig.szRemoteOpenKey, "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(g_ComConfig.ulBaudrate, 57600u);
    EXPECT_EQ(g_ComConfig.usComPort, 2);
}

namespace {

// A load of planted faults: the result stays the one the rules give, and the
// log names the file, the line, the key and the rule (or the value used
// instead); `absent` lines must not appear.
struct MessageCase {
    const char* name;
    std::string config;
    const char* device;  // nullptr: no DEVICE.INI
    int result;
    std::vector<std::string> lines;
    std::vector<std::string> absent = {};
};

void RunMessageCases(const std::vector<MessageCase>& cases) {
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        SetLogLevel(LOG_INFO);
        ClearLog();
        Write("CONFIG.INI", tc.config);
        unlink("DATA/DEVICE.INI");
        if (tc.device != nullptr) Write("DEVICE.INI", tc.device);
        EXPECT_EQ(Param_LoadConfig(), tc.result);
        const std::string log = ReadLog();
        for (const auto& line : tc.lines)
            EXPECT_NE(log.find(" " + line + "\n"), std::string::npos) << line << "\nlog:\n" << log;
        for (const auto& line : tc.absent) EXPECT_EQ(log.find(line), std::string::npos) << line << "\nlog:\n" << log;
    }
}

const char kCfg[] = "Param_LoadConfig. DATA/CONFIG.INI";
const char kDev[] = "LoadComConfig. DATA/DEVICE.INI";

std::string L(const char* level, const char* where, int line, const std::string& text) {
    return std::string(level) + ". " + where + (line > 0 ? " line " + std::to_string(line) : std::string()) + ": " +
           text;
}

}  // namespace

TEST_F(ParamTest, RefusalsNameTheFileTheLineTheKeyAndTheRule) {
    std::string misspelt = Base("TERMINALID") + "TERMINALDI=12345678\n";
    RunMessageCases({
        {"a misspelt mandatory key", misspelt, "COMPORT=1\n", RES_CFG_VALUE,
         {"ERROR. Param_LoadConfig. Mandatory params absent",
          L("WARNING", kCfg, 7, "TERMINALDI is no key (is it TERMINALID misspelt?); ignored"),
          L("ERROR", kCfg, 7, "TERMINALID missing (is TERMINALDI a misspelling?)")}},
        {"a mandatory key simply missing", Base("KWRMHOST"), nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 0, "KWRMHOST missing")}},
        {"a port that is no number", Base() + "SECPORT=abc\n", nullptr, RES_CFG_VALUE,
         {L("WARNING", kCfg, 8, "SECPORT: 'abc' is not a number, 0 used"),
          L("ERROR", kCfg, 8, "SECPORT: 'abc' is not a number")}},
        {"a port given empty", Base() + "SECPORT=\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "SECPORT: no number given")}},
        {"a port 0", Base() + "KWRMPORT=0\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "KWRMPORT: 0 is not a port number 1..65535")}},
        {"a key too short", Base() + "OPENKEY=" + std::string(31, 'A') + "\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "OPENKEY: 32 hexadecimal characters expected, 31 given")}},
        {"a terminal id too short", Base() + "TERMINALID=1234567\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "TERMINALID: 8 characters expected, 7 given")}},
        {"an address given empty", Base() + "HOST=\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "HOST: an address expected, the value is empty")}},
        {"a terminal id too long", "; terminal\r\n\r\nTERMINALID=123456789\r\n", nullptr, RES_CFG_VALUE,
         {"ERROR. Param_LoadConfig. Param <TERMINALID> parse error: -2",
          L("ERROR", kCfg, 3, "TERMINALID: at most 8 characters expected, 9 given (123456789)")}},
        {"a value line too long", Base() + "BANKTITLE=" + std::string(128, 'T') + "\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "BANKTITLE: a line of at most 127 characters expected")}},
        {"a number too long", Base() + "HOLDONS=00000000003\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "HOLDONS: a number of at most 10 characters expected, '00000000003' is longer")}},
        {"a key's value is never shown", Base() + "OPENKEY=" + std::string(49, 'C') + "\n", nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 8, "OPENKEY: at most 48 characters expected, 49 given")},
         {"CCCCCCCC"}},
        {"a name too long", Base() + std::string(33, 'N') + "=1\n", nullptr, RES_CFG_NAME,
         {"ERROR. Param_LoadConfig. Config parse error: -2",
          L("ERROR", kCfg, 8, "a key name of at most 32 characters expected, " + std::string(32, 'N') +
                                  "... is longer")}},
        {"no CONFIG.INI", "", nullptr, RES_CFG_FILE, {"ERROR. OpenConfig. Empty config [DATA/CONFIG.INI]."}},
        {"no DEVICE.INI and no port elsewhere", Base("COMPORT"), nullptr, RES_CFG_VALUE,
         {L("WARNING", kDev, 0, "No such file or directory"),
          L("ERROR", kDev, 0, "COMPORT missing: the file was not read (No such file or directory)")}},
        {"a port of DEVICE.INI out of its range", Base("COMPORT"), "BAUDRATE=9600\nCOMPORT=251\n", RES_CFG_VALUE,
         {L("ERROR", kDev, 2, "COMPORT: 251 is not a port number 1..250")}},
        {"a port of CONFIG.INI given as text", Base("COMPORT") + "COMPORT=one\n", "LOGLEVEL=2\n", RES_CFG_VALUE,
         {L("ERROR", kCfg, 7, "COMPORT: 'one' is not a number")}},
        {"a DEVICE.INI fault before its port", Base("COMPORT"), ("REMOTEOPENKEY=" + std::string(49, 'R') + "\nCOMPORT=1\n").c_str(),
         RES_CFG_VALUE,
         {"WARN. LoadComConfig. Param <REMOTEOPENKEY> parse error: -2",
          L("WARNING", kDev, 1, "REMOTEOPENKEY: at most 48 characters expected, 49 given"),
          L("WARNING", kDev, 0, "the keys after line 1 are not read"),
          L("ERROR", kDev, 0, "COMPORT missing: the file was read only up to its line 1")}},
        {"a misspelt port in DEVICE.INI", Base("COMPORT"), "COMPROT=1\n", RES_CFG_VALUE,
         {L("ERROR", kDev, 1, "COMPORT missing (is COMPROT a misspelling?)")}},
    });
}

TEST_F(ParamTest, ValuesOutOfTheirRangeAreWarnedWithTheValueUsed) {
    const char bom[] = "\xEF\xBB\xBF";
    RunMessageCases({
        {"a port above 65535", Base() + "SECPORT=70000\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "SECPORT: 70000 does not fit 0..65535, 4464 used")}},
        {"a number with a tail", Base() + "CLIENTTIMEOUT=0x5A\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "CLIENTTIMEOUT: '0x5A' is not a number, 0 used")}},
        {"a negative count", Base() + "HOLDONS=-1\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "HOLDONS: -1 does not fit 0..65535, 65535 used")}},
        {"a width that is no number", Base() + "CHEQUEWIDTH=wide\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "CHEQUEWIDTH: 'wide' is not a number, 20 used")}},
        {"a width beyond the receipt's", Base() + "CHEQUEWIDTH=120\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "CHEQUEWIDTH: 120 outside 20..80, 80 used")}},
        {"a copy count beyond three", Base() + "REPORTCOUNT=5\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "REPORTCOUNT: 5 outside 1..3, 1 used")}},
        {"a download limit outside its range", Base() + "FILELOADTIMEOUT=200\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "FILELOADTIMEOUT: '200' not taken: a number of seconds within 15..120 expected (0 used)")}},
        {"the old rouble as base currency", Base() + "BASECURRENCY=BYR\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "BASECURRENCY: BYR is taken as BYN")}},
        {"a host name instead of an address", Base() + "KWRMHOST=tm.bank.by\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "KWRMHOST: 'tm.bank.by' is not a dotted IPv4 address (no name is looked up); "
                                "the connection will fail")}},
        {"a working key that is not hexadecimal", Base() + "OPENKEY=" + std::string(32, 'G') + "\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "OPENKEY: 32 hexadecimal characters expected (32 characters given); no PIN can be "
                                "asked for with it")},
         {"GGGG"}},
        {"a receipt text in UTF-8", Base() + "BANKTITLE=\xD0\x91\xD0\x90\xD0\x9D\xD0\x9A\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "BANKTITLE: the text is written in UTF-8; receipts read it as Windows-1251 (save "
                                "the file in that code page)")}},
        {"a key of DEVICE.INI in CONFIG.INI", Base() + "BAUDRATE=9600\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "BAUDRATE is read only from DEVICE.INI; ignored here")}},
        {"a misspelt optional key", Base() + "BANKTITEL=X\n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "BANKTITEL is no key (is it BANKTITLE misspelt?); ignored")}},
        {"a key nobody knows", Base() + "COLOUR=blue\n", nullptr, RES_OK, {L("INFO", kCfg, 8, "COLOUR is no key; ignored")}},
        {"a speed the line does not offer", Base(), "BAUDRATE=4800\n", RES_OK,
         {L("WARNING", kDev, 1, "BAUDRATE: 4800 is not a speed of the line (9600, 19200, 38400, 57600, 115200), "
                                "19200 used")}},
        {"an answer time-out outside its range", Base(), "\nPROTO_TO=100\n", RES_OK,
         {L("WARNING", kDev, 2, "PROTO_TO: 100 outside 5000..30000 ms, 12000 used")}},
        {"a log level above 3", Base(), "LOGLEVEL=7\n", RES_OK, {L("WARNING", kDev, 1, "LOGLEVEL: 7 above 3, 3 used")}},
        {"no taxpayer number for the receipts", Base(), nullptr, RES_OK,
         {L("WARNING", kCfg, 0, "BANKID missing: the receipts print the bank's taxpayer number line (UNP) without a "
                                "number")}},
        {"a taxpayer number given empty", Base() + "BANKID=  \n", nullptr, RES_OK,
         {L("WARNING", kCfg, 8, "BANKID empty: the receipts print the bank's taxpayer number line (UNP) without a "
                                "number")}},
        {"a byte-order mark before the first key", bom + Base() + "BANKID=1\n", (bom + std::string("COMPORT=2\n")).c_str(), RES_OK,
         {L("INFO", kCfg, 0, "UTF-8 byte-order mark skipped (texts are read as Windows-1251)"),
          "COM Config. Port: 2; IRQ: 65535; Baudrate: 19200", "SUCCESS. Param_LoadConfig"},
         {"no key", "ERROR", "WARN"}},
        {"the mark counts only at the very start", " " + (bom + Base()), nullptr, RES_CFG_VALUE,
         {L("ERROR", kCfg, 0, "TERMINALID missing")}},
    });
}

// What the README tells an integrator to write loads without a word of warning.
TEST_F(ParamTest, TheSampleFilesLoadWithoutWarnings) {
    Write("CONFIG.INI", emu::ReadFile(RAVO_SOURCE_DIR "/cmake/deb/CONFIG.INI.sample"));
    Write("DEVICE.INI", emu::ReadFile(RAVO_SOURCE_DIR "/cmake/deb/DEVICE.INI.sample"));
    ClearLog();
    ASSERT_EQ(Param_LoadConfig(), RES_OK);
    const std::string log = ReadLog();
    EXPECT_EQ(log.find("WARN"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(log.find("no key"), std::string::npos) << log;
}

// A candidate file is judged as loading it would judge it, and judging it
// leaves the settings in force, and the log level, as they were.
TEST_F(ParamTest, ACandidateFileIsCheckedWithoutTouchingTheSettingsInForce) {
    struct Case {
        const char* name;
        bool device;  // a DEVICE.INI candidate, else CONFIG.INI
        std::string text;
        int result;
        std::string line;  // a line the check must log
    } cases[] = {
        {"a good CONFIG.INI", false, Base() + "BANKID=77\n", RES_OK,
         "SUCCESS. Param_CheckConfigFile. [TEMP/CAND.INI] loads"},
        {"a misspelt key", false, Base("TERMINALID") + "TERMINALDI=12345678\n", RES_CFG_VALUE,
         "ERROR. Param_CheckConfigFile. TEMP/CAND.INI line 7: TERMINALID missing (is TERMINALDI a misspelling?)"},
        {"a value too long", false, Base() + "HOST=123.123.123.1234\n", RES_CFG_VALUE,
         "ERROR. Param_CheckConfigFile. Param <HOST> parse error: -2"},
        {"a name too long", false, std::string(40, 'K') + "=1\n", RES_CFG_NAME,
         "ERROR. Param_CheckConfigFile. [TEMP/CAND.INI] would not load: 1025"},
        {"an empty file", false, "", RES_CFG_FILE, "ERROR. OpenConfig. Empty config [TEMP/CAND.INI]."},
        {"without the port the DEVICE.INI in force gives", false, Base("COMPORT"), RES_OK, ""},
        {"a good DEVICE.INI", true, "COMPORT=4\nLOGLEVEL=0\nBAUDRATE=9600\n", RES_OK,
         "SUCCESS. Param_CheckDeviceFile. [TEMP/CAND.INI] loads"},
        {"a DEVICE.INI without a port", true, "LOGLEVEL=3\n", RES_CFG_VALUE,
         "ERROR. Param_CheckDeviceFile. TEMP/CAND.INI: COMPORT missing"},
        {"a DEVICE.INI with a warning", true, "COMPORT=2\nBAUDRATE=1200\n", RES_OK,
         "WARNING. Param_CheckDeviceFile. TEMP/CAND.INI line 2: BAUDRATE: 1200 is not a speed of the line (9600, "
         "19200, 38400, 57600, 115200), 19200 used"},
    };
    const std::string inForceConfig = Base("COMPORT") + "BANKID=1\n";
    const std::string inForceDevice = "COMPORT=3\nLOGLEVEL=1\n";
    ASSERT_EQ(mkdir("TEMP", 0777), 0);
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        Write("CONFIG.INI", inForceConfig);
        Write("DEVICE.INI", inForceDevice);
        ASSERT_EQ(Param_LoadConfig(), RES_OK);
        const SConfig config = g_Config;
        const SComConfig com = g_ComConfig;
        std::ofstream(std::string("TEMP/CAND.INI"), std::ios::binary | std::ios::trunc) << tc.text;
        SetLogLevel(LOG_INFO);
        ClearLog();

        EXPECT_EQ(tc.device ? Param_CheckDeviceFile("TEMP/CAND.INI") : Param_CheckConfigFile("TEMP/CAND.INI"),
                  tc.result);
        EXPECT_EQ(memcmp(&config, &g_Config, sizeof(config)), 0);
        EXPECT_EQ(memcmp(&com, &g_ComConfig, sizeof(com)), 0);
        EXPECT_EQ(GetLogLevel(), LOG_INFO);
        const std::string log = ReadLog();
        if (!tc.line.empty()) {
            EXPECT_NE(log.find(" " + tc.line + "\n"), std::string::npos) << tc.line << "\n" << log;
        }

        // A receiver of the sentences (the check program's) gets every one the log has, in
        // the same words, even where the log level writes none of them.
        std::vector<std::string> heard;
        const PFN_PARAM_REPORT report = [](void* context, uint8_t level, const char* path, unsigned line,
                                           const char* text) {
            const char* word = level == LOG_ERROR ? "ERROR" : level == LOG_WARNING ? "WARNING" : "INFO";
            std::string place = line != 0 ? std::string(path) + " line " + std::to_string(line) : path;
            static_cast<std::vector<std::string>*>(context)->push_back(std::string(word) + ". %s. " + place + ": " + text);
        };
        SetLogLevel(LOG_ERROR);
        ClearLog();
        EXPECT_EQ(tc.device ? Param_CheckDeviceFile("TEMP/CAND.INI", report, &heard)
                            : Param_CheckConfigFile("TEMP/CAND.INI", report, &heard),
                  tc.result);
        EXPECT_EQ(GetLogLevel(), LOG_ERROR);
        const std::string func = tc.device ? "Param_CheckDeviceFile" : "Param_CheckConfigFile";
        size_t placed = 0;  // lines of the log that name a place in a file
        for (size_t at = log.find(". " + func + ". "); at != std::string::npos; at = log.find(". " + func + ". ", at + 1)) {
            const std::string rest = log.substr(at + func.size() + 4, 5);
            placed += rest == "TEMP/" || rest == "DATA/";
        }
        EXPECT_EQ(placed, heard.size()) << log;
        for (std::string sentence : heard) {
            sentence.replace(sentence.find("%s"), 2, func);
            EXPECT_NE(log.find(" " + sentence + "\n"), std::string::npos) << sentence << "\n" << log;
        }
        SetLogLevel(LOG_INFO);

        // Put in place, the candidate loads with the result the check gave.
        Write(tc.device ? "DEVICE.INI" : "CONFIG.INI", tc.text);
        EXPECT_EQ(Param_LoadConfig(), tc.result);
    }
    EXPECT_EQ(Param_CheckConfigFile("TEMP/NONE.INI"), RES_CFG_FILE);
    EXPECT_NE(ReadLog().find("ERROR. Param_CheckConfigFile. TEMP/NONE.INI: No such file or directory\n"),
              std::string::npos);
}
