// Micro-benchmarks of one frame pair's work, without decoding and encoding.
// Run: build/bench/merge_bench (see scripts/bench.sh for whole runs).
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>

#include "frame/fish2eqrec.h"
#include "frame/eye_maker.h"
#include "common/lens_geometry.h"

namespace {

cv::Mat random_image(int rows, int cols)
{
    cv::Mat image(rows, cols, CV_8UC3);
    cv::RNG rng(12345);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

const cv::Mat& square_source()
{
    static const cv::Mat source = random_image(square_side, square_side);
    return source;
}

const conv_table& square_table()
{
    static const conv_table table = [] {
        const cv::Mat destination(square_side, square_side, CV_8UC3);
        return make_fish2eqrec_table(square_source(), destination);
    }();
    return table;
}

// The same mapping as OpenCV's remap maps, converted once to its fixed-point
// form.
struct opencv_maps {
    cv::Mat xy;
    cv::Mat unused;
};

const opencv_maps& square_maps()
{
    static const opencv_maps maps = [] {
        cv::Mat map_x(square_side, square_side, CV_32FC1);
        cv::Mat map_y(square_side, square_side, CV_32FC1);
        const conv_entry* table = square_table().get();
        for (int x = 0; x < square_side; ++x)
            for (int y = 0; y < square_side; ++y) {
                const conv_entry& e = table[static_cast<std::size_t>(x) * square_side + y];
                map_x.at<float>(y, x) = static_cast<float>(e.src_x);
                map_y.at<float>(y, x) = static_cast<float>(e.src_y);
            }
        opencv_maps m;
        cv::convertMaps(map_x, map_y, m.xy, m.unused, CV_16SC2, true);
        return m;
    }();
    return maps;
}

void BM_make_fish2eqrec_table(benchmark::State& state)
{
    const cv::Mat destination(square_side, square_side, CV_8UC3);
    for (auto _ : state) {
        conv_table table = make_fish2eqrec_table(square_source(), destination);
        benchmark::DoNotOptimize(table.get());
    }
}
BENCHMARK(BM_make_fish2eqrec_table)->Unit(benchmark::kMillisecond);

void BM_fish2eqrec_18(benchmark::State& state)
{
    cv::Mat destination(square_side, square_side, CV_8UC3);
    for (auto _ : state) {
        fish2eqrec_18(destination, square_source(), square_table().get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * square_side * square_side * 3);
}
BENCHMARK(BM_fish2eqrec_18)->Unit(benchmark::kMillisecond);

// OpenCV's nearest-neighbour remap over the very same mapping, on one
// thread, as the yardstick for the table remap.
void BM_cv_remap_nearest(benchmark::State& state)
{
    cv::setNumThreads(1);
    const opencv_maps& maps = square_maps();
    cv::Mat destination(square_side, square_side, CV_8UC3);
    cv::Mat ours(square_side, square_side, CV_8UC3);
    fish2eqrec_18(ours, square_source(), square_table().get());
    for (auto _ : state) {
        cv::remap(square_source(), destination, maps.xy, maps.unused, cv::INTER_NEAREST);
        benchmark::ClobberMemory();
    }
    cv::setNumThreads(-1);
    if (cv::norm(destination, ours, cv::NORM_INF) != 0)
        state.SkipWithError("cv::remap and fish2eqrec_18 disagree");
    state.SetBytesProcessed(state.iterations() * square_side * square_side * 3);
}
BENCHMARK(BM_cv_remap_nearest)->Unit(benchmark::kMillisecond);

void BM_crop_eye(benchmark::State& state)
{
    const cv::Mat frame = random_image(1080, 1920);
    const scaled_circle circle{960, 540, 490};
    for (auto _ : state) {
        cv::Mat scaled = crop_eye(frame, circle);
        benchmark::DoNotOptimize(scaled.data);
    }
}
BENCHMARK(BM_crop_eye)->Unit(benchmark::kMillisecond);

// One frame pair as the merge loop does it, decoding and encoding aside.
void BM_frame_pair(benchmark::State& state)
{
    const bool equirect = state.range(0) != 0;
    const cv::Mat first = random_image(1080, 1920);
    const cv::Mat second = random_image(1080, 1920);
    const scaled_circle circle{960, 540, 490};
    const eye_view view = equirect ? eye_view::equirectangular : eye_view::lens;
    eye_maker eyes[2] = {{circle, view}, {circle, view}};
    for (eye_maker& eye : eyes)
        eye.use_table(square_table().get());
    cv::Mat output(output_frame_size, output_frame_type);
    cv::Mat halves[2] = {output_half(output, 0), output_half(output, 1)};
    for (auto _ : state) {
        eyes[0].make(first, halves[0]);
        eyes[1].make(second, halves[1]);
        benchmark::DoNotOptimize(output.data);
    }
}
BENCHMARK(BM_frame_pair)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
