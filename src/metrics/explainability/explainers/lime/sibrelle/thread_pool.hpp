// The module's worker threads, for numeric loops that split their work over
// rows while the GIL is released.
//
// One pool per process, made on first use and sized to the cores this
// process may run on; the environment variable VORN_SIBRELLE_THREADS caps
// the threads a loop uses. The pool is stopped at interpreter exit, and a
// child made by fork() starts with no pool (its parent's threads do not
// exist there) and makes its own on first use.
#pragma once

#include <cstddef>
#include <functional>

namespace vorn::sibrelle::threads {

inline constexpr const char* kThreadCapVariable = "VORN_SIBRELLE_THREADS";

// The threads a loop may use now: the cores, capped by VORN_SIBRELLE_THREADS.
// Call with the GIL held (it reads the environment); a cap that is not a
// positive whole number raises ValueError.
size_t thread_budget();

// Runs task(0) .. task(count - 1), each once, on up to `threads` threads (the
// caller's included) and returns when all have finished; the first
// exception a task threw is then thrown here. Call without the GIL; tasks
// must not touch Python objects.
void parallel_for(size_t count, size_t threads, const std::function<void(size_t)>& task);

// Registers the exit and fork handlers; called once at module load.
void install_process_hooks();

}  // namespace vorn::sibrelle::threads
