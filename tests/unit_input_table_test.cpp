// The input reader: splitting, field conversion and the table it builds;
// the fast parser and reader against the stream-based ones, bit for bit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "input_table.h"
#include "test_support.h"

namespace {

using somap::InputTable;
using somap::testing::bits;

struct SplitCase {
    const char *text;
    std::vector<std::string> fields;
};

TEST(SplitString, PiecesBetweenTabs) {
    const SplitCase cases[] = {
        {"1\t2\t3", {"1", "2", "3"}},
        {"1\t\t3", {"1", "", "3"}},
        {"\t2", {"", "2"}},
        {"1\t2\t", {"1", "2"}},  // one trailing TAB adds no field
        {"1\t2\t\t", {"1", "2", ""}},
        {"\t", {""}},
        {"", {}},
        {"1 2", {"1 2"}},  // a space separates nothing
    };
    for (const SplitCase &c : cases) {
        std::vector<std::string> fields = {"kept"};
        somap::split_string(c.text, '\t', fields);
        std::vector<std::string> expected = {"kept"};
        expected.insert(expected.end(), c.fields.begin(), c.fields.end());
        EXPECT_EQ(fields, expected) << '"' << c.text << '"';
    }
}

struct FieldCase {
    const char *field;
    double stored;  // what lands in a target that held 42.0
};

TEST(ParseDoubleField, StreamExtractionOutcomes) {
    const FieldCase cases[] = {
        {"2", 2.0},      {" 2 ", 2.0},   {"+2", 2.0},     {"1e3", 1000.0}, {"-0.5", -0.5},
        {".5", 0.5},     {"2\r", 2.0},   {"1,5", 1.0},    {"abc", 0.0},    {"", 42.0},
        {"   ", 42.0},   {"\r", 42.0},   {"inf", 0.0},    {"nan", 0.0},    {"0x10", 0.0},
        {"1e999", 1.7976931348623157e308}, {"-1e999", -1.7976931348623157e308},
        {"0.1", 0.1},    {"1e-400", 0.0},
    };
    for (const FieldCase &c : cases) {
        double target = 42.0;
        somap::parse_double_field(c.field, target);
        EXPECT_EQ(bits(target), bits(c.stored)) << '"' << c.field << "\" gave " << target;
    }
}

InputTable read(const std::string &input) {
    std::istringstream in(input);
    InputTable table;
    somap::read_input_table_plain(in, table);
    return table;
}

TEST(ReadInputTable, LinesRowsAndVectorsAgree) {
    for (const char *input : {"1\t2\n3\t4\n", "1\t2\n3\t4"}) {
        InputTable table = read(input);
        ASSERT_EQ(table.size(), 2u);
        EXPECT_EQ(table.line(0), "1\t2");
        EXPECT_EQ(table.line(1), "3\t4");
        ASSERT_EQ(table.vectors.size(), 2u);
        EXPECT_EQ(table.vectors[0][0], 1.0);
        EXPECT_EQ(table.vectors[0][1], 2.0);
        EXPECT_EQ(table.vectors[1][0], 3.0);
        EXPECT_EQ(table.vectors[1][1], 4.0);
    }
}

TEST(ReadInputTable, BlankFieldsAddZeroNeverAnEarlierValue) {
    InputTable table = read("7\t\t3\n\t2\n \t9\n");
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table.lines[0].field_count, 3u);
    EXPECT_EQ(table.vectors[0][1], 0.0);
    EXPECT_EQ(table.vectors[1][0], 0.0);
    EXPECT_EQ(table.vectors[2][0], 0.0);
    EXPECT_EQ(table.vectors[2][1], 9.0);
}

TEST(ReadInputTable, LinesWithoutFieldsAreDroppedButCounted) {
    InputTable table = read("\n1\t2\r\n\r\n\t\nabc\t4\n1,5\n\n");
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table.line(0), "1\t2\r");
    EXPECT_EQ(table.lines[0].line_number, 2u);
    EXPECT_EQ(table.line(1), "\t");  // one empty field is still a field
    EXPECT_EQ(table.lines[1].line_number, 4u);
    EXPECT_EQ(table.lines[1].field_count, 1u);
    EXPECT_EQ(table.vectors[2][0], 0.0);
    EXPECT_EQ(table.vectors[2][1], 4.0);
    EXPECT_EQ(table.lines[3].line_number, 6u);
    EXPECT_EQ(table.lines[3].field_count, 1u);
    EXPECT_EQ(table.vectors[3][0], 1.0);
}

