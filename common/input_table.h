// The input table: TAB-separated text split into lines, fields and numbers,
// read the same way by every program of the project. Numbers are parsed in
// the default floating-point environment (round to nearest, no flush-to-zero)
// whatever the caller's, which they get back, as the library computes: a
// table is the same in every process, the Python module's included.
#ifndef SOMAP_COMMON_INPUT_TABLE_H
#define SOMAP_COMMON_INPUT_TABLE_H

#include <cstddef>
#include <istream>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace somap {

struct InputLine {
    size_t text_offset;  // into InputTable::text
    size_t text_length;  // without the newline, a carriage return kept
    size_t line_number;  // counted from 1 over all lines, blank ones included
    size_t first_value;  // into InputTable::values
    size_t field_count;  // at least 1: lines without a field are not kept
};

// Asks for memory of a few megabytes or more to be backed by huge pages
// where the system gives them on request (transparent huge pages in their
// madvise mode): filled a 4 KiB page at a time, the reader's buffers cost a
// page fault each, more time than the parsing itself. Only advice: where it
// is refused or ignored, the pages are ordinary ones and nothing else
// changes.
void advise_huge_pages(void *block, size_t bytes) noexcept;

// A std::allocator whose resize leaves new elements of trivial types
// uninitialised instead of zeroing them: the fast reader sizes its columns
// once and lets each of its threads write its own slice, so that the pages
// are first touched (and faulted in) by the threads that fill them rather
// than zeroed by one thread beforehand. Large blocks get advise_huge_pages.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() noexcept = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U> &) noexcept {}
    T *allocate(size_t count) {
        T *block = std::allocator<T>::allocate(count);
        advise_huge_pages(block, count * sizeof(T));
        return block;
    }
    template <typename U>
    void construct(U *place) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void *>(place)) U;
    }
    template <typename U, typename... Arguments>
    void construct(U *place, Arguments &&...arguments) {
        ::new (static_cast<void *>(place)) U(std::forward<Arguments>(arguments)...);
    }
};

template <typename T>
using Column = std::vector<T, UninitialisedAllocator<T>>;

// Lines without any field are dropped; every kept line has as many values
// as fields. `vectors` points into `values` and is built once, by finish()
// or by the fast reader itself.
struct InputTable {
    std::string text;
    Column<InputLine> lines;
    Column<double> values;
    Column<double *> vectors;

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

// The fast reader: the whole input in one buffer (read_descriptor), then
// one pass per line that finds the TABs and the newline while it converts
// the numbers (parse_double_fast's conversion, parse_double_field where that
// declines), on every core the library may use (som_max_threads) for input
// of a megabyte or more; its threads hold every asynchronous signal, which
// goes to the caller's threads as before. Gives the same table as
// read_input_table_plain. Returns false, with errno telling why, when the
// input could not be read to its end; the table is then left empty. Memory
// running out throws std::bad_alloc, on whichever thread it happened, and
// leaves the table empty.
bool read_input_table(int fd, InputTable &table);

// The same, over input already in memory; `text` becomes the table's text
// and replaces whatever the table held.
void build_input_table(std::string &&text, InputTable &table);

// How build_input_table shares out the parsing: input of at least
// `parallel_from` bytes is cut at line ends into `pieces` of about equal
// size (0: eight per thread, one for one thread; never pieces smaller than
// half of `parallel_from`), which up to `threads` threads (0: as many as
// som_max_threads() and the machine's hardware threads allow, which also
// cap a number given here) take one after the other. The table is the same
// however it is cut and shared; tests cut small inputs into many pieces
// with this.
struct ParseSharing {
    size_t parallel_from = size_t{1} << 20;
    size_t pieces = 0;
    unsigned threads = 0;
};
void build_input_table(std::string &&text, InputTable &table, const ParseSharing &sharing);

// Index of the first line with fewer than n fields, or table.size().
size_t find_short_line(const InputTable &table, size_t n);

// Why line `index` cannot be used with n inputs: "line 3 has 2 fields,
// expected 4".
std::string short_line_message(const InputTable &table, size_t index, size_t n);

}  // namespace somap

#endif
