#include "input_table.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <exception>
#include <sstream>
#include <thread>

#include "file_io.h"
#include "som/base/exact_build.h"
#include "som/base/fp_environment.h"
#include "som/som.h"

namespace somap {

void advise_huge_pages(void *block, size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    // Two huge pages of 2 MiB at least, so that one lies wholly inside.
    if (bytes < (size_t{4} << 20)) return;
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const uintptr_t page = static_cast<uintptr_t>(page_size);
    // Only the pages wholly inside the block, which are its own.
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + page - 1) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) / page * page;
    // A refusal (no such support, a kernel built without it) leaves the
    // ordinary pages, which is all there is to do about it.
    if (end > begin) (void)::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

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

// Powers of ten that are exact doubles (5^22 < 2^53), and the same as
// integers for the word-wise path below.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr uint64_t kIntegerPowers[] = {1,          10,          100,          1000,          10000,
                                       100000,     1000000,     10000000,     100000000};

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The double the stream gives for the decimal number mantissa * 10^exponent,
// where mantissa <= 2^53 and |exponent| <= 22 (or mantissa == 0).
//
// Why this is exact: the stream converts a field with strtod in the
// classic locale, which gives the correctly rounded double of the decimal
// value (round to nearest, ties to even, in the default environment the
// reader puts in force). A mantissa up to 2^53 is a double exactly, and so
// is 10^k for k <= 22, so the exact value m * 10^e is the exact product
// m * 10^e, or for e < 0 the exact quotient m / 10^-e, of two doubles; IEEE
// arithmetic rounds that one operation correctly, to the same double. It
// neither overflows (at most 2^53 * 10^22) nor leaves the normal range (at
// least 10^-22). Negation is exact, and a zero mantissa gives the zero of
// the field's sign, as strtod does.
inline double decimal_value(uint64_t mantissa, int exponent, bool negative) {
    double value = 0.0;
    if (mantissa != 0)
        value = exponent >= 0 ? static_cast<double>(mantissa) * kExactPowers[exponent]
                              : static_cast<double>(mantissa) / kExactPowers[-exponent];
    return negative ? -value : value;
}

}  // namespace

// Beyond this many places either way a field is never within 22 of zero
// unless its zeros and its written exponent cancel, which this path then
// leaves to the stream.
constexpr int kExponentLimit = 100000;

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
            // Zeros past kExponentLimit leave the field to the stream, so
            // that this count and the written exponent below both stay far
            // inside int and their sum is exact.
            if (--exponent < -kExponentLimit) return false;
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
        // A written exponent is never clamped: a clamped one could be
        // cancelled by as many zeros after the point into an exponent this
        // path accepts ("0.<9999 zeros>1e100000" would read as 1). Past the
        // limit the field is the stream's.
        int written = 0;
        for (; p < end && is_digit(*p); ++p) {
            written = written * 10 + (*p - '0');
            if (written > kExponentLimit) return false;
        }
        exponent += negative_exponent ? -written : written;
    }
    // Whatever follows the number ends it, as in the stream. At most 19
    // significant digits fit the 64-bit mantissa; decimal_value needs it up
    // to 2^53 and the exponent within 22 of zero.
    if (mantissa != 0 && (mantissa > (uint64_t{1} << 53) || exponent < -22 || exponent > 22)) return false;
    target = decimal_value(mantissa, exponent, negative);
    return true;
}

