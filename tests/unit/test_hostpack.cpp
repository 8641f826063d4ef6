// The host emulator's own packer: it writes the host's answers written out byte
// by byte in host_envelopes.h, reads the terminal's chip-sale request as the
// terminal's packer must write it, and refuses requests with a wrong bit, length
// prefix, message length, packet kind or security element instead of answering
// them, so that such a fault in the terminal fails the end-to-end suites.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "emulators/host/hostpack.h"
#include "support/result_codes.h"
#include "tests/unit/host_envelopes.h"

namespace {

// The chip sale with online PIN as the terminal sends it: header, message, and
// the enciphered card number, expiry date, track 2 and PIN block behind it.
const std::string kChipSale =
    std::string("TERM0001\x01\x00\x8F", 11) +
    "1200" "3010079808808A00" "000000" "000000001500" "250203140509" "510101513346" "001" "200" "1508"
    "250201" "007" "503414070042" "TERM0001" "933" "16" "3938303131303030" "018" "9F2701809F3602001A" +
    std::string("\x01\x02\x00\x10", 4) + std::string(16, '\x11') +
    std::string("\x02\x0E\x00\x04", 4) + std::string(8, '\x22') +
    std::string("\x04\x23\x00\x25", 4) + std::string(40, '\x33') +
    std::string("\x05\x34\x00\x08", 4) + std::string(8, '\x44');

const size_t kMessageAt = 11;
const size_t kElementsAt = kMessageAt + 0x8F;

int Parse(const std::string& packet, SHostRequest* out, std::string* why) {
    return HostPack_ParseRequest(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), out, why);
}

TEST(HostPack, WritesTheWrittenOutAnswers) {
    for (const envelopes::Literal* answer : envelopes::kAll) {
        SCOPED_TRACE(answer->name);
        std::map<unsigned, std::string> fields(answer->fields.begin(), answer->fields.end());
        const std::vector<uint8_t> built = HostPack_Response(0, HostPack_BuildMessage(answer->mti, fields));
        EXPECT_EQ(std::string(built.begin(), built.end()), answer->bytes);
    }
    // Short values are widened as their field's format says; a refusal is its status byte alone.
    EXPECT_EQ(HostPack_BuildMessage(1210, {{4, "1500"}, {38, "A1"}, {41, "T1"}}),
              "1210" "1000000004800000" "000000001500" "A1    " "T1      ");
    EXPECT_EQ(HostPack_Response(0x41, "1210"), std::vector<uint8_t>{0x41});
}

TEST(HostPack, ReadsTheTerminalsChipSale) {
    SHostRequest rq;
    std::string why;
    ASSERT_EQ(Parse(kChipSale, &rq, &why), 0) << why;
    EXPECT_EQ(rq.terminalId, "TERM0001");
    EXPECT_EQ(rq.ucKind, HOSTPACK_KIND_CARD);
    EXPECT_EQ(rq.usMsgLength, 0x8F);
    EXPECT_EQ(rq.usMti, 1200);
    const std::map<unsigned, std::string> fields = {
        {3, "000000"}, {4, "000000001500"}, {12, "250203140509"}, {22, "510101513346"}, {23, "001"},
        {24, "200"}, {25, "1508"}, {28, "250201"}, {29, "007"}, {37, "503414070042"}, {41, "TERM0001"},
        {49, "933"}, {53, "3938303131303030"}, {55, "9F2701809F3602001A"}};
    EXPECT_EQ(rq.fields, fields);
    struct Element { unsigned tag, field, length, stored; };
    const Element expected[] = {{1, 2, 16, 16}, {2, 14, 4, 8}, {4, 35, 37, 40}, {5, 52, 8, 8}};
    ASSERT_EQ(rq.elements.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rq.elements[i].ucTag, expected[i].tag);
        EXPECT_EQ(rq.elements[i].ucField, expected[i].field);
        EXPECT_EQ(rq.elements[i].usLength, expected[i].length);
        EXPECT_EQ(rq.elements[i].usStored, expected[i].stored);
    }
}

TEST(HostPack, RefusesWhatTheFormatDoesNotAllow) {
    using Edit = std::function<void(std::string&)>;
    auto at = [](size_t offset, const std::string& text) -> Edit {
        return [=](std::string& p) { p.replace(offset, text.size(), text); };
    };
    const size_t bitmap = kMessageAt + 4, field4 = kMessageAt + 26;
    const size_t field55 = kElementsAt - 21, element2 = kElementsAt + 20, element4 = element2 + 12;
    struct Case { const char* name; Edit edit; const char* why; };
    const Case cases[] = {
        {"shorter than the header", [](std::string& p) { p.resize(10); }, "shorter than the envelope's header"},
        {"packet kind 2", at(8, "\x02"), "packet kind 2"},
        {"a sale sent as an administrative packet", at(8, std::string(1, '\0')), "packet kind 0 for type 1200"},
        {"message length past the end", [](std::string& p) { p.resize(kElementsAt - 1); }, "past the end"},
        {"message length one short", at(10, "\x8E"), "field 55: 18 characters, 17 left"},
        {"message length one long", at(10, "\x90"), "1 characters after the last field"},
        {"bit 49 missing", at(bitmap + 12, "0"), "field 53: 93 characters"},
        {"lower-case bitmap", at(bitmap + 14, "a"), "primary bitmap"},
        {"type not digits", at(kMessageAt, "12O0"), "message type"},
        {"letter in a numeric field", at(field4 + 11, "O"), "field 4: not decimal digits"},
        {"length prefix one too long", at(field55, "019"), "field 55: 19 characters, 18 left"},
        {"length prefix not digits", at(field55, "0x8"), "field 55: length prefix not digits"},
        {"tags out of order", [=](std::string& p) {
             const std::string first = p.substr(kElementsAt, 20), second = p.substr(element2, 12);
             p.replace(kElementsAt, 32, second + first);
         }, "tags not in ascending order"},
        {"expiry date under field 15", at(element2 + 1, "\x0F"), "tag 2 stands for field 14, not 15"},
        {"PIN block of 16 bytes", at(element4 + 44 + 3, "\x10"), "length 16, not 8"},
        {"track 2 not in whole blocks", [=](std::string& p) { p.resize(element4 + 4 + 37); },
         "datum of 40 bytes cut off"},
        {"unknown tag", at(element4 + 44, "\x03"), "unknown tag 3"},
        {"terminal id of the header not field 41", at(0, "TERM0009"), "field 41 is not the header's terminal id"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string packet = kChipSale;
        c.edit(packet);
        SHostRequest rq;
        std::string why;
        EXPECT_EQ(Parse(packet, &rq, &why), RES_HOST_BAD_LENGTH);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    // An administrative request carries no card data.
    const std::string echo = std::string("TERM0001\x00\x00\x14", 11) + "1800" "0000000000000000" +
                             std::string("\x05\x34\x00\x08", 4) + std::string(8, '\x44');
    SHostRequest rq;
    std::string why;
    EXPECT_EQ(Parse(echo, &rq, &why), RES_HOST_BAD_LENGTH);
    EXPECT_NE(why.find("security elements behind an administrative request"), std::string::npos) << why;
}

}  // namespace
