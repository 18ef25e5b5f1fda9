// The gate that every lock-free section passes, so that a fork never copies
// a half-done one.
//
// A lock-free section runs without the interpreter lock and may hold a
// window's blocks lock or a claimed but unpublished ring slot. A process
// forked at that moment would hand its child a lock nobody will release or
// a slot nobody will publish. The fork hooks installed here make fork()
// wait until no section is running and keep new sections from starting until
// the fork is done, so the child starts with every lock free and every ring
// consistent.
//
// The state is one atomic word: the number of forks being prepared in the
// high half, the number of sections running in the low half. It holds no
// lock, so a child inherits it in a state it can simply reset.
#pragma once

namespace zelmo {

// Enters a section, first waiting while a fork is being prepared. Called
// without the interpreter lock.
void enter_section() noexcept;
// Leaves a section.
void leave_section() noexcept;

// Installs the fork hooks once per process; later calls do nothing. Returns
// false when the system could not register them.
bool install_fork_hooks() noexcept;

// The hooks themselves, exposed for tests that drive them without forking.
void before_fork() noexcept;        // waits until no section runs; holds new ones back
void after_fork_parent() noexcept;  // lets sections start again
void after_fork_child() noexcept;   // the child runs no section: starts afresh

}  // namespace zelmo
