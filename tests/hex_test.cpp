// Intel HEX images: which files are read as Intel HEX, the image a good file
// gives and the one line that refuses a bad one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "image.h"

namespace {

struct Parsed {
    int32_t size;
    std::vector<uint8_t> image;
    std::string err;
};

Parsed parse(const std::string &text)
{
    std::vector<uint8_t> bytes(text.begin(), text.end());  // exactly sized: no terminator to lean on
    uint8_t *image = reinterpret_cast<uint8_t *>(1);       // must be set
    testing::internal::CaptureStderr();
    Parsed p;
    p.size = parse_intel_hex("fw.hex", bytes.data(), static_cast<int32_t>(bytes.size()), &image);
    p.err = testing::internal::GetCapturedStderr();
    if (p.size > 0 && image != nullptr)
        p.image.assign(image, image + p.size);
    else
        EXPECT_EQ(image, nullptr);
    free(image);
    return p;
}

// By name (.hex, .ihx) and first byte, or by content whatever the name.
TEST(IntelHex, ReadAsIntelHexByNameAndFirstByteOrByContent)
{
    struct Case {
        const char *path;
        std::string content;
        bool hex;
    } cases[] = {
        {"fw.hex", ":00000001FF", true},      {"FW.HEX", ":00000001FF", true},
        {"dir/fw.Ihx", ":00000001FF", true},  {".ihx", ":", true},
        {"fw.hex", "\x02:00000001FF", false}, {"fw.hex", " \r\n\t:00000001FF", true},
        {"fw.hex", "\xEF\xBB\xBF:00000001FF", true}, {"fw.hex", "\xEF\xBB:00000001FF", false},
        {"fw.bin", ":00000001FF", true},      {"fw.ihex", ":0100000001FE\r\n\n :00000001ff\n", true},
        {"fw", ":0100000001FF\n:00000001FF", false},  // a checksum wrong
        {"fw.hexx", ":00000001FF\nx", false}, {"fw.hex/x", ":", false},
        {"fwhex", "\n \n", false},            {"fw.hex", "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.content);
        std::vector<uint8_t> bytes(c.content.begin(), c.content.end());
        EXPECT_EQ(is_intel_hex(c.path, bytes.data(), static_cast<int32_t>(bytes.size())), c.hex);
    }
}

TEST(IntelHex, GoodFilesGiveTheirImageWithErasedGaps)
{
    struct Case {
        const char *name;
        std::string text;
        int32_t size;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> bytes;  // the rest is 0xFF
    } cases[] = {
        {"gap, records out of order", ":0100100003EC\n:020000000102FB\n:00000001FF\n", 0x11, {{0, {1, 2}}, {0x10, {3}}}},
        {"segment base, then linear base", ":020000020100FB\n:01000200AA53\n:020000040000FA\n:01000000BB44\n:00000001FF\n",
         0x1003, {{0, {0xBB}}, {0x1002, {0xAA}}}},
        {"lower case, CRLF, blanks, start addresses, no final newline",
         ":0400000300001234B3\r\n\r\n:02000000abcd86 \t\r\n \t\n:0400000500001234B1\t\n:00000001ff", 2, {{0, {0xAB, 0xCD}}}},
        {"last byte of 64 KiB", ":01FFFF005AA7\n:00000001FF\n", 0x10000, {{0xFFFF, {0x5A}}}},
        {"byte-order mark, leading blanks, an empty record past 64 KiB",
         "\xEF\xBB\xBF\n  :0100000042BD\n:020000040005F5\n:0000000000\n:00000001FF\n", 1, {{0, {0x42}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> expected(static_cast<size_t>(c.size), 0xFF);
        for (const auto &[address, bytes] : c.bytes)
            std::copy(bytes.begin(), bytes.end(), expected.begin() + address);
        Parsed p = parse(c.text);
        EXPECT_EQ(p.err, "");
        EXPECT_EQ(p.size, c.size);
        EXPECT_EQ(p.image, expected);
    }
}

TEST(IntelHex, BadFilesAreRefusedWithTheLine)
{
    const std::string END = ":00000001FF\n";
    struct Case {
        const char *name;
        std::string text;
        std::string err;  // after "harlune: fw.hex:"
    } cases[] = {
        {"checksum", ":0100000001FE\n:020020005A5B28\n" + END, "2: checksum 0x28, expected 0x29"},
        {"overlap, same values", ":0401000001020304F1\n:020102000304F4\n" + END,
         "2: bytes at 0x0102 written twice (overlapping records)"},
        {"past 64 KiB by length", ":02FFFF000102FD\n" + END, "1: address 0x10000 beyond 64 KiB"},
        {"past 64 KiB by linear base", ":020000040001F9\n:0102340001C8\n" + END, "2: address 0x10234 beyond 64 KiB"},
        {"past 64 KiB by segment base, no wrap", ":020000020FFFEE\n:0100100001EE\n" + END,
         "2: address 0x10000 beyond 64 KiB"},
        {"unknown type", ":0100000001FE\n:00000006FA\n" + END, "2: record type 0x06 unknown"},
        {"end of file with data", ":0100000001FE\n:01000001AA54\n", "2: record type 0x01 with byte count 0x01, expected 0x00"},
        {"segment base of one byte", ":0100000201FC\n:0100000001FE\n" + END,
         "1: record type 0x02 with byte count 0x01, expected 0x02"},
        {"line cut short", ":0100000001FE\n:0100\n" + END, "2: record cut short: 2 bytes, a record has at least 5"},
        {"data cut short", ":100000001010\n" + END, "1: record cut short: byte count 0x10 but the line holds 1 data byte"},
        {"byte count too small", ":010000000102FC\n" + END, "1: byte count 0x01 but the line holds 2 data bytes"},
        {"odd digits", ":0100000001FE\n\n:00000001F\n", "3: odd number of hex digits"},
        {"not hex", ":0100000001FE\n:01000000G1FE\n" + END, "2: not a hex digit in column 10"},
        {"no colon", "0100000001FE\n" + END, "1: line does not start with ':'"},
        {"CR line endings", ":0100000001FE\r:00000001FF\r", "1: carriage return in column 14: lines must end in LF or CRLF"},
        {"no end-of-file record", ":0100000001FE\n\n", "3: no end-of-file record"},
        {"after the end-of-file record", ":0100000001FE\n" + END + "\n:0100010002FC\n",
         "4: data after the end-of-file record"},
        {"no data", "\n:020000040000FA\n" + END, "3: no data bytes: nothing to program"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.text);
        EXPECT_EQ(p.size, -1);
        EXPECT_EQ(p.err, "harlune: fw.hex:" + c.err + "\n");
    }
}

}  // namespace
