// Writes the benchmark's inputs, the same bytes on every run:
//
//   sheet.bmp            8192 x 8192, 24-bit: a sprite sheet on the key colour
//   sprites/NNNN.bmp     2,000 sprites, 16 to 96 pixels square, 24-bit
//   formats/pal8.bmp     2048 x 2048 of the same kind of picture, 8-bit palette
//   formats/rle8.bmp     ... RLE8
//   formats/rgb16.bmp    ... 16-bit, 5-6-5 bit-field masks
//   formats/rgb24.bmp    ... 24-bit, the reference for time per pixel
//   formats/rgb32.bmp    ... 32-bit
//
// Every picture is a scene of palette indices: index 0 is the key colour
// (the background), flat rectangles give long runs, noisy patches give
// literals. The direct-colour files store the palette's colours.
//
// Usage: make_inputs FOLDER
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A small, fixed generator: the inputs must not depend on the library.
struct Random {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>(state >> 33);
    }
    int Range(int lo, int hi) { return lo + static_cast<int>(Next() % static_cast<uint32_t>(hi - lo + 1)); }
};

struct Rect {
    int x0, y0, x1, y1;
    bool noisy;
    uint8_t colour;
};

struct Scene {
    int width, height;
    std::vector<Rect> rects;
    uint64_t seed;

    uint8_t Noise(int x, int y) const {
        uint64_t h = (static_cast<uint64_t>(y) << 32 | static_cast<uint32_t>(x)) ^ seed;
        h *= 0x9E3779B97F4A7C15u;
        return static_cast<uint8_t>(1 + (h >> 56) % 255);
    }

    // Rows of indices, so that lookups stay cheap for large pictures.
    void Row(int y, std::vector<uint8_t>& out) const {
        out.assign(static_cast<size_t>(width), 0);
        for (const Rect& r : rects) {
            if (y < r.y0 || y >= r.y1) continue;
            for (int x = r.x0; x < r.x1; ++x) {
                out[static_cast<size_t>(x)] = r.noisy ? Noise(x, y) : r.colour;
            }
        }
    }
};

Scene MakeScene(int width, int height, int count, uint64_t seed, int maxSide) {
    Random random{seed};
    Scene scene{width, height, {}, seed};
    for (int i = 0; i < count; ++i) {
        Rect r;
        int w = random.Range(1, maxSide), h = random.Range(1, maxSide);
        r.x0 = random.Range(0, width - 1);
        r.y0 = random.Range(0, height - 1);
        r.x1 = std::min(width, r.x0 + w);
        r.y1 = std::min(height, r.y0 + h);
        r.noisy = random.Next() % 4 == 0;
        r.colour = static_cast<uint8_t>(random.Range(1, 255));
        scene.rects.push_back(r);
    }
    return scene;
}

uint32_t PaletteColour(int index) {  // 0x00RRGGBB
    if (index == 0) return 0xFF00FF;
    uint32_t h = static_cast<uint32_t>(index) * 2654435761u;
    return (h >> 8) & 0xFFFFFF;
}

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

enum class Kind { Pal8, Rle8, Rgb16, Rgb24, Rgb32 };

