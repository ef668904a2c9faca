// The option parser on command lines built from arbitrary bytes, two ways.
//
// As it comes: the input split at NUL bytes gives argv[1..] (argv[0] being
// "somap"). Whatever getopt_long makes of it, the parser must return -1 (go
// on), 0 or 1, leave no negative iteration count to the run, and give the
// same answer when asked again, so that nothing of one parse leaks into the
// next.
//
// As a script: each NUL-separated piece names an option (its first byte picks
// which and how it is spelt: short, clustered, long, abbreviated, with `=` or
// a separate value) and the rest of the piece is its value. For such a
// command line the outcome is known without getopt: the values are read in
// order with parse_int_option, the last one wins, a value that does not parse
// (or a negative iteration count) ends the run with status 1, and --help ends
// it with status 0. The parser must agree exactly.
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "options.h"

namespace {

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_options: %s\n", what);
    std::abort();
}

// Takes every character, so std::cerr goes on formatting as in a real run
// (no error state, nothing skipped) while nothing reaches the terminal.
class DiscardBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char *, std::streamsize count) override { return count; }
};

struct Outcome {
    int status = -1;
    somap::RunSettings settings;
};

bool operator==(const Outcome &a, const Outcome &b) {
    return a.status == b.status && a.settings.iterations == b.settings.iterations &&
           a.settings.width == b.settings.width && a.settings.height == b.settings.height &&
           a.settings.apply_path == b.settings.apply_path &&
           a.settings.save_path == b.settings.save_path;
}

Outcome parse(std::vector<std::string> words) {
    // getopt_long permutes argv, so it gets its own writable array, ended by
    // a null pointer as a real argv is.
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    Outcome outcome;
    outcome.status =
        somap::parse_command_line(static_cast<int>(words.size()), argv.data(), outcome.settings);
    return outcome;
}

std::vector<std::string> split_at_nul(const uint8_t *data, size_t size) {
    std::vector<std::string> pieces;
    if (size == 0) return pieces;
    pieces.emplace_back();
    for (size_t k = 0; k < size; ++k) {
        if (data[k] == '\0')
            pieces.emplace_back();
        else
            pieces.back().push_back(static_cast<char>(data[k]));
    }
    return pieces;
}

void check_raw(const std::vector<std::string> &pieces) {
    std::vector<std::string> words{"somap"};
    words.insert(words.end(), pieces.begin(), pieces.end());
    const Outcome first = parse(words);
    if (first.status != -1 && first.status != 0 && first.status != 1)
        fail("parse_command_line returned something other than -1, 0 or 1");
    if (first.status == -1 && first.settings.iterations < 0)
        fail("a negative iteration count was let through");
    if (!(parse(words) == first)) fail("the same command line parsed twice gave two results");
}

// ---- The script ---------------------------------------------------------

enum Option { kHelp, kIterations, kWidth, kHeight, kApply, kSave, kOptionCount };

const char kShort[kOptionCount] = {'h', 'i', 'x', 'y', 'a', 's'};
const char *const kLong[kOptionCount] = {"help", "iterations", "width", "height", "apply", "save"};
// The shortest prefixes that name one option alone ("he" is both help and
// height).
const char *const kAbbreviated[kOptionCount] = {"hel", "i", "w", "hei", "a", "s"};

enum Spelling {
    kShortApart,      // -x VALUE
    kShortJoined,     // -xVALUE (a value is never empty here)
    kLongApart,       // --width VALUE
    kLongEquals,      // --width=VALUE
    kAbbreviatedEquals,  // --w=VALUE
    kAbbreviatedApart,   // --w VALUE
    kSpellingCount
};

// Appends the words of one option and applies it to the expected outcome;
// returns false once the expected run has ended.
bool add_option(const std::string &piece, std::vector<std::string> &words, Outcome &expected) {
    const unsigned char pick = piece.empty() ? 0 : static_cast<unsigned char>(piece[0]);
    const Option option = static_cast<Option>(pick % kOptionCount);
    Spelling spelling = static_cast<Spelling>((pick / kOptionCount) % kSpellingCount);
    const std::string value = piece.empty() ? std::string() : piece.substr(1);
    if (spelling == kShortJoined && value.empty()) spelling = kShortApart;

    const std::string short_name = std::string("-") + kShort[option];
    const std::string long_name = std::string("--") + kLong[option];
    const std::string abbreviated = std::string("--") + kAbbreviated[option];
    if (option == kHelp) {
        // No value: the rest of the piece is dropped.
        words.push_back(spelling == kShortApart || spelling == kShortJoined ? short_name
                        : spelling == kLongApart || spelling == kLongEquals ? long_name
                                                                            : abbreviated);
        expected.status = 0;
        return false;
    }
    switch (spelling) {
        case kShortApart: words.insert(words.end(), {short_name, value}); break;
        case kShortJoined: words.push_back(short_name + value); break;
        case kLongApart: words.insert(words.end(), {long_name, value}); break;
        case kLongEquals: words.push_back(long_name + "=" + value); break;
        case kAbbreviatedEquals: words.push_back(abbreviated + "=" + value); break;
        case kAbbreviatedApart: words.insert(words.end(), {abbreviated, value}); break;
        case kSpellingCount: break;
    }

    somap::RunSettings &s = expected.settings;
    switch (option) {
        case kIterations:
            if (!somap::parse_int_option(value, s.iterations) || s.iterations < 0) expected.status = 1;
            break;
        case kWidth:
            if (!somap::parse_int_option(value, s.width)) expected.status = 1;
            break;
        case kHeight:
            if (!somap::parse_int_option(value, s.height)) expected.status = 1;
            break;
        case kApply: s.apply_path = value; break;
        case kSave: s.save_path = value; break;
        default: break;
    }
    return expected.status == -1;
}

void check_script(const std::vector<std::string> &pieces) {
    std::vector<std::string> words{"somap"};
    Outcome expected;
    for (const std::string &piece : pieces)
        if (!add_option(piece, words, expected)) break;
    // The parser stops at the first option that ends the run; the rest of
    // the command line must not matter, so the script ends there too.
    if (words.size() == 1) expected.status = 1;  // no argument at all: usage

    const Outcome actual = parse(words);
    if (actual.status != expected.status) fail("script: the status differs");
    // Settings are only promised for a run that goes on.
    if (expected.status == -1 && !(actual == expected)) fail("script: the settings differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static DiscardBuffer discard;
    // getopt_long writes its own diagnostics for unknown options straight to
    // standard error; they are the C library's and would drown the fuzzer's
    // output.
    opterr = 0;
    std::streambuf *previous = std::cerr.rdbuf(&discard);

    const std::vector<std::string> pieces = split_at_nul(data, size);
    check_raw(pieces);
    check_script(pieces);

    std::cerr.rdbuf(previous);
    return 0;
}
