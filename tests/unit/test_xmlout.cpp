// The streaming XML writer of the response file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/result_codes.h"
#include "support/xmlout.h"
#include "tests/common/emulators.h"

namespace {

using emu::ReadFile;

// Runs in a scratch payment directory with LOG/, so that the log lines of
// failures can be checked.
class XMLOut : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/xmlout_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_NE(nullptr, getcwd(oldCwd_, sizeof(oldCwd_)));
        ASSERT_EQ(0, chdir(dir_.c_str()));
        ASSERT_EQ(0, mkdir("LOG", 0777));
    }
    void TearDown() override {
        XMLOut_DeInit();
        ASSERT_EQ(0, chdir(oldCwd_));
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    std::string Log() { return emu::ReadLog(); }
    std::string dir_;
    char oldCwd_[4096];
};

TEST_F(XMLOut, WritesNestedDocumentWithIndentation) {
    ASSERT_EQ(RES_OK, XMLOut_Init("OUT.XML"));
    EXPECT_EQ(1, XMLOut_IsInitialized());
    EXPECT_EQ(RES_OK, XMLOut_OpenXMLAggregate("A"));
    EXPECT_EQ(RES_OK, XMLOut_AddXMLField("B", "1"));
    EXPECT_EQ(RES_OK, XMLOut_OpenXMLAggregate("C"));
    EXPECT_EQ(RES_OK, XMLOut_AddXMLField("D", "a<b & c>"));
    EXPECT_EQ(RES_OK, XMLOut_AddXMLField("E", ""));
    EXPECT_EQ(RES_OK, XMLOut_CloseXMLAggregate("C"));
    EXPECT_EQ(RES_OK, XMLOut_CloseXMLAggregate("A"));
    EXPECT_EQ(RES_OK, XMLOut_DeInit());
    EXPECT_EQ(0, XMLOut_IsInitialized());
    EXPECT_EQ(nullptr, XMLOut_GetFileHandle());
    EXPECT_EQ("<A>\n"
              "  <B>1</B>\n"
              "  <C>\n"
              "    <D>a&lt;b &amp; c&gt;</D>\n"
              "    <E></E>\n"
              "  </C>\n"
              "</A>\n",
              ReadFile("OUT.XML"));
}

