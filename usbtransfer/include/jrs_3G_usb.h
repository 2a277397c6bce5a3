/* jrs_3G_usb: the card terminal's USB transfer library. It finds the driving-training card
 * terminal, either as a USB mass-storage device that takes vendor commands through SCSI
 * pass-through or as a HID device, and exchanges one request block and one reply block with it
 * per call. The blocks' content belongs to the caller; the library does not look into them.
 *
 *   void* terminal = 0;
 *   if (FindOpenUDev(&terminal)) {
 *     int expected = 64;
 *     USBTransfer(terminal, request, requestLength, reply, &expected, 5);
 *     CloseUDev(&terminal);
 *   }
 *
 * FindOpenUDev: 1 when a terminal was found and opened (its handle is stored in *slot), 0 when
 * none was found. A slot that holds a mass-storage terminal this library opened is kept as it
 * is. The search decides the mode of every later call: mass storage first, HID second.
 *
 * USBTransfer: sends `requestLength` bytes (the low 16 bits count) and reads *replyLength bytes
 * (read, never written) into `reply`, which must hold that many; nothing is written past them.
 * The time-out is in seconds (the low 8 bits count). Over mass storage it bounds each command;
 * over HID it is the number of extra polls for a reply, one second apart, after a fixed 200 ms.
 * In HID mode the terminal is looked up again for every transfer and closed after it (the
 * handle argument is not used), and a reply that has not begun within the polls still gives 0
 * with the last report in `reply`.
 *   0  success
 *  -1  the reply could not be read; HID: the terminal is gone; no terminal found by the last search
 *  -2  the request could not be sent (also: a handle this library did not open)
 *  -3  missing handle, request, request length, reply buffer or reply length (or a negative one)
 *
 * CloseUDev: 1 when the handle was closed or there was nothing to close, 0 when the handle is
 * not one this library opened or the last search found no terminal. Mass storage: the slot's
 * handle, and the slot is emptied; HID: the handle of the last search (the slot is untouched).
 *
 * One process-wide state; calls are serialised. On Windows the functions use the standard
 * calling convention and are exported under exactly these names (jrs_3G_usb.def).
 */
#ifndef JRS_3G_USB_H
#define JRS_3G_USB_H

#if defined(_WIN32)
#define JRS_USB_CALL __stdcall
#define JRS_USB_VISIBLE
#else
#define JRS_USB_CALL
#define JRS_USB_VISIBLE __attribute__((visibility("default")))
#endif
#if defined(__cplusplus)
#define JRS_USB_API extern "C" JRS_USB_VISIBLE
#else
#define JRS_USB_API extern JRS_USB_VISIBLE
#endif

JRS_USB_API int JRS_USB_CALL FindOpenUDev(void** slot);
JRS_USB_API int JRS_USB_CALL USBTransfer(void* handle, unsigned char* request, int requestLength, unsigned char* reply,
                                         int* replyLength, int timeout);
JRS_USB_API int JRS_USB_CALL CloseUDev(void** slot);

#endif
