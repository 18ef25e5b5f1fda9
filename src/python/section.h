// Lock-free section: runs pure work with the interpreter lock released and
// takes it back before anything else happens, also when the work throws.
//
// The section passes the fork gate (core/section_gate.h), so a fork never
// copies it half-done. Taking the lock back is an ordinary call, never one
// made from a destructor: while the interpreter finalises, it ends a daemon
// thread right there with pthread_exit, and that unwinding may cross only
// frames that let it pass and destructors that don't touch the interpreter
// (see interpreter_lost()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <type_traits>
#include <utility>

#include "core/section_gate.h"

namespace zelmo::py {

// Whether this thread is being ended because it asked for the interpreter
// lock back during finalisation (the interpreter then ends it with
// pthread_exit, which unwinds its stack). Frames on the way let that pass,
// and destructors that would release interpreter objects leave them alone:
// the thread no longer holds the lock and the process is ending.
bool interpreter_lost() noexcept;

// Leaves the section and takes the interpreter lock back.
void end_section(PyThreadState* state);

template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  PyThreadState* state = PyEval_SaveThread();
  enter_section();
  if constexpr (std::is_void_v<decltype(work())>) {
    try {
      work();
    } catch (...) {
      end_section(state);
      throw;
    }
    end_section(state);
  } else {
    std::optional<decltype(work())> result;
    try {
      result.emplace(work());
    } catch (...) {
      end_section(state);
      throw;
    }
    end_section(state);
    return std::move(*result);
  }
}

}  // namespace zelmo::py
