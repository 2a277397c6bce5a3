/* The public header stands on its own for a C caller. */
#include "jrs_3G_usb.h"

int CallerFindTransferClose(int* transfer, int* closed) {
  void* terminal = 0;
  unsigned char request[64] = {2};
  unsigned char reply[64];
  int expected = sizeof reply;
  const int found = FindOpenUDev(&terminal);
  *transfer = USBTransfer(terminal, request, sizeof request, reply, &expected, 1);
  *closed = CloseUDev(&terminal);
  return found;
}
