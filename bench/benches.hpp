#pragma once

namespace tulo_bench {

/** Whole catalogue against the direct route, each kind on its own, and save_all. */
void register_catalogue_benchmarks();
/** Colour balance by counting (the library) against sorting, on the same photos. */
void register_colour_balance_benchmarks();
/** tulo::intervals over growing inputs, and tulo::k_means against cv::kmeans. */
void register_numeric_benchmarks();
/** tulo::estimate_skew against Leptonica's sweep-and-search on rendered pages, one thread. */
void register_skew_benchmarks();
/** tulo::estimate_orientation against Leptonica's pixOrientDetect on a page lying on its side. */
void register_orientation_benchmarks();

} // namespace tulo_bench
