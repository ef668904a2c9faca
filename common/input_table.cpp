#include "input_table.h"

#include <cstdint>
#include <cstring>
#include <sstream>

#include "file_io.h"
#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"

namespace somap {

void InputTable::finish() {
    vectors.resize(lines.size());
    for (size_t k = 0; k < lines.size(); ++k) vectors[k] = values.data() + lines[k].first_value;
}

// A stream catches what its operations throw and only sets badbit, which
// would turn memory running out into a short line or a 0.0; a string's
// stream sets badbit for nothing else, so it is asked to throw instead.
std::vector<std::string> &split_string(const std::string &text, char delimiter,
                                       std::vector<std::string> &fields) {
    std::istringstream stream(text);
    stream.exceptions(std::ios::badbit);
    std::string piece;
    while (std::getline(stream, piece, delimiter)) fields.push_back(piece);
    return fields;
}

void parse_double_field(const std::string &field, double &target) {
    std::istringstream stream(field);
    stream.exceptions(std::ios::badbit);
    stream >> target;
}

void read_input_table_plain(std::istream &in, InputTable &table) {
    som_internal::DefaultFloatingPoint environment;
    std::string line;
    size_t line_number = 0;
    std::vector<std::string> fields;
    while (std::getline(in, line)) {
        ++line_number;
        // A line with no field (empty, or empty but for the carriage return
        // of a CRLF ending) is no input vector.
        if (line.empty() || line == "\r") continue;
        fields.clear();
        split_string(line, '\t', fields);
        table.lines.push_back(
            InputLine{table.text.size(), line.size(), line_number, table.values.size(), fields.size()});
        table.text += line;
        for (const std::string &field : fields) {
            // A fresh target per field: a blank field adds 0.0, never a value
            // carried over from an earlier field.
            double value = 0.0;
            parse_double_field(field, value);
            table.values.push_back(value);
        }
    }
    table.finish();
}

namespace {

// Powers of ten that are exact doubles.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool parse_double_fast(const char *field, size_t length, double &target) {
    const char *p = field, *end = field + length;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    uint64_t mantissa = 0;
    int significant = 0;  // digits after leading zeros
    int exponent = 0;
    bool any_digit = false;
    for (; p < end && is_digit(*p); ++p) {
        any_digit = true;
        if (significant > 0 || *p != '0') {
            if (++significant > 19) return false;
            mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
        }
    }
    if (p < end && *p == '.') {
        for (++p; p < end && is_digit(*p); ++p) {
            any_digit = true;
            if (significant > 0 || *p != '0') {
                if (++significant > 19) return false;
                mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
            }
            --exponent;
        }
    }
    if (!any_digit) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        // The stream takes the 'e' and a sign even without digits after
        // them, and then rejects the whole field: leave those to it.
        ++p;
        bool negative_exponent = false;
        if (p < end && (*p == '-' || *p == '+')) negative_exponent = *p++ == '-';
        if (p == end || !is_digit(*p)) return false;
        int written = 0;
        for (; p < end && is_digit(*p); ++p) {
            if (written < 10000) written = written * 10 + (*p - '0');
        }
        exponent += negative_exponent ? -written : written;
    }
    // Whatever follows the number ends it, as in the stream.
    double value;
    if (mantissa == 0) {
        value = 0.0;
    } else {
        if (mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) return false;
        value = exponent >= 0 ? static_cast<double>(mantissa) * kExactPowers[exponent]
                              : static_cast<double>(mantissa) / kExactPowers[-exponent];
    }
    target = negative ? -value : value;
    return true;
}

void build_input_table(std::string &&input, InputTable &table) {
    som_internal::DefaultFloatingPoint environment;
    table.text = std::move(input);
    const char *base = table.text.data();
    const size_t size = table.text.size();
    // Counting first sizes the tables once: grown by doubling, they would
    // hold up to twice their contents, and three times while a copy moves.
    size_t newlines = 0, tabs = 0;
    for (const char *p = base; (p = static_cast<const char *>(std::memchr(p, '\n', size - (p - base))));
         ++p)
        ++newlines;
    for (const char *p = base; (p = static_cast<const char *>(std::memchr(p, '\t', size - (p - base))));
         ++p)
        ++tabs;
    table.lines.reserve(table.lines.size() + newlines + 1);
    table.values.reserve(table.values.size() + tabs + newlines + 1);
    size_t line_number = 0;
    std::string slow_field;
    for (size_t begin = 0; begin < size;) {
        const char *newline = static_cast<const char *>(std::memchr(base + begin, '\n', size - begin));
        size_t end = newline ? static_cast<size_t>(newline - base) : size;
        size_t next = newline ? end + 1 : size;
        ++line_number;
        size_t length = end - begin;
        if (length == 0 || (length == 1 && base[begin] == '\r')) {
            begin = next;
            continue;
        }
        InputLine line{begin, length, line_number, table.values.size(), 0};
        // Every piece before a TAB is a field, even an empty one; the piece
        // after the last TAB only when it is not empty.
        for (size_t field = begin;;) {
            const char *tab = static_cast<const char *>(std::memchr(base + field, '\t', end - field));
            size_t field_end = tab ? static_cast<size_t>(tab - base) : end;
            if (!tab && field_end == field) break;
            double value = 0.0;
            if (!parse_double_fast(base + field, field_end - field, value)) {
                slow_field.assign(base + field, field_end - field);
                parse_double_field(slow_field, value);
            }
            table.values.push_back(value);
            ++line.field_count;
            if (!tab) break;
            field = field_end + 1;
        }
        table.lines.push_back(line);
        begin = next;
    }
    table.finish();
}

bool read_input_table(int fd, InputTable &table) {
    std::string input;
    if (!read_descriptor(fd, input)) return false;
    build_input_table(std::move(input), table);
    return true;
}

size_t find_short_line(const InputTable &table, size_t n) {
    for (size_t k = 0; k < table.size(); ++k)
        if (table.lines[k].field_count < n) return k;
    return table.size();
}

std::string short_line_message(const InputTable &table, size_t index, size_t n) {
    const InputLine &line = table.lines[index];
    return "line " + std::to_string(line.line_number) + " has " + std::to_string(line.field_count) +
           (line.field_count == 1 ? " field" : " fields") + ", expected " + std::to_string(n);
}

}  // namespace somap
