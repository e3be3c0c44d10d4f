// Equirectangular view of a circular fisheye square through a lookup table.
#ifndef FRAME_FISH2EQREC_H
#define FRAME_FISH2EQREC_H

#include <cstdint>
#include <cstdlib>
#include <memory>

#include <opencv2/core.hpp>

// One destination pixel's source: column src_x, row src_y.
struct conv_entry {
    std::int32_t src_x;
    std::int32_t src_y;
};

// The table is one std::malloc block, so that a failed allocation can be
// reported instead of thrown.
struct conv_table_deleter {
    void operator()(conv_entry* entries) const noexcept { std::free(entries); }
};

// W x H entries for a destination of W columns and H rows, column by column:
// the entry of column i, row j stands at index i * H + j.
using conv_table = std::unique_ptr<conv_entry[], conv_table_deleter>;

// Builds the table that maps `destination` (read for its size only) onto
// `source` (likewise). Returns null, after writing
// "make_fish2eqrec_table(): malloc error" to standard error, when the block
// cannot be allocated.
conv_table make_fish2eqrec_table(const cv::Mat& source, const cv::Mat& destination);

// Writes "make_fish2eqrec_table(): malloc error" to standard error.
void report_table_allocation_failure();

// Writes "fish2eqrec_18(): empty conversion table" to standard error, as
// fish2eqrec_18 does when it is given no table.
void report_empty_table();

// The same table for a destination and a source of the given sizes, built
// in silence: null, with nothing written, when the block cannot be
// allocated. Safe to call on any thread.
conv_table build_fish2eqrec_table(cv::Size source, cv::Size destination);

// Fills every pixel of `destination` with the source pixel its entry names.
// Both images are CV_8UC3; the table must have been built for the
// destination's size and a source no larger than `source`. With no table it
// writes "fish2eqrec_18(): empty conversion table" to standard error and
// leaves the destination untouched.
void fish2eqrec_18(cv::Mat& destination, const cv::Mat& source, const conv_entry* table);

#endif
