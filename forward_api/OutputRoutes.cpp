#include "forward_api/OutputRoutes.h"

#include <algorithm>
#include <exception>

#include "base/Errors.h"
#include "host_interfaces/Afx.h"

namespace megfwd {

OutputSink OutputSink::buffer(double* data, std::size_t size) {
    OutputSink sink;
    sink.allocate = [data, size](const std::vector<std::int64_t>& shape) {
        double n = 1.0;
        for (auto d : shape) n *= static_cast<double>(d);
        if (n != static_cast<double>(size))
            throw InputError("the output buffer holds " + std::to_string(size) + " values, the result needs " +
                             std::to_string(static_cast<long long>(n)));
        return data;
    };
    return sink;
}

namespace detail {

std::string OutputRoute::error() const {
    std::lock_guard<std::mutex> g(errorLock);
    return firstError;
}

bool OutputRoute::blockFinished(std::int64_t first, std::int64_t count, const double* values,
                                const std::int32_t* inScan) {
    ValueStats part(count);
    part.add(values, 0, count, dims.perSource(), inScan);
    {
        std::lock_guard<std::mutex> g(figuresLock);
        figures.merge(part, first);
    }
    return keepBlock(first, count, values);
}

void OutputRoute::fail(std::string why) {
    std::lock_guard<std::mutex> g(errorLock);
    if (firstError.empty()) firstError = std::move(why);
}

namespace {

// Buffers of one block each, for routes that compute a block apart from
// where its values end up: a block takes one under the scan's lock and gives
// it back once handed over, so a run holds about one per thread.
class BlockBuffers {
public:
    explicit BlockBuffers(std::int64_t valuesPerBuffer) : size(valuesPerBuffer) {}
    double* take(std::int64_t first) {
        std::unique_ptr<double[]> b;
        if (!freeBuffers.empty()) {
            b = std::move(freeBuffers.back());
            freeBuffers.pop_back();
        } else {
            b.reset(megfwd::newArray<double>(size));
            if (!b) return nullptr;
        }
        double* p = b.get();
        busyBuffers.emplace_back(first, std::move(b));
        return p;
    }
    bool giveBack(std::int64_t first) {
        auto it = std::find_if(busyBuffers.begin(), busyBuffers.end(),
                               [first](const auto& b) { return b.first == first; });
        if (it == busyBuffers.end()) return false;
        freeBuffers.push_back(std::move(it->second));
        busyBuffers.erase(it);
        return true;
    }

private:
    const std::int64_t size;
    std::vector<std::unique_ptr<double[]>> freeBuffers;
    std::vector<std::pair<std::int64_t, std::unique_ptr<double[]>>> busyBuffers;
};

// The caller's array, taken on the first block (once its size is known for
// sure) and written in place.
class CallerArrayRoute : public OutputRoute {
public:
    CallerArrayRoute(const OutputSink& sink, const LeadfieldDims& dims) : OutputRoute(dims), sink(sink) {}

    double* blockTarget(std::int64_t first, std::int64_t) override {
        if (!array) {
            try {
                array = sink.allocate(shape());
            } catch (const std::exception& e) {
                fail(e.what());
                return nullptr;
            }
            if (!array) {
                fail("the caller's output storage refused the array");
                return nullptr;
            }
        }
        return array + first * dims.perSource();
    }
    bool blockDone(std::int64_t first, std::int64_t count) override {
        passed(first * dims.perSource(), count * dims.perSource());
        return true;
    }
    double* values() override { return array; }
    void passed(std::int64_t first, std::int64_t count) override {
        if (sink.release) sink.release(first, count);
    }
    void finish(ForwardResult& r) override {
        r.valuesInSink = true;
        if (sink.finish) sink.finish();
    }
    std::string description() const override { return sink.description; }

private:
    const OutputSink& sink;
    double* array = nullptr;
};

// The caller's storage by copy: each block is computed into a buffer of its
// own and written from the worker's thread as it finishes, so one block is
// written while another is computed; the buffer then goes back to a free
// list for the next block.
class BlockCopyRoute : public OutputRoute {
public:
    BlockCopyRoute(const OutputSink& sink, const LeadfieldDims& dims, std::int64_t blockSize)
        : OutputRoute(dims), sink(sink), buffers(blockSize * dims.perSource()) {}

    double* blockTarget(std::int64_t first, std::int64_t) override {
        if (!begun && sink.begin) {
            try {
                sink.begin(shape());
            } catch (const std::exception& e) {
                fail(e.what());
                return nullptr;
            }
        }
        begun = true;
        return buffers.take(first);
    }
    bool keepBlock(std::int64_t first, std::int64_t count, const double* values) override {
        try {
            sink.write(first * dims.perSource(), values, count * dims.perSource());
            return true;
        } catch (const std::exception& e) {
            fail(e.what());
            return false;
        }
    }
    bool blockDone(std::int64_t first, std::int64_t) override { return buffers.giveBack(first); }
    double* values() override { return nullptr; }
    void finish(ForwardResult& r) override {
        r.valuesInSink = true;
        if (sink.finish) sink.finish();
    }
    std::string description() const override { return sink.writeDescription; }

private:
    const OutputSink& sink;
    BlockBuffers buffers;
    bool begun = false;
};

// One array in memory, taken on the first block. Given to the result, or,
// when the caller's storage takes copies, written to it in one call once
// every value is final.
class MemoryRoute : public OutputRoute {
public:
    MemoryRoute(const OutputSink& sink, const LeadfieldDims& dims) : OutputRoute(dims), sink(sink) {}

