#include "render_png.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace somap::testing {

namespace {

[[noreturn]] void damaged(const char *what) { throw std::runtime_error(std::string("png: ") + what); }

class BitReader {
  public:
    BitReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    unsigned bits(unsigned count) {
        unsigned value = 0;
        for (unsigned k = 0; k < count; ++k) {
            if (position_ >= size_ * 8) damaged("deflate stream ends early");
            const unsigned bit = (data_[position_ / 8] >> (position_ % 8)) & 1u;
            value |= bit << k;
            ++position_;
        }
        return value;
    }
    void align() { position_ = (position_ + 7) / 8 * 8; }
    uint8_t byte() {
        if (position_ / 8 >= size_) damaged("stored block ends early");
        const uint8_t value = data_[position_ / 8];
        position_ += 8;
        return value;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t position_ = 0;
};

// A canonical Huffman code as counts per length and symbols in code order.
struct Huffman {
    unsigned counts[16] = {};
    std::vector<unsigned> symbols;
};

Huffman build(const unsigned *lengths, unsigned n) {
    Huffman code;
    for (unsigned s = 0; s < n; ++s) ++code.counts[lengths[s]];
    code.counts[0] = 0;
    unsigned offsets[16] = {};
    for (unsigned len = 1; len < 16; ++len) offsets[len] = offsets[len - 1] + code.counts[len - 1];
    code.symbols.assign(n, 0);
    for (unsigned s = 0; s < n; ++s)
        if (lengths[s] != 0) code.symbols[offsets[lengths[s]]++] = s;
    return code;
}

unsigned decode(BitReader &in, const Huffman &code) {
    int value = 0, first = 0, index = 0;
    for (unsigned len = 1; len < 16; ++len) {
        value |= static_cast<int>(in.bits(1));
        const int count = static_cast<int>(code.counts[len]);
        if (value - count < first) return code.symbols[static_cast<size_t>(index + (value - first))];
        index += count;
        first += count;
        first <<= 1;
        value <<= 1;
    }
    damaged("bad Huffman code");
}

constexpr unsigned kLengthBase[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31,
                                    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr unsigned kLengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                     3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned kDistanceBase[] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129,
                                      193, 257, 385, 513, 769, 1025, 1537, 2049, 3073,
                                      4097, 6145, 8193, 12289, 16385, 24577};
constexpr unsigned kDistanceExtra[] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void inflate_block(BitReader &in, std::vector<uint8_t> &out, const Huffman &lengths,
                   const Huffman &distances) {
    for (;;) {
        unsigned symbol = decode(in, lengths);
        if (symbol < 256) {
            out.push_back(static_cast<uint8_t>(symbol));
        } else if (symbol == 256) {
            return;
        } else {
            symbol -= 257;
            if (symbol >= 29) damaged("bad length symbol");
            const size_t length = kLengthBase[symbol] + in.bits(kLengthExtra[symbol]);
            const unsigned d = decode(in, distances);
            if (d >= 30) damaged("bad distance symbol");
            const size_t distance = kDistanceBase[d] + in.bits(kDistanceExtra[d]);
            if (distance > out.size()) damaged("distance before the start");
            for (size_t k = 0; k < length; ++k) out.push_back(out[out.size() - distance]);
        }
    }
}

uint32_t be32(const std::string &bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3]));
}

int paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

}  // namespace

