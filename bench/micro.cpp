// Micro-benchmarks: the encoder on runny and on noisy words, and the loader
// with the sampling of pixel words for each source format.
//
// Usage: micro FOLDER [benchmark flags]   (FOLDER holds make_inputs' formats/)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "packet/packet.h"
#include "platform/platform.h"

namespace {

std::string g_folder;

// Runny: runs of 1 to 64 equal words, as in flat artwork; noisy: no two
// neighbours alike, as in photographs.
std::vector<uint16_t> Words(bool noisy, size_t n) {
    std::vector<uint16_t> words(n);
    uint32_t state = 9;
    for (size_t i = 0; i < n;) {
        state = state * 1664525 + 1013904223;
        const size_t run = noisy ? 1 : 1 + (state >> 26);
        for (size_t j = 0; j < run && i < n; ++j, ++i)
            words[i] = noisy ? static_cast<uint16_t>(i * 40503u) : static_cast<uint16_t>(state >> 8);
    }
    return words;
}

void EncodeRunsBench(benchmark::State& state, bool noisy) {
    const std::vector<uint16_t> words = Words(noisy, size_t{1} << 22);
    std::vector<uint8_t> out(words.size() * 4);
    for (auto _ : state) benchmark::DoNotOptimize(EncodeRuns(words.data(), words.size(), out.data()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * words.size()));
}

void LoadBench(benchmark::State& state, const char* name) {
    std::ifstream in(g_folder + "/formats/" + name, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        state.SkipWithError("input missing: run make_inputs first");
        return;
    }
    size_t pixels = 0;
    std::unique_ptr<uint16_t[]> words;
    for (auto _ : state) {
        TBitmap bitmap;
        bitmap.LoadFromMemory(bytes.data(), bytes.size());
        pixels = static_cast<size_t>(bitmap.Width()) * static_cast<size_t>(bitmap.Height());
        if (!words) words = std::make_unique<uint16_t[]>(pixels);
        SamplePixelWords(bitmap, words.get());
        benchmark::DoNotOptimize(words[pixels - 1]);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pixels));
}

}  // namespace

BENCHMARK_CAPTURE(EncodeRunsBench, runny, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeRunsBench, noisy, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LoadBench, pal8, "pal8.bmp")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LoadBench, rle8, "rle8.bmp")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LoadBench, rgb16, "rgb16.bmp")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LoadBench, rgb24, "rgb24.bmp")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LoadBench, rgb32, "rgb32.bmp")->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: micro FOLDER [benchmark flags]\n");
        return 2;
    }
    g_folder = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
