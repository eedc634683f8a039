// Intel HEX images: records 00 data, 01 end of file, 02 extended segment
// address, 04 extended linear address; 03 and 05 (start address) are checked
// and ignored. Lines end in LF or CRLF, may carry trailing blanks, and may be
// blank; every record's checksum is checked.
#include <bitset>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image.h"

namespace {

constexpr uint32_t ADDRESS_SPACE = static_cast<uint32_t>(C2_ADDRESS_SPACE);

int hex_digit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r'; }

// A UTF-8 byte-order mark, as some editors put first: 3, or 0.
int32_t bom(const uint8_t *text, int32_t length)
{
    return length >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF ? 3 : 0;
}

// One line on stderr: "harlune: file:line: what"; nothing without a path.
__attribute__((format(printf, 3, 4))) void refuse(const char *path, int32_t line, const char *format, ...)
{
    if (path == nullptr)
        return;
    char what[128];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    fprintf(stderr, "harlune: %s:%d: %s\n", path, line, what);
}

// The bytes a record line holds and their meaning.
struct Record {
    const uint8_t *digits;  // after the ':'
    int32_t bytes;          // digit pairs on the line
    uint8_t byte(int32_t k) const
    {
        return static_cast<uint8_t>(hex_digit(digits[2 * k]) << 4 | hex_digit(digits[2 * k + 1]));
    }
    uint8_t count() const { return byte(0); }
    uint32_t offset() const { return static_cast<uint32_t>(byte(1) << 8 | byte(2)); }
    uint8_t type() const { return byte(3); }
    uint8_t data(int32_t i) const { return byte(4 + i); }
};

// Check the form of one non-blank line, [line, end): a ':' then hex digit
// pairs, a byte count that matches them, the checksum. False after the
// message (none when path is null).
bool read_record(const char *path, int32_t number, const uint8_t *line, const uint8_t *end, Record *r)
{
    if (line[0] != ':') {
        refuse(path, number, "line does not start with ':'");
        return false;
    }
    for (const uint8_t *c = line + 1; c < end; ++c) {
        if (*c == '\r') {
            refuse(path, number, "carriage return in column %d: lines must end in LF or CRLF",
                   static_cast<int>(c - line + 1));
            return false;
        }
        if (hex_digit(*c) < 0) {
            refuse(path, number, "not a hex digit in column %d", static_cast<int>(c - line + 1));
            return false;
        }
    }
    int32_t digits = static_cast<int32_t>(end - line - 1);
    if (digits % 2 != 0) {
        refuse(path, number, "odd number of hex digits");
        return false;
    }
    r->digits = line + 1;
    r->bytes = digits / 2;
    // Byte count, address (2), type, data, checksum.
    if (r->bytes < 5) {
        refuse(path, number, "record cut short: %d bytes, a record has at least 5", r->bytes);
        return false;
    }
    int32_t on_line = r->bytes - 5;
    if (on_line != r->count()) {
        refuse(path, number, "%sbyte count 0x%02X but the line holds %d data byte%s",
               on_line < r->count() ? "record cut short: " : "", r->count(), on_line, on_line == 1 ? "" : "s");
        return false;
    }
    uint8_t sum = 0;
    for (int32_t k = 0; k < r->bytes - 1; ++k)
        sum = static_cast<uint8_t>(sum + r->byte(k));
    uint8_t expected = static_cast<uint8_t>(0x100 - sum);
    if (r->byte(r->bytes - 1) != expected) {
        refuse(path, number, "checksum 0x%02X, expected 0x%02X", r->byte(r->bytes - 1), expected);
        return false;
    }
    return true;
}

bool ends_with_nocase(const char *s, size_t n, const char *suffix)
{
    size_t k = strlen(suffix);
    if (n < k)
        return false;
    for (size_t i = 0; i < k; ++i) {
        char c = s[n - k + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i])
            return false;
    }
    return true;
}

// f(number, line, end) for each non-blank line of text (after a byte-order
// mark), blanks around it trimmed, numbered from 1; stops at the first false.
// *lines gets the number of lines. False when f stopped it.
template <typename F>
bool each_line(const uint8_t *text, int32_t length, int32_t *lines, F f)
{
    int32_t number = 0;
    for (int32_t pos = bom(text, length); pos < length;) {
        ++number;
        const void *newline = memchr(text + pos, '\n', static_cast<size_t>(length - pos));
        int32_t next = newline ? static_cast<int32_t>(static_cast<const uint8_t *>(newline) - text) + 1 : length;
        int32_t end = newline ? next - 1 : length;
        while (end > pos && blank(text[end - 1]))
            --end;
        while (pos < end && blank(text[pos]))
            ++pos;
        const uint8_t *line = text + pos;
        bool empty = end == pos;
        pos = next;
        if (!empty && !f(number, line, text + end))
            return false;
    }
    *lines = number;
    return true;
}

