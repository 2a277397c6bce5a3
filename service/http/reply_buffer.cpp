#include "reply_buffer.h"

char* SharedReplyBuffer() {
  static char buffer[kSharedReplyBytes];
  return buffer;
}
