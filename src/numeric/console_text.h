// Every text the engine prints, in one place.
//
// These texts are part of the module's behaviour: callers capture and
// compare what AdaptiveThreshold prints, so each is kept exactly as the
// engine has always written it, misspellings ("varinace", "colum",
// "memeroy"), odd spacing (". ..", "start.. ."), a missing newline (the None
// input line) and the carriage-back run of \b in the progress line
// included. Fixing one would change every existing caller's output. Tests
// that pin them: tests/cpp/test_pipeline_golden.cpp (console hashes),
// tests/cpp/test_region_analysis.cpp (trace and progress text),
// tests/cpp/test_driver.cpp and tests/python/test_module.py (banner,
// None-argument and stop lines).
#pragma once

namespace zentrel::text {

// Driver (printf formats where they take values).
inline constexpr char BANNER[] =
    "Adaptive threshold algorithm implemented with C++. The input image is assumed to have values "
    "in 0 ~ 255\n";
inline constexpr char INPUT_NONE[] = "Input image cannot be none";
inline constexpr char OUTPUT_NONE[] =
    "Output image cannot be none. Create an empty image and put it in the argument\n";
inline constexpr char REGION_GRID[] = "Number of regions in row and column direction=(%d,%d)\n";
inline constexpr char VARIANCE_START[] = "Region varinace calculation start.. .\n";
inline constexpr char VARIANCE_DONE[] = "Region varinace calculation done...\n";
inline constexpr char SELECTED_COUNT[] = "number of regions with the highest variance = %d\n";
inline constexpr char SELECTION_START[] =
    "Calculate the row and column index for the regions with the highest variance\n";
inline constexpr char SELECTION_DONE[] = "Row & colum index calculation done. ..\n";
inline constexpr char ANALYSIS_START[] = " Gaussian curve fitting and bimodal testing...Be patient!!!\n";
inline constexpr char PASSED_COUNT[] = "%li regions passed the bimodal test.\n";
inline constexpr char STOPPED[] = "Stopped for 0 region\n";
inline constexpr char GRID_START[] = "Interpolation of region start. ..\n";
inline constexpr char GRID_DONE[] = "Interpolation of Region done. ..\n";
inline constexpr char PIXELS_START[] = "Pointwise Bilinear Interpolation start. ..\n";
inline constexpr char PIXELS_DONE[] = "Pointwise Bilinear Interpolation done. ..\n";

// Region loop.
inline constexpr char REGION_COUNT[] = "Number of regions=%d\n";
inline constexpr char PROGRESS[] = "%3d %% is done...\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
inline constexpr char VALID_COUNT[] = "Debug: valid count ";
inline constexpr char COMPLETED[] =
    "\n\n Bimodal Gaussian Curve Fitting and local threshold calculation is completed with %d "
    "valid regions\n";

// One region's trace (debug).
inline constexpr char TRACE_REGION[] = "region=%d\n";
inline constexpr char TRACE_C1[] = "initial c1= %f\n";
inline constexpr char TRACE_MEAN1[] = "initial mean1= %f\n";
inline constexpr char TRACE_SIGMA1[] = "initial sigma1= %f\n";
inline constexpr char TRACE_MEAN2[] = "initial mean2= %f\n";
inline constexpr char TRACE_SIGMA2[] = "initial sigma2= %f\n";
inline constexpr char TRACE_ITERATION[] = "iter_num= %d\n";
inline constexpr char TRACE_FIT_END[] = "Debug: ending mrgmin\n";
inline constexpr char TRACE_TEST[] = "Debug: testing bimodal passed\n";
inline constexpr char TRACE_THRESHOLD[] = "Debug: region_thresh: ";

// Allocation failures, each on the channel its caller names.
inline constexpr char NO_X[] = "memeroy allocation failed for x[]-bye\n";
inline constexpr char NO_Y[] = "memeroy allocation failed for y[]-bye\n";
inline constexpr char NO_HIST[] = "memeroy allocation failed for hist[]-bye\n";
inline constexpr char NO_SIG[] = "memeroy allocation failed for sig[]-bye\n";
inline constexpr char NO_A[] = "memeroy allocation failed for a[]-bye\n";
inline constexpr char NO_IA[] = "memeroy allocation failed for ia[]-bye\n";
inline constexpr char NO_COVAR_TABLE[] = "Out of storage: covar[][].\n";
inline constexpr char NO_COVAR_ROW[] = "Out of storage: covar[%d].\n";
inline constexpr char NO_ALPHA_TABLE[] = "Out of storage: alpha.\n";
inline constexpr char NO_ALPHA_ROW[] = "Out of storage: alpha[%d].\n";
inline constexpr char NO_ISTACK[] = "allocation failure for istack\n";
inline constexpr char NO_VALUES[] = "allocation failure for values\n";
inline constexpr char NO_INDEX[] = "allocation failure for index\n";
inline constexpr char NSTACK_TOO_SMALL[] = "jstack=%d, NSTACK too small in quicksort! \n";
inline constexpr char NO_FIMAGE_TABLE[] = "Out of storage 1: fimage.\n";
inline constexpr char NO_FIMAGE_BLOCK[] = "Out of storage 2: fimage\n";
inline constexpr char FATAL_HEAD[] = "Numerical Recipes run-time error...\n";
inline constexpr char FATAL_TAIL[] = "\n...now exiting to system...\n";

// Model.
inline constexpr char PARAMETER_COUNT[] = "this function assumes 5 parameters\n";

}  // namespace zentrel::text
