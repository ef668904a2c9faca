// The fast input reader against the literal one. The fast reader finds lines
// and fields word by word, converts most numbers itself and may cut the text
// into pieces parsed on threads of their own; the literal one uses getline
// and a string stream per field, which is the documented behaviour. Any
// difference in the tables, cut or not, or between the two number parsers
// on a single field, aborts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "input_table.h"

namespace {

uint64_t bits(double value) {
    uint64_t out;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

[[noreturn]] void differ(const char *what, size_t where) {
    std::fprintf(stderr, "fuzz_input_reader: %s differs at %zu\n", what, where);
    std::abort();
}

// The table's own invariants: each kept line has a field, its values sit
// where it says, and `vectors` points at them.
void check_shape(const somap::InputTable &table, const char *which) {
    size_t next_value = 0;
    if (table.vectors.size() != table.lines.size()) differ(which, 0);
    for (size_t k = 0; k < table.lines.size(); ++k) {
        const somap::InputLine &line = table.lines[k];
        if (line.field_count == 0 || line.first_value != next_value ||
            line.text_offset + line.text_length > table.text.size() ||
            table.vectors[k] != table.values.data() + line.first_value)
            differ(which, k);
        next_value += line.field_count;
    }
    if (next_value != table.values.size()) differ(which, table.lines.size());
}

void compare_tables(const somap::InputTable &fast, const somap::InputTable &plain) {
    check_shape(fast, "fast table shape");
    check_shape(plain, "plain table shape");
    if (fast.size() != plain.size()) differ("line count", fast.size());
    for (size_t k = 0; k < fast.size(); ++k) {
        const somap::InputLine &a = fast.lines[k], &b = plain.lines[k];
        if (fast.line(k) != plain.line(k)) differ("line text", k);
        if (a.line_number != b.line_number) differ("line number", k);
        if (a.field_count != b.field_count) differ("field count", k);
        for (size_t f = 0; f < a.field_count; ++f)
            if (bits(fast.vectors[k][f]) != bits(plain.vectors[k][f])) differ("value", k);
    }
}

// Every piece between TABs and newlines, as the readers cut fields (a
// carriage return stays in the last field of a CRLF line). Where the fast
// parser takes a field it must store what the stream stores, and where it
// declines it must store nothing.
void compare_fields(const char *text, size_t size) {
    const double untouched = -12345.678;
    std::string field;
    for (size_t begin = 0; begin <= size;) {
        size_t end = begin;
        while (end < size && text[end] != '\t' && text[end] != '\n') ++end;
        double fast = untouched;
        if (somap::parse_double_fast(text + begin, end - begin, fast)) {
            double plain = untouched;
            field.assign(text + begin, end - begin);
            somap::parse_double_field(field, plain);
            if (bits(fast) != bits(plain)) differ("field value", begin);
        } else if (bits(fast) != bits(untouched)) {
            differ("declined field stored a value", begin);
        }
        begin = end + 1;
    }
}

// The input as the program gets it: read from a descriptor to its end. An
// anonymous memory file stands in for standard input.
void read_through_descriptor(const char *text, size_t size, somap::InputTable &table) {
    static const int fd = memfd_create("somap-fuzz-input", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0) differ("memory file setup", 0);
    for (size_t done = 0; done < size;) {
        ssize_t wrote = pwrite(fd, text + done, size - done, static_cast<off_t>(done));
        if (wrote <= 0) differ("memory file write", done);
        done += static_cast<size_t>(wrote);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) differ("memory file seek", 0);
    if (!somap::read_input_table(fd, table)) differ("memory file read", 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    std::string input(text, size);

    somap::InputTable fast;
    somap::build_input_table(std::string(input), fast);
    if (fast.text != input) differ("kept text", 0);

    somap::InputTable plain;
    std::istringstream stream(input);
    somap::read_input_table_plain(stream, plain);

    compare_tables(fast, plain);
    compare_fields(text, size);

    // A short row is reported from its line number and field count, which
    // the tables share by now; what is left is that the search finds the
    // first short line, for the first line's width as a created map uses it
    // and for one more, as a loaded map may ask.
    for (size_t extra = 0; extra < 2; ++extra) {
        const size_t n = (fast.size() ? fast.lines[0].field_count : 0) + extra;
        const size_t k = somap::find_short_line(fast, n);
        if (k > fast.size() || (k < fast.size() && fast.lines[k].field_count >= n))
            differ("first short line", k);
        for (size_t before = 0; before < k; ++before)
            if (fast.lines[before].field_count < n) differ("first short line", before);
    }

    // The text cut at line ends into pieces parsed on two threads: in two,
    // in a handful, and at every line, each piece a small input of its own
    // with its own first and last line.
    for (size_t pieces : {size_t{2}, size_t{5}, size + 1}) {
        somap::ParseSharing sharing;
        sharing.parallel_from = 1;
        sharing.pieces = pieces;
        sharing.threads = 2;
        somap::InputTable cut;
        somap::build_input_table(std::string(input), cut, sharing);
        if (cut.text != input) differ("kept text, cut into pieces", pieces);
        compare_tables(cut, plain);
    }

    somap::InputTable from_fd;
    read_through_descriptor(text, size, from_fd);
    if (from_fd.text != input) differ("text read from a descriptor", 0);
    compare_tables(from_fd, plain);
    return 0;
}
