#include "forward_api/OutputRoutes.h"

#include <algorithm>
#include <exception>

#include "forward_api/Errors.h"
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

void OutputRoute::fail(std::string why) {
    std::lock_guard<std::mutex> g(errorLock);
    if (firstError.empty()) firstError = std::move(why);
}

namespace {

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
        : OutputRoute(dims), sink(sink), bufferValues(blockSize * dims.perSource()) {}

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
        std::unique_ptr<double[]> b;
        if (!freeBuffers.empty()) {
            b = std::move(freeBuffers.back());
            freeBuffers.pop_back();
        } else {
            b.reset(megfwd::newArray<double>(bufferValues));
            if (!b) return nullptr;
        }
        double* p = b.get();
        busyBuffers.emplace_back(first, std::move(b));
        return p;
    }
    bool blockFinished(std::int64_t first, std::int64_t count, const double* values) override {
        try {
            sink.write(first * dims.perSource(), values, count * dims.perSource());
            return true;
        } catch (const std::exception& e) {
            fail(e.what());
            return false;
        }
    }
    bool blockDone(std::int64_t first, std::int64_t) override {
        auto it = std::find_if(busyBuffers.begin(), busyBuffers.end(),
                               [first](const auto& b) { return b.first == first; });
        if (it == busyBuffers.end()) return false;
        freeBuffers.push_back(std::move(it->second));
        busyBuffers.erase(it);
        return true;
    }
    double* values() override { return nullptr; }
    void finish(ForwardResult& r) override {
        r.valuesInSink = true;
        if (sink.finish) sink.finish();
    }
    std::string description() const override { return sink.writeDescription; }

private:
    const OutputSink& sink;
    const std::int64_t bufferValues;
    bool begun = false;
    std::vector<std::unique_ptr<double[]>> freeBuffers;
    std::vector<std::pair<std::int64_t, std::unique_ptr<double[]>>> busyBuffers;
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

}  // namespace

std::unique_ptr<OutputRoute> chooseRoute(const OutputSink& sink, const LeadfieldDims& dims, bool divides,
                                         std::int64_t blockSize) {
    if (sink.write && !divides) return std::make_unique<BlockCopyRoute>(sink, dims, blockSize);
    if (sink.allocate) return std::make_unique<CallerArrayRoute>(sink, dims);
    return std::make_unique<MemoryRoute>(sink, dims);
}

bool valuesHeldInMemory(const OutputSink& sink, bool divides) {
    return sink.allocate ? sink.inMemory : (!sink.write || divides);
}

}  // namespace detail
}  // namespace megfwd
