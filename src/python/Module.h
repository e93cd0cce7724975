// The extension module python_can_brenix_mf4 (limited API, abi3): module
// initialisation and the bridge from the library's diagnostics log to the
// Python logger "python_can_brenix_mf4".
#pragma once

#include "log/zf_log.h"
#include "python/Support.h"

// Log output callback: forwards the message text of one log line to the
// Python logger passed as `logger`, with the logger method of the line's
// level (1, 2 and unknown levels: debug; 3 info; 4 warning; 5 error;
// 6 critical). Needs the global interpreter lock. A failing logger call is
// dropped, and an error pending when the library logged stays pending: logging
// never changes the outcome of a library operation.
void loggingWrapper(const zf_log_message* message, void* logger);

PyMODINIT_FUNC PyInit_python_can_brenix_mf4(void);