TEST(ReadInputTable, EmptyInput) {
    InputTable table = read("");
    EXPECT_EQ(table.size(), 0u);
    EXPECT_TRUE(table.vectors.empty());
}

TEST(ReadInputTable, ShortLineIsFound) {
    InputTable table = read("1\t2\t3\n4\t5\t6\t7\n8\n");
    EXPECT_EQ(somap::find_short_line(table, 3), 2u);
    EXPECT_EQ(somap::find_short_line(table, 1), 3u);
    EXPECT_EQ(somap::find_short_line(table, 0), 3u);
}

// The descriptor reader sizes its buffer from a regular file's length and
// doubles it for a pipe; both, and a file already partly read, must give
// what the text itself gives.
TEST(ReadInputTable, FilesAndPipesGiveTheSameTable) {
    std::string text;
    for (int r = 0; r < 20000; ++r) text += std::to_string(r) + "\t" + std::to_string(r % 7) + ".5\n";
    const size_t skipped = 6;  // "0\t0.5\n", the first line
    InputTable expected;
    build_input_table(text.substr(skipped), expected);

    auto same = [&expected](const InputTable &table, const char *source) {
        ASSERT_EQ(table.size(), expected.size()) << source;
        EXPECT_EQ(table.text, expected.text) << source;
        ASSERT_EQ(table.values.size(), expected.values.size()) << source;
        for (size_t k = 0; k < table.values.size(); ++k)
            ASSERT_EQ(bits(table.values[k]), bits(expected.values[k])) << source << " value " << k;
    };

    somap::testing::TempDir dir;
    const std::string path = dir.file("input");
    somap::testing::write_file(path, text);
    const int file = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::lseek(file, static_cast<off_t>(skipped), SEEK_SET), static_cast<off_t>(skipped));
    InputTable from_file;
    somap::read_input_table(file, from_file);
    ::close(file);
    same(from_file, "file");

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::thread writer([&] {
        const std::string rest = text.substr(skipped);
        for (size_t done = 0; done < rest.size();) {
            ssize_t n = ::write(ends[1], rest.data() + done, rest.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(ends[1]);
    });
    InputTable from_pipe;
    somap::read_input_table(ends[0], from_pipe);
    writer.join();
    ::close(ends[0]);
    same(from_pipe, "pipe");
}

// ---- The fast parser and reader against the stream-based ones ----------

TEST(FastParser, MatchesStreamExtraction) {
    // Strings from an alphabet that reaches every branch of both parsers:
    // signs, points, exponents, blanks, junk, and long digit runs.
    const std::string alphabet = "0123456789000111.-+eE \r,xanif";
    std::mt19937_64 random(20261210);
    size_t fast_taken = 0;
    for (int trial = 0; trial < 200000; ++trial) {
        size_t length = random() % 24;
        std::string field;
        for (size_t c = 0; c < length; ++c) field += alphabet[random() % alphabet.size()];
        if (trial % 3 == 0) {
            // Well-formed numbers of every size, so the fast path is taken.
            std::ostringstream number;
            number.precision(static_cast<int>(random() % 20));
            double value = std::ldexp(static_cast<double>(random() % 1000003), static_cast<int>(random() % 140) - 70);
            number << ((random() & 1) ? -value : value);
            field = number.str();
            if (random() % 4 == 0) field += "\r";
        }
        double expected = 0.0, fast = 0.0;
        somap::parse_double_field(field, expected);
        if (somap::parse_double_fast(field.data(), field.size(), fast)) {
            ++fast_taken;
            ASSERT_EQ(bits(fast), bits(expected)) << '"' << field << '"';
        }
    }
    EXPECT_GT(fast_taken, 50000u);  // the comparison above must not be vacuous
}

void expect_same_tables(const std::string &input, const somap::ParseSharing &sharing = somap::ParseSharing());

TEST(FastParser, EdgeFields) {
    const std::string zeros(9999, '0'), more_zeros(99998, '0');
    const std::string fields[] = {"0",       "-0",    "+0.0",   "1e22",   "1e23",    "9007199254740993",
                                  "1e-22",   "5e-324", "1.",    ".5",     "-.5e1",   "1e",
                                  "1e+",     "1e-x",  "1.2.3",  "007",    "0.30000000000000004",
                                  "123456789012345678901", "1e5e",  "-",   "+",  ".", "e5", "12abc",
                                  // Zeros after the point against a long written exponent: the
                                  // two must cancel exactly or not be taken at all.
                                  "0." + zeros + "1e100000", "0." + more_zeros + "1e999999",
                                  "0." + zeros + "1e10000", "-0." + zeros + "5e9999", "1e100000",
                                  "1e-100000", "1e0000000000000000000000000005", "0.0000000000000000000001e22",
                                  "0." + std::string(100001, '0') + "1"};
    std::string line;
    for (const std::string &field : fields) {
        double expected = 0.0, fast = 0.0;
        somap::parse_double_field(field, expected);
        if (somap::parse_double_fast(field.data(), field.size(), fast)) {
            EXPECT_EQ(bits(fast), bits(expected)) << '"' << field.substr(0, 40) << "\" (" << field.size() << " bytes)";
        }
        line += field + '\t';
    }
    // And through the whole reader, whose own number path comes first.
    expect_same_tables(line + "\n" + line + "\n");
}

// Everything the fast reader builds against the literal reader's table:
// the text, every line's place, number and fields, the values bit for bit,
// the vectors, and what a short line is reported as.
void expect_same_tables(const std::string &input, const somap::ParseSharing &sharing) {
    std::istringstream in(input);
    somap::InputTable plain, fast;
    somap::read_input_table_plain(in, plain);
    somap::build_input_table(std::string(input), fast, sharing);
    const std::string context = "pieces " + std::to_string(sharing.pieces) + ", threads " +
                                std::to_string(sharing.threads) + ", input \"" + input.substr(0, 200) + '"';
    ASSERT_EQ(fast.text, input) << context;
    ASSERT_EQ(fast.size(), plain.size()) << context;
    ASSERT_EQ(fast.values.size(), plain.values.size()) << context;
    ASSERT_EQ(fast.vectors.size(), plain.vectors.size()) << context;
    size_t widest = 0;
    for (size_t k = 0; k < plain.size(); ++k) {
        const somap::InputLine &a = fast.lines[k], &b = plain.lines[k];
        ASSERT_EQ(fast.line(k), plain.line(k)) << "line " << k << ", " << context;
        ASSERT_EQ(a.line_number, b.line_number) << "line " << k << ", " << context;
        ASSERT_EQ(a.field_count, b.field_count) << "line " << k << ", " << context;
        ASSERT_EQ(a.first_value, b.first_value) << "line " << k << ", " << context;
        ASSERT_EQ(fast.vectors[k], fast.values.data() + a.first_value) << "line " << k << ", " << context;
        for (size_t f = 0; f < b.field_count; ++f)
            ASSERT_EQ(bits(fast.vectors[k][f]), bits(plain.vectors[k][f]))
                << "line " << k << ", field " << f << ", " << context;
        widest = std::max(widest, b.field_count);
    }
    for (size_t n = 0; n <= widest + 1; ++n) {
        const size_t k = somap::find_short_line(plain, n);
        ASSERT_EQ(somap::find_short_line(fast, n), k) << "n " << n << ", " << context;
        if (k < plain.size()) {
            ASSERT_EQ(somap::short_line_message(fast, k, n), somap::short_line_message(plain, k, n)) << context;
        }
    }
}

TEST(FastReader, MatchesPlainReader) {
    const std::string alphabet = "0123456789.-e\t\t\t\n\n\r  x";
    std::mt19937_64 random(7);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string input;
        size_t length = random() % 80;
        for (size_t c = 0; c < length; ++c) input += alphabet[random() % alphabet.size()];
        expect_same_tables(input);
    }
    for (const char *input : {"", "\n", "\r\n", "\t", "\t\n", "1\t2\t\n", "1\t2\t\t", "a\nb", "\n\n1"})
        expect_same_tables(input);
}

