// The input table: TAB-separated text split into lines, fields and numbers,
// read the same way by every program of the project. Numbers are parsed in
// the default floating-point environment (round to nearest, no flush-to-zero)
// whatever the caller's, which they get back, as the library computes: a
// table is the same in every process, the Python module's included.
#ifndef SOMAP_COMMON_INPUT_TABLE_H
#define SOMAP_COMMON_INPUT_TABLE_H

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace somap {

struct InputLine {
    size_t text_offset;  // into InputTable::text
    size_t text_length;  // without the newline, a carriage return kept
    size_t line_number;  // counted from 1 over all lines, blank ones included
    size_t first_value;  // into InputTable::values
    size_t field_count;  // at least 1: lines without a field are not kept
};

// Lines without any field are dropped; every kept line has as many values
// as fields. `vectors` points into `values` and is built once, by finish().
struct InputTable {
    std::string text;
    std::vector<InputLine> lines;
    std::vector<double> values;
    std::vector<double *> vectors;

    size_t size() const { return lines.size(); }
    std::string_view line(size_t k) const {
        return std::string_view(text).substr(lines[k].text_offset, lines[k].text_length);
    }
    void finish();
};

// Appends to `fields` the pieces of `text` between single `delimiter`s, as
// repeated delimited reads of a string stream give them: a trailing
// delimiter adds no empty piece, an empty text gives none.
std::vector<std::string> &split_string(const std::string &text, char delimiter,
                                       std::vector<std::string> &fields);

// Formatted extraction of a double from the field with a fresh string
// stream; an empty or blank field stores nothing into `target`.
void parse_double_field(const std::string &field, double &target);

// The literal reader: line by line from the stream, each field through
// split_string and parse_double_field. Empty and blank fields add 0.0.
void read_input_table_plain(std::istream &in, InputTable &table);

// Converts a field as parse_double_field does, when the field is a plain
// decimal number whose value one correctly rounded multiplication or
// division gives exactly (at most 19 significant digits, a mantissa up to
// 2^53, a power of ten up to 10^22); returns false, storing nothing, for
// every other field.
bool parse_double_fast(const char *field, size_t length, double &target);

// The fast reader: the whole input in one buffer (read_descriptor), lines
// and fields found with memchr, numbers through parse_double_fast with
// parse_double_field as the fallback. Gives the same table as read_input_table_plain. Returns
// false, with errno telling why, when the input could not be read to its
// end; the table is then left empty.
bool read_input_table(int fd, InputTable &table);

// The same, over input already in memory; `text` becomes the table's text.
void build_input_table(std::string &&text, InputTable &table);

// Index of the first line with fewer than n fields, or table.size().
size_t find_short_line(const InputTable &table, size_t n);

// Why line `index` cannot be used with n inputs: "line 3 has 2 fields,
// expected 4".
std::string short_line_message(const InputTable &table, size_t index, size_t n);

}  // namespace somap

#endif