namespace {

// ---- The text eight bytes at a time ------------------------------------
//
// Byte k of a word is text[k], whatever the machine's byte order. These
// only find bytes; every number is still made by decimal_value.

inline uint64_t load_word(const char *p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

constexpr uint64_t every_byte(unsigned char b) { return 0x0101010101010101ull * b; }

// The top bit of each byte of `word` that is zero, and no other bit: the
// low seven bits are added apart from the top one, so nothing carries from
// one byte into the next.
inline uint64_t zero_bytes(uint64_t word) {
    const uint64_t low = every_byte(0x7f);
    return ~(((word & low) + low) | word | low);
}

inline uint64_t delimiter_bytes(uint64_t word) {
    return zero_bytes(word ^ every_byte('\t')) | zero_bytes(word ^ every_byte('\n'));
}

// `digits` is a word with '0' taken off every byte (word ^ '0': a digit
// becomes 0..9). A byte is no digit when its high nibble, or that of the
// byte plus 6, is not zero: flagged with a bit in its high nibble. The
// addition carries out of a byte only from 0xfa..0xff, which are no digits,
// so the lowest flagged byte, and every byte below it, are flagged exactly;
// so is the next flagged byte when the lowest one carries nothing.
inline uint64_t non_digit_bytes(uint64_t digits) {
    return (digits | (digits + every_byte(6))) & every_byte(0xf0);
}

// The number that the first `count` (1 to 8) digits of `digits` write.
// Shifted to the top of the word, they are the last digits of an 8-digit
// number with leading zeros. Each byte times 10 plus the next byte pairs
// the digits (99 at most: nothing carries); bytes 0 and 4, and 2 and 6, of
// that hold the pairs, which two multiplications weigh by 10^6 and 10^2, and
// 10^4 and 1, into bits 32 to 63 (at most 99999999).
inline uint64_t digits_value(uint64_t digits, unsigned count) {
    uint64_t v = digits << (8 * (8 - count));
    v = v * 10 + (v >> 8);
    const uint64_t pairs = 0x000000ff000000ffull;
    v = ((v & pairs) * (100 + (1000000ull << 32)) + ((v >> 16) & pairs) * (1 + (10000ull << 32))) >> 32;
    return v;
}

// Bytes 0 to count - 1 of a word.
inline uint64_t low_bytes(unsigned count) { return (uint64_t{1} << (8 * count)) - 1; }

// The usual field: [sign] digits [. digits] ended by a TAB, a newline, or a
// carriage return and a newline. Its value, as parse_double_fast would give
// it, and where it ends (at the TAB or the newline); false for every other
// field, which the caller then takes apart byte by byte.
//
// The digits are the same, so are the mantissa they write (leading zeros
// add nothing to it) and the exponent (minus the digits after the point),
// and both take the same call of decimal_value: at most 14 digits make a
// mantissa below 2^53, and at most 7 after the point an exponent within 22
// of zero.
//
// How many bytes from a field's start it may read: a sign, the word of the
// digits before the point (at most 7, and the byte after them), the word
// after the point (the same), and the newline after a carriage return:
// bytes 0 to 17.
constexpr size_t kWordReach = 18;

inline bool word_field(const char *p, double &value, const char *&stop) {
    const bool negative = *p == '-';
    const char *const q = p + (negative || *p == '+');
    const uint64_t word = load_word(q);
    const uint64_t digits = word ^ every_byte('0');
    const uint64_t flagged = non_digit_bytes(digits);
    if (flagged == 0) return false;
    const unsigned whole = static_cast<unsigned>(__builtin_ctzll(flagged)) / 8;
    unsigned end = whole, count = whole;
    int exponent = 0;
    uint64_t packed = digits;
    if (((word >> (8 * whole)) & 0xff) == '.') {
        // The point is the lowest flagged byte and carries nothing, so the
        // next flagged byte is exact too.
        const uint64_t after = (flagged >> (8 * whole)) >> 8;
        if (after != 0) {
            // The whole number and its end within this word: the digits on
            // both sides of the point packed together.
            const unsigned fraction = static_cast<unsigned>(__builtin_ctzll(after)) / 8;
            end = whole + 1 + fraction;
            count = whole + fraction;
            exponent = -static_cast<int>(fraction);
            const uint64_t after_point = ((digits >> (8 * whole)) >> 8) & low_bytes(fraction);
            packed = (digits & low_bytes(whole)) | (after_point << (8 * whole));
        } else {
            // Digits after the point run on into the next word.
            if (whole == 7) return false;
            const uint64_t next = load_word(q + whole + 1) ^ every_byte('0');
            const uint64_t next_flagged = non_digit_bytes(next);
            if (next_flagged == 0) return false;
            const unsigned fraction = static_cast<unsigned>(__builtin_ctzll(next_flagged)) / 8;
            if (whole + fraction > 14) return false;
            uint64_t mantissa = whole == 0 ? 0 : digits_value(digits, whole);
            mantissa = mantissa * kIntegerPowers[fraction] + digits_value(next, fraction);
            const char *after_number = q + whole + 1 + fraction;
            if (*after_number != '\t' && *after_number != '\n') {
                if (*after_number != '\r' || after_number[1] != '\n') return false;
                ++after_number;
            }
            value = decimal_value(mantissa, -static_cast<int>(fraction), negative);
            stop = after_number;
            return true;
        }
    }
    if (count == 0) return false;
    const char *after_number = q + end;
    const unsigned next_byte = static_cast<unsigned>((word >> (8 * end)) & 0xff);
    if (next_byte != '\t' && next_byte != '\n') {
        // The number ends at the carriage return of a CRLF line; the field
        // runs on to the newline.
        if (next_byte != '\r' || after_number[1] != '\n') return false;
        ++after_number;
    }
    value = decimal_value(digits_value(packed, count), exponent, negative);
    stop = after_number;
    return true;
}

// The first TAB or newline in [p, end), or end.
const char *find_delimiter(const char *p, const char *end) {
    for (; end - p >= 8; p += 8) {
        const uint64_t found = delimiter_bytes(load_word(p));
        if (found != 0) return p + __builtin_ctzll(found) / 8;
    }
    for (; p < end; ++p)
        if (*p == '\t' || *p == '\n') return p;
    return end;
}

// Newlines and TABs in [p, end), sixteen bytes at a time (GCC's vector
// extensions: SSE2 on x86-64, NEON on AArch64, plain words elsewhere). A
// lane that matches is -1, so subtracting it counts in that byte; at most
// 255 rounds before the lanes are added up.
struct Delimiters {
    size_t newlines = 0, tabs = 0;
};
Delimiters count_delimiters(const char *p, const char *end) {
    typedef unsigned char Bytes __attribute__((vector_size(16)));
    typedef signed char Lanes __attribute__((vector_size(16)));
    Delimiters count;
    while (end - p >= 16) {
        Bytes newlines = {}, tabs = {};
        for (int round = 0; round < 255 && end - p >= 16; ++round, p += 16) {
            Lanes bytes;
            std::memcpy(&bytes, p, sizeof bytes);
            newlines -= reinterpret_cast<Bytes>(bytes == '\n');
            tabs -= reinterpret_cast<Bytes>(bytes == '\t');
        }
        for (int lane = 0; lane < 16; ++lane) {
            count.newlines += newlines[lane];
            count.tabs += tabs[lane];
        }
    }
    for (; p < end; ++p) {
        count.newlines += *p == '\n';
        count.tabs += *p == '\t';
    }
    return count;
}

// A field the word-wise path did not take: the stream's value, through
// parse_double_fast where it can. An empty or blank field stores nothing,
// so it adds 0.0.
double field_value(const char *field, size_t length, std::string &scratch) {
    double value = 0.0;
    if (length != 0 && !parse_double_fast(field, length, value)) {
        scratch.assign(field, length);
        parse_double_field(scratch, value);
    }
    return value;
}

// One piece of the text, whole lines, parsed by one thread into its own
// slices of the table's columns.
struct Piece {
    size_t begin = 0, end = 0;  // its bytes
    Delimiters delimiters;
    size_t line_bound = 0;  // at most this many lines and values: a line
    size_t value_bound = 0; // ends at a newline or the end of the text, a field at a TAB too
    size_t first_line = 0;  // where its slices of the columns start
    size_t first_value = 0;
    size_t lines_before = 0;  // lines of the text before it, blank ones included
    size_t lines_made = 0, values_made = 0;
    std::exception_ptr error;
};

// Every line of the piece into its slices: lines, values and the vectors
// pointing at them.
void parse_piece(InputTable &table, Piece &piece) {
    const char *const base = table.text.data();
    const char *const text_end = base + table.text.size();
    // Where the word-wise path may start without reading past the text.
    const char *const word_limit = table.text.size() >= kWordReach ? text_end - kWordReach + 1 : base;
    const char *p = base + piece.begin;
    const char *const end = base + piece.end;
    InputLine *line_out = table.lines.data() + piece.first_line;
    double **vector_out = table.vectors.data() + piece.first_line;
    double *const values = table.values.data() + piece.first_value;
    double *out = values;
    size_t line_number = piece.lines_before;
    std::string scratch;
    while (p < end) {
        ++line_number;
        // A line with no field (empty, or empty but for the carriage return
        // of a CRLF ending) is no input vector.
        if (*p == '\n') {
            ++p;
            continue;
        }
        if (*p == '\r' && (p + 1 == end || p[1] == '\n')) {
            p += p + 1 == end ? 1 : 2;
            continue;
        }
        const char *const line = p;
        double *const first = out;
        // Every piece before a TAB is a field, even an empty one; the piece
        // after the last TAB only when it is not empty.
        for (;;) {
            double value;
            const char *stop;
            if (p >= word_limit || !word_field(p, value, stop)) {
                stop = find_delimiter(p, end);
                if (stop == p && (stop == end || *stop == '\n')) break;
                value = field_value(p, static_cast<size_t>(stop - p), scratch);
            }
            *out++ = value;
            p = stop;
            if (p == end || *p == '\n') break;
            ++p;
        }
        *line_out++ = InputLine{static_cast<size_t>(line - base), static_cast<size_t>(p - line), line_number,
                                piece.first_value + static_cast<size_t>(first - values),
                                static_cast<size_t>(out - first)};
        *vector_out++ = first;
        if (p < end) ++p;
    }
    piece.lines_made = static_cast<size_t>(line_out - (table.lines.data() + piece.first_line));
    piece.values_made = static_cast<size_t>(out - values);
}

// Asynchronous signals held on the calling thread while it starts the
// workers, which inherit the mask: a signal meant for the process then
// still goes to a thread that was there before the reader, as it would
// with one thread, and a handler never runs on a worker. The faults a
// thread raises on itself (SIGSEGV and the like) stay open: blocked, a
// real one would be undefined.
class WorkerSignalMask {
  public:
    WorkerSignalMask() noexcept {
        sigset_t held;
        sigfillset(&held);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&held, fault);
        held_ = pthread_sigmask(SIG_BLOCK, &held, &previous_) == 0;
    }
    ~WorkerSignalMask() {
        if (held_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    WorkerSignalMask(const WorkerSignalMask &) = delete;
    WorkerSignalMask &operator=(const WorkerSignalMask &) = delete;
    bool held() const { return held_; }

  private:
    sigset_t previous_;
    bool held_ = false;
};

// Runs work(piece) for every piece on `threads` threads, the calling one
// included, each taking the next piece nobody has taken until none is
// left: a thread that the system holds up (a busy machine) leaves the
// pieces it has not reached to the others, and one that cannot be started
// at all (a limit on threads or on memory) leaves them all. What a piece
// throws is kept with it, and the first piece's exception in text order is
// thrown once every thread has been joined.
template <typename Work>
void on_every_piece(std::vector<Piece> &pieces, size_t threads, const Work &work) {
    std::atomic<size_t> next{0};
    // Which thread takes a piece changes nothing but the time: each piece
    // writes its own slices, and joining the threads publishes them.
    auto take_pieces = [&pieces, &next, &work]() noexcept {
        for (size_t k; (k = next.fetch_add(1, std::memory_order_relaxed)) < pieces.size();) {
            try {
                work(pieces[k]);
            } catch (...) {
                pieces[k].error = std::current_exception();
            }
        }
    };
    std::vector<std::thread> workers;
    if (threads > 1) {
        WorkerSignalMask mask;
        if (mask.held()) {
            try {
                workers.reserve(threads - 1);
                for (size_t t = 1; t < threads; ++t)
                    workers.emplace_back([&take_pieces] {
                        // Numbers are parsed in the default environment on
                        // every thread, whatever the one that started it had.
                        som_internal::DefaultFloatingPoint environment;
                        take_pieces();
                    });
            } catch (...) {
            }
        }
    }
    take_pieces();
    for (std::thread &worker : workers) worker.join();
    for (Piece &piece : pieces)
        if (piece.error) std::rethrow_exception(piece.error);
}

// The text cut at line ends into up to `parts` pieces of about equal size;
// a line longer than a piece's share leaves fewer.
std::vector<Piece> cut_into_pieces(const std::string &text, size_t parts) {
    const size_t size = text.size();
    std::vector<Piece> pieces;
    pieces.reserve(parts);
    size_t begin = 0;
    for (size_t k = 1; k < parts; ++k) {
        // About k / parts of the text, without overflow.
        size_t cut = size / parts * k + size % parts * k / parts;
        if (cut <= begin) continue;
        // After the first newline from the byte before it on: a cut that is
        // a line start already stays.
        const void *newline = std::memchr(text.data() + cut - 1, '\n', size - (cut - 1));
        if (newline == nullptr) break;
        cut = static_cast<size_t>(static_cast<const char *>(newline) - text.data()) + 1;
        if (cut >= size) break;
        Piece piece;
        piece.begin = begin;
        piece.end = cut;
        pieces.push_back(piece);
        begin = cut;
    }
    Piece last;
    last.begin = begin;
    last.end = size;
    pieces.push_back(last);
    return pieces;
}

// Enough pieces that the share of a thread held up is small, few enough
// that each is megabytes at W4's size.
constexpr size_t kPiecesPerThread = 8;

// Threads the library allows (som_max_threads), never more than the
// machine's hardware threads, and no more than asked.
size_t thread_count(const ParseSharing &sharing) {
    const unsigned hardware = std::thread::hardware_concurrency();
    size_t allowed = std::min<size_t>(som_max_threads(), hardware == 0 ? 1 : hardware);
    if (sharing.threads != 0) allowed = std::min<size_t>(allowed, sharing.threads);
    return std::max<size_t>(1, allowed);
}

size_t piece_count(size_t size, size_t threads, const ParseSharing &sharing) {
    if (size == 0 || size < sharing.parallel_from) return 1;
    const size_t wanted = sharing.pieces != 0 ? sharing.pieces : threads == 1 ? 1 : threads * kPiecesPerThread;
    const size_t smallest = std::max<size_t>(1, sharing.parallel_from / 2);
    return std::max<size_t>(1, std::min<size_t>(wanted, size / smallest));
}

void parse_text(InputTable &table, const ParseSharing &sharing) {
    const std::string &text = table.text;
    size_t threads = thread_count(sharing);
    std::vector<Piece> pieces = cut_into_pieces(text, piece_count(text.size(), threads, sharing));
    threads = std::min(threads, pieces.size());

    // Counting first sizes the columns once, as one allocation each: grown
    // by doubling they would hold up to twice their contents, three times
    // while a copy moves, and every piece after the first would have to be
    // copied into place. Each piece is counted on the thread that parses it.
    on_every_piece(pieces, threads, [&text](Piece &piece) {
        piece.delimiters = count_delimiters(text.data() + piece.begin, text.data() + piece.end);
    });
    size_t lines = 0, values = 0, lines_before = 0;
    for (Piece &piece : pieces) {
        // Only the text's last line can end without a newline.
        const bool open_end = piece.end > piece.begin && text[piece.end - 1] != '\n';
        piece.line_bound = piece.delimiters.newlines + open_end;
        piece.value_bound = piece.delimiters.tabs + piece.line_bound;
        piece.first_line = lines;
        piece.first_value = values;
        piece.lines_before = lines_before;
        lines += piece.line_bound;
        values += piece.value_bound;
        lines_before += piece.delimiters.newlines;
    }
    // Left uninitialised (UninitialisedAllocator): each thread touches the
    // pages of its own slices first.
    table.lines.resize(lines);
    table.values.resize(values);
    table.vectors.resize(lines);

    on_every_piece(pieces, threads, [&table](Piece &piece) { parse_piece(table, piece); });

    // Blank lines and trailing TABs leave a piece short of its bounds; the
    // pieces after it move down to close the gap (in the usual table there
    // is none).
    lines = 0;
    values = 0;
    for (const Piece &piece : pieces) {
        if (piece.first_line != lines || piece.first_value != values) {
            const size_t shift = piece.first_value - values;
            std::memmove(table.lines.data() + lines, table.lines.data() + piece.first_line,
                         piece.lines_made * sizeof(InputLine));
            std::memmove(table.values.data() + values, table.values.data() + piece.first_value,
                         piece.values_made * sizeof(double));
            for (size_t k = lines; k < lines + piece.lines_made; ++k) {
                table.lines[k].first_value -= shift;
                table.vectors[k] = table.values.data() + table.lines[k].first_value;
            }
        }
        lines += piece.lines_made;
        values += piece.values_made;
    }
    table.lines.resize(lines);
    table.values.resize(values);
    table.vectors.resize(lines);
}

}  // namespace

void build_input_table(std::string &&input, InputTable &table, const ParseSharing &sharing) {
    som_internal::DefaultFloatingPoint environment;
    table.lines.clear();
    table.values.clear();
    table.vectors.clear();
    table.text = std::move(input);
    try {
        parse_text(table, sharing);
    } catch (...) {
        // No part of a table that could not be finished is left to be
        // taken for the input.
        table = InputTable();
        throw;
    }
}

void build_input_table(std::string &&input, InputTable &table) {
    build_input_table(std::move(input), table, ParseSharing());
}

bool read_input_table(int fd, InputTable &table) {
    std::string input;
    // A regular file's buffer is the size of what is left of it, and one
    // byte to see its end, as read_descriptor makes it: made here first, it
    // takes the advice before a page of it is touched.
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at >= 0 && at < info.st_size) {
            input.reserve(static_cast<size_t>(info.st_size - at) + 1);
            advise_huge_pages(input.data(), input.capacity());
        }
    }
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
