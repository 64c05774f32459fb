#include "runtime/monitoring.hpp"

#if PY_VERSION_HEX >= 0x030D0000

namespace zelkor {
namespace {

// The tool sys.monitoring.PROFILER_ID, 2 as documented, as a bit of the
// interpreter's masks of tools.
constexpr std::uint8_t kProfiler = 1u << 2;

// While a tool's callback or a settrace or setprofile hook runs, the
// interpreter reports nothing of the Python code it calls.
bool tracing() noexcept {
    return PyThreadState_Get()->tracing != 0;
}

}  // namespace

// The interpreter's monitoring changed since the word was read (a tool set
// its events, restart_events()): the tools are those it gives, the profiler
// alone of them, from now on. Another thread may have changed the word
// meanwhile: the word it published for this version or a later one holds,
// with the DISABLE its calls may have recorded since.
std::uint64_t ReportedCall::keep_tools(std::uint64_t word, std::uint64_t version,
                                       const PyMonitoringState* states) noexcept {
    std::uint64_t fresh = version << kVersionShift;
    for (int event = 0; event < kEvents; ++event) {
        fresh |= std::uint64_t{static_cast<std::uint8_t>(states[event].active & kProfiler)} << (8 * event);
    }
    std::atomic_ref shared(reports_.word);
    while (!shared.compare_exchange_weak(word, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        if (word >> kVersionShift >= version) {
            return word;
        }
    }
    return fresh;
}

void ReportedCall::start(std::uint8_t tools) noexcept {
    if (tracing()) {
        return;
    }
    if (fire(kStart, tools, nullptr) < 0) {
        // As in a Python function: a tool's error unwinds the call.
        started_ = false;
        unwind();
    }
}

PyObject* ReportedCall::finish_reported(PyObject* result, std::uint8_t tools) noexcept {
    if (tracing()) {
        return result;
    }
    if (result == nullptr) {
        fire(kUnwind, tools, nullptr);
        return nullptr;
    }
    if (fire(kReturn, tools, result) == 0) {
        return result;
    }
    Py_DECREF(result);
    unwind();
    return nullptr;
}

// Reports PY_UNWIND of the exception being raised, to the tools listening
// now; one a tool raises replaces it.
void ReportedCall::unwind() noexcept {
    if (const std::uint8_t tools = listening(kUnwind); tools != 0) {
        fire(kUnwind, tools, nullptr);
    }
}

int ReportedCall::fire(int event, std::uint8_t tools, PyObject* result) noexcept {
    PyMonitoringState state{tools, 0};
    int done;
    if (event == kStart) {
        done = PyMonitoring_FirePyStartEvent(&state, code_, 0);
    } else if (event == kReturn) {
        done = PyMonitoring_FirePyReturnEvent(&state, code_, 0, result);
    } else {
        done = PyMonitoring_FirePyUnwindEvent(&state, code_, 0);
    }
    if (const std::uint8_t disabled = tools & ~state.active; disabled != 0) {
        // The tool returned DISABLE: the function's later calls leave it out.
        std::atomic_ref(reports_.word).fetch_and(~(std::uint64_t{disabled} << (8 * event)),
                                                 std::memory_order_relaxed);
    }
    return done;
}

}  // namespace zelkor

#endif
