/*
 * Orvi device protocol: plain functions over a heap-allocated handle.
 *
 * Every function returns an integer result code (ORVI_OK on success) and reports what it
 * does on standard output. Handles are used by one thread at a time.
 *
 * hidapi keeps process-wide state (one error text) that its enumeration and its open free
 * and replace; two threads inside those calls at once corrupt the heap. This library is the
 * one place that makes them, under one lock, so that any thread may call orviEnumerate,
 * orviFreeEnumeration and orviOpen at any time.
 */
#ifndef ORVI_DEVICE_H
#define ORVI_DEVICE_H

#include <hidapi.h>
#include <stdint.h>

#define ORVI_VENDOR_ID 0x7A3C
#define ORVI_PRODUCT_ID_ORIG 0x0042
#define ORVI_PRODUCT_ID_PLUS 0x0043

#define ORVI_MODEL_ORIG 0
#define ORVI_MODEL_PLUS 1

/* One HID report of 64 bytes, written with the report ID 0 in front. */
#define ORVI_REPORT_SIZE 64
#define ORVI_OUTPUT_SIZE (ORVI_REPORT_SIZE + 1)

enum {
    ORVI_OK = 0,
    ORVI_ERR_OPEN = 2,
    /* The open failed because the user may not open the device node (EACCES, EPERM). */
    ORVI_ERR_ACCESS = 3,
    ORVI_ERR_READ = 4,
    ORVI_ERR_WRITE = 5,
    ORVI_ERR_BAD_READY_REPLY = 6,
    ORVI_ERR_BAD_MARKER = 7,
    ORVI_ERR_BAD_REPLY_CODE = 8,
    ORVI_ERR_COUNT = 9,
    ORVI_ERR_TOO_BIG = 10,
    ORVI_ERR_TIMEOUT = 12,
    ORVI_ERR_BAD_FILE = 13,
    ORVI_ERR_FILE_OPEN = 15,
    ORVI_ERR_NOT_SUPPORTED = 16,
    ORVI_ERR_INTERRUPTED = 20
};

/* Request commands. */
enum {
    ORVI_CMD_DSP_DATA = 0x0002,
    ORVI_CMD_DSP_END = 0x0003,
    ORVI_CMD_MCU_DATA = 0x0004,
    ORVI_CMD_MCU_END = 0x0005,
    ORVI_CMD_ENSEMBLE_DATA = 0x0007,
    ORVI_CMD_OPEN = 0x000A,
    ORVI_CMD_READY_QUERY = 0x0012,
    ORVI_CMD_STYLES_DATA = 0x0014,
    ORVI_CMD_TERMINATE = 0x0015
};

typedef struct OrviHeader {
    uint16_t auxWord;
    uint16_t mcuVersion;
    uint16_t dspVersion;
    uint32_t ensembleVersion;
    uint16_t stylesVersion;
} OrviHeader;

typedef struct OrviDevice {
    hid_device* hid;
    int model;
    uint32_t nextSequence;
    uint32_t lastSequence;
    unsigned char output[ORVI_OUTPUT_SIZE];
    unsigned char input[ORVI_REPORT_SIZE];
    OrviHeader header;
} OrviDevice;

/* Called after every data packet written; a non-zero answer stops the transfer. */
typedef struct OrviProgress {
    int (*callback)(float fraction, long total, void* userData);
    void* userData;
} OrviProgress;

/* The HID devices of the vendor, all products; free the list with orviFreeEnumeration. */
struct hid_device_info* orviEnumerate(void);
void orviFreeEnumeration(struct hid_device_info* devices);

OrviDevice* orviOpen(const char* path, int model, unsigned int timeoutMs, unsigned int* error);
void orviClose(OrviDevice* device);

/*
 * Whether the device behind the handle is still there: ORVI_OK, or ORVI_ERR_READ once it has
 * gone (unplugged or restarting; a device back at the same path is a new node the handle does
 * not reach). Drops a report left waiting, which no request of ours can still be expecting.
 */
int orviCheckAttached(OrviDevice* device);
void orviGetHeader(const OrviDevice* device, OrviHeader* header);
int orviCheckReadyForUpdate(OrviDevice* device, unsigned int timeoutMs, unsigned int* ready);

/*
 * The send functions stream a file to the device; a file that cannot be opened, is not a
 * regular file or cannot be read to its end gives ORVI_ERR_FILE_OPEN and no end packet.
 */
int orviSendMicroFW(OrviDevice* device, const char* path, const OrviProgress* progress);
int orviSendDspFW(OrviDevice* device, const char* path, const OrviProgress* progress);
int orviSendStyles(OrviDevice* device, const char* path, const OrviProgress* progress);
int orviSendEnsemble(OrviDevice* device, const char* path, const OrviProgress* progress);

/*
 * The device needs 2.1 s after each content sector to write it to flash. Tests may
 * shorten the wait; the program never calls this.
 */
void orviSetSectorWaitForTesting(long nanoseconds);

#endif