// Bottom-up rows, as most tools write them.
void WriteBmp(const std::filesystem::path& path, const Scene& scene, Kind kind) {
    const int w = scene.width, h = scene.height;
    const int bits = kind == Kind::Rgb16 ? 16 : kind == Kind::Rgb24 ? 24 : kind == Kind::Rgb32 ? 32 : 8;
    const bool palette = kind == Kind::Pal8 || kind == Kind::Rle8;
    const uint32_t compression = kind == Kind::Rle8 ? 1 : kind == Kind::Rgb16 ? 3 : 0;
    const size_t stride = (static_cast<size_t>(w) * static_cast<size_t>(bits) + 31) / 32 * 4;

    std::vector<uint8_t> pixels;
    std::vector<uint8_t> row;
    for (int y = h - 1; y >= 0; --y) {
        scene.Row(y, row);
        if (kind == Kind::Rle8) {
            // Runs where they pay, short absolute stretches elsewhere.
            size_t x = 0;
            const size_t n = row.size();
            while (x < n) {
                size_t run = 1;
                while (x + run < n && run < 255 && row[x + run] == row[x]) ++run;
                if (run >= 3 || n - x < 3) {
                    pixels.push_back(static_cast<uint8_t>(run));
                    pixels.push_back(row[x]);
                    x += run;
                    continue;
                }
                size_t lit = 0;
                while (x + lit < n && lit < 255 &&
                       !(x + lit + 2 < n && row[x + lit] == row[x + lit + 1] && row[x + lit] == row[x + lit + 2]))
                    ++lit;
                if (lit < 3) {
                    // Too short for an absolute stretch: runs of one.
                    for (size_t i = 0; i < lit; ++i) {
                        pixels.push_back(1);
                        pixels.push_back(row[x + i]);
                    }
                    x += lit;
                    continue;
                }
                pixels.push_back(0);
                pixels.push_back(static_cast<uint8_t>(lit));
                pixels.insert(pixels.end(), row.begin() + static_cast<long>(x), row.begin() + static_cast<long>(x + lit));
                if (lit & 1) pixels.push_back(0);
                x += lit;
            }
            pixels.push_back(0);
            pixels.push_back(y == 0 ? 1 : 0);
            continue;
        }
        const size_t start = pixels.size();
        for (int x = 0; x < w; ++x) {
            const uint8_t index = row[static_cast<size_t>(x)];
            const uint32_t c = PaletteColour(index);
            const uint32_t r = c >> 16, g = (c >> 8) & 255, b = c & 255;
            switch (kind) {
                case Kind::Pal8: pixels.push_back(index); break;
                case Kind::Rgb16: Put16(pixels, (r >> 3) << 11 | (g >> 2) << 5 | b >> 3); break;
                case Kind::Rgb24: pixels.push_back(static_cast<uint8_t>(b)); pixels.push_back(static_cast<uint8_t>(g)); pixels.push_back(static_cast<uint8_t>(r)); break;
                case Kind::Rgb32: Put32(pixels, c); break;
                case Kind::Rle8: break;
            }
        }
        pixels.resize(start + stride, 0);
    }

    std::vector<uint8_t> head;
    const uint32_t tableBytes = palette ? 256 * 4 : 0;
    const uint32_t maskBytes = kind == Kind::Rgb16 ? 12 : 0;
    const uint32_t offset = 14 + 40 + maskBytes + tableBytes;
    head.push_back('B');
    head.push_back('M');
    Put32(head, offset + static_cast<uint32_t>(pixels.size()));
    Put32(head, 0);
    Put32(head, offset);
    Put32(head, 40);
    Put32(head, static_cast<uint32_t>(w));
    Put32(head, static_cast<uint32_t>(h));
    Put16(head, 1);
    Put16(head, static_cast<uint32_t>(bits));
    Put32(head, compression);
    Put32(head, static_cast<uint32_t>(pixels.size()));
    Put32(head, 2835);
    Put32(head, 2835);
    Put32(head, palette ? 256 : 0);
    Put32(head, 0);
    if (kind == Kind::Rgb16) {
        Put32(head, 0xF800);
        Put32(head, 0x07E0);
        Put32(head, 0x001F);
    }
    if (palette)
        for (int i = 0; i < 256; ++i) Put32(head, PaletteColour(i));

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(head.data(), 1, head.size(), file) != head.size() ||
        std::fwrite(pixels.data(), 1, pixels.size(), file) != pixels.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "make_inputs: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_inputs FOLDER\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    std::filesystem::create_directories(root / "sprites");
    std::filesystem::create_directories(root / "formats");

    WriteBmp(root / "sheet.bmp", MakeScene(8192, 8192, 3000, 1, 400), Kind::Rgb24);

    Random random{2};
    for (int i = 0; i < 2000; ++i) {
        const int side = random.Range(16, 96);
        // Some flat sprites, some noisy ones, most in between.
        const int shapes = random.Range(1, 12);
        Scene sprite = MakeScene(side, side, shapes, 100 + static_cast<uint64_t>(i), side / 2 + 1);
        if (i % 5 == 0) for (Rect& r : sprite.rects) r.noisy = false;
        if (i % 7 == 0) sprite.rects.push_back({0, 0, side, side, true, 1});
        char name[32];
        std::snprintf(name, sizeof name, "%04d.bmp", i);
        WriteBmp(root / "sprites" / name, sprite, Kind::Rgb24);
    }

    const Scene picture = MakeScene(2048, 2048, 400, 3, 200);
    WriteBmp(root / "formats" / "pal8.bmp", picture, Kind::Pal8);
    WriteBmp(root / "formats" / "rle8.bmp", picture, Kind::Rle8);
    WriteBmp(root / "formats" / "rgb16.bmp", picture, Kind::Rgb16);
    WriteBmp(root / "formats" / "rgb24.bmp", picture, Kind::Rgb24);
    WriteBmp(root / "formats" / "rgb32.bmp", picture, Kind::Rgb32);
    return 0;
}
