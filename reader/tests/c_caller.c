/* An outside caller in C: the public header on its own, the library by import. */
#include <stdio.h>

#include "vnsdtapi.h"

int main(void) {
  unsigned char record[300];
  const unsigned char blank[256] = {0};
  int failures = 0;
  if (HID_SetTransType(3) != 1) failures++;               /* any other type is stored as 1 */
  if (HID_OpenPort(1000) != 0) failures++;                /* below the HID range */
  if (DecodeWZData(blank, 219, record) != -1) failures++; /* too short a block */
  if (DecodeWZData(blank, 256, record) != 1) failures++;
  printf("%d passed, %d failed\n", 4 - failures, failures);
  return failures != 0;
}
