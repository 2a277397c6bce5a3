// The calling thread's last-error number: what Windows entry points report through
// SetLastError and callers read with GetLastError. On Linux a thread-local number with the same
// contract. Never blocks; each thread sees only its own.
#pragma once

#include <cstdint>

namespace platform {

void SetThreadError(uint32_t code);
uint32_t ThreadError();

}  // namespace platform