// Values and receipt lines are UTF-8 text that any XML reader must get back:
// markup characters become references, characters XML cannot carry become "?".
TEST_F(XMLOut, TextIsWrittenAsCharacterData) {
    const struct { const char* name; std::string text; std::string written; } cases[] = {
        {"plain", "Terminal 12:30 #1 \"ok\" 'x'", "Terminal 12:30 #1 \"ok\" 'x'"},
        {"markup characters", "A<B & C>D", "A&lt;B &amp; C&gt;D"},
        {"a reference is text too", "&amp; &#65;", "&amp;amp; &amp;#65;"},
        {"end of a CDATA section", "]]>", "]]&gt;"},
        {"Cyrillic and other UTF-8", "ОДОБРЕНО № 5 €  \xF0\x9F\x98\x80", "ОДОБРЕНО № 5 €  \xF0\x9F\x98\x80"},
        {"tab and line feed kept", "a\tb\nc", "a\tb\nc"},
        {"carriage return kept as a reference", "a\r\nb", "a&#13;\nb"},
        {"other control characters", "a\x01" "b\x08\x0B\x0C\x1B\x1F", "a?b?????"},
        {"delete is allowed", "a\x7F", "a\x7F"},
        {"Windows-1251 byte that is no UTF-8", "\xCE\xC4\xCE", "???"},
        {"overlong and out-of-range forms", "\xC0\xBC\xC1\x81\xF5\x80", "??????"},
        {"cut off at the end", "ab\xD0", "ab?"},
        {"cut off before markup", "\xE2\x82<", "??&lt;"},
        {"surrogate", "\xED\xA0\x80", "???"},
        {"non-characters U+FFFE and U+FFFF", "\xEF\xBF\xBE\xEF\xBF\xBF", "??????"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(RES_OK, XMLOut_Init("OUT.XML"));
        EXPECT_EQ(RES_OK, XMLOut_AddXMLField("V", c.text.c_str()));
        FILE* file = XMLOut_GetFileHandle();
        EXPECT_EQ(RES_OK, XMLOut_PutText(file, c.text.c_str()));
        fputc('\n', file);
        ASSERT_EQ(RES_OK, XMLOut_DeInit());
        EXPECT_EQ("<V>" + c.written + "</V>\n" + c.written + "\n", ReadFile("OUT.XML"));
    }
    EXPECT_EQ(RES_XML_NO_FILE, XMLOut_PutText(nullptr, "x"));
}

TEST_F(XMLOut, DirectWritesThroughHandleKeepTheirPlace) {
    ASSERT_EQ(RES_OK, XMLOut_Init("OUT.XML"));
    XMLOut_OpenXMLAggregate("R");
    XMLOut_OpenXMLAggregate("ChequeText");
    FILE* file = XMLOut_GetFileHandle();
    ASSERT_NE(nullptr, file);
    fputs("line 1\nline 2\n", file);
    XMLOut_CloseXMLAggregate("ChequeText");
    XMLOut_AddXMLField("N", "2");
    XMLOut_CloseXMLAggregate("R");
    XMLOut_DeInit();
    EXPECT_EQ("<R>\n  <ChequeText>\nline 1\nline 2\n  </ChequeText>\n  <N>2</N>\n</R>\n", ReadFile("OUT.XML"));
}

TEST_F(XMLOut, ReinitFinishesPreviousFileAndTruncatesNewOne) {
    ASSERT_EQ(0, system("printf 'old content that is long\\n' > SECOND.XML"));
    ASSERT_EQ(RES_OK, XMLOut_Init("FIRST.XML"));
    XMLOut_OpenXMLAggregate("A");
    XMLOut_AddXMLField("B", "1");
    // A new file starts at the margin: the depth of the unfinished one is reset.
    ASSERT_EQ(RES_OK, XMLOut_Init("SECOND.XML"));
    XMLOut_AddXMLField("C", "2");
    XMLOut_DeInit();
    EXPECT_EQ("<A>\n  <B>1</B>\n", ReadFile("FIRST.XML"));
    EXPECT_EQ("<C>2</C>\n", ReadFile("SECOND.XML"));
}

TEST_F(XMLOut, UnbalancedCloseStaysAtMargin) {
    ASSERT_EQ(RES_OK, XMLOut_Init("OUT.XML"));
    EXPECT_EQ(RES_OK, XMLOut_CloseXMLAggregate("X"));
    EXPECT_EQ(RES_OK, XMLOut_AddXMLField("Y", "1"));
    XMLOut_DeInit();
    EXPECT_EQ("</X>\n<Y>1</Y>\n", ReadFile("OUT.XML"));
}

TEST_F(XMLOut, WritesWithoutFileFailAndAreLogged) {
    EXPECT_EQ(0, XMLOut_IsInitialized());
    EXPECT_EQ(RES_OK, XMLOut_DeInit());  // nothing open is no failure

    // A path in a missing directory leaves the writer uninitialised.
    EXPECT_EQ(RES_XML_INIT, XMLOut_Init("NO_SUCH_DIR/OUT.XML"));
    EXPECT_EQ(0, XMLOut_IsInitialized());
    EXPECT_EQ(nullptr, XMLOut_GetFileHandle());
    EXPECT_NE(std::string::npos, Log().find("ERROR. XMLOut. StartBuild. Obj: NO_SUCH_DIR/OUT.XML"));

    EXPECT_EQ(RES_XML_NOT_INIT, XMLOut_AddXMLField("B", "1"));
    EXPECT_EQ(RES_XML_NOT_INIT, XMLOut_OpenXMLAggregate("A"));
    EXPECT_EQ(RES_XML_NOT_INIT, XMLOut_CloseXMLAggregate("A"));
    std::string log = Log();
    size_t line = log.find("ERROR. XMLOut. WriteToSrc. Obj: (none). Reason: [");
    ASSERT_NE(std::string::npos, line);
    EXPECT_NE(std::string::npos, log.find(":11103]", line));
    EXPECT_EQ(RES_XML_INIT, XMLOut_Init(nullptr));
}

TEST_F(XMLOut, FullDiskIsReportedNotTakenForSuccess) {
    // A write larger than the stream's buffer reaches the device at once.
    ASSERT_EQ(RES_OK, XMLOut_Init("/dev/full"));
    EXPECT_EQ(RES_XML_SHORT_WRITE, XMLOut_AddXMLField("Big", std::string(64 * 1024, 'x').c_str()));
    EXPECT_NE(std::string::npos, Log().find("11106"));
    // A small write sits in the buffer; closing must not hide that it was lost.
    ASSERT_EQ(RES_OK, XMLOut_Init("/dev/full"));
    EXPECT_EQ(RES_OK, XMLOut_AddXMLField("Small", "1"));
    EXPECT_EQ(RES_XML_SHORT_WRITE, XMLOut_DeInit());
    EXPECT_EQ(0, XMLOut_IsInitialized());
    // A receipt line lost through the handle fails the close as well.
    ASSERT_EQ(RES_OK, XMLOut_Init("/dev/full"));
    EXPECT_EQ(RES_XML_SHORT_WRITE, XMLOut_PutText(XMLOut_GetFileHandle(), std::string(64 * 1024, 'r').c_str()));
    EXPECT_EQ(RES_XML_SHORT_WRITE, XMLOut_DeInit());
}

}  // namespace