// Text that is Intel HEX by content: at least one record, and every
// non-blank line a well-formed record with its checksum right.
bool all_records(const uint8_t *text, int32_t length)
{
    int32_t lines = 0, records = 0;
    return each_line(text, length, &lines, [&](int32_t, const uint8_t *line, const uint8_t *end) {
        Record r;
        ++records;
        return read_record(nullptr, 0, line, end, &r);
    }) && records > 0;
}

// The records of text into flash (0xFF already) and written; *top gets the
// highest address written. False after the message.
bool parse(const char *path, const uint8_t *text, int32_t length, uint8_t *flash,
           std::bitset<ADDRESS_SPACE> &written, int64_t *top)
{
    uint32_t base = 0;        // from the last 02 or 04 record
    int32_t lines = 0;        // lines in the text
    int32_t end_of_file = 0;  // line of the end-of-file record
    bool read = each_line(text, length, &lines, [&](int32_t number, const uint8_t *line, const uint8_t *end) {
        if (end_of_file != 0) {
            refuse(path, number, "data after the end-of-file record");
            return false;
        }
        Record r;
        if (!read_record(path, number, line, end, &r))
            return false;

        uint8_t type = r.type();
        if (type > 0x05) {
            refuse(path, number, "record type 0x%02X unknown", type);
            return false;
        }
        int fixed = type == 0x01 ? 0 : type == 0x02 || type == 0x04 ? 2 : 4;
        if (type != 0x00 && r.count() != fixed) {
            refuse(path, number, "record type 0x%02X with byte count 0x%02X, expected 0x%02X", type, r.count(), fixed);
            return false;
        }
        if (type == 0x00) {
            // Absolute addresses, never wrapped: base + offset + i.
            uint64_t first = uint64_t{base} + r.offset();
            if (r.count() != 0 && first + r.count() > ADDRESS_SPACE) {
                refuse(path, number, "address 0x%04llX beyond 64 KiB",
                       static_cast<unsigned long long>(first > ADDRESS_SPACE ? first : ADDRESS_SPACE));
                return false;
            }
            for (int32_t i = 0; i < r.count(); ++i) {
                uint32_t a = static_cast<uint32_t>(first) + static_cast<uint32_t>(i);
                if (written[a]) {
                    refuse(path, number, "bytes at 0x%04X written twice (overlapping records)", a);
                    return false;
                }
                written[a] = true;
                flash[a] = r.data(i);
                if (a > *top)
                    *top = a;
            }
        } else if (type == 0x01) {
            end_of_file = number;
        } else if (type == 0x02 || type == 0x04) {
            uint32_t value = static_cast<uint32_t>(r.data(0) << 8 | r.data(1));
            base = type == 0x02 ? value << 4 : value << 16;
        }
        // 03 and 05: a start address means nothing to a flash image.
        return true;
    });
    if (!read)
        return false;
    if (end_of_file == 0) {
        refuse(path, lines + 1, "no end-of-file record");
        return false;
    }
    if (*top < 0) {
        refuse(path, end_of_file, "no data bytes: nothing to program");
        return false;
    }
    return true;
}

}  // namespace

bool is_intel_hex(const char *path, const uint8_t *data, int32_t size)
{
    // HEX text that an editor began with a byte-order mark or a blank line is
    // still HEX: programmed raw, its text would end up in the flash.
    size_t n = strlen(path);
    int32_t first = bom(data, size);
    while (first < size && (blank(data[first]) || data[first] == '\n'))
        ++first;
    if (first < size && data[first] == ':' &&
        (ends_with_nocase(path, n, ".hex") || ends_with_nocase(path, n, ".ihx")))
        return true;
    // Any other name (.ihex, .h86, none): HEX when the text is nothing but
    // records. A binary image never is: every byte would have to be a hex
    // digit, a colon or a line end, and every checksum right.
    return all_records(data, size);
}

int32_t parse_intel_hex(const char *path, const uint8_t *text, int32_t length, uint8_t **image)
{
    *image = nullptr;
    uint8_t *flash = static_cast<uint8_t *>(malloc(ADDRESS_SPACE));
    if (flash == nullptr) {
        perror("data buffer malloc");
        return -1;
    }
    memset(flash, 0xFF, ADDRESS_SPACE);
    std::bitset<ADDRESS_SPACE> written;
    int64_t top = -1;
    if (!parse(path, text, length, flash, written, &top)) {
        free(flash);
        return -1;
    }
    int32_t size = static_cast<int32_t>(top + 1);
    // Trimmed to the image: a read past it is then a fault the sanitizers see.
    uint8_t *trimmed = static_cast<uint8_t *>(realloc(flash, static_cast<size_t>(size)));
    *image = trimmed ? trimmed : flash;
    return size;
}