// A field of one of the shapes that take different ways through the fast
// reader: short decimals that fit one or two words of eight bytes, ones
// that just do not, long digit runs, exponents, signs, blanks, junk, NUL
// bytes and fields far longer than a word.
std::string random_field(std::mt19937_64 &random) {
    auto digits = [&random](size_t count) {
        std::string out;
        for (size_t c = 0; c < count; ++c) out += static_cast<char>('0' + random() % 10);
        return out;
    };
    std::string field;
    switch (random() % 12) {
        case 0:
        case 1:
        case 2:  // the usual field: digits, a point, digits
            field = digits(random() % 9) + "." + digits(random() % 10);
            break;
        case 3:
            field = digits(1 + random() % 20);
            break;
        case 4:
            field = digits(1 + random() % 3) + (random() % 2 ? "." + digits(random() % 4) : "") + "e" +
                    (random() % 2 ? "-" : "") + digits(random() % 3);
            break;
        case 5:
            field = digits(1 + random() % 40) + "." + digits(random() % 40);
            break;
        case 6: {  // longer than any buffer kept on the side
            const size_t length = 100 + random() % 3000;
            field = random() % 2 ? digits(length) : "0." + std::string(length, '0') + "1";
            break;
        }
        default: {
            static const char *const odd[] = {"",    " ",   " 2",  "2 ", "abc", "1,5", ".",    "-",
                                              "+",   ".5",  "5.",  "-.5", "inf", "nan", "0x1p3", "\r",
                                              "1e",  "1e+", "--1", "+-1", "1.2.3", "00007", "1e999"};
            field = odd[random() % (sizeof odd / sizeof *odd)];
            if (random() % 8 == 0) field.insert(random() % (field.size() + 1), 1, '\0');
            break;
        }
    }
    if (random() % 4 == 0) field.insert(0, 1, "+-"[random() % 2]);
    return field;
}

