// Leaving a lock-free section, and the thread lost to finalisation there.
#include "section.h"

namespace zelmo::py {
namespace {
thread_local bool t_interpreter_lost = false;
}  // namespace

bool interpreter_lost() noexcept { return t_interpreter_lost; }

void end_section(PyThreadState* state) {
  leave_section();
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // Only the interpreter's pthread_exit unwinds out of this call: it is
    // finalising and ends this thread, which never gets the lock back. The
    // unwinding goes on, flagged for the frames and destructors on its way.
    t_interpreter_lost = true;
    throw;
  }
}

}  // namespace zelmo::py
