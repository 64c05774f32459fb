// Calls of the functions defined in a class, reported to profilers as calls
// of Python functions (CPython 3.13 and later; 3.12 has no API for it).
//
// The interpreter reports the calls of built-in functions itself, and
// module-level functions are built-in functions; a function defined in a
// class is none (inspect would take one for a static method), so nothing
// reports its calls unless the function does. It reports PY_START before its
// body, PY_RETURN with the result and PY_UNWIND when the body raises, with
// the code object that describes its parameters, to one tool only: the
// profiler (sys.monitoring.PROFILER_ID, where cProfile registers). The
// interpreter hands these events to the sys.setprofile and sys.settrace hooks
// with the frame that runs, which is the caller's, so they would take it for
// a call of the caller; debuggers and coverage read the caller's frame too.
// Those tools see a call of these functions as they see a C function's.
#pragma once

#include "runtime/ref.hpp"

#include <atomic>
#include <cstdint>

namespace zelkor {

// What one function keeps of the reports of its calls, in one word read and
// written atomically, with no lock: the interpreter's monitoring version it
// last read the tools at (above bit 24), and for each event (PY_START,
// PY_RETURN, PY_UNWIND, a byte each from bit 0) the tools that receive it. A
// tool that returns sys.monitoring.DISABLE for an event no longer receives
// it from the function, in any thread, until the version changes
// (sys.monitoring.restart_events() or set_events()). Zero when the
// function is made.
struct CallReports {
    std::uint64_t word;
};

#if PY_VERSION_HEX >= 0x030D0000

// One reported call, from PY_START to PY_RETURN or PY_UNWIND. What it costs
// when no tool listens is inline: one atomic load and the interpreter's
// check of its version.
class ReportedCall {
public:
    // Reports PY_START. If a tool raises, the call reports PY_UNWIND at once
    // and started() is false, with the exception set.
    ReportedCall(CallReports& reports, PyObject* code) noexcept : reports_(reports), code_(code) {
        const std::uint64_t word = std::atomic_ref(reports.word).load(std::memory_order_acquire);
        std::uint64_t version = word >> kVersionShift;
        for (int event = 0; event < kEvents; ++event) {
            states_[event] = {static_cast<std::uint8_t>(word >> (8 * event)), 0};
        }
        const std::uint64_t known = version;
        PyMonitoring_EnterScope(states_, &version, kEventTypes, kEvents);  // cannot fail
        if (version != known) {
            keep_tools(version);
        }
        if (states_[kStart].active != 0) {
            start();
        }
    }
    ReportedCall(const ReportedCall&) = delete;
    ReportedCall& operator=(const ReportedCall&) = delete;

    bool started() const noexcept { return started_; }

    // Reports PY_RETURN with `result`, or PY_UNWIND if it is null, and
    // passes it on; null with the tool's exception if a tool raises.
    PyObject* finish(PyObject* result) noexcept {
        const bool reported = states_[result != nullptr ? kReturn : kUnwind].active != 0;
        return reported ? finish_reported(result) : result;
    }

private:
    static constexpr int kStart = 0;
    static constexpr int kReturn = 1;
    static constexpr int kUnwind = 2;
    static constexpr int kEvents = 3;
    static constexpr int kVersionShift = 24;
    static constexpr std::uint8_t kEventTypes[kEvents] = {
        PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_PY_UNWIND};

    void keep_tools(std::uint64_t version) noexcept;
    void start() noexcept;
    PyObject* finish_reported(PyObject* result) noexcept;
    int fire(int event, PyObject* result) noexcept;

    CallReports& reports_;
    PyObject* code_;
    PyMonitoringState states_[kEvents];
    bool started_ = true;
};

#else

class ReportedCall {
public:
    ReportedCall(CallReports&, PyObject*) noexcept {}
    bool started() const noexcept { return true; }
    PyObject* finish(PyObject* result) noexcept { return result; }
};

#endif

}  // namespace zelkor