// Lines of such fields with every ending the readers tell apart: LF, CRLF,
// trailing TABs, a lone CR, blank lines, and a last line with or without
// its newline.
std::string random_table(std::mt19937_64 &random) {
    static const char *const endings[] = {"\n", "\n", "\n", "\r\n", "\t\n", "\t\t\n", "\r\r\n", "\n\n", "\r\n\r\n"};
    std::string input;
    const size_t lines = random() % 40;
    const size_t width = 1 + random() % 9;
    for (size_t line = 0; line < lines; ++line) {
        const size_t fields = random() % 5 == 0 ? random() % (width + 2) : width;
        for (size_t f = 0; f < fields; ++f) {
            if (f > 0) input += '\t';
            input += random_field(random);
        }
        input += endings[random() % (sizeof endings / sizeof *endings)];
    }
    if (random() % 3 == 0 && !input.empty()) input.pop_back();
    return input;
}

// The fast reader cut into pieces at every kind of place, on one thread
// and on two, gives the literal reader's table: line numbers count across
// pieces, values land in file order, and the first short line is the same
// whichever piece holds it.
TEST(FastReader, SameTableHoweverTheTextIsCut) {
    std::mt19937_64 random(20261211);
    for (int trial = 0; trial < 400; ++trial) {
        const std::string input = random_table(random);
        for (unsigned threads : {1u, 2u}) {
            for (size_t pieces : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, input.size() + 1}) {
                somap::ParseSharing sharing;
                sharing.parallel_from = 1;
                sharing.pieces = pieces;
                sharing.threads = threads;
                expect_same_tables(input, sharing);
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
    }
}

// Input of a few megabytes with the default sharing, and cut where asked
// from a given size on: blank lines and trailing TABs early on leave the
// first pieces short of what their delimiters promised, so the later ones
// move down to close the gap.
TEST(FastReader, LargeInputWithGapsBetweenPieces) {
    std::string input;
    for (int r = 0; r < 200000; ++r) {
        input += "0." + std::to_string(r) + "\t" + std::to_string(r % 97);
        input += r % 1000 == 0 ? "\t\n\n" : "\r\n";
    }
    input += "7";  // a short last line without a newline
    expect_same_tables(input);
    somap::ParseSharing sharing;
    sharing.parallel_from = input.size() / 4;
    sharing.pieces = 3;
    expect_same_tables(input, sharing);
}

// Numbers are parsed with round to nearest on every thread whatever the
// caller's rounding, which the caller gets back: decimals such as 0.1 fall
// between two doubles, and the other roundings pick the other one.
TEST(FastReader, DefaultRoundingWhateverTheCallers) {
    std::string input;
    for (int r = 0; r < 3000; ++r) input += "0.1\t0.7\t2.675\t-0.3333\t1e-5\t123.456\t" + std::to_string(r) + ".3\n";
    somap::InputTable expected;
    somap::build_input_table(std::string(input), expected);
    somap::ParseSharing sharing;
    sharing.parallel_from = 1;
    sharing.pieces = 4;
    sharing.threads = 2;
    for (int rounding : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(rounding), 0);
        somap::InputTable table;
        somap::build_input_table(std::string(input), table, sharing);
        const int after = std::fegetround();
        std::fesetround(FE_TONEAREST);
        EXPECT_EQ(after, rounding);
        ASSERT_EQ(table.values.size(), expected.values.size());
        for (size_t k = 0; k < expected.values.size(); ++k)
            ASSERT_EQ(bits(table.values[k]), bits(expected.values[k])) << "rounding " << rounding << ", value " << k;
    }
}

}  // namespace