std::vector<uint8_t> inflate_zlib(const uint8_t *data, size_t size) {
    if (size < 2 || (data[0] & 0x0f) != 8 || ((data[0] << 8) | data[1]) % 31 != 0)
        damaged("not a zlib stream");
    BitReader in(data + 2, size - 2);
    std::vector<uint8_t> out;
    for (bool last = false; !last;) {
        last = in.bits(1) != 0;
        const unsigned type = in.bits(2);
        if (type == 0) {
            in.align();
            const unsigned length = in.byte() | in.byte() << 8;
            const unsigned complement = in.byte() | in.byte() << 8;
            if ((length ^ 0xffffu) != complement) damaged("bad stored block");
            for (unsigned k = 0; k < length; ++k) out.push_back(in.byte());
        } else if (type == 1) {
            unsigned lengths[288 + 30];
            for (unsigned s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
            for (unsigned s = 0; s < 30; ++s) lengths[288 + s] = 5;
            inflate_block(in, out, build(lengths, 288), build(lengths + 288, 30));
        } else if (type == 2) {
            const unsigned literal_count = in.bits(5) + 257, distance_count = in.bits(5) + 1;
            const unsigned code_count = in.bits(4) + 4;
            constexpr unsigned kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
            unsigned code_lengths[19] = {};
            for (unsigned k = 0; k < code_count; ++k) code_lengths[kOrder[k]] = in.bits(3);
            const Huffman code_code = build(code_lengths, 19);
            unsigned lengths[286 + 30] = {};
            unsigned filled = 0;
            while (filled < literal_count + distance_count) {
                const unsigned symbol = decode(in, code_code);
                if (symbol < 16) {
                    lengths[filled++] = symbol;
                    continue;
                }
                unsigned repeat = 0, value = 0;
                if (symbol == 16) {
                    if (filled == 0) damaged("repeat with nothing before");
                    value = lengths[filled - 1];
                    repeat = 3 + in.bits(2);
                } else if (symbol == 17) {
                    repeat = 3 + in.bits(3);
                } else {
                    repeat = 11 + in.bits(7);
                }
                if (filled + repeat > literal_count + distance_count) damaged("too many lengths");
                while (repeat-- > 0) lengths[filled++] = value;
            }
            inflate_block(in, out, build(lengths, literal_count),
                          build(lengths + literal_count, distance_count));
        } else {
            damaged("reserved block type");
        }
    }
    return out;
}

std::string Image::colour(size_t x, size_t y) const {
    if (x >= width || y >= height) throw std::out_of_range("pixel outside the image");
    const uint8_t *p = &rgba[(y * width + x) * 4];
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", p[0], p[1], p[2]);
    return text;
}

Image decode_png(const std::string &bytes) {
    static const char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 8 || bytes.compare(0, 8, kSignature, 8) != 0) damaged("no PNG signature");
    Image image;
    unsigned colour_type = 0;
    std::vector<uint8_t> compressed;
    for (size_t at = 8; at + 12 <= bytes.size();) {
        const uint32_t length = be32(bytes, at);
        const std::string type = bytes.substr(at + 4, 4);
        if (at + 12 + length > bytes.size()) damaged("chunk runs past the end");
        const size_t body = at + 8;
        if (type == "IHDR") {
            image.width = be32(bytes, body);
            image.height = be32(bytes, body + 4);
            const unsigned depth = static_cast<uint8_t>(bytes[body + 8]);
            colour_type = static_cast<uint8_t>(bytes[body + 9]);
            if (depth != 8 || (colour_type != 2 && colour_type != 6) || bytes[body + 12] != 0)
                damaged("only 8-bit RGB or RGBA without interlacing");
        } else if (type == "IDAT") {
            compressed.insert(compressed.end(), bytes.begin() + static_cast<long>(body),
                              bytes.begin() + static_cast<long>(body + length));
        } else if (type == "IEND") {
            break;
        }
        at += 12 + length;
    }
    if (image.width == 0 || image.height == 0) damaged("no image header");
    const size_t channels = colour_type == 6 ? 4 : 3;
    const size_t stride = image.width * channels;
    const std::vector<uint8_t> raw = inflate_zlib(compressed.data(), compressed.size());
    if (raw.size() < image.height * (stride + 1)) damaged("too little image data");

    std::vector<uint8_t> pixels(image.height * stride);
    for (size_t y = 0; y < image.height; ++y) {
        const uint8_t filter = raw[y * (stride + 1)];
        const uint8_t *line = &raw[y * (stride + 1) + 1];
        uint8_t *row = &pixels[y * stride];
        const uint8_t *above = y > 0 ? &pixels[(y - 1) * stride] : nullptr;
        for (size_t x = 0; x < stride; ++x) {
            const int a = x >= channels ? row[x - channels] : 0;
            const int b = above ? above[x] : 0;
            const int c = above && x >= channels ? above[x - channels] : 0;
            int predicted = 0;
            switch (filter) {
            case 0: predicted = 0; break;
            case 1: predicted = a; break;
            case 2: predicted = b; break;
            case 3: predicted = (a + b) / 2; break;
            case 4: predicted = paeth(a, b, c); break;
            default: damaged("bad filter type");
            }
            row[x] = static_cast<uint8_t>(line[x] + predicted);
        }
    }
    image.rgba.resize(image.width * image.height * 4);
    for (size_t p = 0; p < image.width * image.height; ++p) {
        for (size_t c = 0; c < 3; ++c) image.rgba[p * 4 + c] = pixels[p * channels + c];
        image.rgba[p * 4 + 3] = channels == 4 ? pixels[p * channels + 3] : 255;
    }
    return image;
}

}  // namespace somap::testing
