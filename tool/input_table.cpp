#include "input_table.h"

#include <sstream>

namespace somap {

void InputTable::finish() {
    vectors.resize(lines.size());
    for (size_t k = 0; k < lines.size(); ++k) vectors[k] = values.data() + lines[k].first_value;
}

std::vector<std::string> &split_string(const std::string &text, char delimiter,
                                       std::vector<std::string> &fields) {
    std::istringstream stream(text);
    std::string piece;
    while (std::getline(stream, piece, delimiter)) fields.push_back(piece);
    return fields;
}

void parse_double_field(const std::string &field, double &target) {
    std::istringstream stream(field);
    stream >> target;
}

void read_input_table_plain(std::istream &in, InputTable &table) {
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

size_t find_short_line(const InputTable &table, size_t n) {
    for (size_t k = 0; k < table.size(); ++k)
        if (table.lines[k].field_count < n) return k;
    return table.size();
}

}  // namespace somap
