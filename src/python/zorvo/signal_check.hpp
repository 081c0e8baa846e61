#pragma once

#include "py_ref.hpp"

#include <chrono>

namespace zorvo::python {

// How often a long wait without the interpreter lock gives signal handlers (Ctrl-C) a chance.
inline constexpr std::chrono::milliseconds kSignalCheckPeriod{5};

// Notes the interpreter's main thread, the only one that runs signal handlers; called at import.
bool record_main_thread();

// On the main thread: takes the interpreter lock for a moment and runs pending signal handlers.
// False when one raised; its exception stays pending on this thread for the call to report. On
// any other thread: true at once, without touching the lock. Callable without the lock.
bool run_signal_handlers_briefly() noexcept;

}  // namespace zorvo::python
