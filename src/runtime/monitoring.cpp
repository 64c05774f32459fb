#include "runtime/monitoring.hpp"

#if PY_VERSION_HEX >= 0x030D0000

namespace zelkor {
namespace {

// The tool sys.monitoring.PROFILER_ID, 2 as documented, as a bit of the
// interpreter's masks of tools.
constexpr std::uint8_t kProfiler = 1u << 2;

}  // namespace

// The interpreter's monitoring changed since the function last looked (a
// tool set its events, restart_events()): the tools are those it gave,
// the profiler alone of them, from now on.
void ReportedCall::keep_tools(std::uint64_t version) noexcept {
    std::uint64_t word = version << kVersionShift;
    for (int event = 0; event < kEvents; ++event) {
        states_[event].active &= kProfiler;
        word |= std::uint64_t{states_[event].active} << (8 * event);
    }
    std::atomic_ref(reports_.word).store(word, std::memory_order_release);
}

void ReportedCall::start() noexcept {
    if (fire(kStart, nullptr) < 0) {
        // As in a Python function: a tool's error unwinds the call.
        started_ = false;
        fire(kUnwind, nullptr);
    }
}

PyObject* ReportedCall::finish_reported(PyObject* result) noexcept {
    if (result != nullptr) {
        if (fire(kReturn, result) == 0) {
            return result;
        }
        Py_DECREF(result);
    }
    // With the exception being raised; one a tool raises replaces it.
    fire(kUnwind, nullptr);
    return nullptr;
}

int ReportedCall::fire(int event, PyObject* result) noexcept {
    PyMonitoringState& state = states_[event];
    const std::uint8_t before = state.active;
    int done;
    if (event == kStart) {
        done = PyMonitoring_FirePyStartEvent(&state, code_, 0);
    } else if (event == kReturn) {
        done = PyMonitoring_FirePyReturnEvent(&state, code_, 0, result);
    } else {
        done = PyMonitoring_FirePyUnwindEvent(&state, code_, 0);
    }
    if (const std::uint8_t disabled = before & ~state.active; disabled != 0) {
        // The tool returned DISABLE: the function's later calls leave it out.
        std::atomic_ref(reports_.word).fetch_and(~(std::uint64_t{disabled} << (8 * event)),
                                                 std::memory_order_relaxed);
    }
    return done;
}

}  // namespace zelkor

#endif