    double* blockTarget(std::int64_t first, std::int64_t) override {
        if (held.empty()) held.resize(static_cast<std::size_t>(dims.total()));
        return held.data() + first * dims.perSource();
    }
    bool blockDone(std::int64_t, std::int64_t) override { return true; }
    double* values() override { return held.data(); }
    void finish(ForwardResult& r) override {
        if (!sink.write) {
            r.values = std::move(held);
            return;
        }
        if (sink.begin) sink.begin(shape());
        sink.write(0, held.data(), dims.total());
        std::vector<double>().swap(held);
        r.valuesInSink = true;
        if (sink.finish) sink.finish();
    }
    std::string description() const override {
        return sink.write ? sink.writeDescription : "one contiguous array in memory";
    }

private:
    const OutputSink& sink;
    std::vector<double> held;
};


// The sensor-major layout (sensors, sources, components), in the caller's
// array or in memory. Each block is computed source by source into a buffer
// and spread into the array on its worker's thread while it is still in the
// cache: a sensor's values of the block's sources are one contiguous run of
// the array, so the spreading writes whole runs and no pass over the whole
// array reorders it afterwards. Blocks write disjoint values, so they may be
// spread at once. The array's pages are not handed back block by block (a
// block touches every sensor's row), so a memory-mapped array stays mapped
// until the end.
class SensorMajorRoute : public OutputRoute {
public:
    SensorMajorRoute(const OutputSink& sink, const LeadfieldDims& dims, std::int64_t blockSize)
        : OutputRoute(dims), sink(sink), buffers(blockSize * dims.perSource()) {}

    double* blockTarget(std::int64_t first, std::int64_t) override {
        if (!array && !takeArray()) return nullptr;
        return buffers.take(first);
    }
    bool keepBlock(std::int64_t first, std::int64_t count, const double* values) override {
        const std::int64_t comps = dims.numComponents, sensors = dims.numSensors;
        for (std::int64_t j = 0; j < sensors; ++j) {
            double* row = array + (j * dims.numSources + first) * comps;
            for (std::int64_t i = 0; i < count; ++i)
                for (std::int64_t c = 0; c < comps; ++c) row[i * comps + c] = values[(i * sensors + j) * comps + c];
        }
        return true;
    }
    bool blockDone(std::int64_t first, std::int64_t) override { return buffers.giveBack(first); }
    double* values() override { return array; }
    void finish(ForwardResult& r) override {
        if (sink.allocate) {
            r.valuesInSink = true;
            if (sink.finish) sink.finish();
        } else if (sink.write) {
            if (sink.begin) sink.begin(shape());
            sink.write(0, held.data(), dims.total());
            std::vector<double>().swap(held);
            r.valuesInSink = true;
            if (sink.finish) sink.finish();
        } else {
            r.values = std::move(held);
        }
    }
    std::string description() const override {
        return sink.allocate ? sink.description : sink.write ? sink.writeDescription : "one contiguous array in memory";
    }

protected:
    std::vector<std::int64_t> shape() const override {
        return {dims.numSensors, dims.numSources, dims.numComponents};
    }

private:
    bool takeArray() {
        if (!sink.allocate) {
            held.resize(static_cast<std::size_t>(dims.total()));
            array = held.data();
            return true;
        }
        try {
            array = sink.allocate(shape());
        } catch (const std::exception& e) {
            fail(e.what());
            return false;
        }
        if (!array) fail("the caller's output storage refused the array");
        return array != nullptr;
    }

    const OutputSink& sink;
    BlockBuffers buffers;
    std::vector<double> held;
    double* array = nullptr;
};

}  // namespace

std::unique_ptr<OutputRoute> chooseRoute(const OutputSink& sink, const LeadfieldDims& dims, bool divides,
                                         std::int64_t blockSize, LeadfieldLayout layout) {
    if (layout == LeadfieldLayout::SensorMajor) return std::make_unique<SensorMajorRoute>(sink, dims, blockSize);
    if (sink.write && !divides) return std::make_unique<BlockCopyRoute>(sink, dims, blockSize);
    if (sink.allocate) return std::make_unique<CallerArrayRoute>(sink, dims);
    return std::make_unique<MemoryRoute>(sink, dims);
}

bool valuesHeldInMemory(const OutputSink& sink, bool divides, LeadfieldLayout layout) {
    return sink.allocate ? sink.inMemory : (!sink.write || divides || layout == LeadfieldLayout::SensorMajor);
}

}  // namespace detail
}  // namespace megfwd
