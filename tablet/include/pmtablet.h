/* PMTablet: the signature tablet library. It finds a USB HID signature tablet (vendor 0x0B57,
 * products 0x8420, 0x8421 and 0x8816), switches it into pen mode, reads its reports on a thread
 * of its own and turns them into pen packets: a ring of 32 per process, each packet announced
 * by posting the registered window message "PM35USBDeviceMessage2011" to the caller's window
 * (or to every top-level window while none is set). The caller then takes the packet with
 * PMPacketsGet.
 *
 * Results: 0 success; 1 no tablet; 2 the tablet sent no serial number; 4 the tablet did not
 * acknowledge a command within 15 s. PMGetStatus looks at the USB tree only (0 attached, 1 not)
 * and never opens the tablet.
 *
 * Self-contained for outside callers, C or C++: on Windows the functions use the standard
 * calling convention and are exported under exactly these names (PMTablet.def). */
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#define PMTABLET_CALL __stdcall
#define PMTABLET_VISIBLE
#else
#define PMTABLET_CALL
#define PMTABLET_VISIBLE __attribute__((visibility("default")))
#endif
#if defined(__cplusplus)
#define PMTABLET_API extern "C" PMTABLET_VISIBLE
#else
#define PMTABLET_API extern PMTABLET_VISIBLE
#endif

/* What PMInit and PMGetSerial tell about the attached model. */
typedef struct TabletCaps {
  uint16_t vendorId;      /* 0x0B57 */
  uint16_t productId;     /* of the attached model */
  int32_t xExtent;        /* X units of the model */
  int32_t yExtent;        /* Y units of the model (see the note on PenPacket.y) */
  int32_t pressureLevels; /* 1024 */
  int32_t reserved;       /* 0 */
} TabletCaps;

#pragma pack(push, 1)
/* One queued event, 25 bytes without padding. A pen packet has key 0; a key packet has x, y and
 * pressure 0 and key 17 (the tablet's confirm key) or 18 (its clear key). y runs over the range
 * the model's decoder produces: 0..3072 for products 0x8420 and 0x8816, 0..4992 for 0x8421. */
typedef struct PenPacket {
  int32_t x;
  int32_t y;
  int32_t pressure; /* 0 when the pen does not press or lies outside the active area */
  uint8_t reserved0;
  int32_t key;
  int32_t reserved1;
  int32_t reserved2;
} PenPacket;
#pragma pack(pop)

#if defined(__cplusplus)
static_assert(sizeof(TabletCaps) == 20, "TabletCaps is 20 bytes");
static_assert(sizeof(PenPacket) == 25, "PenPacket is 25 bytes, packed");
#else
_Static_assert(sizeof(TabletCaps) == 20, "TabletCaps is 20 bytes");
_Static_assert(sizeof(PenPacket) == 25, "PenPacket is 25 bytes, packed");
#endif

/* Opens the tablet (finding it first when none is open) and switches it into pen mode. caps and
 * message receive the model's record and the window message's id; a window that is not null
 * becomes the target of the messages. 0 ready, 1 no tablet, 4 no acknowledgement. */
PMTABLET_API int PMTABLET_CALL PMInit(TabletCaps* caps, uint32_t* message, void* window);
/* Switches the tablet back and closes it. The argument is not used. 0 closed; 1 none open (also
 * when its reader had already ended: the tablet is then closed without the switch); 4 no
 * acknowledgement of the switch or of the reader's end. */
PMTABLET_API int PMTABLET_CALL PMClose(void* window);
/* Takes the oldest packet into buffer[0] (the count packets of the buffer are zeroed first).
 * 1 when a packet was taken; 0 when there is none, no tablet is open, buffer is null or
 * count <= 0. */
PMTABLET_API int PMTABLET_CALL PMPacketsGet(int32_t count, PenPacket* buffer);
/* Empties the ring and clears the tablet's screen. 0 cleared, 1 no tablet open, 4 no
 * acknowledgement. */
PMTABLET_API int PMTABLET_CALL PMClearSig(void);
/* 0 when a tablet of the three models is attached to any USB hub, 1 otherwise. */
PMTABLET_API int PMTABLET_CALL PMGetStatus(void);
/* As PMInit, with the tablet's 8-byte serial-number reply in serial (left as it is for product
 * 0x8816, which has none); window always becomes the target, even when null. 0 ready, 1 no
 * tablet, 2 no serial reply, 4 no acknowledgement. */
PMTABLET_API int PMTABLET_CALL PMGetSerial(TabletCaps* caps, uint32_t* message, void* window, uint8_t* serial);
/* Switches the log file "PMTabletdll.log" (in the user's application-data folder) on or off;
 * switching on deletes the old file. Nonzero only when an existing log file was deleted. */
PMTABLET_API int PMTABLET_CALL PMLogEnable(int32_t enable);
