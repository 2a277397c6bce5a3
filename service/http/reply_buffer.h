// The process-wide buffer in which large image answers are assembled (1 MiB). Only the service
// thread uses it, one request at a time, so it needs no lock.
#pragma once

#include <cstddef>

constexpr size_t kSharedReplyBytes = 1 << 20;

char* SharedReplyBuffer();
