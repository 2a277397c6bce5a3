#include "platform/thread_error.h"

namespace platform {
namespace {
thread_local uint32_t t_error = 0;
}  // namespace

void SetThreadError(uint32_t code) { t_error = code; }
uint32_t ThreadError() { return t_error; }

}  // namespace platform
