// The search the end-to-end fixture runs after every run for card data kept
// on disk: each shape a leak takes is found at its offset, a masked number is
// not, and a finding never shows the number in full.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/cardscan.h"
#include "tests/common/tempdir.h"

namespace {

emu::SCardData Card() {
    emu::SCardData c;
    c.pan = "4000001234567899";
    c.track2 = "4000001234567899=25121011234567890000";
    c.pinBlock = {0x9A, 0x01, 0xFE, 0x42, 0x00, 0x7C, 0x13, 0xE5};
    return c;
}

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s += static_cast<char>(x);
    return s;
}

TEST(CardScan, FindsEveryShapeAtItsOffset) {
    struct Case { const char* name; std::string bytes; const char* what; size_t offset; };
    const Case cases[] = {
        {"number in a log line", "12:00 PAN 4000001234567899 ok", "card number 400000******7899", 10},
        {"number in groups on a receipt", "<ChequeText>4000 0012 3456 7899</ChequeText>", "in groups", 12},
        {"number packed in a record", std::string(41, '\0') + Bytes({0x40, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x99}),
         "card number 400000******7899 packed", 41},
        {"track 2 with =", "T2=4000001234567899=25121011234567890000", "track 2 of 400000******7899 with '='", 3},
        {"track 2 with D in chip data", "9F1E08571B4000001234567899D25121011234567890000F", "with 'D'", 10},
        {"track 2 packed", Bytes({0x57, 0x13, 0x40, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x99, 0xD2, 0x51, 0x21, 0x01,
                                  0x12, 0x34, 0x56, 0x78, 0x90, 0x00, 0x0F}),
         "track 2 of 400000******7899 packed", 2},
        {"PIN block raw", "xx" + Bytes({0x9A, 0x01, 0xFE, 0x42, 0x00, 0x7C, 0x13, 0xE5}), "PIN block", 2},
        {"PIN block in hexadecimal", "pb=9A01FE42007C13E5", "PIN block of 400000******7899 in hexadecimal", 3},
        {"PIN block in lower-case hexadecimal", "pb=9a01fe42007c13e5", "in hexadecimal", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> found = emu::FindCardData("F", c.bytes, {Card()});
        ASSERT_EQ(1u, found.size()) << (found.empty() ? "" : found[0]);
        EXPECT_NE(std::string::npos, found[0].find(c.what)) << found[0];
        EXPECT_EQ(0u, found[0].find("F offset " + std::to_string(c.offset) + ": ")) << found[0];
        EXPECT_EQ(std::string::npos, found[0].find("4000001234567899")) << "the finding shows the number";
    }
}

TEST(CardScan, MaskedFormsAndOtherNumbersPass) {
    const std::string texts[] = {
        "<CardNo>************7899</CardNo>", "400000******7899", "XXXXXXXXXXXX7899", "4000001234567898",
        "400000123456789", "RRN 000012345678",
    };
    for (const std::string& text : texts) EXPECT_TRUE(emu::FindCardData("F", text, {Card()}).empty()) << text;
}

TEST(CardScan, SearchesTheKeptFilesOfThePaymentDirectory) {
    TempDir dir(false);
    dir.write("DATA/RVS.SAV", std::string(41, '\0') + "4000001234567899");
    dir.write("LOG/20261210.LOG", "masked 400000******7899\n");
    dir.write("TEMP/part/x.bin", "9A01FE42007C13E5");
    dir.write("RAVORS.XML.tmp", "<T2>4000001234567899D25121011234567890000</T2>");
    dir.write("RAVORQ.XML", "4000001234567899");  // the request is the caller's, not kept by the terminal
    dir.write("run.trace", "4000001234567899");
    std::vector<std::string> found = emu::ScanPaymentDir(dir.path(), {Card()});
    std::string all;
    for (const auto& f : found) all += f + "\n";
    EXPECT_EQ(3u, found.size()) << all;
    EXPECT_NE(std::string::npos, all.find("DATA/RVS.SAV offset 41: card number")) << all;
    EXPECT_NE(std::string::npos, all.find("TEMP/part/x.bin offset 0: PIN block")) << all;
    EXPECT_NE(std::string::npos, all.find("RAVORS.XML.tmp offset 4: track 2")) << all;
}

}  // namespace
