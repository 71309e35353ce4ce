#include "pipeline/region_loop.h"

#include <algorithm>
#include <memory>
#include <string>

#include "numeric/console_text.h"
#include "pipeline/workers.h"

namespace zentrel {

namespace {

// Writes the per-region lines that follow a region's analysis, in region
// order: the running valid count (trace) or the progress line.
class Progress {
public:
    Progress(const PipelineContext& context, int count)
        : context_(context),
          sink_(*context.sink),
          every_(count / 10),
          unit_(count / 100) {}

    void after(int i, const RegionRecord& record) {
        if (record.recorded()) ++recorded_;
        if (context_.debug && record.fitted_region()) {
            sink_.out(text::VALID_COUNT);
            sink_.out(std::to_string(recorded_));
            sink_.out("\n");
            sink_.flush();
        }
        // With fewer than 100 regions one of the two divisors is 0: no
        // progress line then.
        if (!context_.debug && record.counted() && every_ > 0 && unit_ > 0 && i % every_ == 0) {
            sink_.print(text::PROGRESS, i / unit_);
            sink_.flush();
        }
    }

    int recorded() const { return recorded_; }

private:
    const PipelineContext& context_;
    Sink& sink_;
    int every_;
    int unit_;
    int recorded_ = 0;
};

template <class Block>
std::vector<RegionRecord> analyse_all(const PipelineContext& context, const Block& image16, int region_size,
                                      int count, const int rows[], const int cols[]) {
    count = std::max(count, 0);
    Sink& sink = *context.sink;

    // One set of work buffers per worker, all allocated up front on this
    // thread so that a failure surfaces before any output.
    const int workers = worker_count(context.threads, count);
    std::vector<std::unique_ptr<RegionWork>> work;
    work.reserve(static_cast<std::size_t>(workers));
    for (int w = 0; w < workers; ++w) work.push_back(std::make_unique<RegionWork>());
    std::vector<RegionRecord> records(static_cast<std::size_t>(count));
    // A worker's trace waits in a buffer until its region's turn comes; one
    // worker writes straight to the sink.
    std::vector<BufferSink> traces(context.debug && workers > 1 ? records.size() : 0);

    if (context.debug) sink.print(text::REGION_COUNT, count);

    SilentSink silent;
    Progress progress(context, count);
    auto analyse = [&](int i, int w) {
        // Prefetch the region this worker probably takes next.
        const int ahead = i + workers;
        if (ahead < count) touch_region(image16, region_size, rows[ahead], cols[ahead]);
        const auto k = static_cast<std::size_t>(i);
        Sink& trace = workers == 1 ? sink : (traces.empty() ? static_cast<Sink&>(silent) : traces[k]);
        records[k] = analyse_region(context, image16, region_size, rows[i], cols[i], i, *work[w], trace);
    };
    auto emit = [&](int i) {
        const auto k = static_cast<std::size_t>(i);
        if (!traces.empty()) {
            traces[k].replay(sink);
            if (!traces[k].out_text.empty()) sink.flush();
            std::string().swap(traces[k].out_text);
        }
        progress.after(i, records[k]);
    };
    run_in_order(count, workers, analyse, emit);

    sink.print(text::COMPLETED, progress.recorded());
    return records;
}

}  // namespace

std::vector<RegionRecord> analyse_regions(const PipelineContext& context, const ImageBlock& image16,
                                          int region_size, int count, const int rows[],
                                          const int cols[]) {
    return analyse_all(context, image16, region_size, count, rows, cols);
}

std::vector<RegionRecord> analyse_regions(const PipelineContext& context, const ImageBlock8& image,
                                          int region_size, int count, const int rows[],
                                          const int cols[]) {
    return analyse_all(context, image, region_size, count, rows, cols);
}

}  // namespace zentrel
