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
//
// A call is reported when the interpreter would report a Python function's:
// not while the thread runs a tool's callback or a sys.settrace or
// sys.setprofile hook (the thread is "tracing" then, and the C API does not
// check that), and each event to the tools that listen to it when it
// happens, at the end of the call as at its start.
//
// Two things the C API does not tell a native function, where these calls
// differ from a Python function's: which change of the interpreter's
// monitoring happened (see CallReports), and the events a tool sets on one
// code object alone with sys.monitoring.set_local_events(), this function's
// included; it gives the events set for all code.
#pragma once

#include "runtime/ref.hpp"

#include <atomic>
#include <cstdint>

namespace zelkor {

// What one function keeps of the reports of its calls, in one word read and
// written atomically, with no lock: the interpreter's monitoring version it
// last read the tools at (above bit 24), and for each event (PY_START,
// PY_RETURN, PY_UNWIND, a byte each from bit 0) the tools that receive it.
// A tool that returns sys.monitoring.DISABLE for an event no longer receives
// it from the function, in any thread, until the version changes: on
// restart_events(), as for a Python function's code, but also when any tool
// sets its events, which leaves a Python function's DISABLE in place. Zero
// when the function is made.
struct CallReports {
    std::uint64_t word;
};

#if PY_VERSION_HEX >= 0x030D0000

// One reported call, from PY_START to PY_RETURN or PY_UNWIND. What it costs
// when no tool listens is inline: at each end, one atomic load and the
// interpreter's check of its version.
class ReportedCall {
public:
    // Reports PY_START. If a tool raises, the call reports PY_UNWIND at once
    // and started() is false, with the exception set.
    ReportedCall(CallReports& reports, PyObject* code) noexcept : reports_(reports), code_(code) {
        if (const std::uint8_t tools = listening(kStart); tools != 0) {
            start(tools);
        }
    }
    ReportedCall(const ReportedCall&) = delete;
    ReportedCall& operator=(const ReportedCall&) = delete;

    bool started() const noexcept { return started_; }

    // Reports PY_RETURN with `result`, or PY_UNWIND if it is null, and
    // passes it on; null with the tool's exception if a tool raises.
    PyObject* finish(PyObject* result) noexcept {
        const std::uint8_t tools = listening(result != nullptr ? kReturn : kUnwind);
        return tools != 0 ? finish_reported(result, tools) : result;
    }

private:
    static constexpr int kStart = 0;
    static constexpr int kReturn = 1;
    static constexpr int kUnwind = 2;
    static constexpr int kEvents = 3;
    static constexpr int kVersionShift = 24;
    static constexpr std::uint8_t kEventTypes[kEvents] = {
        PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_PY_UNWIND};

    // The tools that receive `event` from the function now, the thread's
    // tracing aside.
    std::uint8_t listening(int event) noexcept {
        std::uint64_t word = std::atomic_ref(reports_.word).load(std::memory_order_acquire);
        std::uint64_t version = word >> kVersionShift;
        PyMonitoringState states[kEvents] = {};
        PyMonitoring_EnterScope(states, &version, kEventTypes, kEvents);  // cannot fail
        if (version != word >> kVersionShift) {
            word = keep_tools(word, version, states);
        }
        return static_cast<std::uint8_t>(word >> (8 * event));
    }

    std::uint64_t keep_tools(std::uint64_t word, std::uint64_t version, const PyMonitoringState* states) noexcept;
    void start(std::uint8_t tools) noexcept;
    PyObject* finish_reported(PyObject* result, std::uint8_t tools) noexcept;
    void unwind() noexcept;
    int fire(int event, std::uint8_t tools, PyObject* result) noexcept;

    CallReports& reports_;
    PyObject* code_;
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
